#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CompanyBuilder.h"
#include "InvoiceReminderDBHelper.h"
#include "Records/ReminderRecords.h"
#include "ReminderSetBuilders.h"
#include "StatementReminderDBHelper.h"
#include "StorageFixture.h"
#include "TxnReminderEngine.h"

using namespace testsupport;
using Host::FaultKind;

namespace {

const std::string kEvent = "EventSource=InvoicePaymentReminders,EventId=";
const std::string kHelper = "TxnReminder:TxnReminderDBHelper::";

// schedule|days|date to compare|subject|body|template type
std::string Describe(const TxnReminderRule& rule) {
    const auto& c = rule.GetRuleCriteria();
    const auto& t = rule.GetRuleTemplate();
    return std::to_string(c.GetSchedule()) + "|" + std::to_string(c.GetDays()) + "|" + c.GetDateToCompare() + "|" +
           t.GetTemplateSubject().str() + "|" + t.GetTemplateBody().str() + "|" + std::to_string(t.GetTemplateTypeId());
}

class SetStorageTest : public StorageFixture {
protected:
    void SetUp() override {
        StorageFixture::SetUp();
        m_group = AddCustomerGroup("Everyone");
    }
    // The engine is made on first use and goes before the file is reopened.
    TxnReminderEngine& Engine() {
        if (!m_engine) m_engine = std::make_unique<TxnReminderEngine>(FormViewType_Invoice);
        return *m_engine;
    }
    void Reopen() {
        m_engine.reset();
        ReopenFile();
    }
    // 5 days after the due date (stored first), 3 days before it.
    TxnReminderSet TwoRules(const std::string& name = "Friendly nudges") {
        return InvoiceSet(name, m_group,
                          {InvoiceRule(5, 2, "Overdue", "Please pay"), InvoiceRule(3, 1, "Due soon", "Your invoice falls due")});
    }
    TxnReminderSet Saved(const std::string& name = "Friendly nudges") {
        TxnReminderSet set = TwoRules(name);
        EXPECT_TRUE(Engine().AddOrUpdateReminderSet(m_status, set));
        EXPECT_EQ(m_status, TxnReminderStatus_Success);
        return set;
    }
    std::vector<TxnReminderSet> Listed() {
        std::vector<TxnReminderSet> sets;
        EXPECT_TRUE(Engine().GetAllReminderSets(m_status, sets));
        return sets;
    }
    std::string Counts() {
        return std::to_string(Rows("reminder_sets")) + "/" + std::to_string(Rows("reminder_rules")) + "/" +
               std::to_string(Rows("message_templates"));
    }

