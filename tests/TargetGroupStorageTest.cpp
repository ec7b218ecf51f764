#include <boost/property_tree/ptree.hpp>
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "CompanyBuilder.h"
#include "ReminderSetBuilders.h"
#include "StorageFixture.h"
#include "InvoiceReminderDBHelper.h"
#include "StatementReminderDBHelper.h"
#include "TxnReminderEngine.h"
#include "TxnReminderTargetGroup.h"
#include "TxnSendableReminderContainer.h"

using namespace testsupport;
using Host::FaultKind;

namespace {

const std::string kCreated = "EventSource=InvoicePaymentReminders,EventId=TargetGroupCreated";
const std::string kModified = "EventSource=InvoicePaymentReminders,EventId=TargetGroupModified";
const std::string kHelper = "TxnReminder:TxnReminderDBHelper::";

class TargetGroupStorageTest : public StorageFixture {
protected:
    static TxnReminderTargetGroup Group(const std::string& name, std::vector<int> members, long id = 0) {
        TxnReminderTargetGroup group;
        group.SetTargetGroupId(id);
        group.SetTargetGroupName(name);
        group.SetTargetGroupDescription("customers who pay late");
        group.SetTargetGroupType(1);
        group.SetTargetUserIds(members);
        return group;
    }
    static long long Members(long groupId) {
        return QueryInt("SELECT COUNT(*) FROM reminder_target_users WHERE group_id = " + std::to_string(groupId));
    }
    static long long Groups() { return QueryInt("SELECT COUNT(*) FROM reminder_target_groups"); }
    static std::vector<int> MemberIds(long groupId) {
        InvoiceReminderDBHelper helper;
        TxnReminderTargetGroup loaded;
        long id = groupId;
        EXPECT_TRUE(helper.GetTargetGroup(id, loaded, true));
        std::vector<int> ids = loaded.GetTargetUserIds();
        std::sort(ids.begin(), ids.end());
        return ids;
    }
    // A later unit of work of the same helper commits whatever was left
    // pending in its transaction.
    static void CommitSomethingElse(TxnReminderDBHelper& helper) {
        ASSERT_TRUE(helper.SaveExecutionHistory(999, FormViewType_Invoice, 1, TxnReminderExecutionStatus_Sent));
    }
};

TEST_F(TargetGroupStorageTest, NewGroupIsStoredWithItsMembersAndAnEditMovesRows) {
    InvoiceReminderDBHelper helper;
    TxnReminderStatusCode status = TxnReminderStatus_Reset;
    TxnReminderTargetGroup group = Group(std::string(50, 'n'), {3, 4, 7, 9});
    ASSERT_TRUE(helper.SaveTargetGroup(status, group));
    EXPECT_EQ(status, TxnReminderStatus_Success);
    ASSERT_GT(group.GetTargetGroupId(), 0);
    EXPECT_EQ(QueryText("SELECT name FROM reminder_target_groups"), std::string(50, 'n'));
    EXPECT_EQ(MemberIds(group.GetTargetGroupId()), (std::vector<int>{3, 4, 7, 9}));
    ASSERT_EQ(m_events.size(), 1u);
    EXPECT_EQ(m_events[0], std::make_pair(242, kCreated));
    EXPECT_TRUE(Logged(0, 6, {"TxnReminder::Entering TxnReminderDBHelper TxnReminderDBHelper::SaveTargetGroup",
                              "TxnReminder::Exiting TxnReminderDBHelper TxnReminderDBHelper::SaveTargetGroup"}));

    // Customer 5 belongs to another group: the edit removes it there only if
    // it is a row of this group, then adds it here.
    AddOldGroup("other", {5});
    TxnReminderTargetGroup edit = Group("renamed", {5}, group.GetTargetGroupId());
    edit.SetRemovedTargetUserIds({7});
    edit.SetUpdatedTargetUserIds({9});
    ASSERT_TRUE(helper.SaveTargetGroup(status, edit));
    EXPECT_EQ(status, TxnReminderStatus_Success);
    EXPECT_EQ(MemberIds(group.GetTargetGroupId()), (std::vector<int>{3, 4, 5, 9}));
    EXPECT_EQ(QueryText("SELECT name FROM reminder_target_groups WHERE id = " + std::to_string(group.GetTargetGroupId())),
              "renamed");
    EXPECT_EQ(m_events.back(), std::make_pair(242, kModified));
    EXPECT_EQ(Groups(), 2);
}

TEST_F(TargetGroupStorageTest, FailedSavesLeaveNothingBehindEvenAfterALaterCommit) {
    Ctx().ArmFault("DBManager.CreateTransaction", FaultKind::Fail);
    {
        InvoiceReminderDBHelper noTransaction;
        TxnReminderStatusCode status = TxnReminderStatus_Reset;
        TxnReminderTargetGroup group = Group("g", {1});
        EXPECT_FALSE(noTransaction.SaveTargetGroup(status, group));
        EXPECT_EQ(status, TxnReminderStatus_SaveFailed);
        EXPECT_TRUE(HasLine(4, 5, "TxnReminder:SaveTargetGroup -GetDBTransactionPtr returns NULL"));
    }

    InvoiceReminderDBHelper helper;
    const std::string users = kHelper + "SaveTargetUser - Unable to ";
    const FaultRow rows[] = {
        {"TargetGroup.Add", TxnReminderStatus_SaveFailed,
         {"TxnReminder::SaveTargetGroup - Unable to save the target group",
          kHelper + "SaveTargetGroup Rollback api returned false"}, 1, FaultKind::Fail, true},
        {"TargetUser.BatchLoadAll", TxnReminderStatus_NoTransaction, {users + "fetch list of the target users"}},
        {"TargetUser.BatchDelete", TxnReminderStatus_DeleteFailed, {users + "delete list of the target users"}},
        {"TargetUser.BatchInsert", TxnReminderStatus_SaveFailed,
         {users + "add list of the target users", "TxnReminder::SaveTargetGroup - Unable to save target users"}},
    };
    for (const FaultRow& row : rows) {
        SCOPED_TRACE(row.point);
        Arm(row);
        TxnReminderStatusCode status = TxnReminderStatus_Reset;
        TxnReminderTargetGroup group = Group("g", {1, 2});
        EXPECT_TRUE(FailedAs(row, helper.SaveTargetGroup(status, group), status));
        EXPECT_EQ(group.GetTargetGroupId(), 0) << "the caller keeps no id of a group that was not stored";
        CommitSomethingElse(helper);
        EXPECT_EQ(Groups() + QueryInt("SELECT COUNT(*) FROM reminder_target_users"), 0);
    }
}

TEST_F(TargetGroupStorageTest, ExceptionInsideTheUnitOfWorkDoesNotLeakIntoTheNextCommit) {
    TxnReminderEngine engine(FormViewType_Invoice);
    Ctx().ArmFault("TargetUser.BatchInsert", FaultKind::Throw);
    TxnReminderStatusCode status = TxnReminderStatus_Reset;
    TxnReminderTargetGroup group = Group("g", {1});
    EXPECT_FALSE(engine.AddOrUpdateTargetGroup(status, group));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder: Exception in TxnReminderEngine::AddOrUpdateTargetGroup"));
    ASSERT_TRUE(engine.SaveReminderExecutionHistory(1, 1, TxnReminderExecutionStatus_Sent));
    EXPECT_EQ(Groups(), 0);
    EXPECT_EQ(QueryInt("SELECT COUNT(*) FROM reminder_history"), 1);
}

// A failed step rolls back the member rows deleted before it, even when the
// helper commits later; a group its own view's sets still use is kept.
TEST_F(TargetGroupStorageTest, DeletionsRollBackAndSpareAGroupTheViewStillUses) {
    const long group = AddOldGroup("statements", {1, 2});
    const long used = AddOldGroup("used", {3});
    AddReminderSet("statements", FormViewType_Statement, group);
    AddReminderSet("invoices", FormViewType_Invoice, used);
    InvoiceReminderDBHelper helper;
    const std::string prefix = kHelper + "DeleteTargetGroup - ";
    const FaultRow rows[] = {
        {"ReminderSet.BatchLoadByTargetGroup", TxnReminderStatus_NoTransaction,
         {prefix + "BatchLoadByTargetGroup - Unable to load reminder sets associated to a target group"}},
        {"TargetUser.DeleteByTargetGroup", TxnReminderStatus_DeleteFailed, {prefix + "Unable to delete associated target users"}},
        {"TargetGroup.Delete", TxnReminderStatus_DeleteFailed,
         {prefix + "Unable to delete the target group", kHelper + "DeleteTargetGroup Rollback api returned false"}, 1,
         FaultKind::Fail, true},
    };
    for (const FaultRow& row : rows) {
        SCOPED_TRACE(row.point);
        Arm(row);
        TxnReminderStatusCode status = TxnReminderStatus_Reset;
        EXPECT_TRUE(FailedAs(row, helper.DeleteTargetGroup(status, FormViewType_Invoice, group), status));
        CommitSomethingElse(helper);
        EXPECT_EQ(Members(group), 2);
        EXPECT_EQ(Groups(), 2);
    }

    TxnReminderEngine engine(FormViewType_Invoice);
    TxnReminderStatusCode status = TxnReminderStatus_Reset;
    EXPECT_FALSE(engine.DeleteTargetGroup(status, used));
    EXPECT_EQ(status, TxnReminderStatus_GroupMissingOrInUse);
    EXPECT_TRUE(HasLine(0, 6,
                        kHelper + "DeleteTargetGroup - BatchLoadByTargetGroup - Unable to "
                        "delete target group as it has associated reminder sets"));
    EXPECT_EQ(Members(used), 1);
    EXPECT_TRUE(engine.DeleteTargetGroup(status, group));  // only statement sets use it
    EXPECT_EQ(status, TxnReminderStatus_Success);
    EXPECT_EQ(Members(group), 0);
    EXPECT_EQ(Groups(), 1);
    EXPECT_EQ(m_events.back(), std::make_pair(242, std::string("EventSource=InvoicePaymentReminders,EventId=TargetGroupDeleted")));
}

TEST_F(TargetGroupStorageTest, OwnTableGroupLoadsWithMembersAndRejectsWhatItCannotHold) {
    const long group = AddOldGroup("late payers", {8, 6}, "slow");
    InvoiceReminderDBHelper helper;
    long id = group;
    TxnReminderTargetGroup loaded;
    ASSERT_TRUE(helper.GetTargetGroup(id, loaded, true));
    EXPECT_EQ(loaded.GetTargetGroupId(), group);
    EXPECT_EQ(loaded.GetTargetGroupName().str(), "late payers");
    EXPECT_EQ(loaded.GetTargetGroupDescription().str(), "slow");
    EXPECT_EQ(loaded.GetTargetGroupType(), 1);
    EXPECT_EQ(loaded.GetTargetUserIds(), (std::vector<int>{6, 8}));

    TxnReminderTargetGroup absent;
    long missing = group + 10;
    EXPECT_FALSE(helper.GetTargetGroup(missing, absent, true));
    EXPECT_TRUE(HasLine(4, 5, kHelper + "GetTargetGroup - failed to load"));

    Ctx().ArmFault("TargetUser.BatchLoad", FaultKind::Fail);
    TxnReminderTargetGroup again;
    EXPECT_FALSE(helper.GetTargetGroup(id, again, true));
    EXPECT_TRUE(HasLine(4, 5, kHelper + "GetTargetGroup - failed to load target users"));

    const long wide = AddOldGroup(std::string(51, 'w'), {});
    long wideId = wide;
    EXPECT_FALSE(helper.GetTargetGroup(wideId, again, false));
    EXPECT_TRUE(HasLine(4, 5, kHelper + "GetTargetGroup -Target group name's length limit exceeded"));
}

TEST_F(TargetGroupStorageTest, PermissionGroupLoadsWithMembersOrFailsWithItsLine) {
    const int a = AddName("Acme");
    const int b = AddName("Bolt");
    const long group = AddPermissionGroup("key accounts", {a, b}, "top");
    InvoiceReminderDBHelper helper;
    long id = group;
    TxnReminderTargetGroup loaded;
    ASSERT_TRUE(helper.GetDLPTargetGroup(id, loaded, true));
    EXPECT_EQ(loaded.GetTargetGroupId(), group);
    EXPECT_EQ(loaded.GetTargetGroupName().str(), "key accounts");
    EXPECT_EQ(loaded.GetTargetGroupDescription().str(), "top");
    EXPECT_EQ(loaded.GetTargetGroupType(), 1);
    std::vector<int> members = loaded.GetTargetUserIds();
    std::sort(members.begin(), members.end());
    EXPECT_EQ(members, (std::vector<int>{a, b}));
    EXPECT_TRUE(HasLine(0, 6, "TxnReminder::Exiting TxnReminderDBHelper TxnReminderDBHelper::GetDLPTargetGroup"));

    TxnReminderTargetGroup without;
    ASSERT_TRUE(helper.GetDLPTargetGroup(id, without, false));
    EXPECT_TRUE(without.GetTargetUserIds().empty());

    long missing = group + 5;
    EXPECT_FALSE(helper.GetDLPTargetGroup(missing, without, true));
    Ctx().ArmFault("Group.GetGroupById", FaultKind::Fail);
    EXPECT_FALSE(helper.GetDLPTargetGroup(id, without, true));
    EXPECT_EQ(CountLines(kHelper + "GetDLPTargetGroup GetGroupById is not retrieved properly"), 2);

    // Stored by another part of the host, which knows no such limits.
    for (const bool name : {true, false}) {
        DMEntityGroupsHeader::DBEntityGroupsHeader header;
        header.GroupEntityType = 1;
        DMEntityGroupsHeader::SetName(header, name ? std::string(51, 'w') : "described");
        DMEntityGroupsHeader::SetDescription(header, name ? "" : std::string(251, 'd'));
        long wide = -1;
        ASSERT_TRUE(DLPGroupManager::DLPGroupManager::SaveGroup(header, {}, wide).Succeeded());
        EXPECT_FALSE(helper.GetDLPTargetGroup(wide, without, false));
        EXPECT_TRUE(HasLine(4, 5, kHelper + "GetDLPTargetGroup -Target group " + (name ? "name" : "description") +
                                      "'s length limit exceeded"));
    }
}

// Names and descriptions are limited in characters, not bytes; whatever the
// group stores accept, the reminder sets that name the group list with it.
TEST_F(TargetGroupStorageTest, GroupTextLimitsCountCharactersAndStoredTextsReadBack) {
    auto times = [](const std::string& piece, int n) {
        std::string text;
        for (int i = 0; i < n; ++i) text += piece;
        return text;
    };
    struct Row {
        std::string name;
        std::string description;
        bool accepted;
    };
    const Row rows[] = {
        {"Клиенты с просрочкой платежа", "", true},
        {times("é", 50), times("ж", 250), true},
        {times("€", 50), "", true},
        {times("é", 51), "", false},
        {std::string(51, 'w'), "", false},
        {"long description", times("ж", 251), false},
    };
    const int member = AddName("Acme");
    InvoiceReminderDBHelper helper;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        long id = 0;
        EXPECT_EQ(Host::CreateCustomerGroup(row.name, row.description, {member}, id).Succeeded(), row.accepted);
        if (!row.accepted) continue;
        TxnReminderSet set = InvoiceSet("on " + std::to_string(id), id, {InvoiceRule(3, 2, "Due", "Pay")});
        TxnReminderEngine engine(FormViewType_Invoice);
        TxnReminderStatusCode status = TxnReminderStatus_Reset;
        ASSERT_TRUE(engine.AddOrUpdateReminderSet(status, set));
        std::vector<TxnReminderSet> sets;
        ASSERT_TRUE(engine.GetAllReminderSets(status, sets)) << status;
        ASSERT_FALSE(sets.empty());
        EXPECT_EQ(sets.back().GetDefaultTargetGroupName().str(), row.name);
        std::vector<TxnSendableReminderContainer> due;
        bool duplicates = false;
        EXPECT_TRUE(engine.PrepareReminderListToSend(status, due, duplicates, false));
    }

