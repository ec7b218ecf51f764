#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "Records/StmtReminderRecords.h"
#include "ReminderSetBuilders.h"
#include "StatementReminderDBHelper.h"
#include "StorageFixture.h"
#include "TxnReminderEngine.h"
#include "TxnSendableReminderContainer.h"

using namespace testsupport;
using DMStmtReminderExecutionStatus::DBStmtReminderExecutionStatus;
using Host::FaultKind;

namespace {

const std::string kHelper = "TxnReminder:StatementReminderDBHelper::";
const std::string kStmtEvent = "EventSource=AutomatedStatementReminders,EventId=";

class StatementStorageTest : public StorageFixture {
protected:
    void SetUp() override {
        StorageFixture::SetUp();
        m_groupId = AddCustomerGroup("Statement customers");
    }
    // A weekly and a monthly rule.
    TxnReminderSet TwoRules(const std::string& name = "Statements") {
        return StatementSet(name, m_groupId, {StatementRule(2, 0, 1, 0, 40), StatementRule(15, 1, 8, 2, 41)});
    }
    TxnReminderSet Saved(const std::string& name = "Statements") {
        TxnReminderSet set = TwoRules(name);
        TxnReminderEngine engine(FormViewType_Statement);
        EXPECT_TRUE(engine.AddOrUpdateReminderSet(m_status, set));
        return set;
    }
    void AddStatus(unsigned long ruleId, int customerId) {
        TxnReminderEngine engine(FormViewType_Statement);
        ASSERT_TRUE(engine.AddStatementReminderExecutionStatus(ruleId, customerId, ReminderExecutionStatus_Sent));
    }
    static long long StatusRows(unsigned long ruleId) {
        return QueryInt("SELECT COUNT(*) FROM stmt_reminder_status WHERE rule_id = " + std::to_string(ruleId));
    }
    static std::string PrepDate(unsigned long ruleId) {
        return QueryText("SELECT prep_date FROM stmt_reminder_rules WHERE id = " + std::to_string(ruleId));
    }
    static std::string Counts() {
        return std::to_string(Rows("reminder_sets")) + "/" + std::to_string(Rows("stmt_reminder_rules")) + "/" +
               std::to_string(Rows("stmt_reminder_status"));
    }

