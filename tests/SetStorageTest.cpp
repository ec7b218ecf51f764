#include <algorithm>
#include <string>
#include <vector>

#include "HostFixture.h"
#include "InvoiceReminderDBHelper.h"
#include "Records/MessageTemplates.h"
#include "Records/ReminderRecords.h"
#include "ReminderSetBuilders.h"
#include "StatementReminderDBHelper.h"
#include "TxnReminderEngine.h"
#include "TxnReminderTargetGroup.h"

using namespace testsupport;

namespace {

class SetStorageTest : public HostFixture {
protected:
    std::vector<std::string> Events() const {
        std::vector<std::string> texts;
        for (const auto& e : m_events) texts.push_back(e.second);
        return texts;
    }
    bool HasEvent(const std::string& text) const {
        const auto texts = Events();
        return std::find(texts.begin(), texts.end(), text) != texts.end();
    }
    // A stored set with two rules: 3 days before and 5 days after the due date.
    TxnReminderSet SavedSet(long groupId, const std::string& name = "Friendly nudges") {
        TxnReminderSet set = InvoiceSet(name, groupId,
                                        {InvoiceRule(5, 2, "Overdue", "Please pay"),
                                         InvoiceRule(3, 1, "Due soon", "Your invoice falls due")});
        TxnReminderEngine engine(FormViewType_Invoice);
        TxnReminderStatusCode status = TxnReminderStatus_Reset;
        EXPECT_TRUE(engine.AddOrUpdateReminderSet(status, set));
        EXPECT_EQ(status, TxnReminderStatus_Success);
        return set;
    }
    long WriteSetRecord(const std::string& name, long groupId, short active = 1) {
        DMTransactionReminderSet::IDBTransactionReminderSet record;
        record.SetName(name);
        record.SetIsActive(active);
        record.SetTransactionView(FormViewType_Invoice);
        record.SetTargetGroupId(groupId);
        EXPECT_TRUE(record.Add().Succeeded());
        return record.GetRemindersetId();
    }
};

// --- saving and loading ----------------------------------------------------------

TEST_F(SetStorageTest, SavedSetLoadsBackEqualAfterReopeningTheFile) {
    const long groupId = AddCustomerGroup("Net 30 customers");
    TxnReminderSet set = SavedSet(groupId);

    // The caller's set carries the store's ids.
    EXPECT_GT(set.GetRuleSetId(), 0u);
    ASSERT_EQ(set.GetReminderRules().size(), 2u);
    for (const auto& rule : set.GetReminderRules()) {
        EXPECT_GT(rule.GetRuleId(), 0u);
        EXPECT_EQ(rule.GetRuleSetId(), set.GetRuleSetId());
        EXPECT_GT(rule.GetRuleTemplate().GetTemplateId(), 0);
    }
    EXPECT_EQ(Events(), (std::vector<std::string>{"EventSource=InvoicePaymentReminders,EventId=ScheduleCreated",
                                                  "EventSource=InvoicePaymentReminders,EventId=ReminderCreated",
                                                  "EventSource=InvoicePaymentReminders,EventId=ReminderCreated"}));
    EXPECT_TRUE(HasLine(0, 6, "TxnReminder::Entering TxnReminderDBHelper TxnReminderDBHelper::SaveReminderSet"));
    EXPECT_TRUE(HasLine(0, 6, "TxnReminder::Exiting TxnReminderDBHelper TxnReminderDBHelper::SaveReminderSet"));
    EXPECT_EQ(QueryInt("SELECT trigger_interval FROM reminder_rules WHERE condition = 1"), 259200);

    ReopenFile();
    m_events.clear();
    TxnReminderEngine engine(FormViewType_Invoice);
    TxnReminderStatusCode status = TxnReminderStatus_Reset;
    std::vector<TxnReminderSet> sets;
    ASSERT_TRUE(engine.GetAllReminderSets(status, sets));
    EXPECT_EQ(status, TxnReminderStatus_Success);
    ASSERT_EQ(sets.size(), 1u);
    const TxnReminderSet& back = sets[0];
    EXPECT_EQ(back.GetRuleSetId(), set.GetRuleSetId());
    EXPECT_EQ(back.GetReminderSetName().str(), "Friendly nudges");
    EXPECT_EQ(back.GetReminderSetStatus(), TxnReminderSetStatus_Active);
    EXPECT_EQ(back.GetTxnType(), FormViewType_Invoice);
    EXPECT_EQ(back.GetTargetGroupId(), groupId);
    EXPECT_EQ(back.GetDefaultTargetGroupName().str(), "Net 30 customers");

    // In the order reminders fall due: before the due date first.
    ASSERT_EQ(back.GetReminderRules().size(), 2u);
    const TxnReminderRule& first = back.GetReminderRules()[0];
    const TxnReminderRule& second = back.GetReminderRules()[1];
    EXPECT_EQ(first.GetRuleId(), set.GetReminderRules()[1].GetRuleId());
    EXPECT_EQ(first.GetRuleCriteria().GetSchedule(), 1);
    EXPECT_EQ(first.GetRuleCriteria().GetDays(), 3);
    EXPECT_EQ(first.GetRuleCriteria().GetDateToCompare(), "due date");
    EXPECT_EQ(first.GetRuleTemplate().GetTemplateSubject().str(), "Due soon");
    EXPECT_EQ(first.GetRuleTemplate().GetTemplateBody().str(), "Your invoice falls due");
    EXPECT_EQ(first.GetRuleTemplate().GetTemplateTypeId(), 15);
    EXPECT_EQ(first.GetRuleTemplate().GetTemplateId(), set.GetReminderRules()[1].GetRuleTemplate().GetTemplateId());
    EXPECT_EQ(second.GetRuleCriteria().GetSchedule(), 2);
    EXPECT_EQ(second.GetRuleCriteria().GetDays(), 5);
    EXPECT_EQ(second.GetRuleTemplate().GetTemplateSubject().str(), "Overdue");
    EXPECT_EQ(second.GetRuleSetId(), set.GetRuleSetId());

    EXPECT_EQ(Events(),
              (std::vector<std::string>{
                  "EventSource=InvoicePaymentReminders, EventId=NumberOfDisabledReminderSets:0, ReminderType=4",
                  "EventSource=InvoicePaymentReminders, EventId=AvgNumberOfRemindersPerSet:2, ReminderType=4",
                  "EventSource=InvoicePaymentReminders,EventId=NumberOfReminderSets:1, ReminderType:4"}));
    EXPECT_TRUE(HasLine(1, 5, "TxnReminder::Exiting TxnReminderEngine::GetAllReminderSets"));
}

TEST_F(SetStorageTest, SavingTheSameSetAgainUpdatesItsRulesAndTemplates) {
    const long groupId = AddCustomerGroup("Everyone");
    TxnReminderSet set = SavedSet(groupId);
    const unsigned long setId = set.GetRuleSetId();
    m_events.clear();

    set.SetReminderSetName("Renamed");
    set.GetReminderRules()[0].GetRuleCriteria().SetDays(9);
    set.GetReminderRules()[0].GetRuleTemplate().SetTemplateSubject("Seriously overdue");
    TxnReminderEngine engine(FormViewType_Invoice);
    TxnReminderStatusCode status = TxnReminderStatus_Reset;
    ASSERT_TRUE(engine.AddOrUpdateReminderSet(status, set));

    EXPECT_EQ(set.GetRuleSetId(), setId);
    EXPECT_EQ(Rows("reminder_sets"), 1);
    EXPECT_EQ(Rows("reminder_rules"), 2);
    EXPECT_EQ(Rows("message_templates"), 2);
    EXPECT_EQ(Events(), (std::vector<std::string>{"EventSource=InvoicePaymentReminders,EventId=ScheduleModified",
                                                  "EventSource=InvoicePaymentReminders,EventId=ReminderModified",
                                                  "EventSource=InvoicePaymentReminders,EventId=ReminderModified"}));
    EXPECT_EQ(QueryText("SELECT name FROM reminder_sets"), "Renamed");
    EXPECT_EQ(QueryInt("SELECT trigger_interval FROM reminder_rules WHERE condition = 2"), 9 * 86400);
    EXPECT_EQ(QueryInt("SELECT COUNT(*) FROM message_templates WHERE subject = 'Seriously overdue'"), 1);
}

TEST_F(SetStorageTest, NamesAndGroupsAreCheckedBeforeAnythingIsWritten) {
    const long groupId = AddCustomerGroup("Everyone");
    TxnReminderEngine engine(FormViewType_Invoice);
    TxnReminderStatusCode status = TxnReminderStatus_Reset;

    TxnReminderSet longest = InvoiceSet(std::string(64, 'a'), groupId, {InvoiceRule(1, 1, "s", "b")});
    ASSERT_TRUE(engine.AddOrUpdateReminderSet(status, longest));
    std::vector<TxnReminderSet> sets;
    ASSERT_TRUE(engine.GetAllReminderSets(status, sets));
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].GetReminderSetName().str(), std::string(64, 'a'));

    m_events.clear();
    TxnReminderSet tooLong = InvoiceSet(std::string(65, 'a'), groupId, {InvoiceRule(1, 1, "s", "b")});
    EXPECT_FALSE(engine.AddOrUpdateReminderSet(status, tooLong));
    EXPECT_EQ(status, TxnReminderStatus_LengthExceeded);
    EXPECT_TRUE(
        HasLine(4, 5, "TxnReminder:TxnReminderDBHelper::SaveReminderSet -Reminder set name's length limit exceeded"));

    // 64 characters of two bytes each do not fit the record whole.
    std::string wide;
    for (int i = 0; i < 64; ++i) wide += "\xC3\xA9";
    TxnReminderSet tooWide = InvoiceSet(wide, groupId, {});
    EXPECT_FALSE(engine.AddOrUpdateReminderSet(status, tooWide));
    EXPECT_EQ(status, TxnReminderStatus_LengthExceeded);

    TxnReminderSet orphan = InvoiceSet("No group", groupId + 100, {InvoiceRule(1, 1, "s", "b")});
    EXPECT_FALSE(engine.AddOrUpdateReminderSet(status, orphan));
    EXPECT_EQ(status, TxnReminderStatus_GroupMissingOrInUse);
    EXPECT_TRUE(HasLine(0, 6, "TxnReminder:SaveReminder GetGroupById is not retrieved "));

    EXPECT_TRUE(m_events.empty());
    EXPECT_EQ(Rows("reminder_sets"), 1);
    EXPECT_EQ(Rows("reminder_rules"), 1);
    EXPECT_EQ(Rows("message_templates"), 1);
    EXPECT_EQ(orphan.GetRuleSetId(), 0u);
}