    // The feature's own group table: the same limits, and nothing the record
    // would have to cut.
    const Row own[] = {
        {times("é", 50), times("ж", 250), true},
        {times("é", 51), "", false},
        {times("€", 50), "", false},  // 150 bytes: more than the record holds
        {std::string(51, 'n'), "", false},
        {"fine", std::string(251, 'd'), false},
    };
    for (const Row& row : own) {
        SCOPED_TRACE(row.name);
        TxnReminderTargetGroup group = Group(row.name, {member});
        group.SetTargetGroupDescription(row.description);
        TxnReminderStatusCode status = TxnReminderStatus_Reset;
        const long long groups = Groups();
        m_events.clear();
        EXPECT_EQ(helper.SaveTargetGroup(status, group), row.accepted);
        if (!row.accepted) {
            EXPECT_EQ(status, TxnReminderStatus_LengthExceeded);
            EXPECT_TRUE(HasLine(4, 5, kHelper + "SaveTargetGroup -Target group " +
                                          (row.description.empty() ? "name" : "description") +
                                          "'s length limit exceeded"));
            EXPECT_EQ(Groups(), groups);
            EXPECT_TRUE(m_events.empty());
            continue;
        }
        long id = group.GetTargetGroupId();
        TxnReminderTargetGroup loaded;
        ASSERT_TRUE(helper.GetTargetGroup(id, loaded, false));
        EXPECT_EQ(loaded.GetTargetGroupName().str(), row.name);
        EXPECT_EQ(loaded.GetTargetGroupDescription().str(), row.description);
    }
}