    long m_group = 0;
    TxnReminderStatusCode m_status = TxnReminderStatus_Reset;
    std::unique_ptr<TxnReminderEngine> m_engine;
};

// --- saving and loading ----------------------------------------------------------

TEST_F(SetStorageTest, SavedSetLoadsBackEqualAfterReopeningTheFile) {
    TxnReminderSet set = Saved();
    EXPECT_GT(set.GetRuleSetId(), 0u);  // the caller's set carries the store's ids
    EXPECT_EQ(Events(), (std::vector<std::string>{kEvent + "ScheduleCreated", kEvent + "ReminderCreated",
                                                  kEvent + "ReminderCreated"}));
    EXPECT_TRUE(Logged(0, 6, {"TxnReminder::Entering TxnReminderDBHelper TxnReminderDBHelper::SaveReminderSet",
                              "TxnReminder::Exiting TxnReminderDBHelper TxnReminderDBHelper::SaveReminderSet"}));
    EXPECT_EQ(QueryInt("SELECT trigger_interval FROM reminder_rules WHERE condition = 1"), 259200);

    Reopen();
    const auto sets = Listed();
    EXPECT_EQ(m_status, TxnReminderStatus_Success);
    ASSERT_EQ(sets.size(), 1u);
    const TxnReminderSet& back = sets[0];
    EXPECT_EQ(std::to_string(back.GetRuleSetId()) + "|" + back.GetReminderSetName().str() + "|" +
                  std::to_string(back.GetReminderSetStatus()) + "|" + std::to_string(back.GetTxnType()) + "|" +
                  std::to_string(back.GetTargetGroupId()) + "|" + back.GetDefaultTargetGroupName().str(),
              std::to_string(set.GetRuleSetId()) + "|Friendly nudges|" + std::to_string(TxnReminderSetStatus_Active) +
                  "|4|" + std::to_string(m_group) + "|Everyone");
    // In the order reminders fall due: before the due date first; the
    // caller's rules carry the ids that load back.
    ASSERT_EQ(back.GetReminderRules().size(), 2u);
    for (int i : {0, 1}) {
        const TxnReminderRule& got = back.GetReminderRules()[static_cast<std::size_t>(i)];
        const TxnReminderRule& saved = set.GetReminderRules()[static_cast<std::size_t>(1 - i)];
        EXPECT_EQ(Describe(got), i == 0 ? "1|3|due date|Due soon|Your invoice falls due|15" : "2|5|due date|Overdue|Please pay|15");
        EXPECT_EQ(got.GetRuleId(), saved.GetRuleId());
        EXPECT_EQ(got.GetRuleSetId(), set.GetRuleSetId());
        EXPECT_EQ(saved.GetRuleSetId(), set.GetRuleSetId());
        EXPECT_EQ(got.GetRuleTemplate().GetTemplateId(), saved.GetRuleTemplate().GetTemplateId());
    }
    EXPECT_TRUE(HasLine(1, 5, "TxnReminder::Exiting TxnReminderEngine::GetAllReminderSets"));
}

TEST_F(SetStorageTest, SavingTheSameSetAgainUpdatesItsRulesAndTemplates) {
    TxnReminderSet set = Saved();
    const unsigned long setId = set.GetRuleSetId();
    m_events.clear();
    set.SetReminderSetName("Renamed");
    set.GetReminderRules()[0].GetRuleCriteria().SetDays(9);
    set.GetReminderRules()[0].GetRuleTemplate().SetTemplateSubject("Seriously overdue");
    ASSERT_TRUE(Engine().AddOrUpdateReminderSet(m_status, set));
    EXPECT_EQ(set.GetRuleSetId(), setId);
    EXPECT_EQ(Counts(), "1/2/2");
    EXPECT_EQ(Events(), (std::vector<std::string>{kEvent + "ScheduleModified", kEvent + "ReminderModified",
                                                  kEvent + "ReminderModified"}));
    EXPECT_EQ(QueryText("SELECT name FROM reminder_sets"), "Renamed");
    EXPECT_EQ(QueryInt("SELECT trigger_interval FROM reminder_rules WHERE condition = 2"), 9 * 86400);
    EXPECT_EQ(QueryInt("SELECT COUNT(*) FROM message_templates WHERE subject = 'Seriously overdue'"), 1);
}

TEST_F(SetStorageTest, NamesAndGroupsAreCheckedBeforeAnythingIsWritten) {
    TxnReminderSet longest = InvoiceSet(std::string(64, 'a'), m_group, {InvoiceRule(1, 1, "s", "b")});
    ASSERT_TRUE(Engine().AddOrUpdateReminderSet(m_status, longest));
    const auto sets = Listed();
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].GetReminderSetName().str(), std::string(64, 'a'));

    std::string wide;  // 64 characters of two bytes each do not fit the record whole
    for (int i = 0; i < 64; ++i) wide += "\xC3\xA9";
    const struct {
        std::string name;
        long group;
        TxnReminderStatusCode status;
        int level;  // of the line: 4 a failure (type 5), 0 a milestone (type 6)
        const char* line;
    } cases[] = {
        {std::string(65, 'a'), m_group, TxnReminderStatus_LengthExceeded, 4,
         "TxnReminder:TxnReminderDBHelper::SaveReminderSet -Reminder set name's length limit exceeded"},
        {wide, m_group, TxnReminderStatus_LengthExceeded, 4, nullptr},
        {"No group", m_group + 100, TxnReminderStatus_GroupMissingOrInUse, 0,
         "TxnReminder:SaveReminder GetGroupById is not retrieved "},
    };
    m_events.clear();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TxnReminderSet set = InvoiceSet(c.name, c.group, {InvoiceRule(1, 1, "s", "b")});
        EXPECT_FALSE(Engine().AddOrUpdateReminderSet(m_status, set));
        EXPECT_EQ(m_status, c.status);
        EXPECT_TRUE(!c.line || HasLine(c.level, c.level == 4 ? 5 : 6, c.line));
        EXPECT_EQ(set.GetRuleSetId(), 0u);
    }
    EXPECT_TRUE(m_events.empty());
    EXPECT_EQ(Counts(), "1/1/1");
}