TEST_F(SetStorageTest, SetRecordWriteFailuresReportStatusFour) {
    const long groupId = AddCustomerGroup("Everyone");
    TxnReminderEngine engine(FormViewType_Invoice);
    TxnReminderStatusCode status = TxnReminderStatus_Reset;

    TxnReminderSet set = InvoiceSet("First", groupId, {InvoiceRule(1, 1, "s", "b")});
    Ctx().ArmFault("ReminderSet.Add", Host::FaultKind::Fail);
    Ctx().ArmFault("DMTransaction.Rollback", Host::FaultKind::RollbackZero);
    EXPECT_FALSE(engine.AddOrUpdateReminderSet(status, set));
    EXPECT_EQ(status, TxnReminderStatus_SaveFailed);
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:TxnReminderDBHelper::SaveReminderSet - failed "));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:TxnReminderDBHelper::SaveReminderSet Rollback api returned false"));
    // The event goes out before the write is judged.
    EXPECT_TRUE(HasEvent("EventSource=InvoicePaymentReminders,EventId=ScheduleCreated"));
    EXPECT_EQ(Rows("reminder_sets"), 0);

    // An id the store does not know cannot be updated.
    TxnReminderSet stale = InvoiceSet("Stale", groupId, {});
    stale.SetRuleSetId(4711);
    EXPECT_FALSE(engine.AddOrUpdateReminderSet(status, stale));
    EXPECT_EQ(status, TxnReminderStatus_SaveFailed);
    EXPECT_EQ(Rows("reminder_sets"), 0);
}

