#include <algorithm>
#include <string>
#include <vector>

#include "HostFixture.h"
#include "Records/StmtReminderRecords.h"
#include "ReminderSetBuilders.h"
#include "StatementReminderDBHelper.h"
#include "TxnReminderEngine.h"

using namespace testsupport;
using DMStmtReminderExecutionStatus::DBStmtReminderExecutionStatus;

namespace {

class StatementStorageTest : public HostFixture {
protected:
    void SetUp() override {
        HostFixture::SetUp();
        m_groupId = AddCustomerGroup("Statement customers");
    }
    std::vector<std::string> Events() const {
        std::vector<std::string> texts;
        for (const auto& e : m_events) texts.push_back(e.second);
        return texts;
    }
    // A stored statement set with a weekly and a monthly rule.
    TxnReminderSet SavedSet(const std::string& name = "Statements") {
        TxnReminderSet set = StatementSet(name, m_groupId, {StatementRule(2, 0, 1, 0, 40), StatementRule(15, 1, 8, 2, 41)});
        TxnReminderEngine engine(FormViewType_Statement);
        TxnReminderStatusCode status = TxnReminderStatus_Reset;
        EXPECT_TRUE(engine.AddOrUpdateReminderSet(status, set));
        return set;
    }
    void AddStatus(unsigned long ruleId, int customerId, ReminderExecutionStatus value) {
        TxnReminderEngine engine(FormViewType_Statement);
        ASSERT_TRUE(engine.AddStatementReminderExecutionStatus(ruleId, customerId, value));
    }
    long long StatusRows(unsigned long ruleId) {
        return QueryInt("SELECT COUNT(*) FROM stmt_reminder_status WHERE rule_id = " + std::to_string(ruleId));
    }

    long m_groupId = 0;
};

// --- rules ---------------------------------------------------------------------------

TEST_F(StatementStorageTest, SavedRulesLoadBackWithTheirFieldsAfterReopening) {
    TxnReminderSet set = StatementSet("Statements", m_groupId, {StatementRule(2, 0, 1, 0, 40), StatementRule(15, 1, 8, 2, 41)});
    set.GetStatementReminderRules()[0].SetEmailListPrepDate(Date(2026, 3, 2));  // a new rule has had no period
    TxnReminderEngine engine(FormViewType_Statement);
    TxnReminderStatusCode status = TxnReminderStatus_Reset;
    ASSERT_TRUE(engine.AddOrUpdateReminderSet(status, set));
    EXPECT_EQ(status, TxnReminderStatus_Success);
    EXPECT_EQ(Events(),
              (std::vector<std::string>{"EventSource=InvoicePaymentReminders,EventId=ScheduleCreated",
                                        "EventSource=AutomatedStatementReminders,EventId=ReminderCreated",
                                        "EventSource=AutomatedStatementReminders,EventId=ReminderCreated"}));
    EXPECT_TRUE(HasLine(1, 5, "TxnReminder::Entering StatementReminderDBHelper::SaveStmtRule"));
    EXPECT_TRUE(HasLine(1, 5, "TxnReminder::Exiting StatementReminderDBHelper::SaveStmtRule"));
    const unsigned long firstId = set.GetStatementReminderRules()[0].GetRuleId();
    EXPECT_GT(firstId, 0u);
    EXPECT_EQ(set.GetStatementReminderRules()[1].GetRuleSetId(), set.GetRuleSetId());

    ReopenFile();
    m_events.clear();
    TxnReminderEngine reader(FormViewType_Statement);
    std::vector<TxnReminderSet> sets;
    ASSERT_TRUE(reader.GetAllReminderSets(status, sets));
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].GetReminderSetName().str(), "Statements");
    EXPECT_EQ(sets[0].GetDefaultTargetGroupName().str(), "Statement customers");
    const auto& rules = sets[0].GetStatementReminderRules();
    ASSERT_EQ(rules.size(), 2u);
    EXPECT_EQ(rules[0].GetRuleId(), firstId);
    EXPECT_EQ(rules[0].GetRuleSetId(), set.GetRuleSetId());
    EXPECT_EQ(rules[0].GetScheduleDay(), 2);
    EXPECT_EQ(rules[0].GetFrequency(), 0);
    EXPECT_EQ(rules[0].GetEmailListPrepDate(), Date(1970, 1, 1));
    EXPECT_EQ(rules[1].GetScheduleDay(), 15);
    EXPECT_EQ(rules[1].GetFrequency(), 1);
    EXPECT_EQ(rules[1].GetEmailTemplateId(), 41);
    EXPECT_EQ(rules[1].GetStyleTemplateId(), 141);
    EXPECT_EQ(rules[1].GetRuleCriteria().GetDateRange(), 8);
    EXPECT_EQ(rules[1].GetRuleCriteria().GetTxnStatus(), 2);
    EXPECT_EQ(rules[1].GetRuleCriteria().GetOverdueBy(), 25);
    EXPECT_TRUE(rules[1].GetRuleCriteria().GetIsItemDetailsIncluded());
    EXPECT_FALSE(rules[1].GetRuleCriteria().GetIsMemoIncluded());
    EXPECT_TRUE(rules[1].GetRuleCriteria().GetIsDueDateIncluded());
    EXPECT_FALSE(rules[1].GetRuleCriteria().GetIsCustomerJob());
    EXPECT_EQ(Events(),
              (std::vector<std::string>{
                  "EventSource=AutomatedStatementReminders,EventId=NumberOfRulesPerReminderSet:2",
                  "EventSource=InvoicePaymentReminders, EventId=NumberOfDisabledReminderSets:0, ReminderType=101",
                  "EventSource=InvoicePaymentReminders, EventId=AvgNumberOfRemindersPerSet:2, ReminderType=101",
                  "EventSource=InvoicePaymentReminders,EventId=NumberOfReminderSets:1, ReminderType:101"}));

    // Saved again, with an id, the rule keeps its own date.
    set.GetStatementReminderRules()[0].SetEmailListPrepDate(Date(2026, 3, 2));
    ASSERT_TRUE(reader.AddOrUpdateReminderSet(status, set));
    EXPECT_EQ(QueryText("SELECT prep_date FROM stmt_reminder_rules WHERE id = " + std::to_string(firstId)), "20260302");
    EXPECT_EQ(Rows("stmt_reminder_rules"), 2);
}

