// The reminder set's tree: keys, optional arrays, partial reads, and the id
// stamping of its rules.

#include "ConfigTreeSupport.h"
#include "TxnReminderSet.h"

using testsupport::ConfigTreeTest;
using testsupport::Date;
using testsupport::Flat;
using testsupport::Keys;
using testsupport::Tree;

namespace {

TxnReminderRule InvoiceRule(unsigned long id, int schedule, int days) {
    TxnReminderRule rule(1, id);
    rule.GetRuleCriteria().SetSchedule(schedule);
    rule.GetRuleCriteria().SetDays(days);
    rule.GetRuleCriteria().SetDateToCompare("due date");
    rule.SetRuleTemplate(TxnReminderRuleTemplate(15, "body", "subject"));
    return rule;
}

StatementReminderRule StatementRule(unsigned long id, unsigned short day) {
    StatementReminderRule rule(1, id);
    rule.SetScheduleDayWithFrequency(day, 1);
    rule.SetEmailListPrepDate(Date(2026, 2, 1));
    return rule;
}

Tree SetTree(const char* id, const char* status, const char* txnType) {
    Tree t = Flat({{"id", id},
                   {"status", status},
                   {"name", "Friendly nudges"},
                   {"targetGroupId", "-3"},
                   {"targetGroupName", "Slow payers"},
                   {"txnType", txnType}});
    return t;
}

Tree InvoiceRuleTree(const char* id, const char* schedule) {
    TxnReminderRule rule = InvoiceRule(0, 1, 1);
    Tree t;
    EXPECT_TRUE(rule.GetPtree(t));
    t.put("id", id);
    t.get_child("criterion").put("schedule", schedule);
    return t;
}

} // namespace

class ReminderSetTreeTest : public ConfigTreeTest {};

// Each type writes its own rule array only; the screens always send both.
// What is read back writes the same tree again.
TEST_F(ReminderSetTreeTest, InvoiceAndStatementSetsRoundTrip) {
    TxnReminderSet invoices(12, FormViewType_Invoice);
    invoices.SetReminderSetName("Friendly nudges");
    invoices.SetDefaultTargetGroupName("Slow payers");
    invoices.SetTargetGroupId(4);
    invoices.SetReminderStatus(TxnReminderSetStatus_Active);
    invoices.SetReminderRules({InvoiceRule(7, 1, 5), InvoiceRule(8, 2, 10)});
    invoices.SetRuleSetId(12);
    TxnReminderSet statements(5, FormViewType_Statement);
    statements.SetStatementReminderRules({StatementRule(3, 10), StatementRule(4, 20)});
    const struct {
        TxnReminderSet& set;
        const char* status;
        const char* type;
        const char* rules;
        const char* otherRules;
    } rows[] = {{invoices, "true", "Invoice", "rules", "statementRules"},
                {statements, "false", "Statement", "statementRules", "rules"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.type);
        Tree t;
        ASSERT_TRUE(row.set.GetPtree(t));
        EXPECT_EQ(Keys(t), (std::vector<std::string>{"id", "status", "name", "targetGroupId", "targetGroupName",
                                                     "txnType", row.rules}));
        EXPECT_EQ(t.get<std::string>("status"), row.status);
        EXPECT_EQ(t.get<std::string>("txnType"), row.type);
        EXPECT_EQ(Keys(t.get_child(row.rules)), (std::vector<std::string>{"", ""}));
        Tree sent = t;
        sent.add_child(row.otherRules, Tree());
        TxnReminderSet back;
        ASSERT_TRUE(back.SetPtree(sent));
        EXPECT_EQ(back.GetReminderRules().size(), row.set.GetReminderRules().size());
        EXPECT_EQ(back.GetStatementReminderRules().size(), row.set.GetStatementReminderRules().size());
        Tree again;
        ASSERT_TRUE(back.GetPtree(again));
        // Only "INV_TYPE" reads back as a template's type.
        std::string want = testsupport::Json(t);
        const std::string written = "\"typeId\":\"15\"";
        for (std::size_t at; (at = want.find(written)) != std::string::npos;) want.replace(at, written.size(), "\"typeId\":\"-1\"");
        EXPECT_EQ(testsupport::Json(again), want);
    }
    EXPECT_TRUE(Failures().empty());
}

// An unset type writes no type, which does not read back; only the exact
// words name a status or a type.
TEST_F(ReminderSetTreeTest, TypeAndStatusAreExactWords) {
    TxnReminderSet set;
    Tree t;
    ASSERT_TRUE(set.GetPtree(t));
    EXPECT_EQ(Keys(t), (std::vector<std::string>{"id", "status", "name", "targetGroupId", "targetGroupName"}));
    EXPECT_EQ(t.get<std::string>("status"), "false");
    TxnReminderSet back(3, FormViewType_Invoice);
    EXPECT_FALSE(back.SetPtree(t));
    EXPECT_EQ(back.GetRuleSetId(), 0u);
    EXPECT_EQ(back.GetTxnType(), FormViewType_Invoice);
    ExpectFailureFrom("TxnReminder::Engine Error parsing Ptree in TxnReminderSet::SetPtree, trace=No such node (txnType)",
                      "TxnReminderSet", "TxnReminderSet::SetPtree");

    set.SetReminderStatus(TxnReminderSetStatus_Active);
    Tree words = SetTree("1", "TRUE", "invoice");
    words.add_child("rules", Tree());
    words.add_child("statementRules", Tree());
    ASSERT_TRUE(set.SetPtree(words));
    EXPECT_EQ(set.GetReminderSetStatus(), TxnReminderSetStatus_Active);
    EXPECT_EQ(set.GetTxnType(), FormViewType_None);
    words.put("status", "false");
    ASSERT_TRUE(set.SetPtree(words));
    EXPECT_EQ(set.GetReminderSetStatus(), TxnReminderSetStatus_Inactive);
}