TEST_F(SetStorageTest, OperationsWithoutATransactionWriteNothing) {
    const long groupId = AddCustomerGroup("Everyone");
    Ctx().ArmFault("DBManager.CreateTransaction", Host::FaultKind::Fail);
    InvoiceReminderDBHelper helper;
    TxnReminderStatusCode status = TxnReminderStatus_Reset;

    TxnReminderSet set = InvoiceSet("Set", groupId, {InvoiceRule(1, 1, "s", "b")});
    EXPECT_FALSE(helper.SaveReminderSet(status, set));
    EXPECT_EQ(status, TxnReminderStatus_NoTransaction);
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:TxnReminderDBHelper::SaveReminderSet - failed to get DMTransaction "));

    std::vector<TxnReminderSet> sets;
    EXPECT_FALSE(helper.GetAllReminderSets(status, FormViewType_Invoice, sets));
    EXPECT_EQ(status, TxnReminderStatus_NoTransaction);
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:TxnReminderDBHelper::GetAllReminderSets - failed to get DMTransaction "));

    EXPECT_FALSE(helper.SaveRuleTemplate(set.GetReminderRules()[0].GetRuleTemplate()));
    EXPECT_TRUE(
        HasLine(4, 5, "TxnReminder:TxnReminderDBHelper::SaveRuleTemplate - Failed to get GetDBTransactionPtr "));
    TxnReminderRuleTemplate loaded;
    EXPECT_FALSE(helper.GetRuleTemplate(loaded, 1));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:TxnReminderDBHelper::GetRuleTemplate - failed to get DMTransaction "));
    std::vector<TxnReminderRule> rules;
    EXPECT_FALSE(helper.GetAllRulesForReminderSet(rules, 1, FormViewType_Invoice));
    EXPECT_TRUE(
        HasLine(4, 5, "TxnReminder:TxnReminderDBHelper::GetAllRulesForReminderSet - failed to get DMTransaction "));

    status = TxnReminderStatus_Success;
    EXPECT_FALSE(helper.DeleteRuleTemplate(status, 1));
    EXPECT_EQ(status, TxnReminderStatus_Reset);
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:TxnReminderDBHelper::DeleteRuleTemplate - failed to get DMTransaction "));
    std::vector<unsigned long> ids{1};
    EXPECT_FALSE(helper.DeleteReminderRules(status, ids));
    EXPECT_EQ(status, TxnReminderStatus_NoTransaction);
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:TxnReminderDBHelper::DeleteReminderRules - failed to get DMTransaction "));
    EXPECT_FALSE(helper.DeleteReminderSet(status, 1));
    EXPECT_EQ(status, TxnReminderStatus_NoTransaction);
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:TxnReminderDBHelper::DeleteReminderSet - failed to get DMTransaction "));
    EXPECT_FALSE(helper.DeleteRule(status, 1));
    EXPECT_EQ(status, TxnReminderStatus_NoTransaction);

    // The template type is created even outside a transaction.
    EXPECT_TRUE(helper.CreateRuleTemplateType(15));
    EXPECT_EQ(QueryText("SELECT name FROM message_template_types WHERE type_id = 15"), "Reminder");
    EXPECT_EQ(Rows("reminder_sets") + Rows("message_templates"), 0);
}

// --- a set is stored whole or not at all -------------------------------------------