TEST_F(StatementStorageTest, LoadingAppendsToTheRulesAlreadyThere) {
    TxnReminderSet set = SavedSet();
    StatementReminderDBHelper helper;
    std::vector<StatementReminderRule> rules(2);
    ASSERT_TRUE(helper.GetAllStatementRulesForReminderSet(rules, set.GetRuleSetId()));
    EXPECT_EQ(rules.size(), 4u);
    EXPECT_EQ(m_events.back().second, "EventSource=AutomatedStatementReminders,EventId=NumberOfRulesPerReminderSet:4");

    m_events.clear();
    std::vector<StatementReminderRule> none;
    ASSERT_TRUE(helper.GetAllStatementRulesForReminderSet(none, set.GetRuleSetId() + 1));
    EXPECT_TRUE(none.empty());
    EXPECT_TRUE(m_events.empty());

    Ctx().ArmFault("StmtRule.BatchLoad", Host::FaultKind::Fail);
    EXPECT_FALSE(helper.GetAllStatementRulesForReminderSet(none, set.GetRuleSetId()));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:StatementReminderDBHelper::GetAllRules - failed to batch load"));

    // Through the set listing the failure has its own line and status.
    Ctx().ArmFault("StmtRule.BatchLoad", Host::FaultKind::Fail);
    TxnReminderStatusCode status = TxnReminderStatus_Reset;
    std::vector<TxnReminderSet> sets;
    EXPECT_FALSE(helper.GetAllReminderSets(status, FormViewType_Statement, sets));
    EXPECT_EQ(status, TxnReminderStatus_NoTransaction);
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:StatementReminderDBHelper::Error fetching all rules for reminderset Id"));
}

TEST_F(StatementStorageTest, UnreadableStoredDateFailsTheListingThroughTheEngine) {
    SavedSet();
    ExecSql("UPDATE stmt_reminder_rules SET prep_date = 'soon'");
    TxnReminderEngine engine(FormViewType_Statement);
    TxnReminderStatusCode status = TxnReminderStatus_Reset;
    std::vector<TxnReminderSet> sets;
    EXPECT_FALSE(engine.GetAllReminderSets(status, sets));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder: Exception in TxnReminderEngine::GetAllReminderSets"));
    EXPECT_TRUE(sets.empty());
}