// What loads back is always what was saved: a day count whose seconds do
// not fit the record, or a template text over its limit in characters or
// holding a NUL, is refused and nothing of the set is written.
TEST_F(SetStorageTest, RulesLoadBackAsSavedOrAreRefusedWhole) {
    auto times = [](const std::string& piece, int n) {
        std::string text;
        for (int i = 0; i < n; ++i) text += piece;
        return text;
    };
    const struct {
        const char* name;
        int days;
        int schedule;
        std::string subject;
        std::string body;
        bool saved;
    } rows[] = {
        {"longest interval", 24855, 2, "Late", "Pay", true},
        {"interval past the record", 24856, 2, "Late", "Pay", false},
        {"thirty thousand days before", 30000, 1, "Soon", "Pay", false},
        {"accented subject", 3, 2, times("é", 150), "Pay", true},
        {"body too long", 3, 2, "Late", times("ж", 32001), false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string counts = Counts();
        TxnReminderSet set =
            InvoiceSet(row.name, m_group, {InvoiceRule(row.days, row.schedule, row.subject, row.body)});
        EXPECT_EQ(Engine().AddOrUpdateReminderSet(m_status, set), row.saved);
        if (!row.saved) {
            EXPECT_EQ(m_status, TxnReminderStatus_NoTransaction);
            EXPECT_EQ(Counts(), counts);
            continue;
        }
        const auto sets = Listed();
        const auto found = std::find_if(sets.begin(), sets.end(), [&](const TxnReminderSet& s) {
            return s.GetRuleSetId() == set.GetRuleSetId();
        });
        ASSERT_NE(found, sets.end());
        ASSERT_EQ(found->GetReminderRules().size(), 1u);
        TxnReminderRule back = found->GetReminderRules()[0];
        EXPECT_EQ(back.GetRuleCriteria().GetDays(), row.days);
        EXPECT_EQ(back.GetRuleTemplate().GetTemplateSubject().str(), row.subject);
        EXPECT_EQ(back.GetRuleTemplate().GetTemplateBody().str(), row.body);
    }
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:TxnReminderDBHelper::SaveRule - rule 0: 30000 days is beyond the 24855 "
                              "days a rule can keep"));
}

