#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "DB/DBManager.h"
#include "HostFixture.h"
#include "Records/MessageTemplates.h"
#include "Records/RecordText.h"
#include "Records/ReminderRecords.h"

using namespace testsupport;
using DMReminderExecutionHistory::DBReminderExecutionHistory;
using DMReminderExecutionHistory::IDBReminderExecutionHistory;
using DMReminderTargetGroup::DBReminderTargetGroup;
using DMReminderTargetGroup::IDBReminderTargetGroup;
using DMReminderTargetUser::DBReminderTargetUser;
using DMReminderTargetUser::IDBReminderTargetUser;
using DMStmtReminderExecutionStatus::DBStmtReminderExecutionStatus;
using DMStmtReminderExecutionStatus::IDBStmtReminderExecutionStatus;
using DMStmtReminderRule::DBStmtReminderRule;
using DMStmtReminderRule::IDBStmtReminderRule;
using DMTransactionReminderRule::DBTransactionReminderRule;
using DMTransactionReminderRule::IDBTransactionReminderRule;
using DMTransactionReminderSet::DBTransactionReminderSet;
using DMTransactionReminderSet::IDBTransactionReminderSet;

namespace {

class RecordStoreTest : public HostFixture {
protected:
    std::unique_ptr<DBMgr::DMTransaction> NewTxn() {
        return std::unique_ptr<DBMgr::DMTransaction>(DBMgr::DBManager::GetActiveFileMgr()->CreateTransaction(0, 1));
    }
    long AddSet(const std::string& name, long view, long group, DBMgr::DMTransaction* txn = nullptr) {
        IDBTransactionReminderSet set;
        set.SetName(name);
        set.SetIsActive(1);
        set.SetTransactionView(view);
        set.SetTargetGroupId(group);
        EXPECT_TRUE(set.Add(txn).Succeeded());
        return set.GetRemindersetId();
    }
    long AddRule(long setId, long days, long templateId, DBMgr::DMTransaction* txn = nullptr) {
        IDBTransactionReminderRule rule;
        rule.SetRemindersetId(setId);
        rule.SetDateToCompare(1);
        rule.SetCondition(2);
        rule.SetTriggerInterval(days * 86400);
        rule.SetMessageTemplateId(templateId);
        EXPECT_TRUE(rule.Add(txn).Succeeded());
        return rule.GetRuleId();
    }
};

std::vector<DBTransactionReminderSet> SetsOfView(long view) {
    std::vector<DBTransactionReminderSet> out;
    EXPECT_TRUE(IDBTransactionReminderSet::BatchLoad(view, out).Succeeded());
    return out;
}

} // namespace

TEST_F(RecordStoreTest, SetsAndRulesSurviveReopenAndLoadByViewAndGroup) {
    const long a = AddSet("Friendly nudge", 4, 7);
    const long b = AddSet("Statements", 101, 7);
    const long c = AddSet("Other group", 4, 9);
    const long r1 = AddRule(a, 3, 11);
    const long r2 = AddRule(a, 10, 12);
    AddRule(c, 1, 13);
    ASSERT_GT(a, 0);
    EXPECT_NE(a, b);

    ReopenFile();

    auto invoiceSets = SetsOfView(4);
    ASSERT_EQ(invoiceSets.size(), 2u);
    EXPECT_EQ(invoiceSets[0].RemindersetId, a);
    EXPECT_STREQ(invoiceSets[0].Name, "Friendly nudge");
    EXPECT_EQ(invoiceSets[0].IsActive, 1);
    EXPECT_EQ(invoiceSets[0].TargetGroupId, 7);

    std::vector<DBTransactionReminderSet> byGroup;
    ASSERT_TRUE(IDBTransactionReminderSet::BatchLoadByTargetGroup(4, 7, byGroup).Succeeded());
    ASSERT_EQ(byGroup.size(), 1u);
    EXPECT_EQ(byGroup[0].RemindersetId, a);

    std::vector<DBTransactionReminderRule> rules;
    ASSERT_TRUE(IDBTransactionReminderRule::BatchLoad(a, rules).Succeeded());
    ASSERT_EQ(rules.size(), 2u);
    EXPECT_EQ(rules[0].RuleId, r1);
    EXPECT_EQ(rules[0].TriggerInterval, 259200);
    EXPECT_EQ(rules[1].RuleId, r2);
    EXPECT_EQ(rules[1].MessageTemplateId, 12);

    // Batch loads append: what the caller already holds stays.
    ASSERT_TRUE(IDBTransactionReminderRule::BatchLoad(c, rules).Succeeded());
    EXPECT_EQ(rules.size(), 3u);

    const long ids[] = {r1, r2};
    ASSERT_TRUE(IDBTransactionReminderRule::BatchDelete(ids, 2, nullptr).Succeeded());
    EXPECT_EQ(QueryInt("SELECT count(*) FROM reminder_rules"), 1);
}

