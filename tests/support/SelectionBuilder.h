#pragma once

// Reminder sets, rules and statement requests for the selection suites, made
// through the engine as the setup screens would make them.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "StatementReminderRule.h"
#include "Statements/StmtEditTag.h"
#include "TxnReminderEngine.h"
#include "TxnReminderRule.h"
#include "TxnReminderSet.h"

namespace testsupport {

using StmtHandle = std::unique_ptr<StmtEditTag, void (*)(StmtEditTag*)>;
inline StmtHandle OwnHandle(StmtEditTag* handle) { return StmtHandle(handle, StmtEditTag::Free); }

// An invoice rule `days` before (schedule 1) or after (2) the due date.
inline TxnReminderRule InvoiceRule(int schedule, int days, const std::string& subject = "Reminder") {
    TxnReminderRule rule;
    rule.GetRuleCriteria().SetDateToCompare("due date");
    rule.GetRuleCriteria().SetSchedule(schedule);
    rule.GetRuleCriteria().SetDays(days);
    rule.SetRuleTemplate(TxnReminderRuleTemplate(TxnReminderRuleTemplate::kInvoiceTemplateType,
                                                 Util::TString("Please pay " + subject), Util::TString(subject)));
    return rule;
}
inline TxnReminderRule After(int days) { return InvoiceRule(2, days, "after " + std::to_string(days)); }
inline TxnReminderRule Before(int days) { return InvoiceRule(1, days, "before " + std::to_string(days)); }

inline StatementReminderRule StatementRule(short frequency, unsigned short day, short txnStatus = 0,
                                           long emailTemplateId = 40, short dateRange = 0, short overdueBy = 0) {
    StatementReminderRule rule;
    rule.SetScheduleDayWithFrequency(day, frequency);
    rule.SetEmailTemplateId(emailTemplateId);
    long style = 7;
    rule.SetStyleTemplateId(style);
    rule.GetRuleCriteria().SetTxnStatus(txnStatus);
    rule.GetRuleCriteria().SetDateRange(dateRange);
    rule.GetRuleCriteria().SetOverdueBy(overdueBy);
    rule.SetEmailListPrepDate(DateType32(1, 1, 1970));
    return rule;
}

// Saves a set through an engine of its view and hands back what storage
// gave it (ids of the set and its rules).
inline TxnReminderSet SaveSet(FormViewType view, const std::string& name, long groupId,
                              const std::vector<TxnReminderRule>& rules,
                              const std::vector<StatementReminderRule>& statementRules = {}, bool active = true) {
    TxnReminderSet set(0, view);
    set.SetReminderSetName(Util::TString(name));
    set.SetTargetGroupId(groupId);
    set.SetReminderStatus(active ? TxnReminderSetStatus_Active : TxnReminderSetStatus_Inactive);
    set.SetReminderRules(rules);
    set.SetStatementReminderRules(statementRules);
    TxnReminderEngine engine(view);
    TxnReminderStatusCode status = TxnReminderStatus_Reset;
    EXPECT_TRUE(engine.AddOrUpdateReminderSet(status, set)) << name << " status " << status;
    // Rule ids as storage loads them back.
    std::vector<TxnReminderSet> all;
    EXPECT_TRUE(engine.GetAllReminderSets(status, all));
    for (const TxnReminderSet& loaded : all) {
        if (loaded.GetRuleSetId() == set.GetRuleSetId()) return loaded;
    }
    ADD_FAILURE() << "set " << name << " not loaded back";
    return set;
}

} // namespace testsupport