// A failed or throwing write anywhere in a set used to leave the parts
// written before it, and ids on the caller's set that a second save trusted.
TEST_F(SetStorageTest, FailedTemplateOrRuleWriteLeavesNothingOfTheSet) {
    const FaultRow rows[] = {
        {"ReminderSet.Add", TxnReminderStatus_SaveFailed,
         {kHelper + "SaveReminderSet - failed ", kHelper + "SaveReminderSet Rollback api returned false"}, 1,
         FaultKind::Fail, true},
        {"MessageTemplate.Save", TxnReminderStatus_NoTransaction,
         {"TxnReminder: Unable to save Invoice reminder template", kHelper + "SaveReminderSet - SaveRule api returned false"},
         2},
        {"ReminderRule.Add", TxnReminderStatus_NoTransaction, {kHelper + "SaveRule - failed "}, 2},
        {"ReminderRule.Add", kAnyStatus, {"TxnReminder: Exception in TxnReminderEngine::AddOrUpdateReminderSet"}, 2,
         FaultKind::Throw},
    };
    TxnReminderSet set = TwoRules();
    for (const FaultRow& row : rows) {
        SCOPED_TRACE(row.point);
        Arm(row);
        m_events.clear();
        EXPECT_TRUE(FailedAs(row, Engine().AddOrUpdateReminderSet(m_status, set), m_status));
        EXPECT_TRUE(HasEvent(kEvent + "ScheduleCreated"));  // sent before the write is judged
        EXPECT_EQ(Counts(), "0/0/0");
        EXPECT_EQ(Rows("message_template_types"), 0);
        EXPECT_EQ(set.GetRuleSetId(), 0u);  // the caller's set is as it was
        for (const auto& rule : set.GetReminderRules()) {
            EXPECT_EQ(rule.GetRuleId(), 0u);
            EXPECT_EQ(rule.GetRuleSetId(), 0u);
            EXPECT_EQ(rule.GetRuleTemplate().GetTemplateId(), -1);
        }
    }
    // So saving it again adds it once, and the same helper commits only that.
    ASSERT_TRUE(Engine().AddOrUpdateReminderSet(m_status, set));
    Reopen();
    EXPECT_EQ(Counts(), "1/2/2");

    TxnReminderSet stale = InvoiceSet("Stale", m_group, {});  // an id the store does not know
    stale.SetRuleSetId(4711);
    EXPECT_FALSE(Engine().AddOrUpdateReminderSet(m_status, stale));
    EXPECT_EQ(m_status, TxnReminderStatus_SaveFailed);
    EXPECT_EQ(Rows("reminder_sets"), 1);
}

