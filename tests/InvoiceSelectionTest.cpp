// The invoice selection's edges on a real company file: nothing to select,
// fast mode, failures, the statement engine's answer and the active-rule
// question. Which rule is due for which invoice is the differential test's
// and the quarter scenario's.

#include <gtest/gtest.h>

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
};

Selection Select(bool fastMode = false) {
    Selection s;
    TxnReminderEngine engine(FormViewType_Invoice);
    s.ok = engine.PrepareReminderListToSend(s.status, s.records, s.duplicateFound, fastMode);
    return s;
}

class InvoiceSelectionTest : public HostFixture {
protected:
    DateType32 Today() const { return GetSystemDate(); }
};

TEST_F(InvoiceSelectionTest, NothingToSelectStillSucceedsAndAnActiveRuleNeedsAnActiveSet) {
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
    EXPECT_FALSE(engine.IsAtLeastOneReminderRuleActive());
    EXPECT_TRUE(HasLine(0, 6, "TxnReminder::Exiting TxnReminderEngine::IsAtLeastOneReminderRuleActive"));

    SaveSet(FormViewType_Invoice, "On", group, {After(3)});
    EXPECT_TRUE(engine.IsAtLeastOneReminderRuleActive());
    EXPECT_TRUE(HasLine(0, 6,
                        "TxnReminder::Exiting TxnReminderEngine::IsAtLeastOneReminderRuleActive : Found the active rule"));
    Ctx().ArmFault("ReminderSet.BatchLoad", Host::FaultKind::Fail);
    EXPECT_FALSE(engine.IsAtLeastOneReminderRuleActive());
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
    // The trace line's form is the telemetry suite's.
    const auto trace = LinesWith(R"(Src\TxnReminderEngine - TxnReminderEngine::PrepareReminderListToSend execution time=)");
    EXPECT_EQ(trace.size(), 1u);
}

TEST_F(InvoiceSelectionTest, FailuresReportTheirStatusAndKeepWhatWasSelected) {
    const int acme = AddName("Acme", 0, "acme@x.test");
    SaveSet(FormViewType_Invoice, "A", AddPermissionGroup("First", {acme}), {After(1)});
    SaveSet(FormViewType_Invoice, "B", AddPermissionGroup("Doomed", {acme}), {After(2)});
    AddOpenInvoice(acme, DateSub(Today(), 5));
    const struct {
        const char* point;
        Host::FaultKind kind;
        int nth;
        TxnReminderStatusCode status;
        std::size_t kept;
        const char* line;
    } rows[] = {
        {"DQE.DoQuery", Host::FaultKind::Fail, 1, TxnReminderStatus_LoadFailed, 0, nullptr},  // invoices
        {"ReminderSet.BatchLoad", Host::FaultKind::Fail, 1, TxnReminderStatus_LoadFailed, 0, nullptr},
        {"Name.Load", Host::FaultKind::Throw, 1, TxnReminderStatus_Exception, 0,
         "TxnReminder::PrepareReminderListToSend exception occured in execution, trace=injected fault at Name.Load"},
        // The second group cannot be loaded (listing the two sets reads both
        // groups first): the first group's reminder stays.
        {"Group.GetGroupById", Host::FaultKind::Fail, 4, TxnReminderStatus_Success, 1, nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.point);
        ClearLog();
        Ctx().ClearFaults();
        Ctx().ArmFault(row.point, row.kind, row.nth);
        const Selection s = Select();
        EXPECT_FALSE(s.ok);
        EXPECT_EQ(s.status, row.status);
        EXPECT_EQ(s.records.size(), row.kept);
        EXPECT_TRUE(!row.line || HasLine(4, 5, row.line));
        EXPECT_FALSE(HasLine("TxnReminder::Exiting TxnReminderEngine::PrepareReminderListToSend"));
    }
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

} // namespace