TEST_F(ReminderSetTreeTest, ReadsStopAtTheFirstBadKeyKeepingWhatCameBefore) {
    TxnReminderSet set(9, FormViewType_Invoice);
    set.SetReminderSetName("kept");
    EXPECT_FALSE(set.SetPtree(SetTree("nine", "true", "Invoice")));
    EXPECT_EQ(set.GetRuleSetId(), 9u);
    EXPECT_EQ(set.GetReminderSetName().str(), "kept");
    const std::string conversion = "TxnReminder::Engine Error parsing Ptree in TxnReminderSet::SetPtree, "
                                   "trace=conversion of data to type \"";
    ASSERT_EQ(Failures().size(), 1u);
    EXPECT_EQ(Failures()[0].substr(0, conversion.size()), conversion);

    // A bad target group id: id, name and status are already in.
    EXPECT_FALSE(set.SetPtree(SetTree("10", "true", "Invoice")));  // no "rules"
    EXPECT_EQ(set.GetRuleSetId(), 10u);
    EXPECT_EQ(set.GetTargetGroupId(), -3);
    Tree wide = SetTree("11", "false", "Statement");
    wide.put("targetGroupId", "2147483648");
    EXPECT_FALSE(set.SetPtree(wide));
    EXPECT_EQ(set.GetRuleSetId(), 11u);
    EXPECT_EQ(set.GetReminderSetStatus(), TxnReminderSetStatus_Inactive);
    EXPECT_EQ(set.GetTargetGroupId(), -3);
    EXPECT_EQ(set.GetTxnType(), FormViewType_Invoice);
}

TEST_F(ReminderSetTreeTest, RefusedRuleKeepsEarlierRulesAndLogsBothLines) {
    TxnReminderSet set;
    set.SetStatementReminderRules({StatementRule(1, 1)});
    Tree t = SetTree("2", "true", "Invoice");
    Tree rules;
    rules.push_back(Tree::value_type("", InvoiceRuleTree("21", "after")));
    rules.push_back(Tree::value_type("", InvoiceRuleTree("22", "sometime")));
    rules.push_back(Tree::value_type("", InvoiceRuleTree("23", "before")));
    t.add_child("rules", rules);
    t.add_child("statementRules", Tree());

    EXPECT_FALSE(set.SetPtree(t));
    ASSERT_EQ(set.GetReminderRules().size(), 1u);
    EXPECT_EQ(set.GetReminderRules()[0].GetRuleId(), 21u);
    EXPECT_EQ(set.GetStatementReminderRules().size(), 1u);
    EXPECT_EQ(Failures(), (std::vector<std::string>{
                              "TxnReminder: Error occurred whiled parsing JSON at TxnReminderRuleCriteria::SetPtree, "
                              "trace=schedule is not before/after",
                              "TxnReminder: Error occurred whiled parsing Ptree at TxnReminderRuleCriteria::SetPtree",
                              "TxnReminder::Exception in TxnReminderSet::SetPtree while calling "
                              "TxnReminderRule::SetPtree",
                          }));
    ExpectFailureFrom("TxnReminder::Exception in TxnReminderSet::SetPtree while calling TxnReminderRule::SetPtree",
                      "TxnReminderSet", "TxnReminderSet::SetPtree");

    ClearLog();
    Tree st = SetTree("2", "true", "Statement");
    st.add_child("rules", Tree());
    Tree bad;
    bad.push_back(Tree::value_type("", Flat({{"id", "1"}})));
    st.add_child("statementRules", bad);
    EXPECT_FALSE(set.SetPtree(st));
    EXPECT_TRUE(set.GetReminderRules().empty());
    EXPECT_TRUE(set.GetStatementReminderRules().empty());
    EXPECT_EQ(Failures().back(),
              "TxnReminder::Exception in TxnReminderSet::SetPtree while calling StatementReminderRule::SetPtree");
}

TEST_F(ReminderSetTreeTest, SetIdIsStampedOnEveryRuleButNotByReplacingRules) {
    TxnReminderSet set;
    set.SetReminderRules({InvoiceRule(1, 1, 1), InvoiceRule(2, 1, 2), InvoiceRule(3, 2, 1)});
    set.SetStatementReminderRules({StatementRule(4, 1)});
    set.SetRuleSetId(7);
    for (const auto& r : set.GetReminderRules()) EXPECT_EQ(r.GetRuleSetId(), 7u);
    EXPECT_EQ(set.GetStatementReminderRules()[0].GetRuleSetId(), 7u);

    set.SetReminderRules({InvoiceRule(5, 1, 1)});
    EXPECT_EQ(set.GetReminderRules()[0].GetRuleSetId(), 1u);

    // Set ids are 32-bit, on the set and on what it stamps.
    set.SetRuleSetId(0x100000007ul);
    EXPECT_EQ(set.GetRuleSetId(), 7u);
    EXPECT_EQ(set.GetReminderRules()[0].GetRuleSetId(), 7u);
}