// Both kinds of helper, invoice and statement.
TEST_F(SetStorageTest, OperationsWithoutATransactionWriteNothing) {
    Ctx().ArmFault("DBManager.CreateTransaction", FaultKind::Fail, 1, 2);
    InvoiceReminderDBHelper helper;
    StatementReminderDBHelper stmt;
    std::vector<StatementReminderRule> stmtRules;
    const std::string kStmt = "TxnReminder:StatementReminderDBHelper:";
    TxnReminderSet set = InvoiceSet("Set", m_group, {InvoiceRule(1, 1, "s", "b")});
    TxnReminderRuleTemplate tmpl;
    std::vector<TxnReminderSet> sets;
    std::vector<TxnReminderRule> rules;
    std::vector<unsigned long> ids{1};
    using Status = TxnReminderStatusCode;
    const std::string noTxn = " - failed to get DMTransaction ";
    const int noTransaction = TxnReminderStatus_NoTransaction, untouched = TxnReminderStatus_Success;
    const struct {
        std::string line;
        int status;
        std::function<bool(Status&)> call;
    } cases[] = {
        {kHelper + "SaveReminderSet" + noTxn, noTransaction, [&](Status& s) { return helper.SaveReminderSet(s, set); }},
        {kHelper + "GetAllReminderSets" + noTxn, noTransaction,
         [&](Status& s) { return helper.GetAllReminderSets(s, FormViewType_Invoice, sets); }},
        {kHelper + "SaveRuleTemplate - Failed to get GetDBTransactionPtr ", untouched,
         [&](Status&) { return helper.SaveRuleTemplate(set.GetReminderRules()[0].GetRuleTemplate()); }},
        {kHelper + "GetRuleTemplate" + noTxn, untouched, [&](Status&) { return helper.GetRuleTemplate(tmpl, 1); }},
        {kHelper + "GetAllRulesForReminderSet" + noTxn, untouched,
         [&](Status&) { return helper.GetAllRulesForReminderSet(rules, 1, FormViewType_Invoice); }},
        {kHelper + "DeleteRuleTemplate" + noTxn, TxnReminderStatus_Reset,
         [&](Status& s) { return helper.DeleteRuleTemplate(s, 1); }},
        {kHelper + "DeleteReminderRules" + noTxn, noTransaction, [&](Status& s) { return helper.DeleteReminderRules(s, ids); }},
        {kHelper + "DeleteReminderSet" + noTxn, noTransaction, [&](Status& s) { return helper.DeleteReminderSet(s, 1); }},
        {"", noTransaction, [&](Status& s) { return helper.DeleteRule(s, 1); }},
        {kStmt + "AddReminderExecutionDetails" + noTxn, untouched,
         [&](Status&) { return stmt.AddReminderExecutionDetails(1, 2, ReminderExecutionStatus_Sent); }},
        {kStmt + "UpdateReminderExecutionStatus" + noTxn, untouched,
         [&](Status&) { return stmt.UpdateReminderExecutionStatusForSTMT(1, 2, ReminderExecutionStatus_Sent); }},
        {"", untouched, [&](Status&) { return stmt.DeleteReminderExecutionDetailsForRule(1); }},
        {"", untouched, [&](Status&) { return stmt.DeleteReminderExecutionDetail(1, 2); }},
        {kStmt + ":GetAllRulesForReminderSet" + noTxn, untouched,
         [&](Status&) { return stmt.GetAllStatementRulesForReminderSet(stmtRules, 1); }},
        {kStmt + ":DeleteReminderSet" + noTxn, noTransaction, [&](Status& s) { return stmt.DeleteReminderSet(s, 1); }},
        {"", noTransaction, [&](Status& s) { return stmt.DeleteRule(s, 1); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        Status status = TxnReminderStatus_Success;
        EXPECT_FALSE(c.call(status));
        EXPECT_EQ(status, c.status);
        EXPECT_TRUE(c.line.empty() || HasLine(4, 5, c.line));
    }
    // The template type is created even outside a transaction.
    EXPECT_TRUE(helper.CreateRuleTemplateType(15));
    EXPECT_EQ(QueryText("SELECT name FROM message_template_types WHERE type_id = 15"), "Reminder");
    EXPECT_EQ(Rows("reminder_sets") + Rows("message_templates") + Rows("stmt_reminder_status"), 0);
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

    const FaultRow rows[] = {
        {"DMTransaction.Commit", kAnyStatus, {}},
        {"MessageTemplate.Save", kAnyStatus, {"TxnReminder: Exception in TxnReminderDBHelper::SaveRuleTemplate"}, 1,
         FaultKind::Throw},
        {"MessageTemplate.LoadTemplateType", kAnyStatus,
         {"TxnReminder: Unable to verify Invoice reminder template type's existence",
          "TxnReminder: Unable to create Invoice reminder template"}},
    };
    InvoiceReminderDBHelper helper;
    for (const FaultRow& row : rows) {
        SCOPED_TRACE(row.point);
        Arm(row);
        TxnReminderRuleTemplate failing(15, "b", "s");
        EXPECT_TRUE(FailedAs(row, helper.SaveRuleTemplate(failing), m_status));
        EXPECT_EQ(failing.GetTemplateId(), -1);
        EXPECT_EQ(Rows("message_templates"), 1);
    }

    // The template type: a failed add is rolled back, a second add adds none.
    ExecSql("DELETE FROM message_template_types");
    Arm({"MessageTemplate.AddTemplateType", kAnyStatus, {}, 1, FaultKind::Fail, true});
    EXPECT_FALSE(helper.CreateRuleTemplateType(15));
    EXPECT_TRUE(Failures({"TxnReminder: Unable to add new Reminder template type",
                          kHelper + "CreateRuleTemplateType Rollback api returned false"}));
    EXPECT_EQ(Rows("message_template_types"), 0);
    EXPECT_TRUE(helper.CreateRuleTemplateType(15));
    EXPECT_TRUE(helper.CreateRuleTemplateType(15));
    EXPECT_EQ(Rows("message_template_types"), 1);
    Ctx().ArmFault("MessageTemplate.LoadTemplateType", FaultKind::Throw);
    EXPECT_FALSE(helper.CreateRuleTemplateType(15));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder: Exception in TxnReminderDBHelper::CreateRuleTemplateType"));

    // Deleting one: a throw has a status of its own; an absent one is no failure.
    Ctx().ArmFault("MessageTemplate.DeleteTemplate", FaultKind::Throw);
    EXPECT_FALSE(helper.DeleteRuleTemplate(m_status, 4711));
    EXPECT_EQ(m_status, TxnReminderStatus_Exception);
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder: Exception in TxnReminderDBHelper::DeleteRuleTemplate"));
    EXPECT_TRUE(helper.DeleteRuleTemplate(m_status, 4711));
    EXPECT_EQ(m_status, TxnReminderStatus_Success);
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
    TxnReminderSet active = InvoiceSet(
        "Active", m_group, {InvoiceRule(1, 1, "a", "a"), InvoiceRule(2, 1, "b", "b"), InvoiceRule(3, 2, "c", "c")});
    TxnReminderSet inactive = InvoiceSet("Inactive", m_group, {InvoiceRule(4, 2, "d", "d"), InvoiceRule(5, 2, "e", "e")},
                                         TxnReminderSetStatus_Inactive);
    ASSERT_TRUE(Engine().AddOrUpdateReminderSet(m_status, active));
    ASSERT_TRUE(Engine().AddOrUpdateReminderSet(m_status, inactive));
    // An interval one second short of a day is no whole day.
    ExecSql("UPDATE reminder_rules SET trigger_interval = 86399 WHERE id = " +
            std::to_string(inactive.GetReminderRules()[0].GetRuleId()));
    m_events.clear();
    std::vector<TxnReminderSet> sets(3);  // stale entries go first
    ASSERT_TRUE(Engine().GetAllReminderSets(m_status, sets));
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_EQ(sets[1].GetReminderSetStatus(), TxnReminderSetStatus_Inactive);
    EXPECT_EQ(sets[1].GetReminderRules()[0].GetRuleCriteria().GetDays(), 0);
    EXPECT_EQ(Events(), (std::vector<std::string>{
                            "EventSource=InvoicePaymentReminders, EventId=NumberOfDisabledReminderSets:1, ReminderType=4",
                            "EventSource=InvoicePaymentReminders, EventId=AvgNumberOfRemindersPerSet:2, ReminderType=4",
                            kEvent + "NumberOfReminderSets:2, ReminderType:4"}));

    // No set at all: the disabled count alone, and a count of 0.
    TxnReminderEngine statements(FormViewType_Statement);
    m_events.clear();
    ASSERT_TRUE(statements.GetAllReminderSets(m_status, sets));
    EXPECT_TRUE(sets.empty());
    EXPECT_EQ(Events(), (std::vector<std::string>{
                            "EventSource=InvoicePaymentReminders, EventId=NumberOfDisabledReminderSets:0, ReminderType=101",
                            kEvent + "NumberOfReminderSets:0, ReminderType:101"}));
}

TEST_F(SetStorageTest, StoredNameOverTheLimitFailsTheListing) {
    AddReminderSet(std::string(64, 'b'), FormViewType_Invoice, m_group);
    AddReminderSet(std::string(65, 'c'), FormViewType_Invoice, m_group);
    std::vector<TxnReminderSet> sets(2);
    EXPECT_FALSE(Engine().GetAllReminderSets(m_status, sets));
    EXPECT_EQ(m_status, TxnReminderStatus_LengthExceeded);
    EXPECT_TRUE(HasLine(4, 5, kHelper + "GetAllReminderSets -Reminder set name's length limit exceeded"));
    // The caller's old entries are gone; the set loaded before the bad one stays.
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].GetReminderSetName().str(), std::string(64, 'b'));
    EXPECT_TRUE(m_events.empty());
}