TEST_F(SetStorageTest, FailedTemplateOfALaterRuleLeavesNothingOfTheSet) {
    const long groupId = AddCustomerGroup("Everyone");
    TxnReminderSet set = InvoiceSet("Partial", groupId,
                                    {InvoiceRule(3, 1, "first", "b1"), InvoiceRule(5, 2, "second", "b2")});
    TxnReminderEngine engine(FormViewType_Invoice);
    TxnReminderStatusCode status = TxnReminderStatus_Reset;
    Ctx().ArmFault("MessageTemplate.Save", Host::FaultKind::Fail, 2);
    EXPECT_FALSE(engine.AddOrUpdateReminderSet(status, set));
    EXPECT_EQ(status, TxnReminderStatus_NoTransaction);
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder: Unable to save Invoice reminder template"));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:TxnReminderDBHelper::SaveReminderSet - SaveRule api returned false"));

    EXPECT_EQ(Rows("reminder_sets"), 0);
    EXPECT_EQ(Rows("reminder_rules"), 0);
    EXPECT_EQ(Rows("message_templates"), 0);
    EXPECT_EQ(Rows("message_template_types"), 0);
    // The caller's set is as it was, so saving it again adds it once.
    EXPECT_EQ(set.GetRuleSetId(), 0u);
    for (const auto& rule : set.GetReminderRules()) {
        EXPECT_EQ(rule.GetRuleId(), 0u);
        EXPECT_EQ(rule.GetRuleSetId(), 0u);
        EXPECT_EQ(rule.GetRuleTemplate().GetTemplateId(), -1);
    }
    ASSERT_TRUE(engine.AddOrUpdateReminderSet(status, set));
    EXPECT_EQ(Rows("reminder_sets"), 1);
    EXPECT_EQ(Rows("reminder_rules"), 2);
    EXPECT_EQ(Rows("message_templates"), 2);
}

TEST_F(SetStorageTest, FailedOrThrowingRuleWriteLeavesNothingOfTheSet) {
    const long groupId = AddCustomerGroup("Everyone");
    TxnReminderEngine engine(FormViewType_Invoice);
    TxnReminderStatusCode status = TxnReminderStatus_Reset;

    TxnReminderSet failing = InvoiceSet("Fails", groupId, {InvoiceRule(3, 1, "a", "b"), InvoiceRule(5, 2, "c", "d")});
    Ctx().ArmFault("ReminderRule.Add", Host::FaultKind::Fail, 2);
    EXPECT_FALSE(engine.AddOrUpdateReminderSet(status, failing));
    EXPECT_EQ(status, TxnReminderStatus_NoTransaction);
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:TxnReminderDBHelper::SaveRule - failed "));
    EXPECT_EQ(Rows("reminder_sets") + Rows("reminder_rules") + Rows("message_templates"), 0);

    TxnReminderSet throwing = InvoiceSet("Throws", groupId, {InvoiceRule(3, 1, "a", "b"), InvoiceRule(5, 2, "c", "d")});
    Ctx().ArmFault("ReminderRule.Add", Host::FaultKind::Throw, 2);
    EXPECT_FALSE(engine.AddOrUpdateReminderSet(status, throwing));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder: Exception in TxnReminderEngine::AddOrUpdateReminderSet"));
    EXPECT_EQ(Rows("reminder_sets") + Rows("reminder_rules") + Rows("message_templates"), 0);

    // The next unit of work of the same helper commits only its own writes.
    TxnReminderSet other = InvoiceSet("Other", groupId, {InvoiceRule(1, 1, "x", "y")});
    ASSERT_TRUE(engine.AddOrUpdateReminderSet(status, other));
    ReopenFile();
    EXPECT_EQ(Rows("reminder_sets"), 1);
    EXPECT_EQ(QueryText("SELECT name FROM reminder_sets"), "Other");
    EXPECT_EQ(Rows("reminder_rules"), 1);
    EXPECT_EQ(Rows("message_templates"), 1);
}

TEST_F(SetStorageTest, TemplateSavedOnItsOwnIsCommitted) {
    {
        InvoiceReminderDBHelper helper;
        TxnReminderRuleTemplate ruleTemplate(15, "Body text", "Subject text");
        ASSERT_TRUE(helper.SaveRuleTemplate(ruleTemplate));
        EXPECT_GT(ruleTemplate.GetTemplateId(), 0);
        EXPECT_TRUE(HasLine(1, 5, "TxnReminder::Exiting TxnReminderDBHelper TxnReminderDBHelper::SaveRuleTemplate"));
    }  // a helper destroyed with pending writes rolls them back
    ReopenFile();
    EXPECT_EQ(QueryText("SELECT subject FROM message_templates WHERE type_id = 15"), "Subject text");
    EXPECT_EQ(QueryText("SELECT name FROM message_template_types WHERE type_id = 15"), "Reminder");

    InvoiceReminderDBHelper helper;
    TxnReminderRuleTemplate failing(15, "b", "s");
    Ctx().ArmFault("DMTransaction.Commit", Host::FaultKind::Fail);
    EXPECT_FALSE(helper.SaveRuleTemplate(failing));
    EXPECT_EQ(failing.GetTemplateId(), -1);
    EXPECT_EQ(Rows("message_templates"), 1);

    Ctx().ArmFault("MessageTemplate.Save", Host::FaultKind::Throw);
    EXPECT_FALSE(helper.SaveRuleTemplate(failing));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder: Exception in TxnReminderDBHelper::SaveRuleTemplate"));

    Ctx().ArmFault("MessageTemplate.LoadTemplateType", Host::FaultKind::Fail);
    EXPECT_FALSE(helper.SaveRuleTemplate(failing));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder: Unable to verify Invoice reminder template type's existence"));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder: Unable to create Invoice reminder template"));
    EXPECT_EQ(Rows("message_templates"), 1);
}