TEST_F(RecordStoreTest, AbsentRecordsLoadWithCode6042AndUpdatesOfThemFail) {
    IDBTransactionReminderSet set;
    Util::Status s = set.Load(404);
    EXPECT_TRUE(s.Succeeded());
    EXPECT_EQ(s.GetStatusCode(), 6042);

    IDBTransactionReminderRule rule;
    rule.SetMessageTemplateId(5);
    s = rule.Load(404);
    EXPECT_TRUE(s.Succeeded());
    EXPECT_EQ(s.GetStatusCode(), 6042);
    EXPECT_EQ(rule.GetMessageTemplateId(), 5) << "an absent load leaves the record as it was";

    IDBReminderTargetGroup group;
    EXPECT_EQ(group.Load(404).GetStatusCode(), 6042);
    DMMessageTemplate::IDBMessageTemplate tmpl;
    EXPECT_EQ(tmpl.Load(404).GetStatusCode(), 6042);

    set.SetRemindersetId(404);
    s = set.Update();
    EXPECT_TRUE(s.Failed());
    EXPECT_EQ(s.GetStatusCode(), 6042);
    EXPECT_EQ(QueryInt("SELECT count(*) FROM reminder_sets"), 0);

    s = IDBTransactionReminderSet::Delete(404);
    EXPECT_TRUE(s.Succeeded());
    EXPECT_EQ(s.GetStatusCode(), 6042);
}

TEST_F(RecordStoreTest, RollbackDiscardsWritesMadeThroughTheTransactionAndCommitKeepsThem) {
    auto txn = NewTxn();
    ASSERT_TRUE(txn);
    const long set = AddSet("Pending", 4, 1, txn.get());
    AddRule(set, 2, 3, txn.get());
    EXPECT_TRUE(txn->HasPendingWrites());
    // Reads through the transaction see its own writes.
    std::vector<DBTransactionReminderRule> rules;
    ASSERT_TRUE(IDBTransactionReminderRule::BatchLoad(set, rules, txn.get()).Succeeded());
    EXPECT_EQ(rules.size(), 1u);

    EXPECT_NE(txn->Rollback(), 0);
    EXPECT_EQ(QueryInt("SELECT count(*) FROM reminder_sets"), 0);
    EXPECT_EQ(QueryInt("SELECT count(*) FROM reminder_rules"), 0);

    const long kept = AddSet("Committed", 4, 1, txn.get());
    EXPECT_TRUE(txn->Commit());
    txn.reset();
    ReopenFile();
    IDBTransactionReminderSet loaded;
    ASSERT_TRUE(loaded.Load(kept).Succeeded());
    EXPECT_STREQ(loaded.GetName(), "Committed");
}