TEST_F(SetStorageTest, ListingFailsWhenAnyPartCannotBeLoaded) {
    Saved();
    const struct {
        const char* fault;  // or else
        const char* sql;
        int status;
        std::vector<std::string> lines;
    } cases[] = {
        {"ReminderSet.BatchLoad", nullptr, TxnReminderStatus_NoTransaction, {kHelper + "GetAllReminderSets - failed to batch load"}},
        {"ReminderRule.BatchLoad", nullptr, TxnReminderStatus_NoTransaction,
         {kHelper + "GetAllRules - failed to batch load", kHelper + "Error fetching all rules for reminderset Id"}},
        {nullptr, "DELETE FROM message_templates WHERE id = (SELECT MIN(id) FROM message_templates)", kAnyStatus,
         {kHelper + "GetRuleTemplate - Unable to load reminder rule template"}},
        {nullptr, "UPDATE reminder_sets SET target_group_id = 999", TxnReminderStatus_NoTransaction,
         {kHelper + "GetDLPTargetGroup GetGroupById is not retrieved properly",
          "TxnReminder:GetAllReminderSets::Error fetching Target Group"}},
    };
    InvoiceReminderDBHelper helper;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lines[0]);
        ClearLog();
        if (c.fault) Ctx().ArmFault(c.fault, FaultKind::Fail);
        if (c.sql) ExecSql(c.sql);
        std::vector<TxnReminderSet> sets;
        m_status = TxnReminderStatus_Reset;
        EXPECT_TRUE(FailedAs({"", c.status, c.lines}, helper.GetAllReminderSets(m_status, FormViewType_Invoice, sets),
                             m_status));
        EXPECT_TRUE(sets.empty());
    }
}