TEST_F(StatementStorageTest, FailedRuleWriteLeavesNothingOfTheStatementSet) {
    TxnReminderSet set = StatementSet("Statements", m_groupId, {StatementRule(2, 0, 1, 0, 40), StatementRule(15, 1, 8, 2, 41)});
    TxnReminderEngine engine(FormViewType_Statement);
    TxnReminderStatusCode status = TxnReminderStatus_Reset;
    Ctx().ArmFault("StmtRule.Add", Host::FaultKind::Fail, 2);
    Ctx().ArmFault("DMTransaction.Rollback", Host::FaultKind::RollbackZero);
    EXPECT_FALSE(engine.AddOrUpdateReminderSet(status, set));
    EXPECT_EQ(status, TxnReminderStatus_NoTransaction);
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:StatementReminderDBHelper::SaveRule - failed "));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:StatementReminderDBHelper::SaveReminderSet - SaveRule api returned false"));
    EXPECT_TRUE(
        HasLine(4, 5, "TxnReminder:StatementReminderDBHelper::SaveReminderSet Rollback api returned false"));
    // The event of the failed write went out all the same.
    EXPECT_EQ(std::count(m_events.begin(), m_events.end(),
                         std::make_pair(242, std::string("EventSource=AutomatedStatementReminders,EventId=ReminderCreated"))),
              2);
    EXPECT_EQ(Rows("reminder_sets") + Rows("stmt_reminder_rules"), 0);
    EXPECT_EQ(set.GetRuleSetId(), 0u);
    EXPECT_EQ(set.GetStatementReminderRules()[0].GetRuleId(), 0u);

    StatementReminderRule lonely = StatementRule(3, 0, 1, 0, 40);
    Ctx().ArmFault("DBManager.CreateTransaction", Host::FaultKind::Fail);
    StatementReminderDBHelper noTransaction;
    EXPECT_FALSE(noTransaction.SaveStmtRule(lonely));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder: SaveRule: dbTrans is NULL"));
}

TEST_F(StatementStorageTest, MovedPreparationDateOutlivesTheEngine) {
    TxnReminderSet set = SavedSet();
    StatementReminderRule rule = set.GetStatementReminderRules()[1];
    rule.SetEmailListPrepDate(Date(2026, 2, 15));
    {
        TxnReminderEngine engine(FormViewType_Statement);
        ASSERT_TRUE(engine.UpdateEmailPrepDateForSTMT(rule));
        EXPECT_EQ(m_events.back().second, "EventSource=AutomatedStatementReminders,EventId=ReminderModified");
    }  // the engine's helper goes, and with it anything it left uncommitted
    ReopenFile();
    EXPECT_EQ(QueryText("SELECT prep_date FROM stmt_reminder_rules WHERE id = " + std::to_string(rule.GetRuleId())),
              "20260215");

    Ctx().ArmFault("StmtRule.Update", Host::FaultKind::Fail);
    TxnReminderEngine engine(FormViewType_Statement);
    rule.SetEmailListPrepDate(Date(2026, 3, 15));
    EXPECT_FALSE(engine.UpdateEmailPrepDateForSTMT(rule));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:StatementReminderDBHelper::SaveRule - failed "));
    EXPECT_EQ(QueryText("SELECT prep_date FROM stmt_reminder_rules WHERE id = " + std::to_string(rule.GetRuleId())),
              "20260215");
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
    EXPECT_TRUE(HasLine(0, 6, "TxnReminder: StmtReminderDBHelper:  GetCustomersStatusForGivenRule: Start"));
    EXPECT_TRUE(HasLine(0, 6, "TxnReminder::Exiting StatementReminderDBHelper StatementReminderDBHelper::GetCustomersStatusForGivenRule"));

    std::vector<int> customers{99};
    ASSERT_TRUE(helper.GetCustomersForGivenExecutionStatusForSTMT(customers, 12, ReminderExecutionStatus_Sent));
    EXPECT_EQ(customers, (std::vector<int>{99, 7}));
    EXPECT_TRUE(HasLine(0, 6, "TxnReminder: StmtReminderDBHelper:  GetCustomersForGivenExecutionStatus: Start"));

    ASSERT_TRUE(engine.DeleteStatementReminderExecutionDetails(12, 7));
    EXPECT_TRUE(HasLine(0, 6, "TxnReminder::Exiting StatementReminderDBHelper StatementReminderDBHelper::DeleteReminderExecutionDetail"));
    EXPECT_EQ(StatusRows(12), 1);
    ASSERT_TRUE(engine.DeleteStatementReminderExecutionDetails(13));
    EXPECT_TRUE(HasLine(0, 6, "TxnReminder::Entering StatementReminderDBHelper StatementReminderDBHelper::DeleteReminderExecutionDetailsForRule"));
    ReopenFile();
    EXPECT_EQ(StatusRows(12), 1);
    EXPECT_EQ(StatusRows(13), 0);
}