    long m_groupId = 0;
    TxnReminderStatusCode m_status = TxnReminderStatus_Reset;
};

// --- rules ---------------------------------------------------------------------------

TEST_F(StatementStorageTest, SavedRulesLoadBackWithTheirFieldsAfterReopening) {
    TxnReminderSet set = TwoRules();
    set.GetStatementReminderRules()[0].SetEmailListPrepDate(Date(2026, 3, 2));  // a new rule has had no period
    TxnReminderEngine engine(FormViewType_Statement);
    ASSERT_TRUE(engine.AddOrUpdateReminderSet(m_status, set));
    EXPECT_EQ(m_status, TxnReminderStatus_Success);
    EXPECT_EQ(Events(), (std::vector<std::string>{"EventSource=InvoicePaymentReminders,EventId=ScheduleCreated",
                                                  kStmtEvent + "ReminderCreated", kStmtEvent + "ReminderCreated"}));
    EXPECT_TRUE(Logged(1, 5, {"TxnReminder::Entering StatementReminderDBHelper::SaveStmtRule",
                              "TxnReminder::Exiting StatementReminderDBHelper::SaveStmtRule"}));
    const unsigned long firstId = set.GetStatementReminderRules()[0].GetRuleId();
    EXPECT_GT(firstId, 0u);
    EXPECT_EQ(set.GetStatementReminderRules()[1].GetRuleSetId(), set.GetRuleSetId());

    ReopenFile();
    m_events.clear();
    TxnReminderEngine reader(FormViewType_Statement);
    std::vector<TxnReminderSet> sets;
    ASSERT_TRUE(reader.GetAllReminderSets(m_status, sets));
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].GetReminderSetName().str(), "Statements");
    EXPECT_EQ(sets[0].GetDefaultTargetGroupName().str(), "Statement customers");
    const auto& rules = sets[0].GetStatementReminderRules();
    ASSERT_EQ(rules.size(), 2u);
    EXPECT_EQ(rules[0].GetRuleId(), firstId);
    EXPECT_EQ(rules[0].GetRuleSetId(), set.GetRuleSetId());
    EXPECT_EQ(rules[0].GetScheduleDay() * 10 + rules[0].GetFrequency(), 20);
    EXPECT_EQ(rules[0].GetEmailListPrepDate(), Date(1970, 1, 1));
    const auto& c = rules[1].GetRuleCriteria();
    // day|frequency|e-mail template|style|date range|status|overdue by|items memo due date customer:job
    EXPECT_EQ(std::to_string(rules[1].GetScheduleDay()) + "|" + std::to_string(rules[1].GetFrequency()) + "|" +
                  std::to_string(rules[1].GetEmailTemplateId()) + "|" + std::to_string(rules[1].GetStyleTemplateId()) +
                  "|" + std::to_string(c.GetDateRange()) + "|" + std::to_string(c.GetTxnStatus()) + "|" +
                  std::to_string(c.GetOverdueBy()) + "|" + std::to_string(c.GetIsItemDetailsIncluded()) +
                  std::to_string(c.GetIsMemoIncluded()) + std::to_string(c.GetIsDueDateIncluded()) +
                  std::to_string(c.GetIsCustomerJob()),
              "15|1|41|141|8|2|25|1010");
    EXPECT_EQ(Events(), (std::vector<std::string>{
                            kStmtEvent + "NumberOfRulesPerReminderSet:2",
                            "EventSource=InvoicePaymentReminders, EventId=NumberOfDisabledReminderSets:0, ReminderType=101",
                            "EventSource=InvoicePaymentReminders, EventId=AvgNumberOfRemindersPerSet:2, ReminderType=101",
                            "EventSource=InvoicePaymentReminders,EventId=NumberOfReminderSets:1, ReminderType:101"}));

    // Saved again, with an id, the rule keeps its own date.
    set.GetStatementReminderRules()[1].SetEmailListPrepDate(Date(1970, 1, 1));
    ASSERT_TRUE(reader.AddOrUpdateReminderSet(m_status, set));
    EXPECT_EQ(PrepDate(firstId), "20260302");
    EXPECT_EQ(Rows("stmt_reminder_rules"), 2);
}

TEST_F(StatementStorageTest, LoadingAppendsToTheRulesAlreadyThere) {
    const unsigned long setId = Saved().GetRuleSetId();
    StatementReminderDBHelper helper;
    std::vector<StatementReminderRule> rules(2);
    ASSERT_TRUE(helper.GetAllStatementRulesForReminderSet(rules, setId));
    EXPECT_EQ(rules.size(), 4u);
    EXPECT_EQ(m_events.back().second, kStmtEvent + "NumberOfRulesPerReminderSet:4");

    m_events.clear();
    std::vector<StatementReminderRule> none;
    ASSERT_TRUE(helper.GetAllStatementRulesForReminderSet(none, setId + 1));
    EXPECT_TRUE(none.empty());
    EXPECT_TRUE(m_events.empty());

    Ctx().ArmFault("StmtRule.BatchLoad", FaultKind::Fail);
    EXPECT_FALSE(helper.GetAllStatementRulesForReminderSet(none, setId));
    EXPECT_TRUE(HasLine(4, 5, kHelper + "GetAllRules - failed to batch load"));
    // Through the set listing the failure has its own line and status.
    Ctx().ArmFault("StmtRule.BatchLoad", FaultKind::Fail);
    std::vector<TxnReminderSet> sets;
    EXPECT_FALSE(helper.GetAllReminderSets(m_status, FormViewType_Statement, sets));
    EXPECT_EQ(m_status, TxnReminderStatus_NoTransaction);
    EXPECT_TRUE(HasLine(4, 5, kHelper + "Error fetching all rules for reminderset Id"));
}

