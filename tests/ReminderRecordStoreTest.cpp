#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "CompanyBuilder.h"
#include "DB/DBManager.h"
#include "HostFixture.h"
#include "Records/MessageTemplates.h"
#include "Records/RecordText.h"
#include "Records/ReminderRecords.h"
#include "Records/StmtReminderRecords.h"

using namespace testsupport;
using namespace DMReminderExecutionHistory;
using namespace DMReminderTargetGroup;
using namespace DMReminderTargetUser;
using namespace DMStmtReminderExecutionStatus;
using namespace DMStmtReminderRule;
using namespace DMTransactionReminderRule;
using namespace DMTransactionReminderSet;

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
    static Util::Status AddStatus(long rule, long customer, long status, DBMgr::DMTransaction* txn = nullptr) {
        IDBStmtReminderExecutionStatus s;
        s.SetRuleId(rule);
        s.SetCustomerId(customer);
        s.SetStatus(status);
        return s.Add(txn);
    }
    static long long Count(const std::string& table) { return QueryInt("SELECT count(*) FROM " + table); }
};

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

    std::vector<DBTransactionReminderSet> sets, byGroup;
    ASSERT_TRUE(IDBTransactionReminderSet::BatchLoad(4, sets).Succeeded());
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_EQ(sets[0].RemindersetId, a);
    EXPECT_STREQ(sets[0].Name, "Friendly nudge");
    EXPECT_EQ(sets[0].IsActive, 1);
    EXPECT_EQ(sets[0].TargetGroupId, 7);
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
    EXPECT_EQ(Count("reminder_rules"), 1);
}

TEST_F(RecordStoreTest, AbsentRecordsLoadWithCode6042AndUpdatesOfThemFail) {
    IDBTransactionReminderSet set;
    IDBTransactionReminderRule rule;
    rule.SetMessageTemplateId(5);
    IDBReminderTargetGroup group;
    DMMessageTemplate::IDBMessageTemplate tmpl;
    for (Util::Status s : {set.Load(404), rule.Load(404), group.Load(404), tmpl.Load(404), IDBTransactionReminderSet::Delete(404)}) {
        EXPECT_TRUE(s.Succeeded());
        EXPECT_EQ(s.GetStatusCode(), 6042);
    }
    EXPECT_EQ(rule.GetMessageTemplateId(), 5) << "an absent load leaves the record as it was";

    set.SetRemindersetId(404);
    Util::Status s = set.Update();
    EXPECT_TRUE(s.Failed());
    EXPECT_EQ(s.GetStatusCode(), 6042);
    EXPECT_EQ(Count("reminder_sets"), 0);
}

TEST_F(RecordStoreTest, RollbackDiscardsWritesMadeThroughTheTransactionAndCommitKeepsThem) {
    auto txn = NewTxn();
    ASSERT_TRUE(txn);
    const long set = AddSet("Pending", 4, 1, txn.get());
    AddRule(set, 2, 3, txn.get());
    EXPECT_TRUE(txn->HasPendingWrites());
    std::vector<DBTransactionReminderRule> rules;  // reads through the transaction see its own writes
    ASSERT_TRUE(IDBTransactionReminderRule::BatchLoad(set, rules, txn.get()).Succeeded());
    EXPECT_EQ(rules.size(), 1u);

    EXPECT_NE(txn->Rollback(), 0);
    EXPECT_EQ(Count("reminder_sets") + Count("reminder_rules"), 0);

    const long kept = AddSet("Committed", 4, 1, txn.get());
    EXPECT_TRUE(txn->Commit());
    txn.reset();
    ReopenFile();
    IDBTransactionReminderSet loaded;
    ASSERT_TRUE(loaded.Load(kept).Succeeded());
    EXPECT_STREQ(loaded.GetName(), "Committed");
}

// Without a transaction a call stands on its own: it never joins a unit of
// work open on the file, to be undone with it.
TEST_F(RecordStoreTest, CallsWithoutATransactionNeverJoinAnOpenUnit) {
    auto txn = NewTxn();
    ASSERT_TRUE(AddStatus(5, 1, 2, txn.get()).Succeeded());
    const Util::Status joined = AddStatus(5, 2, 2, nullptr);
    EXPECT_TRUE(joined.Failed());
    EXPECT_EQ(joined.GetStatusCode(), Util::Status::kBusy);
    EXPECT_NE(txn->Rollback(), 0);
    EXPECT_EQ(Count("stmt_reminder_status"), 0);

    // With no unit open it stands, and a later rollback leaves it.
    ASSERT_TRUE(AddStatus(5, 2, 2, nullptr).Succeeded());
    ASSERT_TRUE(AddStatus(5, 3, 2, txn.get()).Succeeded());
    EXPECT_NE(txn->Rollback(), 0);
    EXPECT_EQ(Count("stmt_reminder_status"), 1);
}