TEST_F(RecordStoreTest, FailingCallInsideATransactionKeepsTheTransactionsEarlierWrites) {
    auto txn = NewTxn();
    IDBStmtReminderExecutionStatus status;
    status.SetRuleId(5);
    status.SetCustomerId(9);
    status.SetStatus(2);
    ASSERT_TRUE(status.Add(txn.get()).Succeeded());
    // The same (rule, customer) again is refused; the first write stays pending.
    Util::Status again = status.Add(txn.get());
    EXPECT_TRUE(again.Failed());
    EXPECT_EQ(again.GetStatusCode(), Util::Status::kConstraintFailure);
    EXPECT_TRUE(txn->Commit());
    EXPECT_EQ(QueryInt("SELECT count(*) FROM stmt_reminder_status"), 1);
}

TEST_F(RecordStoreTest, FailingFaultPointsLeaveTheFileUnchanged) {
    const long set = AddSet("Before", 4, 1);
    const std::string before = QueryText("SELECT group_concat(id || name || target_group_id) FROM reminder_sets");

    Ctx().ArmFault("ReminderSet.Update", Host::FaultKind::Fail);
    IDBTransactionReminderSet update;
    update.SetRemindersetId(set);
    update.SetName("After");
    EXPECT_TRUE(update.Update().Failed());

    Ctx().ArmFault("ReminderSet.Add", Host::FaultKind::Throw);
    IDBTransactionReminderSet add;
    add.SetName("Thrown");
    EXPECT_THROW(add.Add(), std::runtime_error);

    Ctx().ArmFault("TargetUser.BatchInsert", Host::FaultKind::Fail);
    const std::vector<DBReminderTargetUser> rows = {{1, 2}, {3, 2}};
    EXPECT_TRUE(IDBReminderTargetUser::BatchInsert(rows).Failed());

    Ctx().ArmFault("ReminderSet.BatchLoad", Host::FaultKind::Fail);
    std::vector<DBTransactionReminderSet> out;
    EXPECT_TRUE(IDBTransactionReminderSet::BatchLoad(4, out).Failed());
    EXPECT_TRUE(out.empty());

    ReopenFile();
    EXPECT_EQ(QueryText("SELECT group_concat(id || name || target_group_id) FROM reminder_sets"), before);
    EXPECT_EQ(QueryInt("SELECT count(*) FROM reminder_target_users"), 0);
}

TEST_F(RecordStoreTest, WritesWithoutAnOpenFileFailWithoutCrashing) {
    Ctx().CloseCompanyFile();
    IDBTransactionReminderSet set;
    Util::Status s = set.Add();
    EXPECT_TRUE(s.Failed());
    EXPECT_EQ(s.GetStatusCode(), Util::Status::kNoFile);
}

TEST_F(RecordStoreTest, TransactionOfAClosedFileIsRefused) {
    auto txn = NewTxn();
    ReopenFile();
    IDBTransactionReminderSet set;
    EXPECT_TRUE(set.Add(txn.get()).Failed());
    EXPECT_EQ(QueryInt("SELECT count(*) FROM reminder_sets"), 0);
}

TEST_F(RecordStoreTest, TextsAreCutToTheirBuffersAtWholeCharacters) {
    IDBTransactionReminderSet set;
    set.SetName(std::string(200, 'n'));
    EXPECT_EQ(std::string(set.GetName()).size(), 127u);
    ASSERT_TRUE(set.Add().Succeeded());
    EXPECT_EQ(QueryInt("SELECT length(name) FROM reminder_sets"), 127);

    // 126 ASCII bytes then a two-byte character: it does not fit whole in 127.
    set.SetName(std::string(126, 'a') + "\xC3\xA9");
    EXPECT_EQ(std::string(set.GetName()), std::string(126, 'a'));

    IDBReminderTargetGroup group;
    group.SetName("Top customers");
    group.SetDescription(std::string(2000, 'd'));
    ASSERT_TRUE(group.Add().Succeeded());
    IDBReminderTargetGroup loaded;
    ASSERT_TRUE(loaded.Load(group.GetTargetGroupId()).Succeeded());
    EXPECT_EQ(std::string(loaded.GetDescription()).size(), 1025u);
    char description[1024];
    loaded.GetDescription(description, sizeof description);
    EXPECT_EQ(std::string(description), std::string(1023, 'd'));

    char tiny[4];
    Host::CopyBoundedText(tiny, sizeof tiny, "\xE2\x82\xAC\xE2\x82\xAC");  // two euro signs
    EXPECT_EQ(std::string(tiny), "\xE2\x82\xAC");
}