TEST_F(StatementStorageTest, ExecutionStatusFailuresAreLoggedAndRolledBack) {
    StatementReminderDBHelper helper;
    ASSERT_TRUE(helper.AddReminderExecutionDetails(12, 7, ReminderExecutionStatus_Sent));

    Ctx().ArmFault("DMTransaction.Rollback", Host::FaultKind::RollbackZero);
    EXPECT_FALSE(helper.AddReminderExecutionDetails(12, 7, ReminderExecutionStatus_Pending));  // already there
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:StatementReminderDBHelper::AddReminderExecutionDetails - Unable to save execution details"));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:StatementReminderDBHelper::AddReminderExecutionDetails Rollback api returned false"));

    Ctx().ArmFault("DMTransaction.Rollback", Host::FaultKind::RollbackZero);
    EXPECT_FALSE(helper.UpdateReminderExecutionStatusForSTMT(12, 8, ReminderExecutionStatus_Sent));  // none to update
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:StatementReminderDBHelper::UpdateReminderExecutionStatus - Unable to update execution status"));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:StatementReminderDBHelper::UpdateReminderExecutionStatus Rollback api returned false"));

    Ctx().ArmFault("StmtStatus.Delete", Host::FaultKind::Fail);
    Ctx().ArmFault("DMTransaction.Rollback", Host::FaultKind::RollbackZero);
    EXPECT_FALSE(helper.DeleteReminderExecutionDetailsForRule(12));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:StatementReminderDBHelper::DeleteReminderExecutionDetailsForRule - failed to delete"));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:StatementReminderDBHelper::DeleteReminderExecutionDetailsForRule Rollback api returned false"));
    Ctx().ArmFault("StmtStatus.Delete", Host::FaultKind::Fail);
    Ctx().ArmFault("DMTransaction.Rollback", Host::FaultKind::RollbackZero);
    EXPECT_FALSE(helper.DeleteReminderExecutionDetail(12, 7));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:StatementReminderDBHelper::DeleteReminderExecutionDetail - failed to delete"));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:StatementReminderDBHelper::DeleteReminderExecutionDetail Rollback api returned false"));

    std::vector<int> customers;
    Ctx().ArmFault("StmtStatus.BatchLoadByRuleIdAndStatus", Host::FaultKind::Fail);
    EXPECT_FALSE(helper.GetCustomersForGivenExecutionStatusForSTMT(customers, 12, ReminderExecutionStatus_Sent));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:StatementReminderDBHelper::GetCustomersForGivenExecutionStatus -failed to batchLoadAll"));
    std::vector<DBStmtReminderExecutionStatus> rows;
    Ctx().ArmFault("StmtStatus.BatchLoadByRuleId", Host::FaultKind::Fail);
    EXPECT_FALSE(helper.GetCustomersStatusForGivenRule(12, rows));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:StatementReminderDBHelper::GetCustomersStatusForGivenRule -failed to batchLoadAll"));

    EXPECT_EQ(StatusRows(12), 1);
    EXPECT_EQ(QueryInt("SELECT status FROM stmt_reminder_status WHERE rule_id = 12"), ReminderExecutionStatus_Sent);
}

TEST_F(StatementStorageTest, WithoutATransactionNoStatusIsWritten) {
    Ctx().ArmFault("DBManager.CreateTransaction", Host::FaultKind::Fail);
    StatementReminderDBHelper helper;
    EXPECT_FALSE(helper.AddReminderExecutionDetails(1, 2, ReminderExecutionStatus_Sent));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:StatementReminderDBHelper:AddReminderExecutionDetails - failed to get DMTransaction "));
    EXPECT_FALSE(helper.UpdateReminderExecutionStatusForSTMT(1, 2, ReminderExecutionStatus_Sent));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:StatementReminderDBHelper:UpdateReminderExecutionStatus - failed to get DMTransaction "));
    EXPECT_FALSE(helper.DeleteReminderExecutionDetailsForRule(1));
    EXPECT_FALSE(helper.DeleteReminderExecutionDetail(1, 2));
    std::vector<StatementReminderRule> rules;
    EXPECT_FALSE(helper.GetAllStatementRulesForReminderSet(rules, 1));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:StatementReminderDBHelper::GetAllRulesForReminderSet - failed to get DMTransaction "));
    TxnReminderStatusCode status = TxnReminderStatus_Success;
    EXPECT_FALSE(helper.DeleteReminderSet(status, 1));
    EXPECT_EQ(status, TxnReminderStatus_NoTransaction);
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:StatementReminderDBHelper::DeleteReminderSet - failed to get DMTransaction "));
    EXPECT_FALSE(helper.DeleteRule(status, 1));
    EXPECT_EQ(status, TxnReminderStatus_NoTransaction);
    EXPECT_EQ(Rows("stmt_reminder_status"), 0);
}