TEST_F(SetStorageTest, TemplatesAreNotReadWhileTheFileIsReindexed) {
    const long templateId = Saved().GetReminderRules()[0].GetRuleTemplate().GetTemplateId();
    TxnReminderRuleTemplate loaded;
    ASSERT_TRUE(Engine().GetReminderRuleTemplate(loaded, templateId));
    EXPECT_EQ(loaded.GetTemplateSubject().str(), "Overdue");

    Ctx().SetFileManagerState(1);
    EXPECT_FALSE(Engine().GetReminderRuleTemplate(loaded, templateId));
    std::vector<TxnReminderSet> sets;
    EXPECT_FALSE(Engine().GetAllReminderSets(m_status, sets));
    Ctx().SetFileManagerState(0);

    EXPECT_FALSE(Engine().GetReminderRuleTemplate(loaded, -2));
    EXPECT_TRUE(HasLine(4, 5, kHelper + "GetRuleTemplate - Unable to load reminder rule template"));
    Ctx().ArmFault("MessageTemplate.Load", FaultKind::Throw);
    EXPECT_FALSE(Engine().GetReminderRuleTemplate(loaded, templateId));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder: Exception in TxnReminderDBHelper::GetRuleTemplate"));
}

// --- deleting -----------------------------------------------------------------------