// The screens may send any date for a stored rule. What is saved must load
// back as it was; what cannot be is refused and the set left as it was.
TEST_F(StatementStorageTest, PreparationDatesAreSavedOnlyWhenTheyLoadBack) {
    struct Row {
        DateType32 date;
        bool saved;
    };
    DateType32 zero;
    zero.SetZero();
    const Row rows[] = {
        {Date(2026, 3, 2), true},  {Date(1000, 1, 1), true}, {zero, false},
        {Date(999, 1, 1), false},  {Date(2026, 13, 1), false}, {Date(2026, 2, 30), false},
    };
    TxnReminderSet set = Saved();
    const unsigned long ruleId = set.GetStatementReminderRules()[0].GetRuleId();
    for (const Row& row : rows) {
        const std::string before = PrepDate(ruleId);
        SCOPED_TRACE(std::to_string(row.date.GetYear()) + "-" + std::to_string(row.date.GetMonth()) + "-" +
                     std::to_string(row.date.GetDay()));
        TxnReminderSet edited(set);
        edited.GetStatementReminderRules()[0].SetEmailListPrepDate(row.date);
        edited.GetStatementReminderRules()[1].SetEmailListPrepDate(Date(2026, 1, 1));
        TxnReminderEngine engine(FormViewType_Statement);
        EXPECT_EQ(engine.AddOrUpdateReminderSet(m_status, edited), row.saved);
        std::vector<TxnReminderSet> sets;
        ASSERT_TRUE(engine.GetAllReminderSets(m_status, sets));
        ASSERT_EQ(sets.size(), 1u);
        ASSERT_EQ(sets[0].GetStatementReminderRules().size(), 2u);
        if (row.saved) {
            EXPECT_EQ(sets[0].GetStatementReminderRules()[0].GetEmailListPrepDate(), row.date);
        } else {
            EXPECT_EQ(PrepDate(ruleId), before);
        }
    }
}

// A stored date that cannot be read costs its own rule, not the listing of
// every set nor the daily statement selection.
TEST_F(StatementStorageTest, UnreadableStoredDateCostsOnlyItsRule) {
    TxnReminderSet set = Saved();
    const unsigned long badId = set.GetStatementReminderRules()[0].GetRuleId();
    for (const char* text : {"soon", "00000", "9990101", ""}) {
        SCOPED_TRACE(text);
        ExecSql("UPDATE stmt_reminder_rules SET prep_date = '" + std::string(text) + "' WHERE id = " +
                std::to_string(badId));
        ClearLog();
        TxnReminderEngine engine(FormViewType_Statement);
        std::vector<TxnReminderSet> sets;
        ASSERT_TRUE(engine.GetAllReminderSets(m_status, sets));
        ASSERT_EQ(sets.size(), 1u);
        ASSERT_EQ(sets[0].GetStatementReminderRules().size(), 1u);
        EXPECT_NE(sets[0].GetStatementReminderRules()[0].GetRuleId(), badId);
        EXPECT_EQ(LinesWith("rule " + std::to_string(badId) + " left out").size(), 1u);

        std::vector<TxnSendableReminderContainer> due;
        EXPECT_TRUE(engine.PrepareReminderListToSendForStmt(m_status, due, true));
        EXPECT_NE(m_status, TxnReminderStatus_LoadFailed);
    }
}

TEST_F(StatementStorageTest, FailedRuleWriteLeavesNothingOfTheStatementSet) {
    TxnReminderSet set = TwoRules();
    TxnReminderEngine engine(FormViewType_Statement);
    const FaultRow row{"StmtRule.Add", TxnReminderStatus_NoTransaction,
                       {kHelper + "SaveRule - failed ", kHelper + "SaveReminderSet - SaveRule api returned false",
                        kHelper + "SaveReminderSet Rollback api returned false"},
                       2, FaultKind::Fail, true};
    Arm(row);
    EXPECT_TRUE(FailedAs(row, engine.AddOrUpdateReminderSet(m_status, set), m_status));
    // The event of the failed write went out all the same.
    EXPECT_EQ(std::count(m_events.begin(), m_events.end(), std::make_pair(242, kStmtEvent + "ReminderCreated")), 2);
    EXPECT_EQ(Counts(), "0/0/0");
    EXPECT_EQ(set.GetRuleSetId(), 0u);
    EXPECT_EQ(set.GetStatementReminderRules()[0].GetRuleId(), 0u);

    StatementReminderRule lonely = StatementRule(3, 0, 1, 0, 40);
    Ctx().ArmFault("DBManager.CreateTransaction", FaultKind::Fail);
    StatementReminderDBHelper noTransaction;
    EXPECT_FALSE(noTransaction.SaveStmtRule(lonely));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder: SaveRule: dbTrans is NULL"));
}