// --- deleting -------------------------------------------------------------------------

TEST_F(StatementStorageTest, DeletingASetRemovesItsRulesAndStatuses) {
    TxnReminderSet set = SavedSet();
    TxnReminderSet kept = SavedSet("Kept");
    const unsigned long first = set.GetStatementReminderRules()[0].GetRuleId();
    const unsigned long second = set.GetStatementReminderRules()[1].GetRuleId();
    AddStatus(first, 5, ReminderExecutionStatus_Sent);
    AddStatus(second, 5, ReminderExecutionStatus_Sent);
    AddStatus(kept.GetStatementReminderRules()[0].GetRuleId(), 5, ReminderExecutionStatus_Sent);

    TxnReminderEngine engine(FormViewType_Statement);
    TxnReminderStatusCode status = TxnReminderStatus_Reset;
    m_events.clear();
    ASSERT_TRUE(engine.DeleteReminderSet(status, set.GetRuleSetId()));
    EXPECT_EQ(status, TxnReminderStatus_Success);
    EXPECT_TRUE(HasLine(0, 6, "TxnReminder::Entering StatementReminderDBHelper StatementReminderDBHelper::DeleteReminderSet"));
    EXPECT_TRUE(HasLine(0, 6, "TxnReminder::Exiting StatementReminderDBHelper StatementReminderDBHelper::DeleteReminderSet"));
    EXPECT_EQ(Events(), std::vector<std::string>{
                            "EventSource=InvoicePaymentReminders,EventId=ScheduleDeleted, ReminderType=101"});
    ReopenFile();
    EXPECT_EQ(Rows("reminder_sets"), 1);
    EXPECT_EQ(Rows("stmt_reminder_rules"), 2);
    EXPECT_EQ(Rows("stmt_reminder_status"), 1);

    // A set without rules: only its record goes.
    TxnReminderEngine reopened(FormViewType_Statement);
    TxnReminderSet empty = StatementSet("Empty", m_groupId, {});
    ASSERT_TRUE(reopened.AddOrUpdateReminderSet(status, empty));
    ASSERT_TRUE(reopened.DeleteReminderSet(status, empty.GetRuleSetId()));
    EXPECT_EQ(Rows("reminder_sets"), 1);
    EXPECT_EQ(Rows("stmt_reminder_rules"), 2);
}

TEST_F(StatementStorageTest, FailedStatusDeletionInASetDeletionIsRolledBack) {
    TxnReminderSet set = SavedSet();
    const unsigned long first = set.GetStatementReminderRules()[0].GetRuleId();
    AddStatus(first, 5, ReminderExecutionStatus_Sent);
    AddStatus(first, 6, ReminderExecutionStatus_Sent);

    StatementReminderDBHelper helper;
    TxnReminderStatusCode status = TxnReminderStatus_Success;
    Ctx().ArmFault("StmtStatus.Delete", Host::FaultKind::Fail, 2);
    EXPECT_FALSE(helper.DeleteReminderSet(status, set.GetRuleSetId()));
    EXPECT_EQ(status, TxnReminderStatus_Reset);
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:StatementReminderDBHelper::DeleteReminderSet - failed to delete execution status"));
    EXPECT_EQ(StatusRows(first), 2);

    // The helper's next unit of work commits only its own writes.
    ASSERT_TRUE(helper.AddReminderExecutionDetails(first + 100, 5, ReminderExecutionStatus_Sent));
    ReopenFile();
    EXPECT_EQ(StatusRows(first), 2);
    EXPECT_EQ(Rows("stmt_reminder_rules"), 2);
    EXPECT_EQ(Rows("reminder_sets"), 1);
}

