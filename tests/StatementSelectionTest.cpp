// The statement selection: ready customers against stored statuses, periods,
// the prompt's fast question with the host's e-mail flow, and the requests
// handed to the host.

#include <gtest/gtest.h>

#include "CompanyBuilder.h"
#include "HostFixture.h"
#include "SelectionBuilder.h"
#include "Statements/ReminderEmailStateHandler.h"
#include "TargetGroupRule.h"
#include "TxnReminderTargetGroup.h"
#include "TxnSendableReminderContainer.h"
#include "Util/MemoryManager.h"

using namespace testsupport;

namespace {

class StatementSelectionTest : public HostFixture {
protected:
    void SetUp() override {
        HostFixture::SetUp();
        for (const char* name : {"Five", "Seven", "Nine"}) customers.push_back(AddName(name, 0, "c@x.test"));
        group = AddPermissionGroup("Statements", customers);
    }

    std::vector<TxnSendableReminderContainer> Select(bool fastMode, TxnReminderStatusCode& status, bool* ok = nullptr) {
        TxnReminderEngine engine(FormViewType_Statement);
        std::vector<TxnSendableReminderContainer> records;
        const bool result = engine.PrepareReminderListToSendForStmt(status, records, fastMode);
        if (ok) *ok = result;
        return records;
    }

    std::vector<int> customers;
    long group = 0;
};

TEST_F(StatementSelectionTest, StoredStatusesDecideWhoIsReady) {
    const TxnReminderSet set =
        SaveSet(FormViewType_Statement, "S", group, {}, {StatementRule(StatementReminderRule::kFrequencyWeekly, 2)});
    const unsigned long rule = set.GetStatementReminderRules()[0].GetRuleId();
    TxnReminderEngine engine(FormViewType_Statement);
    TxnReminderStatusCode status = TxnReminderStatus_Reset;
    // Open the period first, so that the rows below belong to it.
    Select(false, status);
    ASSERT_TRUE(engine.AddStatementReminderExecutionStatus(rule, customers[1], ReminderExecutionStatus_Skipped));
    ASSERT_TRUE(engine.AddStatementReminderExecutionStatus(rule, customers[2], ReminderExecutionStatus_Pending));
    ASSERT_TRUE(engine.AddStatementReminderExecutionStatus(rule, 9999, ReminderExecutionStatus_Sent));

    TxnReminderTargetGroup target;
    target.SetTargetGroupId(group);
    std::vector<int> ready{-1};
    ASSERT_TRUE(engine.GetReadyCustomerList(rule, target, ready));
    EXPECT_EQ(ready, (std::vector<int>{-1, customers[0], customers[2]}));
    // The pending row is gone; the others stay.
    std::vector<DMStmtReminderExecutionStatus::DBStmtReminderExecutionStatus> rows;
    ASSERT_TRUE(engine.GetCustomersStatusForGivenRule(rule, rows));
    std::vector<int> left;
    for (const auto& row : rows) left.push_back(row.CustomerId);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<int>{customers[1], 9999}));

    target.SetTargetGroupId(group + 100);
    ClearLog();
    EXPECT_FALSE(engine.GetReadyCustomerList(rule, target, ready));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminderEngine:GetReadyCustomerList: Get customer list from group failed."));
}