TEST_F(StatementStorageTest, MovedPreparationDateOutlivesTheEngine) {
    StatementReminderRule rule = Saved().GetStatementReminderRules()[1];
    rule.SetEmailListPrepDate(Date(2026, 2, 15));
    {
        TxnReminderEngine engine(FormViewType_Statement);
        ASSERT_TRUE(engine.UpdateEmailPrepDateForSTMT(rule));
        EXPECT_EQ(m_events.back().second, kStmtEvent + "ReminderModified");
    }  // the engine's helper goes, and with it anything it left uncommitted
    ReopenFile();
    EXPECT_EQ(PrepDate(rule.GetRuleId()), "20260215");

    Ctx().ArmFault("StmtRule.Update", FaultKind::Fail);
    TxnReminderEngine engine(FormViewType_Statement);
    rule.SetEmailListPrepDate(Date(2026, 3, 15));
    EXPECT_FALSE(engine.UpdateEmailPrepDateForSTMT(rule));
    EXPECT_TRUE(HasLine(4, 5, kHelper + "SaveRule - failed "));
    EXPECT_EQ(PrepDate(rule.GetRuleId()), "20260215");
}

// --- execution status -------------------------------------------------------------------

TEST_F(StatementStorageTest, ExecutionStatusIsAddedUpdatedReadAndDeleted) {
    TxnReminderEngine engine(FormViewType_Statement);
    StatementReminderDBHelper helper;
    ASSERT_TRUE(engine.AddStatementReminderExecutionStatus(12, 7, ReminderExecutionStatus_Sent));
    ASSERT_TRUE(engine.AddStatementReminderExecutionStatus(12, 5, ReminderExecutionStatus_Pending));
    ASSERT_TRUE(engine.AddStatementReminderExecutionStatus(13, 5, ReminderExecutionStatus_Sent));
    EXPECT_TRUE(HasLine(1, 5, "TxnReminder::Exiting StatementReminderDBHelper::AddReminderExecutionDetails"));
    ASSERT_TRUE(helper.UpdateReminderExecutionStatusForSTMT(12, 5, ReminderExecutionStatus_Skipped));

    std::vector<DBStmtReminderExecutionStatus> rows;
    ASSERT_TRUE(engine.GetCustomersStatusForGivenRule(12, rows));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].CustomerId, 5);
    EXPECT_EQ(rows[0].Status, ReminderExecutionStatus_Skipped);
    EXPECT_EQ(rows[1].CustomerId, 7);
    std::vector<int> customers{99};
    ASSERT_TRUE(helper.GetCustomersForGivenExecutionStatusForSTMT(customers, 12, ReminderExecutionStatus_Sent));
    EXPECT_EQ(customers, (std::vector<int>{99, 7}));

    ASSERT_TRUE(engine.DeleteStatementReminderExecutionDetails(12, 7));
    EXPECT_EQ(StatusRows(12), 1);
    ASSERT_TRUE(engine.DeleteStatementReminderExecutionDetails(13));
    const std::string kTrace = "TxnReminder::Exiting StatementReminderDBHelper StatementReminderDBHelper::";
    EXPECT_TRUE(Logged(0, 6, {"TxnReminder: StmtReminderDBHelper:  GetCustomersStatusForGivenRule: Start",
                              kTrace + "GetCustomersStatusForGivenRule",
                              "TxnReminder: StmtReminderDBHelper:  GetCustomersForGivenExecutionStatus: Start",
                              kTrace + "DeleteReminderExecutionDetail",
                              "TxnReminder::Entering StatementReminderDBHelper "
                              "StatementReminderDBHelper::DeleteReminderExecutionDetailsForRule"}));
    ReopenFile();
    EXPECT_EQ(StatusRows(12), 1);
    EXPECT_EQ(StatusRows(13), 0);
}