TEST_F(StatementStorageTest, FailedRuleOrSetDeletionKeepsEverything) {
    TxnReminderSet set = SavedSet();
    const unsigned long first = set.GetStatementReminderRules()[0].GetRuleId();
    AddStatus(first, 5, ReminderExecutionStatus_Sent);
    StatementReminderDBHelper helper;
    TxnReminderStatusCode status = TxnReminderStatus_Reset;

    struct Step {
        const char* point;
        const char* failure;
        const char* rollback;
    };
    const Step steps[] = {
        {"StmtRule.BatchDelete", "TxnReminder:StatementReminderDBHelper::BatchDeleteRule - failed to delete",
         "TxnReminder:StatementReminderDBHelper::BatchDeleteRule Rollback api returned false"},
        {"ReminderSet.Delete", "TxnReminder:StatementReminderDBHelper::DeleteReminderSet - failed to delete",
         "TxnReminder:StatementReminderDBHelper::DeleteReminderSet Rollback api returned false"},
    };
    for (const Step& step : steps) {
        Ctx().ArmFault(step.point, Host::FaultKind::Fail);
        Ctx().ArmFault("DMTransaction.Rollback", Host::FaultKind::RollbackZero);
        EXPECT_FALSE(helper.DeleteReminderSet(status, set.GetRuleSetId())) << step.point;
        EXPECT_EQ(status, TxnReminderStatus_DeleteFailed) << step.point;
        EXPECT_TRUE(HasLine(4, 5, step.failure)) << step.point;
        EXPECT_TRUE(HasLine(4, 5, step.rollback)) << step.point;
        EXPECT_EQ(StatusRows(first), 1) << step.point;
        EXPECT_EQ(Rows("stmt_reminder_rules"), 2) << step.point;
        EXPECT_EQ(Rows("reminder_sets"), 1) << step.point;
    }
    Ctx().ArmFault("StmtRule.BatchLoad", Host::FaultKind::Fail);
    EXPECT_FALSE(helper.DeleteReminderSet(status, set.GetRuleSetId()));
    EXPECT_EQ(status, TxnReminderStatus_NoTransaction);
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:StatementReminderDBHelper::DeleteReminderSet - failed to batch load"));

    // A throwing write part-way leaves nothing for the next commit either.
    Ctx().ArmFault("StmtRule.BatchDelete", Host::FaultKind::Throw);
    EXPECT_ANY_THROW(helper.DeleteReminderSet(status, set.GetRuleSetId()));
    ASSERT_TRUE(helper.AddReminderExecutionDetails(first + 100, 5, ReminderExecutionStatus_Sent));
    EXPECT_EQ(StatusRows(first), 1);
}

TEST_F(StatementStorageTest, DeletingOneRuleTakesItsStatusesInOneUnit) {
    TxnReminderSet set = SavedSet();
    const unsigned long first = set.GetStatementReminderRules()[0].GetRuleId();
    AddStatus(first, 5, ReminderExecutionStatus_Sent);
    TxnReminderEngine engine(FormViewType_Statement);
    TxnReminderStatusCode status = TxnReminderStatus_Reset;

    Ctx().ArmFault("StmtRule.Delete", Host::FaultKind::Fail);
    Ctx().ArmFault("DMTransaction.Rollback", Host::FaultKind::RollbackZero);
    EXPECT_FALSE(engine.DeleteReminderRule(status, first));
    EXPECT_EQ(status, TxnReminderStatus_DeleteFailed);
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:StatementReminderDBHelper::DeleteRule - failed to delete the rule"));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder::StatementReminderDBHelper::DeleteRule - Rollback api call failed"));
    EXPECT_EQ(StatusRows(first), 1);

    Ctx().ArmFault("StmtStatus.Delete", Host::FaultKind::Fail);
    EXPECT_FALSE(engine.DeleteReminderRule(status, first));
    EXPECT_EQ(status, TxnReminderStatus_Reset);
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:StatementReminderDBHelper::DeleteRule - failed to delete execution status"));

    m_events.clear();
    ClearLog();
    ASSERT_TRUE(engine.DeleteReminderRule(status, first));
    EXPECT_EQ(status, TxnReminderStatus_Success);
    EXPECT_TRUE(HasLine(1, 5, "TxnReminder::Entering StatementReminderDBHelper::DeleteRule"));
    EXPECT_TRUE(HasLine(0, 6, "TxnReminder::Exiting StatementReminderDBHelper StatementReminderDBHelper::DeleteRule"));
    EXPECT_EQ(Events(), std::vector<std::string>{
                            "EventSource=InvoicePaymentReminders,EventId=ReminderDeleted, ReminderType=101"});
    ReopenFile();
    EXPECT_EQ(StatusRows(first), 0);
    EXPECT_EQ(Rows("stmt_reminder_rules"), 1);
}

} // namespace