TEST_F(TargetGroupStorageTest, CustomerGroupDetailsListEveryOldGroupForTheScreens) {
    TxnReminderEngine engine(FormViewType_Invoice);
    TxnReminderStatusCode status = TxnReminderStatus_Reset;
    boost::property_tree::ptree empty;
    ASSERT_TRUE(engine.GetCustomerGroupDetails(status, empty));
    ASSERT_EQ(empty.count("customergroups"), 1u);
    EXPECT_TRUE(empty.get_child("customergroups").empty());

    const long first = AddOldGroup("first", {1}, "one");
    const long second = AddOldGroup("second", {}, "two");
    boost::property_tree::ptree tree;
    ASSERT_TRUE(engine.GetCustomerGroupDetails(status, tree));
    EXPECT_EQ(status, TxnReminderStatus_Success);
    const auto& groups = tree.get_child("customergroups");
    ASSERT_EQ(groups.size(), 2u);
    auto it = groups.begin();
    EXPECT_EQ(it->first, "");
    EXPECT_EQ(it->second.get<long>("id"), first);
    EXPECT_EQ(it->second.get<std::string>("name"), "first");
    EXPECT_EQ(it->second.get<std::string>("description"), "one");
    ++it;
    EXPECT_EQ(it->second.get<long>("id"), second);

    Ctx().ArmFault("TargetGroup.BatchLoad", FaultKind::Fail);
    EXPECT_FALSE(engine.GetCustomerGroupDetails(status, tree));
    EXPECT_EQ(status, TxnReminderStatus_NoTransaction);
    EXPECT_TRUE(HasLine(4, 5, "TxnReminderDBHelper::GetCustomerGroupDetails Error in fetching reminderTargetGroups"));

    AddOldGroup("third", {}, std::string(251, 'd'));
    EXPECT_FALSE(engine.GetCustomerGroupDetails(status, tree));
    EXPECT_EQ(status, TxnReminderStatus_LengthExceeded);
    EXPECT_TRUE(HasLine(4, 5,
                        kHelper + "GetCustomerGroupDetails -Target group description's length "
                        "limit exceeded"));
}