TEST_F(SetStorageTest, TemplateTypeIsAddedOnceAndAFailedAddIsRolledBack) {
    InvoiceReminderDBHelper helper;
    Ctx().ArmFault("MessageTemplate.AddTemplateType", Host::FaultKind::Fail);
    Ctx().ArmFault("DMTransaction.Rollback", Host::FaultKind::RollbackZero);
    EXPECT_FALSE(helper.CreateRuleTemplateType(15));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder: Unable to add new Reminder template type"));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:TxnReminderDBHelper::CreateRuleTemplateType Rollback api returned false"));

    EXPECT_TRUE(helper.CreateRuleTemplateType(15));
    EXPECT_TRUE(helper.CreateRuleTemplateType(15));
    EXPECT_EQ(Rows("message_template_types"), 1);

    Ctx().ArmFault("MessageTemplate.LoadTemplateType", Host::FaultKind::Throw);
    EXPECT_FALSE(helper.CreateRuleTemplateType(15));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder: Exception in TxnReminderDBHelper::CreateRuleTemplateType"));
}

// A helper whose template save hands back no id.
class NoTemplateIdHelper : public InvoiceReminderDBHelper {
public:
    bool SaveRuleTemplate(TxnReminderRuleTemplate& ruleTemplate) override {
        ruleTemplate.SetTemplateId(0);
        return true;
    }
};

TEST_F(SetStorageTest, RuleIsNotWrittenWithoutATemplateId) {
    NoTemplateIdHelper helper;
    TxnReminderRule rule = InvoiceRule(2, 1, "s", "b");
    EXPECT_FALSE(helper.SaveRule(rule, FormViewType_Invoice));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder: Template ID should be created before Rule addition"));
    EXPECT_EQ(Rows("reminder_rules"), 0);
    EXPECT_EQ(rule.GetRuleId(), 0u);
}

// --- loading ------------------------------------------------------------------------

TEST_F(SetStorageTest, ListingCountsDisabledSetsAndAveragesRules) {
    const long groupId = AddCustomerGroup("Everyone");
    TxnReminderEngine engine(FormViewType_Invoice);
    TxnReminderStatusCode status = TxnReminderStatus_Reset;
    TxnReminderSet active = InvoiceSet("Active", groupId,
                                       {InvoiceRule(1, 1, "a", "a"), InvoiceRule(2, 1, "b", "b"), InvoiceRule(3, 2, "c", "c")});
    TxnReminderSet inactive =
        InvoiceSet("Inactive", groupId, {InvoiceRule(4, 2, "d", "d"), InvoiceRule(5, 2, "e", "e")},
                   TxnReminderSetStatus_Inactive);
    ASSERT_TRUE(engine.AddOrUpdateReminderSet(status, active));
    ASSERT_TRUE(engine.AddOrUpdateReminderSet(status, inactive));
    // An interval one second short of a day is no whole day.
    ExecSql("UPDATE reminder_rules SET trigger_interval = 86399 WHERE id = " +
            std::to_string(inactive.GetReminderRules()[0].GetRuleId()));

    m_events.clear();
    std::vector<TxnReminderSet> sets(3);  // stale entries go first
    ASSERT_TRUE(engine.GetAllReminderSets(status, sets));
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_EQ(sets[1].GetReminderSetStatus(), TxnReminderSetStatus_Inactive);
    EXPECT_EQ(sets[1].GetReminderRules()[0].GetRuleCriteria().GetDays(), 0);
    EXPECT_EQ(Events(),
              (std::vector<std::string>{
                  "EventSource=InvoicePaymentReminders, EventId=NumberOfDisabledReminderSets:1, ReminderType=4",
                  "EventSource=InvoicePaymentReminders, EventId=AvgNumberOfRemindersPerSet:2, ReminderType=4",
                  "EventSource=InvoicePaymentReminders,EventId=NumberOfReminderSets:2, ReminderType:4"}));

    // No set at all: the disabled count alone, and a count of 0.
    TxnReminderEngine statements(FormViewType_Statement);
    m_events.clear();
    ASSERT_TRUE(statements.GetAllReminderSets(status, sets));
    EXPECT_TRUE(sets.empty());
    EXPECT_EQ(Events(),
              (std::vector<std::string>{
                  "EventSource=InvoicePaymentReminders, EventId=NumberOfDisabledReminderSets:0, ReminderType=101",
                  "EventSource=InvoicePaymentReminders,EventId=NumberOfReminderSets:0, ReminderType:101"}));
}

