#include <string>
#include <vector>

#include "CompanyBuilder.h"
#include "HostFixture.h"
#include "InvoiceReminderDBHelper.h"
#include "TxnReminderEngine.h"
#include "TxnReminderTargetGroup.h"

using namespace testsupport;
using Host::FaultKind;

namespace {

class MigrationTest : public HostFixture {
protected:
    void SetUp() override {
        HostFixture::SetUp();
        for (int i = 0; i < 3; ++i) m_customers.push_back(AddName("Customer " + std::to_string(i)));
        m_full = AddOldGroup("three", m_customers, "three members");
        m_empty = AddOldGroup("none", {}, "no members");
        m_fullSet = AddReminderSet("full", FormViewType_Invoice, m_full);
        m_emptySet = AddReminderSet("empty", FormViewType_Invoice, m_empty, false);
    }

    static long long Count(const std::string& table) { return QueryInt("SELECT COUNT(*) FROM " + table); }
    static long long SetGroup(long setId) {
        return QueryInt("SELECT target_group_id FROM reminder_sets WHERE id = " + std::to_string(setId));
    }
    // Every set names a group that exists in one form or the other.
    static long long SetsNamingNoGroup() {
        return QueryInt("SELECT COUNT(*) FROM reminder_sets s WHERE NOT EXISTS (SELECT 1 FROM entity_groups g WHERE "
                        "g.id = s.target_group_id) AND NOT EXISTS (SELECT 1 FROM reminder_target_groups t WHERE t.id = "
                        "s.target_group_id)");
    }
    void ExpectUntouched() {
        EXPECT_EQ(Count("entity_groups"), 0);
        EXPECT_EQ(Count("entity_group_rules"), 0);
        EXPECT_EQ(Count("reminder_target_groups"), 2);
        EXPECT_EQ(Count("reminder_target_users"), 3);
        EXPECT_EQ(SetGroup(m_fullSet), m_full);
        EXPECT_EQ(SetGroup(m_emptySet), m_empty);
        EXPECT_EQ(SetsNamingNoGroup(), 0);
    }
    void ExpectMigrated() {
        ASSERT_EQ(Count("entity_groups"), 2);
        EXPECT_EQ(Count("reminder_target_groups"), 0);
        EXPECT_EQ(Count("reminder_target_users"), 0);
        const long long fullId = SetGroup(m_fullSet);
        const long long emptyId = SetGroup(m_emptySet);
        EXPECT_EQ(QueryText("SELECT name || '|' || description || '|' || used_by || '|' || entity_type FROM "
                            "entity_groups WHERE id = " + std::to_string(fullId)),
                  "three|three members|PaymentReminder|1");
        EXPECT_EQ(QueryText("SELECT name FROM entity_groups WHERE id = " + std::to_string(emptyId)), "none");
        EXPECT_EQ(QueryInt("SELECT COUNT(*) FROM entity_group_rules WHERE attribute = 554288 AND group_id = " +
                           std::to_string(fullId)),
                  3);
        EXPECT_EQ(QueryText("SELECT group_concat(value, ',') FROM (SELECT value FROM entity_group_rules WHERE group_id = " +
                            std::to_string(fullId) + " ORDER BY id)"),
                  std::to_string(m_customers[0]) + "," + std::to_string(m_customers[1]) + "," +
                      std::to_string(m_customers[2]));
        EXPECT_EQ(QueryInt("SELECT COUNT(*) FROM entity_group_rules WHERE group_id = " + std::to_string(emptyId)), 0);
        EXPECT_EQ(QueryText("SELECT name || '|' || is_active || '|' || txn_view FROM reminder_sets WHERE id = " +
                            std::to_string(m_emptySet)),
                  "empty|0|4");
        EXPECT_EQ(SetsNamingNoGroup(), 0);
    }