TEST_F(TargetGroupStorageTest, CustomerListOfAGroupLeavesHiddenCustomersOut) {
    const int shown = AddName("Shown");
    const int hidden = AddName("Hidden", 0, "", true);
    const int job = AddName("Job", shown);
    const long group = AddPermissionGroup("g", {shown, hidden, job});
    StatementReminderDBHelper helper;
    std::vector<int> customers{42};
    ASSERT_TRUE(helper.GetCustomerListFromGroup(group, customers));
    std::sort(customers.begin(), customers.end());
    EXPECT_EQ(customers, (std::vector<int>{shown, job, 42}));
    EXPECT_TRUE(HasLine(0, 6, "TxnReminder::Exiting StatementReminderDBHelper TxnReminderDBHelper::GetCustomerListFromGroup"));

    EXPECT_FALSE(helper.GetCustomerListFromGroup(group + 1, customers));
    EXPECT_TRUE(HasLine(4, 5, kHelper + "GetCustomerListFromGroup GetGroupById is not retrieved properly"));

    // An unreadable hidden state fails the list rather than show hidden customers.
    std::vector<int> unread;
    Ctx().ArmFault("Name.Load", Host::FaultKind::Fail);
    EXPECT_FALSE(helper.GetCustomerListFromGroup(group, unread));
    EXPECT_TRUE(unread.empty());
    EXPECT_TRUE(HasLine(4, 5, kHelper + "GetCustomerListFromGroup - unable to read hidden customers"));
}

