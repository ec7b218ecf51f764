// The invoice selection on a real company file: customers and jobs,
// permission groups, sets with several rules, open invoices and the history
// the host records.

#include <gtest/gtest.h>

#include <map>
#include <regex>

#include "CompanyBuilder.h"
#include "HostFixture.h"
#include "SelectionBuilder.h"
#include "TxnSendableReminderContainer.h"

using namespace testsupport;

namespace {

struct Selection {
    bool ok = false;
    TxnReminderStatusCode status = TxnReminderStatus_Reset;
    bool duplicateFound = false;
    std::vector<TxnSendableReminderContainer> records;

    // (transaction, rule) pairs in output order.
    std::vector<std::pair<unsigned long, unsigned long>> Pairs() const {
        std::vector<std::pair<unsigned long, unsigned long>> out;
        for (const auto& r : records) out.emplace_back(r.GetTransactionId(), r.GetRuleId());
        return out;
    }
};

Selection Select(bool fastMode = false, FormViewType view = FormViewType_Invoice) {
    Selection s;
    TxnReminderEngine engine(view);
    s.ok = engine.PrepareReminderListToSend(s.status, s.records, s.duplicateFound, fastMode);
    return s;
}

// Rule id of the loaded set's rule with that schedule and day count.
unsigned long RuleOf(const TxnReminderSet& set, int schedule, int days) {
    for (const TxnReminderRule& rule : set.GetReminderRules()) {
        if (rule.GetRuleCriteria().GetSchedule() == schedule && rule.GetRuleCriteria().GetDays() == days)
            return rule.GetRuleId();
    }
    ADD_FAILURE() << "no rule " << schedule << "/" << days;
    return 0;
}

long TemplateOf(const TxnReminderSet& set, unsigned long ruleId) {
    for (const TxnReminderRule& rule : set.GetReminderRules()) {
        if (rule.GetRuleId() == ruleId) return rule.GetRuleTemplate().GetTemplateId();
    }
    return -1;
}

class InvoiceSelectionTest : public HostFixture {
protected:
    DateType32 Today() const { return GetSystemDate(); }
    void MoveTo(const DateType32& day) { Ctx().FixClock(day, 8); }
    void RecordSent(const Selection& s, TxnReminderExecutionStatus status = TxnReminderExecutionStatus_Sent) {
        TxnReminderEngine engine(FormViewType_Invoice);
        for (const auto& r : s.records)
            ASSERT_TRUE(engine.SaveReminderExecutionHistory(r.GetTransactionId(), r.GetRuleId(), status));
    }
};

TEST_F(InvoiceSelectionTest, SelectsTheLatestDueRuleOnceAndTheNextRuleOnALaterDay) {
    const int acme = AddName("Acme", 0, "acme@x.test");
    const int site = AddName("Site", acme);  // a job without an address of its own
    const int beta = AddName("Beta", 0, "beta@x.test");
    const int gamma = AddName("Gamma", 0, "gamma@x.test");  // outside the group
    const long group = AddPermissionGroup("Main", {acme, beta});
    const TxnReminderSet set = SaveSet(FormViewType_Invoice, "Standard", group, {After(15), Before(3), After(5)});
    const unsigned long before3 = RuleOf(set, 1, 3), after5 = RuleOf(set, 2, 5), after15 = RuleOf(set, 2, 15);

    const DateType32 day0 = Today();
    const unsigned long siteInvoice = AddOpenInvoice(site, DateSub(day0, 6));
    const unsigned long betaSoon = AddOpenInvoice(beta, DateAdd(day0, 2));
    AddOpenInvoice(gamma, DateSub(day0, 20));
    const unsigned long betaLater = AddOpenInvoice(beta, DateAdd(day0, 10));

    Selection first = Select();
    ASSERT_TRUE(first.ok);
    EXPECT_EQ(first.status, TxnReminderStatus_Success);  // the job inherits Acme's address
    EXPECT_FALSE(first.duplicateFound);
    EXPECT_EQ(first.Pairs(), (std::vector<std::pair<unsigned long, unsigned long>>{{siteInvoice, after5},
                                                                                   {betaSoon, before3}}));
    for (const auto& r : first.records) {
        EXPECT_EQ(r.GetTxnType(), FormViewType_Invoice);
        EXPECT_EQ(r.GetCustomerId(), 0);
        EXPECT_EQ(r.GetTemplateId(), TemplateOf(set, r.GetRuleId()));
        EXPECT_GT(r.GetTemplateId(), 0);
    }
    RecordSent(first);

    // Recorded today: nothing again today, in full or fast mode.
    EXPECT_TRUE(Select().records.empty());
    EXPECT_TRUE(Select(true).records.empty());

    // Nine days on, each invoice has reached its next rule.
    MoveTo(DateAdd(day0, 9));
    Selection later = Select();
    ASSERT_TRUE(later.ok);
    EXPECT_EQ(later.Pairs(), (std::vector<std::pair<unsigned long, unsigned long>>{
                                 {siteInvoice, after15}, {betaSoon, after5}, {betaLater, before3}}));
}

TEST_F(InvoiceSelectionTest, HistoryBlocksOnlyCarriedOutRulesAndRulesBeforeThem) {
    const int acme = AddName("Acme", 0, "acme@x.test");
    const long group = AddPermissionGroup("Main", {acme});
    const TxnReminderSet set = SaveSet(FormViewType_Invoice, "Standard", group, {Before(10), After(5), After(30)});
    const unsigned long after5 = RuleOf(set, 2, 5), after30 = RuleOf(set, 2, 30);
    const DateType32 due = Today();
    const unsigned long failedOnly = AddOpenInvoice(acme, due);
    const unsigned long movedLater = AddOpenInvoice(acme, due);
    TxnReminderEngine engine(FormViewType_Invoice);
    ASSERT_TRUE(engine.SaveReminderExecutionHistory(failedOnly, after5, TxnReminderExecutionStatus_Failed));
    ASSERT_TRUE(engine.SaveReminderExecutionHistory(movedLater, after30, TxnReminderExecutionStatus_SentManually));

    MoveTo(DateAdd(due, 7));
    EXPECT_EQ(Select().Pairs(), (std::vector<std::pair<unsigned long, unsigned long>>{{failedOnly, after5}}));
    MoveTo(DateAdd(due, 30));
    EXPECT_EQ(Select().Pairs(), (std::vector<std::pair<unsigned long, unsigned long>>{{failedOnly, after30}}));
}

TEST_F(InvoiceSelectionTest, SetsOfOneGroupPoolTheirRulesAndAnInvoiceIsSelectedUnderOneGroupOnly) {
    const int shared = AddName("Shared", 0, "s@x.test");
    const int second = AddName("Second", 0, "t@x.test");
    const long low = AddPermissionGroup("Low", {shared});
    const long high = AddPermissionGroup("High", {shared, second});
    ASSERT_LT(low, high);
    const TxnReminderSet five = SaveSet(FormViewType_Invoice, "Five", low, {After(5)});
    const TxnReminderSet ten = SaveSet(FormViewType_Invoice, "Ten", low, {After(10)});
    const TxnReminderSet one = SaveSet(FormViewType_Invoice, "One", high, {After(1)});
    const DateType32 today = Today();
    // Entered in this order, so storage order and group order differ.
    const unsigned long secondInvoice = AddOpenInvoice(second, DateSub(today, 2));
    const unsigned long sharedInvoice = AddOpenInvoice(shared, DateSub(today, 12));

    bool duplicate = false;
    Selection s = Select();
    ASSERT_TRUE(s.ok);
    EXPECT_TRUE(s.duplicateFound);
    EXPECT_EQ(s.Pairs(), (std::vector<std::pair<unsigned long, unsigned long>>{
                             {sharedInvoice, RuleOf(ten, 2, 10)}, {secondInvoice, RuleOf(one, 2, 1)}}));
    (void)five;
    (void)duplicate;
}

TEST_F(InvoiceSelectionTest, NothingToSelectStillSucceedsAndKeepsTheCallersEntries) {
    const int acme = AddName("Acme", 0, "acme@x.test");
    const long group = AddPermissionGroup("Main", {acme});
    AddOpenInvoice(acme, DateSub(Today(), 40));

    // No sets at all; the caller's entry stays in front.
    Selection none;
    none.records.resize(1);
    TxnReminderEngine engine(FormViewType_Invoice);
    none.ok = engine.PrepareReminderListToSend(none.status, none.records, none.duplicateFound, false);
    EXPECT_TRUE(none.ok);
    EXPECT_EQ(none.status, TxnReminderStatus_Success);
    EXPECT_EQ(none.records.size(), 1u);

    // An inactive set with a due rule, and an active one without rules.
    SaveSet(FormViewType_Invoice, "Off", group, {After(1)}, {}, false);
    SaveSet(FormViewType_Invoice, "Empty", group, {});
    ClearLog();
    Selection s = Select();
    EXPECT_TRUE(s.ok);
    EXPECT_EQ(s.status, TxnReminderStatus_Success);
    EXPECT_TRUE(s.records.empty());
    EXPECT_TRUE(HasLine(0, 6, "TxnReminder: Empty rule list present, hence skipping"));
    EXPECT_EQ(CountLines("TxnReminder::Entering TxnReminderEngine::GetDLPTargetGroup"), 0);
}

TEST_F(InvoiceSelectionTest, FastModeStopsAtTheFirstReminderWhateverItsAddress) {
    const int quiet = AddName("Quiet", 0);  // no address anywhere
    const int acme = AddName("Acme", 0, "acme@x.test");
    const long group = AddPermissionGroup("Main", {quiet, acme});
    SaveSet(FormViewType_Invoice, "Standard", group, {After(1)});
    const unsigned long first = AddOpenInvoice(quiet, DateSub(Today(), 3));
    AddOpenInvoice(acme, DateSub(Today(), 3));
    AddOpenInvoice(acme, DateSub(Today(), 4));

    ClearLog();
    Selection fast = Select(true);
    ASSERT_TRUE(fast.ok);
    ASSERT_EQ(fast.records.size(), 1u);
    EXPECT_EQ(fast.records[0].GetTransactionId(), first);
    EXPECT_EQ(fast.status, TxnReminderStatus_NoEmail);
    EXPECT_TRUE(HasLine(0, 6, "TxnReminder: We're in fast mode now and an email is found!"));
    EXPECT_FALSE(HasLine("TxnReminder::Exiting TxnReminderEngine::PrepareReminderListToSend"));
    EXPECT_TRUE(LinesWith("execution time=").empty());

    // Full mode: all three, status 9 from the first without an address.
    ClearLog();
    Selection full = Select();
    EXPECT_EQ(full.records.size(), 3u);
    EXPECT_EQ(full.status, TxnReminderStatus_NoEmail);
    EXPECT_TRUE(HasLine(0, 6, "TxnReminder::Entering TxnReminderEngine::PrepareReminderListToSend"));
    EXPECT_TRUE(HasLine(0, 6, "TxnReminder::Exiting TxnReminderEngine::PrepareReminderListToSend"));
    const auto trace = LinesWith("execution time=");
    ASSERT_EQ(trace.size(), 1u);
    EXPECT_EQ(trace[0].level, 0);
    EXPECT_EQ(trace[0].eventType, 6);
    EXPECT_TRUE(std::regex_match(trace[0].message,
                                 std::regex(R"(Features\\TxnReminder\\TxnReminder\.Engine\\Src\\TxnReminderEngine - )"
                                            R"(TxnReminderEngine::PrepareReminderListToSend execution time=\d+\.\d{6})")))
        << trace[0].message;
}

TEST_F(InvoiceSelectionTest, FailuresReportTheirStatusAndKeepWhatWasSelected) {
    const int acme = AddName("Acme", 0, "acme@x.test");
    const long first = AddPermissionGroup("First", {acme});
    const long doomed = AddPermissionGroup("Doomed", {acme});
    SaveSet(FormViewType_Invoice, "A", first, {After(1)});
    SaveSet(FormViewType_Invoice, "B", doomed, {After(2)});
    const unsigned long invoice = AddOpenInvoice(acme, DateSub(Today(), 5));

    // Invoices not loaded.
    Ctx().ArmFault("DQE.DoQuery", Host::FaultKind::Fail);
    Selection noInvoices = Select();
    EXPECT_FALSE(noInvoices.ok);
    EXPECT_EQ(noInvoices.status, TxnReminderStatus_LoadFailed);

    // Sets not loaded.
    Ctx().ArmFault("ReminderSet.BatchLoad", Host::FaultKind::Fail);
    Selection noSets = Select();
    EXPECT_FALSE(noSets.ok);
    EXPECT_EQ(noSets.status, TxnReminderStatus_LoadFailed);

    // A name lookup that throws.
    ClearLog();
    Ctx().ArmFault("Name.Load", Host::FaultKind::Throw);
    Selection thrown = Select();
    EXPECT_FALSE(thrown.ok);
    EXPECT_EQ(thrown.status, TxnReminderStatus_Exception);
    EXPECT_TRUE(HasLine(4, 5,
                        "TxnReminder::PrepareReminderListToSend exception occured in execution, trace=injected fault "
                        "at Name.Load"));

    // The second group cannot be loaded (listing the two sets reads both
    // groups first): false, the first group's reminder stays.
    Ctx().ArmFault("Group.GetGroupById", Host::FaultKind::Fail, 4);
    ClearLog();
    Selection s = Select();
    EXPECT_FALSE(s.ok);
    EXPECT_EQ(s.status, TxnReminderStatus_Success);
    ASSERT_EQ(s.records.size(), 1u);
    EXPECT_EQ(s.records[0].GetTransactionId(), invoice);
    EXPECT_FALSE(HasLine("TxnReminder::Exiting TxnReminderEngine::PrepareReminderListToSend"));
}

TEST_F(InvoiceSelectionTest, AStatementEngineAnswersWithTheStatementSelection) {
    const int acme = AddName("Acme", 0, "acme@x.test");
    const long group = AddPermissionGroup("Main", {acme});
    const TxnReminderSet set = SaveSet(FormViewType_Statement, "Statements", group, {},
                                       {StatementRule(StatementReminderRule::kFrequencyWeekly, 1)});
    ASSERT_EQ(set.GetStatementReminderRules().size(), 1u);
    // Fast mode asked, full mode answered; duplicateFound untouched.
    Selection s;
    s.duplicateFound = true;
    TxnReminderEngine engine(FormViewType_Statement);
    s.ok = engine.PrepareReminderListToSend(s.status, s.records, s.duplicateFound, true);
    ASSERT_TRUE(s.ok);
    EXPECT_TRUE(s.duplicateFound);
    ASSERT_EQ(s.records.size(), 1u);
    EXPECT_EQ(s.records[0].GetTxnType(), FormViewType_Statement);
    EXPECT_EQ(s.records[0].GetCustomerId(), acme);
    EXPECT_EQ(s.records[0].GetRuleId(), set.GetStatementReminderRules()[0].GetRuleId());
    EXPECT_TRUE(HasLine(0, 6, "TxnReminder::Exiting TxnReminderEngine::PrepareReminderListToSendForStmt"));
}

TEST_F(InvoiceSelectionTest, AnActiveRuleNeedsAnActiveSet) {
    const int acme = AddName("Acme", 0, "acme@x.test");
    const long group = AddPermissionGroup("Main", {acme});
    SaveSet(FormViewType_Invoice, "Off", group, {After(1)}, {}, false);
    SaveSet(FormViewType_Invoice, "Empty", group, {});
    TxnReminderEngine engine(FormViewType_Invoice);
    ClearLog();
    EXPECT_FALSE(engine.IsAtLeastOneReminderRuleActive());
    EXPECT_TRUE(HasLine(0, 6, "TxnReminder::Exiting TxnReminderEngine::IsAtLeastOneReminderRuleActive"));

    SaveSet(FormViewType_Invoice, "On", group, {After(3)});
    ClearLog();
    EXPECT_TRUE(engine.IsAtLeastOneReminderRuleActive());
    EXPECT_TRUE(HasLine(0, 6,
                        "TxnReminder::Exiting TxnReminderEngine::IsAtLeastOneReminderRuleActive : Found the active rule"));

    Ctx().ArmFault("ReminderSet.BatchLoad", Host::FaultKind::Fail);
    EXPECT_FALSE(engine.IsAtLeastOneReminderRuleActive());
}

} // namespace