TEST_F(SetStorageTest, StoredNameOverTheLimitFailsTheListing) {
    const long groupId = AddCustomerGroup("Everyone");
    WriteSetRecord(std::string(64, 'b'), groupId);
    WriteSetRecord(std::string(65, 'c'), groupId);

    TxnReminderEngine engine(FormViewType_Invoice);
    TxnReminderStatusCode status = TxnReminderStatus_Reset;
    std::vector<TxnReminderSet> sets(2);
    EXPECT_FALSE(engine.GetAllReminderSets(status, sets));
    EXPECT_EQ(status, TxnReminderStatus_LengthExceeded);
    EXPECT_TRUE(
        HasLine(4, 5, "TxnReminder:TxnReminderDBHelper::GetAllReminderSets -Reminder set name's length limit exceeded"));
    // The caller's old entries are gone; the set loaded before the bad one stays.
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].GetReminderSetName().str(), std::string(64, 'b'));
    EXPECT_TRUE(m_events.empty());
}

TEST_F(SetStorageTest, ListingFailsWhenAnyPartCannotBeLoaded) {
    const long groupId = AddCustomerGroup("Everyone");
    SavedSet(groupId);
    InvoiceReminderDBHelper helper;
    TxnReminderStatusCode status = TxnReminderStatus_Reset;
    std::vector<TxnReminderSet> sets;

    Ctx().ArmFault("ReminderSet.BatchLoad", Host::FaultKind::Fail);
    EXPECT_FALSE(helper.GetAllReminderSets(status, FormViewType_Invoice, sets));
    EXPECT_EQ(status, TxnReminderStatus_NoTransaction);
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:TxnReminderDBHelper::GetAllReminderSets - failed to batch load"));

    Ctx().ArmFault("ReminderRule.BatchLoad", Host::FaultKind::Fail);
    status = TxnReminderStatus_Reset;
    EXPECT_FALSE(helper.GetAllReminderSets(status, FormViewType_Invoice, sets));
    EXPECT_EQ(status, TxnReminderStatus_NoTransaction);
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:TxnReminderDBHelper::GetAllRules - failed to batch load"));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:TxnReminderDBHelper::Error fetching all rules for reminderset Id"));

    ClearLog();
    ExecSql("DELETE FROM message_templates WHERE id = (SELECT MIN(id) FROM message_templates)");
    EXPECT_FALSE(helper.GetAllReminderSets(status, FormViewType_Invoice, sets));
    EXPECT_TRUE(
        HasLine(4, 5, "TxnReminder:TxnReminderDBHelper::GetRuleTemplate - Unable to load reminder rule template"));

    ClearLog();
    ExecSql("UPDATE reminder_sets SET target_group_id = 999");
    EXPECT_FALSE(helper.GetAllReminderSets(status, FormViewType_Invoice, sets));
    EXPECT_EQ(status, TxnReminderStatus_NoTransaction);
    EXPECT_TRUE(
        HasLine(4, 5, "TxnReminder:TxnReminderDBHelper::GetDLPTargetGroup GetGroupById is not retrieved properly"));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:GetAllReminderSets::Error fetching Target Group"));
    EXPECT_TRUE(sets.empty());
}

TEST_F(SetStorageTest, TemplatesAreNotReadWhileTheFileIsReindexed) {
    const long groupId = AddCustomerGroup("Everyone");
    TxnReminderSet set = SavedSet(groupId);
    const long templateId = set.GetReminderRules()[0].GetRuleTemplate().GetTemplateId();
    TxnReminderEngine engine(FormViewType_Invoice);
    TxnReminderRuleTemplate loaded;
    ASSERT_TRUE(engine.GetReminderRuleTemplate(loaded, templateId));
    EXPECT_EQ(loaded.GetTemplateSubject().str(), "Overdue");

    Ctx().SetFileManagerState(1);
    EXPECT_FALSE(engine.GetReminderRuleTemplate(loaded, templateId));
    TxnReminderStatusCode status = TxnReminderStatus_Reset;
    std::vector<TxnReminderSet> sets;
    EXPECT_FALSE(engine.GetAllReminderSets(status, sets));
    Ctx().SetFileManagerState(0);

    ClearLog();
    EXPECT_FALSE(engine.GetReminderRuleTemplate(loaded, -1));
    EXPECT_TRUE(HasLine(
        4, 5, "TxnReminder:TxnReminderEngine::GetReminderRuleTemplate() - Failed due to invalid rule template id"));
    EXPECT_FALSE(engine.GetReminderRuleTemplate(loaded, -2));
    EXPECT_TRUE(
        HasLine(4, 5, "TxnReminder:TxnReminderDBHelper::GetRuleTemplate - Unable to load reminder rule template"));
    Ctx().ArmFault("MessageTemplate.Load", Host::FaultKind::Throw);
    EXPECT_FALSE(engine.GetReminderRuleTemplate(loaded, templateId));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder: Exception in TxnReminderDBHelper::GetRuleTemplate"));
}

