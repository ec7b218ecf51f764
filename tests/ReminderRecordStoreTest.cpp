#include <memory>
#include <string>
#include <vector>

#include "CompanyBuilder.h"
#include "DB/DBManager.h"
#include "HostFixture.h"
#include "Records/MessageTemplates.h"
#include "Records/RecordText.h"
#include "Records/ReminderRecords.h"
#include "Records/StmtReminderRecords.h"
#include "CompanyFile.h"
#include "Sql.h"

using namespace testsupport;
using namespace DMReminderTargetGroup;
using namespace DMStmtReminderExecutionStatus;
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

TEST_F(RecordStoreTest, RollbackDiscardsWritesMadeThroughTheTransaction) {
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
}

// Without a transaction a call stands on its own: it never joins a unit of
// work open on the file, to be undone with it. A refused call inside a unit
// keeps the unit's earlier writes.
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

    ASSERT_TRUE(AddStatus(5, 9, 2, txn.get()).Succeeded());
    const Util::Status again = AddStatus(5, 9, 2, txn.get());  // the same (rule, customer)
    EXPECT_TRUE(again.Failed());
    EXPECT_EQ(again.GetStatusCode(), Util::Status::kConstraintFailure);
    EXPECT_TRUE(txn->Commit());
    EXPECT_EQ(Count("stmt_reminder_status"), 2);
}

// A history row is written as one statement, without a savepoint of its own:
// one whose id the record cannot hold is refused and leaves nothing behind,
// inside a unit (whose earlier writes stay) and on its own.
TEST_F(RecordStoreTest, AHistoryRowWhoseIdDoesNotFitIsRefusedAndLeavesNoRow) {
    Host::Exec(Ctx().File()->Db(), "INSERT INTO reminder_history(id, txn_id, txn_view, rule_id, status) "
                                   "VALUES(2147483647, 1, 4, 1, 1)");
    for (const bool inUnit : {true, false}) {
        SCOPED_TRACE(inUnit ? "in a unit" : "alone");
        auto txn = inUnit ? NewTxn() : nullptr;
        if (inUnit) {
            ASSERT_TRUE(AddStatus(5, 1, 2, txn.get()).Succeeded());
        }
        DMReminderExecutionHistory::IDBReminderExecutionHistory row;
        row.SetTransactionId(2);
        row.SetTransactionView(4);
        row.SetRuleId(1);
        row.SetStatus(1);
        EXPECT_TRUE(row.Add(txn.get()).Failed());
        if (inUnit) {
            EXPECT_TRUE(txn->Commit());
        }
        EXPECT_EQ(Count("reminder_history"), 1);
        EXPECT_EQ(Count("stmt_reminder_status"), 1) << "the unit's own write stays";
    }
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
    // Saving under the id of a template that is not there adds none.
    long absent = id + 100;
    EXPECT_TRUE(MessageTemplateAdapter::Save(15, absent, 0, "Reminder", "x", "y", 0).Failed());
    EXPECT_EQ(absent, id + 100);
    EXPECT_EQ(Count("message_templates"), 1);
}