TEST_F(RecordStoreTest, FieldsHoldTheirWidths) {
    IDBTransactionReminderSet set;
    set.SetIsActive(70000);
    set.SetTargetGroupId(0x100000005L);
    EXPECT_EQ(set.GetIsActive(), 4464);
    EXPECT_EQ(set.GetTargetGroupId(), 5);

    IDBReminderExecutionHistory history;
    history.SetTransactionId(0xFFFFFFF0UL);
    history.SetTransactionView(4);
    history.SetRuleId(3);
    history.SetStatus(-1);
    ASSERT_TRUE(history.Add().Succeeded());
    std::vector<DBReminderExecutionHistory> rows;
    ASSERT_TRUE(IDBReminderExecutionHistory::BatchLoadByTxnView(4, rows).Succeeded());
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].TransactionId, 0xFFFFFFF0u);
    EXPECT_EQ(rows[0].Status, -1);
}

TEST_F(RecordStoreTest, HistoryLoadsGroupedByTransactionAndDeletesPerView) {
    auto add = [](unsigned long txnId, long view, long rule, long status) {
        IDBReminderExecutionHistory h;
        h.SetTransactionId(txnId);
        h.SetTransactionView(view);
        h.SetRuleId(rule);
        h.SetStatus(status);
        ASSERT_TRUE(h.Add().Succeeded());
    };
    add(20, 4, 1, 1);
    add(10, 4, 1, 1);
    add(20, 4, 2, 2);
    add(20, 101, 9, 1);

    std::vector<DBReminderExecutionHistory> rows;
    ASSERT_TRUE(IDBReminderExecutionHistory::BatchLoadByTxnView(4, rows).Succeeded());
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].TransactionId, 10u);
    EXPECT_EQ(rows[1].TransactionId, 20u);
    EXPECT_EQ(rows[1].RuleId, 1);
    EXPECT_EQ(rows[2].RuleId, 2);

    ASSERT_TRUE(IDBReminderExecutionHistory::DeleteByTxnId(20, 4).Succeeded());
    EXPECT_EQ(QueryInt("SELECT count(*) FROM reminder_history WHERE txn_id = 20"), 1);
}

TEST_F(RecordStoreTest, TargetGroupMembersInsertOnceLoadInOrderAndDeleteByGroup) {
    const std::vector<DBReminderTargetUser> rows = {{7, 2}, {5, 2}, {7, 2}, {5, 3}};
    ASSERT_TRUE(IDBReminderTargetUser::BatchInsert(rows).Succeeded());

    std::vector<DBReminderTargetUser> all;
    ASSERT_TRUE(IDBReminderTargetUser::BatchLoadAll(all).Succeeded());
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].CustomerRecNum, 5);
    EXPECT_EQ(all[0].TargetGroupId, 2);
    EXPECT_EQ(all[2].TargetGroupId, 3);

    const DBReminderTargetUser gone[] = {{7, 2}, {99, 2}};
    ASSERT_TRUE(IDBReminderTargetUser::BatchDelete(gone, 2).Succeeded());
    ASSERT_TRUE(IDBReminderTargetUser::BatchDelete(nullptr, 0).Succeeded());
    std::vector<DBReminderTargetUser> group2;
    ASSERT_TRUE(IDBReminderTargetUser::BatchLoad(2, group2).Succeeded());
    ASSERT_EQ(group2.size(), 1u);
    EXPECT_EQ(group2[0].CustomerRecNum, 5);

    ASSERT_TRUE(IDBReminderTargetUser::DeleteByTargetGroup(2).Succeeded());
    EXPECT_EQ(QueryInt("SELECT count(*) FROM reminder_target_users"), 1);

    IDBReminderTargetGroup g1, g2;
    g1.SetTargetGroupType(1);
    g2.SetTargetGroupType(1);
    ASSERT_TRUE(g1.Add().Succeeded());
    ASSERT_TRUE(g2.Add().Succeeded());
    std::vector<DBReminderTargetGroup> groups;
    ASSERT_TRUE(IDBReminderTargetGroup::BatchLoad(1, groups).Succeeded());
    ASSERT_EQ(groups.size(), 2u);
    ASSERT_TRUE(IDBReminderTargetGroup::BatchDelete(groups).Succeeded());
    EXPECT_EQ(QueryInt("SELECT count(*) FROM reminder_target_groups"), 0);
}