TEST_F(SetStorageTest, PermissionGroupLoadsWithItsMembersAndLimits) {
    const int ann = AddCustomerNamed("Ann");
    const int bob = AddCustomerNamed("Bob");
    long groupId = AddCustomerGroup("Pair", {ann, bob}, "Two customers");
    InvoiceReminderDBHelper helper;
    TxnReminderTargetGroup group;
    ASSERT_TRUE(helper.GetDLPTargetGroup(groupId, group, true));
    EXPECT_EQ(group.GetTargetGroupId(), groupId);
    EXPECT_EQ(group.GetTargetGroupName().str(), "Pair");
    EXPECT_EQ(group.GetTargetGroupDescription().str(), "Two customers");
    EXPECT_EQ(group.GetTargetGroupType(), 1);
    std::vector<int> members = group.GetTargetUserIds();
    std::sort(members.begin(), members.end());
    EXPECT_EQ(members, (std::vector<int>{ann, bob}));

    long longName = AddCustomerGroup(std::string(51, 'n'));
    TxnReminderTargetGroup other;
    EXPECT_FALSE(helper.GetDLPTargetGroup(longName, other, false));
    EXPECT_TRUE(
        HasLine(4, 5, "TxnReminder:TxnReminderDBHelper::GetDLPTargetGroup -Target group name's length limit exceeded"));
    long longDescription = AddCustomerGroup("Wordy", {}, std::string(251, 'd'));
    EXPECT_FALSE(helper.GetDLPTargetGroup(longDescription, other, false));
    EXPECT_TRUE(HasLine(
        4, 5, "TxnReminder:TxnReminderDBHelper::GetDLPTargetGroup -Target group description's length limit exceeded"));
}

// --- deleting -----------------------------------------------------------------------

TEST_F(SetStorageTest, DeletingOneRuleTakesItsTemplateAlongInOneUnit) {
    const long groupId = AddCustomerGroup("Everyone");
    TxnReminderSet set = SavedSet(groupId);
    const unsigned long first = set.GetReminderRules()[0].GetRuleId();
    const unsigned long second = set.GetReminderRules()[1].GetRuleId();
    TxnReminderEngine engine(FormViewType_Invoice);
    TxnReminderStatusCode status = TxnReminderStatus_Reset;

    EXPECT_FALSE(engine.DeleteReminderRule(status, 0));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminderEngine::DeleteReminderRule Unexpected ruleId found, ruleId = 0"));

    Ctx().ArmFault("MessageTemplate.DeleteTemplate", Host::FaultKind::Fail);
    Ctx().ArmFault("DMTransaction.Rollback", Host::FaultKind::RollbackZero);
    m_events.clear();
    EXPECT_FALSE(engine.DeleteReminderRule(status, first));
    EXPECT_EQ(status, TxnReminderStatus_DeleteFailed);
    EXPECT_TRUE(
        HasLine(4, 5, "TxnReminder:TxnReminderDBHelper::DeleteRuleTemplate - Unable to delete reminder rule template"));
    EXPECT_TRUE(HasLine(
        4, 5, "TxnReminder:TxnReminderDBHelper::DeleteRule - failed to delete the associated rule template"));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder::TxnReminderDBHelper::DeleteRule - Rollback api call failed"));
    EXPECT_EQ(Rows("reminder_rules"), 2);
    EXPECT_TRUE(m_events.empty());

    Ctx().ArmFault("ReminderRule.Delete", Host::FaultKind::Fail);
    EXPECT_FALSE(engine.DeleteReminderRule(status, first));
    EXPECT_EQ(status, TxnReminderStatus_DeleteFailed);
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:TxnReminderDBHelper::DeleteRule - failed to delete the rule"));

    Ctx().ArmFault("ReminderRule.Load", Host::FaultKind::Fail);
    EXPECT_FALSE(engine.DeleteReminderRule(status, first));
    EXPECT_EQ(status, TxnReminderStatus_NoTransaction);
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:TxnReminderDBHelper::DeleteRule - failed to load the rule"));

    ASSERT_TRUE(engine.DeleteReminderRule(status, first));
    EXPECT_EQ(status, TxnReminderStatus_Success);
    EXPECT_EQ(Events(), std::vector<std::string>{
                            "EventSource=InvoicePaymentReminders,EventId=ReminderDeleted, ReminderType=4"});
    ReopenFile();
    EXPECT_EQ(QueryInt("SELECT id FROM reminder_rules"), static_cast<long long>(second));
    EXPECT_EQ(QueryText("SELECT subject FROM message_templates"), "Due soon");
}

TEST_F(SetStorageTest, DeletingSeveralRulesIsAllOrNothing) {
    const long groupId = AddCustomerGroup("Everyone");
    TxnReminderSet set = SavedSet(groupId);
    std::vector<unsigned long> ids{set.GetReminderRules()[0].GetRuleId(), set.GetReminderRules()[1].GetRuleId()};
    TxnReminderEngine engine(FormViewType_Invoice);
    TxnReminderStatusCode status = TxnReminderStatus_Reset;

    std::vector<unsigned long> none;
    EXPECT_TRUE(engine.DeleteReminderRules(status, none));
    EXPECT_TRUE(HasLine(0, 6, "TxnReminder: No rules to delete"));
    InvoiceReminderDBHelper helper;
    EXPECT_TRUE(helper.DeleteReminderRules(status, none));
    EXPECT_EQ(status, TxnReminderStatus_Success);

    Ctx().ArmFault("MessageTemplate.DeleteBatchTemplate", Host::FaultKind::Fail);
    Ctx().ArmFault("DMTransaction.Rollback", Host::FaultKind::RollbackZero);
    EXPECT_FALSE(engine.DeleteReminderRules(status, ids));
    EXPECT_EQ(status, TxnReminderStatus_DeleteFailed);
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:TxnReminderDBHelper::DeleteReminderRules - failed to delete templates"));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:TxnReminderDBHelper::DeleteReminderRules Rollback api returned false"));
    EXPECT_EQ(Rows("reminder_rules"), 2);

    Ctx().ArmFault("ReminderRule.BatchDelete", Host::FaultKind::Fail);
    EXPECT_FALSE(engine.DeleteReminderRules(status, ids));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:TxnReminderDBHelper::DeleteReminderRules - failed to delete rules"));

    Ctx().ArmFault("ReminderRule.Load", Host::FaultKind::Fail, 2);
    EXPECT_FALSE(engine.DeleteReminderRules(status, ids));
    EXPECT_EQ(status, TxnReminderStatus_NoTransaction);
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:TxnReminderDBHelper::DeleteReminderRules - failed to load"));
    EXPECT_EQ(Rows("reminder_rules"), 2);
    EXPECT_EQ(Rows("message_templates"), 2);

    ASSERT_TRUE(engine.DeleteReminderRules(status, ids));
    EXPECT_EQ(status, TxnReminderStatus_Success);
    EXPECT_TRUE(HasLine(0, 6, "TxnReminder::Exiting TxnReminderDBHelper TxnReminderDBHelper::DeleteReminderRules"));
    ReopenFile();
    EXPECT_EQ(Rows("reminder_rules") + Rows("message_templates"), 0);
    EXPECT_EQ(Rows("reminder_sets"), 1);
}