TEST_F(RecordStoreTest, FailingCallInsideATransactionKeepsTheTransactionsEarlierWrites) {
    auto txn = NewTxn();
    ASSERT_TRUE(AddStatus(5, 9, 2, txn.get()).Succeeded());
    // The same (rule, customer) again is refused; the first write stays pending.
    Util::Status again = AddStatus(5, 9, 2, txn.get());
    EXPECT_TRUE(again.Failed());
    EXPECT_EQ(again.GetStatusCode(), Util::Status::kConstraintFailure);
    EXPECT_TRUE(txn->Commit());
    EXPECT_EQ(Count("stmt_reminder_status"), 1);
}

TEST_F(RecordStoreTest, FailingFaultPointsLeaveTheFileUnchanged) {
    const long set = AddSet("Before", 4, 1);
    const std::string sql = "SELECT group_concat(id || name || target_group_id) FROM reminder_sets";
    const std::string before = QueryText(sql);

    Ctx().ArmFault("ReminderSet.Update", Host::FaultKind::Fail);
    IDBTransactionReminderSet update;
    update.SetRemindersetId(set);
    update.SetName("After");
    EXPECT_TRUE(update.Update().Failed());
    Ctx().ArmFault("ReminderSet.Add", Host::FaultKind::Throw);
    EXPECT_THROW(static_cast<void>(update.Add()), std::runtime_error);
    Ctx().ArmFault("TargetUser.BatchInsert", Host::FaultKind::Fail);
    EXPECT_TRUE(IDBReminderTargetUser::BatchInsert({{1, 2}, {3, 2}}).Failed());
    Ctx().ArmFault("ReminderSet.BatchLoad", Host::FaultKind::Fail);
    std::vector<DBTransactionReminderSet> out;
    EXPECT_TRUE(IDBTransactionReminderSet::BatchLoad(4, out).Failed());
    EXPECT_TRUE(out.empty());

    ReopenFile();
    EXPECT_EQ(QueryText(sql), before);
    EXPECT_EQ(Count("reminder_target_users"), 0);
}

TEST_F(RecordStoreTest, WritesWithoutAnOpenFileOrWithAClosedFilesTransactionFailWithoutCrashing) {
    auto txn = NewTxn();
    ReopenFile();
    IDBTransactionReminderSet set;
    EXPECT_TRUE(set.Add(txn.get()).Failed());
    EXPECT_EQ(Count("reminder_sets"), 0);

    Ctx().CloseCompanyFile();
    Util::Status s = set.Add();
    EXPECT_TRUE(s.Failed());
    EXPECT_EQ(s.GetStatusCode(), Util::Status::kNoFile);
}

TEST_F(RecordStoreTest, TextsAreCutToTheirBuffersAtWholeCharactersAndFieldsHoldTheirWidths) {
    IDBTransactionReminderSet set;
    set.SetName(std::string(200, 'n'));
    EXPECT_EQ(std::string(set.GetName()).size(), 127u);
    set.SetIsActive(70000);
    set.SetTargetGroupId(0x100000005L);
    EXPECT_EQ(set.GetIsActive(), 4464);
    EXPECT_EQ(set.GetTargetGroupId(), 5);
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

TEST_F(RecordStoreTest, HistoryLoadsGroupedByTransactionAndDeletesPerView) {
    AddHistory(20, 1, 1);
    AddHistory(0xFFFFFFF0UL, 3, -1);  // ids and statuses keep their widths and signs
    AddHistory(10, 1, 1);
    AddHistory(20, 2, 2);
    AddHistory(20, 9, 1, 101);

    std::vector<DBReminderExecutionHistory> rows;
    ASSERT_TRUE(IDBReminderExecutionHistory::BatchLoadByTxnView(4, rows).Succeeded());
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0].TransactionId, 10u);
    EXPECT_EQ(rows[1].TransactionId, 20u);
    EXPECT_EQ(rows[1].RuleId, 1);
    EXPECT_EQ(rows[2].RuleId, 2);
    EXPECT_EQ(rows[3].TransactionId, 0xFFFFFFF0u);
    EXPECT_EQ(rows[3].Status, -1);

    ASSERT_TRUE(IDBReminderExecutionHistory::DeleteByTxnId(20, 4).Succeeded());
    EXPECT_EQ(QueryInt("SELECT count(*) FROM reminder_history WHERE txn_id = 20"), 1);
}