// A failed step anywhere in a deletion leaves every row where it was, and
// the helper's lines say which step failed.
TEST_F(SetStorageTest, DeletionsRemoveRulesWithTheirTemplatesOrNothing) {
    const TxnReminderSet set = Saved();
    const TxnReminderSet kept = Saved("Kept");
    const unsigned long first = kept.GetReminderRules()[0].GetRuleId();
    std::vector<unsigned long> both{first, kept.GetReminderRules()[1].GetRuleId()};
    const auto rolledBack = [](const char* point, const std::string& what) {
        return FaultRow{point, TxnReminderStatus_DeleteFailed,
                        {kHelper + what + " - failed to delete", kHelper + what + " Rollback api returned false"},
                        1, FaultKind::Fail, true};
    };
    enum Call { kRule, kRules, kSet };
    const struct {
        Call call;
        FaultRow row;
    } rows[] = {
        {kRule,
         {"MessageTemplate.DeleteTemplate", TxnReminderStatus_DeleteFailed,
          {kHelper + "DeleteRuleTemplate - Unable to delete reminder rule template",
           kHelper + "DeleteRule - failed to delete the associated rule template",
           "TxnReminder::TxnReminderDBHelper::DeleteRule - Rollback api call failed"},
          1, FaultKind::Fail, true}},
        {kRule, {"ReminderRule.Delete", TxnReminderStatus_DeleteFailed, {kHelper + "DeleteRule - failed to delete the rule"}}},
        {kRule, {"ReminderRule.Load", TxnReminderStatus_NoTransaction, {kHelper + "DeleteRule - failed to load the rule"}}},
        {kRules,
         {"MessageTemplate.DeleteBatchTemplate", TxnReminderStatus_DeleteFailed,
          {kHelper + "DeleteReminderRules - failed to delete templates",
           kHelper + "DeleteReminderRules Rollback api returned false"},
          1, FaultKind::Fail, true}},
        {kRules, {"ReminderRule.BatchDelete", kAnyStatus, {kHelper + "DeleteReminderRules - failed to delete rules"}}},
        {kRules, {"ReminderRule.Load", TxnReminderStatus_NoTransaction, {kHelper + "DeleteReminderRules - failed to load"}, 2}},
        {kSet, rolledBack("ReminderRule.BatchDelete", "BatchDeleteRule")},
        {kSet, rolledBack("MessageTemplate.DeleteBatchTemplate", "BatchDeletetemplate")},
        {kSet, rolledBack("ReminderSet.Delete", "DeleteReminderSet")},
        {kSet, {"ReminderRule.BatchLoad", TxnReminderStatus_NoTransaction, {kHelper + "DeleteReminderSet - failed to batch load"}}},
    };
    m_events.clear();
    for (const auto& r : rows) {
        SCOPED_TRACE(r.row.point);
        Arm(r.row);
        const bool deleted = r.call == kRule    ? Engine().DeleteReminderRule(m_status, first)
                             : r.call == kRules ? Engine().DeleteReminderRules(m_status, both)
                                                : Engine().DeleteReminderSet(m_status, set.GetRuleSetId());
        EXPECT_TRUE(FailedAs(r.row, deleted, m_status));
        EXPECT_EQ(Counts(), "2/4/4");
    }
    EXPECT_TRUE(m_events.empty());
    Ctx().ClearFaults();

    ASSERT_TRUE(Engine().DeleteReminderRule(m_status, first));
    EXPECT_EQ(m_status, TxnReminderStatus_Success);
    EXPECT_EQ(Events(), std::vector<std::string>{kEvent + "ReminderDeleted, ReminderType=4"});
    Reopen();
    EXPECT_EQ(QueryInt("SELECT COUNT(*) FROM reminder_rules WHERE id = " + std::to_string(first)), 0);
    EXPECT_EQ(QueryInt("SELECT COUNT(*) FROM message_templates WHERE subject = 'Overdue'"), 1);  // the other set's

    std::vector<unsigned long> second{both[1]}, none;
    ASSERT_TRUE(Engine().DeleteReminderRules(m_status, second));
    EXPECT_EQ(m_status, TxnReminderStatus_Success);
    EXPECT_TRUE(HasLine(0, 6, "TxnReminder::Exiting TxnReminderDBHelper TxnReminderDBHelper::DeleteReminderRules"));
    InvoiceReminderDBHelper helper;
    EXPECT_TRUE(helper.DeleteReminderRules(m_status, none));
    EXPECT_EQ(m_status, TxnReminderStatus_Success);

    m_events.clear();
    ASSERT_TRUE(Engine().DeleteReminderSet(m_status, set.GetRuleSetId()));
    EXPECT_EQ(m_status, TxnReminderStatus_Success);
    EXPECT_EQ(Events(), std::vector<std::string>{kEvent + "ScheduleDeleted, ReminderType=4"});
    Reopen();
    EXPECT_EQ(QueryInt("SELECT id FROM reminder_sets"), static_cast<long long>(kept.GetRuleSetId()));
    EXPECT_EQ(Counts(), "1/0/0");
}

} // namespace