TEST_F(StatementStorageTest, ExecutionStatusFailuresAreLoggedAndRolledBack) {
    StatementReminderDBHelper helper;
    ASSERT_TRUE(helper.AddReminderExecutionDetails(12, 7, ReminderExecutionStatus_Sent));
    std::vector<int> customers;
    std::vector<DBStmtReminderExecutionStatus> rows;
    const auto rolledBack = [](const char* point, const std::string& what, const std::string& failure) {
        return FaultRow{point, kAnyStatus, {kHelper + what + failure, kHelper + what + " Rollback api returned false"},
                        1, FaultKind::Fail, true};
    };
    const struct {
        FaultRow row;  // without a point the write itself is refused
        std::function<bool()> call;
    } cases[] = {
        {rolledBack("", "AddReminderExecutionDetails", " - Unable to save execution details"),  // already there
         [&] { return helper.AddReminderExecutionDetails(12, 7, ReminderExecutionStatus_Pending); }},
        {rolledBack("", "UpdateReminderExecutionStatus", " - Unable to update execution status"),  // none to update
         [&] { return helper.UpdateReminderExecutionStatusForSTMT(12, 8, ReminderExecutionStatus_Sent); }},
        {rolledBack("StmtStatus.Delete", "DeleteReminderExecutionDetailsForRule", " - failed to delete"),
         [&] { return helper.DeleteReminderExecutionDetailsForRule(12); }},
        {rolledBack("StmtStatus.Delete", "DeleteReminderExecutionDetail", " - failed to delete"),
         [&] { return helper.DeleteReminderExecutionDetail(12, 7); }},
        {{"StmtStatus.BatchLoadByRuleIdAndStatus", kAnyStatus,
          {kHelper + "GetCustomersForGivenExecutionStatus -failed to batchLoadAll"}},
         [&] { return helper.GetCustomersForGivenExecutionStatusForSTMT(customers, 12, ReminderExecutionStatus_Sent); }},
        {{"StmtStatus.BatchLoadByRuleId", kAnyStatus, {kHelper + "GetCustomersStatusForGivenRule -failed to batchLoadAll"}},
         [&] { return helper.GetCustomersStatusForGivenRule(12, rows); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.row.lines[0]);
        Arm(c.row);
        EXPECT_TRUE(FailedAs(c.row, c.call(), m_status));
        EXPECT_EQ(QueryText("SELECT group_concat(customer_id || ':' || status) FROM stmt_reminder_status"),
                  "7:" + std::to_string(ReminderExecutionStatus_Sent));
    }
}

// --- deleting -------------------------------------------------------------------------

// A failed step anywhere in a set's deletion leaves its rules and statuses;
// a whole one takes them and leaves the other set's.
TEST_F(StatementStorageTest, SetDeletionTakesItsRulesAndStatusesOrNothing) {
    const unsigned long setId = Saved().GetRuleSetId();
    const TxnReminderSet kept = Saved("Kept");
    const unsigned long first = QueryInt("SELECT MIN(id) FROM stmt_reminder_rules");
    AddStatus(first, 5);
    AddStatus(first, 6);
    AddStatus(first + 1, 5);
    AddStatus(kept.GetStatementReminderRules()[0].GetRuleId(), 5);
    const auto failed = [](const char* point, const std::string& what) {
        return FaultRow{point, TxnReminderStatus_DeleteFailed,
                        {kHelper + what + " - failed to delete", kHelper + what + " Rollback api returned false"},
                        1, FaultKind::Fail, true};
    };
    const FaultRow rows[] = {
        {"StmtStatus.Delete", TxnReminderStatus_Reset, {kHelper + "DeleteReminderSet - failed to delete execution status"}, 2},
        failed("StmtRule.BatchDelete", "BatchDeleteRule"),
        failed("ReminderSet.Delete", "DeleteReminderSet"),
        {"StmtRule.BatchLoad", TxnReminderStatus_NoTransaction, {kHelper + "DeleteReminderSet - failed to batch load"}},
    };
    StatementReminderDBHelper helper;
    for (const FaultRow& row : rows) {
        SCOPED_TRACE(row.point);
        Arm(row);
        m_status = TxnReminderStatus_Success;
        EXPECT_TRUE(FailedAs(row, helper.DeleteReminderSet(m_status, setId), m_status));
        EXPECT_EQ(Counts(), "2/4/4");
    }
    // A throwing write part-way leaves nothing either; the helper's next unit
    // of work commits only its own writes.
    Ctx().ArmFault("StmtRule.BatchDelete", FaultKind::Throw);
    EXPECT_ANY_THROW(helper.DeleteReminderSet(m_status, setId));
    ASSERT_TRUE(helper.AddReminderExecutionDetails(first + 100, 5, ReminderExecutionStatus_Sent));
    ReopenFile();
    EXPECT_EQ(StatusRows(first), 2);
    EXPECT_EQ(Counts(), "2/4/5");

    TxnReminderEngine engine(FormViewType_Statement);
    m_events.clear();
    ASSERT_TRUE(engine.DeleteReminderSet(m_status, setId));
    EXPECT_EQ(m_status, TxnReminderStatus_Success);
    EXPECT_TRUE(Logged(0, 6, {"TxnReminder::Entering StatementReminderDBHelper StatementReminderDBHelper::DeleteReminderSet",
                              "TxnReminder::Exiting StatementReminderDBHelper StatementReminderDBHelper::DeleteReminderSet"}));
    EXPECT_EQ(Events(), std::vector<std::string>{"EventSource=InvoicePaymentReminders,EventId=ScheduleDeleted, ReminderType=101"});
    ReopenFile();
    EXPECT_EQ(Counts(), "1/2/2");  // the other set's, and the status of no rule

    // A set without rules: only its record goes.
    TxnReminderEngine reopened(FormViewType_Statement);
    TxnReminderSet empty = StatementSet("Empty", m_groupId, {});
    ASSERT_TRUE(reopened.AddOrUpdateReminderSet(m_status, empty));
    ASSERT_TRUE(reopened.DeleteReminderSet(m_status, empty.GetRuleSetId()));
    EXPECT_EQ(Counts(), "1/2/2");
}

TEST_F(StatementStorageTest, DeletingOneRuleTakesItsStatusesInOneUnit) {
    const unsigned long first = Saved().GetStatementReminderRules()[0].GetRuleId();
    AddStatus(first, 5);
    TxnReminderEngine engine(FormViewType_Statement);
    const FaultRow rows[] = {
        {"StmtRule.Delete", TxnReminderStatus_DeleteFailed,
         {kHelper + "DeleteRule - failed to delete the rule",
          "TxnReminder::StatementReminderDBHelper::DeleteRule - Rollback api call failed"},
         1, FaultKind::Fail, true},
        {"StmtStatus.Delete", TxnReminderStatus_Reset, {kHelper + "DeleteRule - failed to delete execution status"}},
    };
    for (const FaultRow& row : rows) {
        SCOPED_TRACE(row.point);
        Arm(row);
        EXPECT_TRUE(FailedAs(row, engine.DeleteReminderRule(m_status, first), m_status));
        EXPECT_EQ(Counts(), "1/2/1");
    }
    m_events.clear();
    ClearLog();
    ASSERT_TRUE(engine.DeleteReminderRule(m_status, first));
    EXPECT_EQ(m_status, TxnReminderStatus_Success);
    EXPECT_TRUE(HasLine(1, 5, "TxnReminder::Entering StatementReminderDBHelper::DeleteRule"));
    EXPECT_TRUE(HasLine(0, 6, "TxnReminder::Exiting StatementReminderDBHelper StatementReminderDBHelper::DeleteRule"));
    EXPECT_EQ(Events(), std::vector<std::string>{"EventSource=InvoicePaymentReminders,EventId=ReminderDeleted, ReminderType=101"});
    ReopenFile();
    EXPECT_EQ(Counts(), "1/1/0");
}

} // namespace