TEST_F(SetStorageTest, DeletingASetRemovesItsRulesAndTemplatesOrNothing) {
    const long groupId = AddCustomerGroup("Everyone");
    TxnReminderSet set = SavedSet(groupId);
    TxnReminderSet kept = SavedSet(groupId, "Kept");
    TxnReminderEngine engine(FormViewType_Invoice);
    TxnReminderStatusCode status = TxnReminderStatus_Reset;

    EXPECT_FALSE(engine.DeleteReminderSet(status, 0));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminderEngine::DeleteReminderSet ruleSetId is invalid"));

    struct Step {
        const char* point;
        const char* failure;
        const char* rollback;
    };
    const Step steps[] = {
        {"ReminderRule.BatchDelete", "TxnReminder:TxnReminderDBHelper::BatchDeleteRule - failed to delete",
         "TxnReminder:TxnReminderDBHelper::BatchDeleteRule Rollback api returned false"},
        {"MessageTemplate.DeleteBatchTemplate", "TxnReminder:TxnReminderDBHelper::BatchDeletetemplate - failed to delete",
         "TxnReminder:TxnReminderDBHelper::BatchDeletetemplate Rollback api returned false"},
        {"ReminderSet.Delete", "TxnReminder:TxnReminderDBHelper::DeleteReminderSet - failed to delete",
         "TxnReminder:TxnReminderDBHelper::DeleteReminderSet Rollback api returned false"},
    };
    for (const Step& step : steps) {
        ClearLog();
        Ctx().ArmFault(step.point, Host::FaultKind::Fail);
        Ctx().ArmFault("DMTransaction.Rollback", Host::FaultKind::RollbackZero);
        EXPECT_FALSE(engine.DeleteReminderSet(status, set.GetRuleSetId())) << step.point;
        EXPECT_EQ(status, TxnReminderStatus_DeleteFailed) << step.point;
        EXPECT_TRUE(HasLine(4, 5, step.failure)) << step.point;
        EXPECT_TRUE(HasLine(4, 5, step.rollback)) << step.point;
        EXPECT_EQ(Rows("reminder_sets"), 2) << step.point;
        EXPECT_EQ(Rows("reminder_rules"), 4) << step.point;
        EXPECT_EQ(Rows("message_templates"), 4) << step.point;
    }
    Ctx().ArmFault("ReminderRule.BatchLoad", Host::FaultKind::Fail);
    EXPECT_FALSE(engine.DeleteReminderSet(status, set.GetRuleSetId()));
    EXPECT_EQ(status, TxnReminderStatus_NoTransaction);
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:TxnReminderDBHelper::DeleteReminderSet - failed to batch load"));

    m_events.clear();
    ASSERT_TRUE(engine.DeleteReminderSet(status, set.GetRuleSetId()));
    EXPECT_EQ(status, TxnReminderStatus_Success);
    EXPECT_EQ(Events(), std::vector<std::string>{
                            "EventSource=InvoicePaymentReminders,EventId=ScheduleDeleted, ReminderType=4"});
    ReopenFile();
    EXPECT_EQ(QueryInt("SELECT id FROM reminder_sets"), static_cast<long long>(kept.GetRuleSetId()));
    EXPECT_EQ(Rows("reminder_rules"), 2);
    EXPECT_EQ(Rows("message_templates"), 2);
}

TEST_F(SetStorageTest, DeletingATemplateReportsItsOwnStatus) {
    InvoiceReminderDBHelper helper;
    TxnReminderStatusCode status = TxnReminderStatus_Reset;
    Ctx().ArmFault("MessageTemplate.DeleteTemplate", Host::FaultKind::Throw);
    EXPECT_FALSE(helper.DeleteRuleTemplate(status, 3));
    EXPECT_EQ(status, TxnReminderStatus_Exception);
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder: Exception in TxnReminderDBHelper::DeleteRuleTemplate"));
    // Absent is not a failure.
    EXPECT_TRUE(helper.DeleteRuleTemplate(status, 3));
    EXPECT_EQ(status, TxnReminderStatus_Success);
}

} // namespace