TEST_F(TargetGroupStorageTest, UserDetailsListTopLevelCustomersOnceInRecordOrder) {
    const int zed = AddName("Zed", 0, "zed@example.com");
    const int amy = AddName("Amy");
    AddName("Job", zed);
    const int hidden = AddName("Hidden", 0, "", true);
    const long group = AddOldGroup("g", {amy});
    unsigned long paid = AddOpenInvoice(zed, Date(2026, 2, 1));
    ASSERT_TRUE(Host::MarkInvoicePaid(paid, Date(2026, 1, 14)).Succeeded());  // 12 days after the invoice
    AddOpenInvoice(zed, Date(2026, 4, 1));

    TxnReminderEngine engine(FormViewType_Invoice);
    TxnReminderStatusCode status = TxnReminderStatus_Reset;
    boost::property_tree::ptree tree;
    ASSERT_TRUE(engine.GetUserDetails(status, tree));
    EXPECT_EQ(status, TxnReminderStatus_Success);
    EXPECT_TRUE(HasLine(0, 6, "TxnReminder::GetUserDetails CustomerInfoMap.size()=3"));
    const auto& customers = tree.get_child("customers");
    std::vector<int> ids;
    for (const auto& c : customers) ids.push_back(c.second.get<int>("id"));
    EXPECT_EQ(ids, (std::vector<int>{zed, amy, hidden}));
    const auto& z = customers.begin()->second;
    EXPECT_EQ(z.get<std::string>("name"), "Zed");
    EXPECT_EQ(z.get<std::string>("emailid"), "zed@example.com");
    EXPECT_EQ(z.get<double>("overdue"), 100.0);
    EXPECT_EQ(z.get<double>("avgdaystopay"), 12.0);
    EXPECT_EQ(z.get<long>("customergroup.id"), 0);
    EXPECT_EQ(std::next(customers.begin())->second.get<long>("customergroup.id"), group);

    // Without the host's average days to pay every customer is still
    // listed, with 0, and the log says why; without the group rows nothing is.
    struct Row {
        const char* point;
        bool listed;
    };
    for (const Row& row : {Row{"Name.GetAverageDaysToPay", true}, Row{"TargetUser.BatchLoadAll", false}}) {
        SCOPED_TRACE(row.point);
        ClearLog();
        Ctx().ArmFault(row.point, FaultKind::Fail);
        boost::property_tree::ptree again;
        EXPECT_EQ(engine.GetUserDetails(status, again), row.listed);
        EXPECT_EQ(status, row.listed ? TxnReminderStatus_Success : TxnReminderStatus_NoTransaction);
        if (!row.listed) continue;
        EXPECT_EQ(again.get_child("customers").size(), 3u);
        EXPECT_EQ(again.get_child("customers").begin()->second.get<double>("avgdaystopay"), 0.0);
        EXPECT_TRUE(HasLine(4, 5, "TxnReminder:InvoiceReminderDBHelper::GetUserDetails - Unable to get average days "
                                  "to pay, 0 shown"));
    }
}

} // namespace