TEST_F(RecordStoreTest, StatementRuleRoundTripsWithItsDateInStatementForm) {
    IDBStmtReminderRule rule;
    rule.SetRemindersetId(3);
    rule.SetScheduleDay(65535);
    rule.SetFrequency(2);
    rule.SetDateRange(4);
    rule.SetTxnStatus(1);
    rule.SetOverdueBy(30);
    rule.SetMessageTemplateId(8);
    rule.SetStyleTemplateId(9);
    rule.SetIsItemDetailsIncluded(1);
    rule.SetIsCustomerJob(1);
    rule.SetEmailListPrepDate("19700101");
    ASSERT_TRUE(rule.Add().Succeeded());
    const long id = rule.GetRuleId();
    ASSERT_GT(id, 0);

    rule.SetEmailListPrepDate(std::string("20240305"));
    ASSERT_TRUE(rule.Update().Succeeded());
    IDBStmtReminderRule other;
    other.SetRemindersetId(3);
    other.SetEmailListPrepDate("garbage text that is long");
    ASSERT_TRUE(other.Add().Succeeded());

    ReopenFile();
    std::vector<DBStmtReminderRule> rules;
    ASSERT_TRUE(IDBStmtReminderRule::BatchLoad(3, rules).Succeeded());
    ASSERT_EQ(rules.size(), 2u);
    EXPECT_EQ(rules[0].RuleId, id);
    EXPECT_STREQ(rules[0].EmailListPrepDate, "2024-03-05");
    EXPECT_EQ(rules[0].ScheduleDay, 65535);
    EXPECT_EQ(rules[0].OverdueBy, 30);
    EXPECT_EQ(rules[0].StyleTemplateId, 9);
    EXPECT_EQ(rules[0].IsItemDetailsIncluded, 1);
    EXPECT_EQ(rules[0].IsMemoIncluded, 0);
    EXPECT_EQ(rules[0].IsCustomerJob, 1);
    EXPECT_STREQ(rules[1].EmailListPrepDate, "garbage tex");

    const unsigned long ids[] = {static_cast<unsigned long>(id)};
    ASSERT_TRUE(IDBStmtReminderRule::BatchDelete(ids, 1).Succeeded());
    EXPECT_EQ(QueryInt("SELECT count(*) FROM stmt_reminder_rules"), 1);
}