TEST_F(RecordStoreTest, TargetGroupMembersInsertOnceLoadInOrderAndDeleteByGroup) {
    ASSERT_TRUE(IDBReminderTargetUser::BatchInsert({{7, 2}, {5, 2}, {7, 2}, {5, 3}}).Succeeded());
    std::vector<DBReminderTargetUser> all, group2;
    ASSERT_TRUE(IDBReminderTargetUser::BatchLoadAll(all).Succeeded());
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].CustomerRecNum, 5);
    EXPECT_EQ(all[0].TargetGroupId, 2);
    EXPECT_EQ(all[2].TargetGroupId, 3);

    const DBReminderTargetUser gone[] = {{7, 2}, {99, 2}};
    ASSERT_TRUE(IDBReminderTargetUser::BatchDelete(gone, 2).Succeeded());
    ASSERT_TRUE(IDBReminderTargetUser::BatchDelete(nullptr, 0).Succeeded());
    ASSERT_TRUE(IDBReminderTargetUser::BatchLoad(2, group2).Succeeded());
    ASSERT_EQ(group2.size(), 1u);
    EXPECT_EQ(group2[0].CustomerRecNum, 5);
    ASSERT_TRUE(IDBReminderTargetUser::DeleteByTargetGroup(2).Succeeded());
    EXPECT_EQ(Count("reminder_target_users"), 1);

    IDBReminderTargetGroup g1, g2;
    g1.SetTargetGroupType(1);
    g2.SetTargetGroupType(1);
    ASSERT_TRUE(g1.Add().Succeeded());
    ASSERT_TRUE(g2.Add().Succeeded());
    std::vector<DBReminderTargetGroup> groups;
    ASSERT_TRUE(IDBReminderTargetGroup::BatchLoad(1, groups).Succeeded());
    ASSERT_EQ(groups.size(), 2u);
    ASSERT_TRUE(IDBReminderTargetGroup::BatchDelete(groups).Succeeded());
    EXPECT_EQ(Count("reminder_target_groups"), 0);
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
    const DBStmtReminderRule& r = rules[0];
    EXPECT_EQ(r.RuleId, id);
    EXPECT_STREQ(r.EmailListPrepDate, "2024-03-05");
    // day|overdue by|style|items|memo|customer:job
    EXPECT_EQ(std::to_string(r.ScheduleDay) + "|" + std::to_string(r.OverdueBy) + "|" + std::to_string(r.StyleTemplateId) +
                  "|" + std::to_string(r.IsItemDetailsIncluded) + std::to_string(r.IsMemoIncluded) +
                  std::to_string(r.IsCustomerJob),
              "65535|30|9|101");
    EXPECT_STREQ(rules[1].EmailListPrepDate, "garbage tex");

    const unsigned long ids[] = {static_cast<unsigned long>(id)};
    ASSERT_TRUE(IDBStmtReminderRule::BatchDelete(ids, 1).Succeeded());
    EXPECT_EQ(Count("stmt_reminder_rules"), 1);
}

TEST_F(RecordStoreTest, StatementStatusIsAddressedByRuleAndCustomer) {
    for (const auto& [rule, customer, status] : std::vector<std::tuple<int, int, int>>{{1, 30, 2}, {1, 10, 1}, {1, 20, 1}, {2, 10, 1}}) {
        ASSERT_TRUE(AddStatus(rule, customer, status).Succeeded());
    }
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
    EXPECT_EQ(Count("stmt_reminder_status"), 1);
}

// Limits are in characters; a text over one, or holding a NUL, is refused
// whole rather than stored cut, and the template stored before stays.
TEST_F(RecordStoreTest, TemplateTextsAreStoredWholeOrRefused) {
    auto times = [](const std::string& piece, std::size_t n) {
        std::string text;
        for (std::size_t i = 0; i < n; ++i) text += piece;
        return text;
    };
    struct Row {
        std::string subject;
        std::string body;
        bool stored;
    };
    const Row rows[] = {
        {times("é", 150), "Body", true},
        {times("ü", 256), times("ж", 32000), true},
        {times("é", 257), "Body", false},
        {"Subject", times("ж", 32001), false},
        {std::string("Sub\0ject", 8), "Body", false},
        {"Subject", std::string("Pay\0 now", 8), false},
    };
    long id = 0;
    ASSERT_TRUE(MessageTemplateAdapter::Save(15, id, 0, "Reminder", "Before", "Before", 0).Succeeded());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.subject.substr(0, 20));
        const Util::Status saved = MessageTemplateAdapter::Save(15, id, 0, "Reminder", row.body, row.subject, 0);
        EXPECT_EQ(saved.Succeeded(), row.stored);
        DMMessageTemplate::IDBMessageTemplate loaded;
        ASSERT_EQ(loaded.Load(id).GetStatusCode(), 0);
        EXPECT_EQ(loaded.GetSubject(), row.stored ? row.subject : "Before");
        EXPECT_EQ(loaded.GetBody(), row.stored ? row.body : "Before");
        if (row.stored) {
            ASSERT_TRUE(MessageTemplateAdapter::Save(15, id, 0, "Reminder", "Before", "Before", 0).Succeeded());
        } else {
            EXPECT_EQ(saved.GetStatusCode(), 6043);
        }
    }
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
    ASSERT_TRUE(MessageTemplateAdapter::Save(15, id, 0, "Reminder", "Body one", "Subject one", 0).Succeeded());
    ASSERT_GT(id, 0);
    const long first = id;
    ASSERT_TRUE(MessageTemplateAdapter::Save(15, id, 0, "Reminder", "Body two", "Subject", 0).Succeeded());
    EXPECT_EQ(id, first);
    long absent = 777;
    EXPECT_TRUE(MessageTemplateAdapter::Save(15, absent, 0, "Reminder", "x", "y", 0).Failed());
    EXPECT_EQ(absent, 777);
    EXPECT_EQ(Count("message_templates"), 1);
    int second = -3;
    ASSERT_TRUE(MessageTemplateAdapter::Save(15, second, 0, "Reminder", std::string(32000, 'b'), "S", 0).Succeeded());
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
    EXPECT_EQ(Count("message_templates"), 0);
}