    std::vector<int> m_customers;
    long m_full = 0;
    long m_empty = 0;
    long m_fullSet = 0;
    long m_emptySet = 0;
};

TEST_F(MigrationTest, OldGroupsBecomePermissionGroupsAndTheirSetsFollow) {
    TxnReminderEngine engine(FormViewType_Invoice);
    EXPECT_TRUE(engine.MigrateOldTargetGroupAndUserTableToNewDLPTables().Succeeded());
    ExpectMigrated();
    // The migrated group serves the invoice selection under its new id.
    InvoiceReminderDBHelper helper;
    long id = static_cast<long>(SetGroup(m_fullSet));
    TxnReminderTargetGroup group;
    ASSERT_TRUE(helper.GetDLPTargetGroup(id, group, true));
    EXPECT_TRUE(group.HasTargetUser(m_customers[1]));

    // Nothing is left to move: a second run changes nothing.
    EXPECT_TRUE(engine.MigrateOldTargetGroupAndUserTableToNewDLPTables().Succeeded());
    EXPECT_EQ(Count("entity_groups"), 2);
}

// A failure part-way through used to leave the groups moved so far in the
// store, with the old rows of a moved group already deleted while its sets'
// new ids were still pending; a rerun then moved a memberless copy again.
TEST_F(MigrationTest, EveryFailingStepRollsBackWithItsLineAndARerunFinishesTheJob) {
    struct Case {
        const char* fault;
        FaultKind kind;
        int nth;
        const char* line;
    };
    const Case cases[] = {
        {"DBManager.CreateTransaction", FaultKind::Fail, 1, "TxnReminder::MigrateDBTable failed to get DMTransaction "},
        {"GroupManager.SaveGroup", FaultKind::Fail, 2, "TxnReminder::MigrateDBTable SaveGroup failed "},
        {"TargetGroup.BatchLoad", FaultKind::Fail, 1, "TxnReminder::MigrateDBTable BatchLoad failed for target group"},
        {"TargetUser.BatchLoad", FaultKind::Fail, 2, "TxnReminder::MigrateDBTable BatchLoad failed for target users"},
        {"ReminderSet.BatchLoadByTargetGroup", FaultKind::Fail, 2,
         "TxnReminder::MigrateDBTable - BatchLoadByTargetGroup - Unable to load reminder sets associated to a target "
         "group"},
        {"Group.GetGroupById", FaultKind::Fail, 2, "TxnReminder::MigrateDBTable GetGroupById failed"},
        {"ReminderSet.Update", FaultKind::Fail, 1, "TxnReminder::MigrateDBTable - ReminderSet - failed"},
        {"TargetUser.BatchDelete", FaultKind::Fail, 1, "TxnReminder::MigrateDBTable BatchDelete failed for target users"},
        {"TargetGroup.BatchDelete", FaultKind::Fail, 1, "TxnReminder::MigrateDBTable BatchDelete failed for target group"},
        {"DMTransaction.Commit", FaultKind::Fail, 1, "TxnReminder: Unable to commit the unit of work"},
        // A thrown fault reaches the engine's handler, with the same rollback.
        {"GroupManager.SaveGroup", FaultKind::Throw, 2,
         "TxnReminder: Exception in MigrateOldTargetGroupAndUserTableToNewDLPTables"},
    };
    unsigned long txn = 77;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        ClearLog();
        Ctx().ClearFaults();
        Ctx().ArmFault(c.fault, c.kind, c.nth);
        TxnReminderEngine engine(FormViewType_Invoice);
        EXPECT_TRUE(engine.MigrateOldTargetGroupAndUserTableToNewDLPTables().Failed());
        EXPECT_TRUE(HasLine(4, 5, c.line));
        // Whatever the engine commits next must not carry half a migration
        // (an engine without a transaction commits nothing).
        Ctx().ClearFaults();
        if (std::string(c.fault) != "DBManager.CreateTransaction") {
            ASSERT_TRUE(engine.SaveReminderExecutionHistory(txn++, 1, TxnReminderExecutionStatus_Sent));
        }
        ExpectUntouched();
    }
    TxnReminderEngine engine(FormViewType_Invoice);
    EXPECT_TRUE(engine.MigrateOldTargetGroupAndUserTableToNewDLPTables().Succeeded());
    ExpectMigrated();
}

// Permission groups made before the migration take ids that old groups also
// have, and each new permission group takes an id a later old group may
// have. Every set moves at most once, decided from the state before the
// migration; a set naming an existing permission group stays on it.
TEST_F(MigrationTest, SetsMoveOnceWhenPermissionGroupIdsCollideWithOldOnes) {
    const long everyone = AddPermissionGroup("All customers", m_customers);
    ASSERT_EQ(everyone, m_full);  // the collision this case is about
    const long standard = AddReminderSet("Standard payment reminders", FormViewType_Invoice, everyone);
    TxnReminderEngine engine(FormViewType_Invoice);
    ASSERT_TRUE(engine.MigrateOldTargetGroupAndUserTableToNewDLPTables().Succeeded());

    const auto groupName = [](long setId) {
        return QueryText("SELECT g.name FROM reminder_sets s JOIN entity_groups g ON g.id = s.target_group_id "
                         "WHERE s.id = " + std::to_string(setId));
    };
    EXPECT_EQ(groupName(standard), "All customers");
    EXPECT_EQ(groupName(m_fullSet), "All customers");  // it named a permission group already
    EXPECT_EQ(groupName(m_emptySet), "none");
    EXPECT_EQ(Count("entity_groups"), 3);
    EXPECT_EQ(Count("reminder_target_groups"), 0);
    EXPECT_EQ(SetsNamingNoGroup(), 0);

    // Run again: nothing is left to move, nothing moves.
    const std::string before = QueryText("SELECT group_concat(id || ':' || target_group_id) FROM reminder_sets");
    EXPECT_TRUE(engine.MigrateOldTargetGroupAndUserTableToNewDLPTables().Succeeded());
    EXPECT_EQ(QueryText("SELECT group_concat(id || ':' || target_group_id) FROM reminder_sets"), before);
    EXPECT_EQ(Count("entity_groups"), 3);
}

} // namespace