TEST_F(RecordStoreTest, StatementStatusIsAddressedByRuleAndCustomer) {
    auto add = [](long rule, long customer, long st) {
        IDBStmtReminderExecutionStatus s;
        s.SetCustomerId(customer);
        s.SetRuleId(rule);
        s.SetStatus(st);
        return s.Add();
    };
    ASSERT_TRUE(add(1, 30, 2).Succeeded());
    ASSERT_TRUE(add(1, 10, 1).Succeeded());
    ASSERT_TRUE(add(1, 20, 1).Succeeded());
    ASSERT_TRUE(add(2, 10, 1).Succeeded());

    IDBStmtReminderExecutionStatus change;
    change.SetRuleId(1);
    change.SetCustomerId(30);
    change.SetStatus(1);
    ASSERT_TRUE(change.Update().Succeeded());
    change.SetCustomerId(31);
    Util::Status missing = change.Update();
    EXPECT_TRUE(missing.Failed());
    EXPECT_EQ(missing.GetStatusCode(), 6042);

    std::vector<int> due = {99};
    ASSERT_TRUE(IDBStmtReminderExecutionStatus::BatchLoadByRuleIdAndStatus(1, 1, due).Succeeded());
    EXPECT_EQ(due, (std::vector<int>{99, 10, 20, 30}));

    ASSERT_TRUE(IDBStmtReminderExecutionStatus::Delete(1, 20, nullptr).Succeeded());
    std::vector<DBStmtReminderExecutionStatus> rows;
    ASSERT_TRUE(IDBStmtReminderExecutionStatus::BatchLoadByRuleId(1, rows).Succeeded());
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].CustomerId, 10);
    EXPECT_EQ(rows[0].RuleId, 1);
    EXPECT_EQ(rows[1].Status, 1);

    ASSERT_TRUE(IDBStmtReminderExecutionStatus::Delete(1).Succeeded());
    EXPECT_EQ(QueryInt("SELECT count(*) FROM stmt_reminder_status"), 1);
}

TEST_F(RecordStoreTest, TemplatesAreCreatedReplacedAndDeleted) {
    std::string typeName = "stale";
    Util::Status s = MessageTemplateAdapter::LoadTemplateType(15, typeName);
    EXPECT_TRUE(s.Succeeded());
    EXPECT_EQ(s.GetStatusCode(), 6042);
    EXPECT_TRUE(typeName.empty());
    ASSERT_TRUE(MessageTemplateAdapter::AddTemplateType(15, "Reminder", typeName).Succeeded());
    EXPECT_TRUE(MessageTemplateAdapter::AddTemplateType(15, "Reminder", "").Failed());
    Util::TString shared;
    ASSERT_EQ(MessageTemplateAdapter::LoadTemplateType(15, shared).GetStatusCode(), 0);
    EXPECT_EQ(shared, Util::TString("Reminder"));

    long id = 0;
    ASSERT_TRUE(MessageTemplateAdapter::Save(15, id, 0, "Reminder", "Body one", std::string(300, 's'), 0).Succeeded());
    ASSERT_GT(id, 0);
    const long first = id;
    ASSERT_TRUE(MessageTemplateAdapter::Save(15, id, 0, "Reminder", "Body two", "Subject", 0).Succeeded());
    EXPECT_EQ(id, first);

    long absent = 777;
    s = MessageTemplateAdapter::Save(15, absent, 0, "Reminder", "x", "y", 0);
    EXPECT_TRUE(s.Failed());
    EXPECT_EQ(absent, 777);
    EXPECT_EQ(QueryInt("SELECT count(*) FROM message_templates"), 1);

    int second = -3;
    ASSERT_TRUE(MessageTemplateAdapter::Save(15, second, 0, "Reminder", std::string(40000, 'b'), "S", 0).Succeeded());
    EXPECT_GT(second, first);

    DMMessageTemplate::IDBMessageTemplate loaded;
    ASSERT_EQ(loaded.Load(second).GetStatusCode(), 0);
    EXPECT_EQ(loaded.GetBody().size(), 32000u);
    EXPECT_EQ(loaded.GetTemplateTypeId(), 15);
    char subject[257];
    loaded.GetSubject(subject, sizeof subject);
    EXPECT_STREQ(subject, "S");
    ASSERT_EQ(loaded.Load(first).GetStatusCode(), 0);
    EXPECT_EQ(loaded.GetBody(), "Body two");

    ASSERT_TRUE(MessageTemplateAdapter::DeleteBatchTemplate(std::vector<long>{first, 12345}).Succeeded());
    EXPECT_EQ(MessageTemplateAdapter::DeleteTemplate(first).GetStatusCode(), 6042);
    ASSERT_TRUE(MessageTemplateAdapter::DeleteTemplate(second).Succeeded());
    EXPECT_EQ(QueryInt("SELECT count(*) FROM message_templates"), 0);
}
