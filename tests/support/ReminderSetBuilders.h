#pragma once

// Builders for reminder configuration stored through the engine: permission
// groups, invoice and statement rules and sets, and row counts of the
// company file's reminder tables.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "CompanyFile.h"
#include "HostFixture.h"
#include "Records/Groups.h"
#include "Records/Names.h"
#include "Sql.h"
#include "StatementReminderRule.h"
#include "TxnReminderRule.h"
#include "TxnReminderSet.h"

namespace testsupport {

inline long AddCustomerGroup(const std::string& name, const std::vector<int>& members = {},
                             const std::string& description = "") {
    long id = 0;
    EXPECT_TRUE(Host::CreateCustomerGroup(name, description, members, id).Succeeded()) << name;
    return id;
}

// schedule 1: days before the due date; 2: days after it.
inline TxnReminderRule InvoiceRule(int days, int schedule, const std::string& subject, const std::string& body) {
    TxnReminderRule rule;
    rule.GetRuleCriteria().SetDateToCompare("due date");
    rule.GetRuleCriteria().SetSchedule(schedule);
    rule.GetRuleCriteria().SetDays(days);
    rule.SetRuleTemplate(TxnReminderRuleTemplate(TxnReminderRuleTemplate::kInvoiceTemplateType, body, subject));
    return rule;
}

inline TxnReminderSet InvoiceSet(const std::string& name, long groupId, std::vector<TxnReminderRule> rules,
                                 TxnReminderSetStatus status = TxnReminderSetStatus_Active) {
    TxnReminderSet set(0, FormViewType_Invoice);
    set.SetReminderSetName(name);
    set.SetTargetGroupId(groupId);
    set.SetReminderStatus(status);
    set.SetReminderRules(rules);
    return set;
}

inline StatementReminderRule StatementRule(unsigned short day, short frequency, short dateRange, short txnStatus,
                                           long emailTemplateId) {
    StatementReminderRule rule;
    rule.SetScheduleDayWithFrequency(day, frequency);
    rule.GetRuleCriteria().SetDateRange(dateRange);
    rule.GetRuleCriteria().SetTxnStatus(txnStatus);
    rule.GetRuleCriteria().SetOverdueBy(static_cast<short>(day + 10));
    rule.GetRuleCriteria().SetIsItemDetailsIncluded(true);
    rule.GetRuleCriteria().SetIsDueDateIncluded(true);
    rule.SetEmailTemplateId(emailTemplateId);
    rule.SetStyleTemplateId(emailTemplateId + 100);
    return rule;
}

inline TxnReminderSet StatementSet(const std::string& name, long groupId, std::vector<StatementReminderRule> rules) {
    TxnReminderSet set(0, FormViewType_Statement);
    set.SetReminderSetName(name);
    set.SetTargetGroupId(groupId);
    set.SetReminderStatus(TxnReminderSetStatus_Active);
    set.SetStatementReminderRules(rules);
    return set;
}

// Runs one statement on the open company file (to plant records the engine
// would refuse to write).
inline void ExecSql(const std::string& sql) { Host::Stmt(Host::HostContext::Get().File()->Db(), sql.c_str()).Run(); }

inline long long Rows(const std::string& table) { return QueryInt("SELECT COUNT(*) FROM " + table); }

} // namespace testsupport