// Periods and who is listed day by day are the quarter scenario's; here the
// lines of a run and the failure to open a new period.
TEST_F(StatementSelectionTest, RunWritesNoFailureLineAndAPeriodThatCannotBeOpenedFailsIt) {
    Ctx().FixClock(Date(2025, 4, 30), 8);  // a 30-day month
    SaveSet(FormViewType_Statement, "S", group, {}, {StatementRule(StatementReminderRule::kFrequencyMonthly, 31)});
    TxnReminderStatusCode status = TxnReminderStatus_Reset;
    bool ok = false;
    ClearLog();
    EXPECT_EQ(Select(false, status, &ok).size(), 3u);
    ASSERT_TRUE(ok);
    EXPECT_EQ(status, TxnReminderStatus_Success);
    // Also on its way to a permission group.
    for (const auto& line : m_log) EXPECT_NE(line.level, 4) << line.message;
    EXPECT_TRUE(HasLine(0, 6, "TxnReminder::Entering TxnReminderEngine::PrepareReminderListToSendForStmt"));
    EXPECT_TRUE(HasLine(0, 6, "TxnReminder::Exiting TxnReminderEngine::PrepareReminderListToSendForStmt"));

    // The rows of a new period's rule cannot be cleared: status 2, false.
    Ctx().FixClock(Date(2025, 5, 31), 8);
    Ctx().ArmFault("StmtStatus.Delete", Host::FaultKind::Fail);
    ClearLog();
    Select(false, status, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(status, TxnReminderStatus_LoadFailed);
    EXPECT_TRUE(HasLine(4, 5,
                        "TxnReminderEngine:PrepareReminderListToSendForStmt: Delete statement execution status for "
                        "rule failed."));
}

TEST_F(StatementSelectionTest, FastModeAsksTheAgingCheckOnlyForRestrictedRules) {
    ReminderEmailStateHandler* flow = ReminderEmailStateHandler::Instance();
    // The flow is the host's, one per process: counted from here.
    const long entered = flow->GetEnterCount();
    const long exited = flow->GetExitCount();
    const long blocks = static_cast<long>(Util::GetMemoryManager()->LiveBlocks());
    // Only an overdue rule, and nobody owes anything: nothing due.
    SaveSet(FormViewType_Statement, "Overdue", group, {},
            {StatementRule(StatementReminderRule::kFrequencyWeekly, 2, 2)});
    TxnReminderStatusCode status = TxnReminderStatus_Reset;
    bool ok = false;
    EXPECT_TRUE(Select(true, status, &ok).empty());
    EXPECT_TRUE(ok);
    EXPECT_EQ(status, TxnReminderStatus_Success);
    EXPECT_EQ(flow->GetEnterCount() - entered, 1);
    EXPECT_EQ(flow->GetExitCount() - exited, 1);
    EXPECT_FALSE(ReminderEmailStateHandler::IsReminderEmailFlowEnabled());
    EXPECT_FALSE(HasLine("TxnReminder::Exiting TxnReminderEngine::PrepareReminderListToSendForStmt"));

    // An invoice long overdue: one all-zero record.
    AddOpenInvoice(customers[0], DateSub(GetSystemDate(), 60));
    auto due = Select(true, status, &ok);
    ASSERT_EQ(due.size(), 1u);
    EXPECT_EQ(due[0].GetTxnType(), 0);
    EXPECT_EQ(due[0].GetCustomerId(), 0);
    EXPECT_EQ(due[0].GetRuleId(), 0u);
    EXPECT_EQ(flow->GetExitCount() - exited, 2);

    // The check throws: the flow is closed, the line written, nothing due.
    Ctx().ArmFault("AgingBalancesQuery.Execute", Host::FaultKind::Throw);
    ClearLog();
    EXPECT_TRUE(Select(true, status, &ok).empty());
    EXPECT_TRUE(ok);
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder: Exception in TxnReminderEngine::CanShowReminderForStmt"));
    EXPECT_FALSE(ReminderEmailStateHandler::IsReminderEmailFlowEnabled());

    // A request that cannot be made: status 10, false.
    Ctx().ArmFault("StmtEditTag.New", Host::FaultKind::Fail);
    EXPECT_TRUE(Select(true, status, &ok).empty());
    EXPECT_FALSE(ok);
    EXPECT_EQ(status, TxnReminderStatus_StmtHandleFailed);
    // The requests made for the check are freed.
    EXPECT_EQ(static_cast<long>(Util::GetMemoryManager()->LiveBlocks()), blocks);

    // An all-transactions rule with a ready customer answers at once.
    SaveSet(FormViewType_Statement, "All", group, {}, {StatementRule(StatementReminderRule::kFrequencyWeekly, 2)});
    const long enters = flow->GetEnterCount();
    ClearLog();
    EXPECT_EQ(Select(true, status, &ok).size(), 1u);
    EXPECT_TRUE(HasLine(0, 6, "TxnReminder:CanShowReminderForStmt We're in fast mode now and an email is found!"));
    EXPECT_EQ(flow->GetEnterCount(), enters);
}

TEST_F(StatementSelectionTest, StatementDataIsOneRequestPerDueRule) {
    const TxnReminderSet set = SaveSet(FormViewType_Statement, "S", group, {},
                                       {StatementRule(StatementReminderRule::kFrequencyWeekly, 2, 0, 40)});
    const unsigned long rule = set.GetStatementReminderRules()[0].GetRuleId();
    TxnReminderEngine engine(FormViewType_Statement);
    TxnReminderStatusCode status = TxnReminderStatus_Reset;
    Select(false, status);
    ASSERT_TRUE(engine.AddStatementReminderExecutionStatus(rule, customers[1], ReminderExecutionStatus_Sent));

    std::list<std::pair<StmtEditTag*, TargetGroupRule>> data;
    ASSERT_TRUE(engine.GetStmtData(status, data));
    EXPECT_EQ(status, TxnReminderStatus_Success);
    ASSERT_EQ(data.size(), 1u);
    StmtHandle handle = OwnHandle(data.front().first);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(handle->GetCustomerIds(), (std::vector<int>{customers[2], customers[0]}));
    EXPECT_EQ(data.front().second.GetRuleId(), rule);
    EXPECT_EQ(data.front().second.GetEmailTemplateId(), 40);

    // Sets that cannot be loaded.
    Ctx().ArmFault("ReminderSet.BatchLoad", Host::FaultKind::Fail);
    ClearLog();
    EXPECT_FALSE(engine.GetStmtData(status, data));
    EXPECT_EQ(status, TxnReminderStatus_LoadFailed);
    EXPECT_TRUE(HasLine(4, 5, "TxnReminderEngine:PrepareReminderListToSendForStmt: Get all reminder sets failed."));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminderEngine:GetStmtData: Prepare reminder list for statements failed."));
    EXPECT_EQ(data.size(), 1u);
}

} // namespace
