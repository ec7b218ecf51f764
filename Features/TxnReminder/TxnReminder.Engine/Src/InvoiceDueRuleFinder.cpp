#include "InvoiceDueRuleFinder.h"

#include "TxnReminderDefines.h"
#include "TxnReminderRule.h"
#include "TxnSendableReminderContainer.h"

void InvoiceDueRuleFinder::SelectRules(const std::vector<TxnReminderRule>& rules) {
    m_rules.clear();
    m_rules.reserve(rules.size());
    for (const TxnReminderRule& rule : rules) {
        const TxnReminderRuleCriteria& criteria = rule.GetRuleCriteria();
        m_rules.push_back(Rule{rule.GetRuleId(), rule.GetRuleTemplate().GetTemplateId(),
                               criteria.GetSchedule() == TxnReminderRuleCriteria::kScheduleBefore,
                               criteria.GetDays()});
    }
    m_latestDue.clear();
}

std::size_t InvoiceDueRuleFinder::LatestDue(const DateType32& dueDate) const {
    // From the end: the first rule whose day has come is the latest due.
    for (std::size_t i = m_rules.size(); i-- > 0;) {
        const Rule& rule = m_rules[i];
        const DateType32 triggerDate = rule.before ? DateSub(dueDate, rule.days) : DateAdd(dueDate, rule.days);
        if (triggerDate <= m_today) return i;
    }
    return npos;
}

std::size_t InvoiceDueRuleFinder::Find(const DateType32& dueDate, const std::uint32_t* carriedBegin,
                                       const std::uint32_t* carriedEnd) {
    const DateAndTime moment = GetMXSystemTime();
    if (!m_haveMoment || moment != m_moment) {
        const DateType32 today = DateAndTimeToDate(moment);
        if (!m_haveMoment || today != m_today) m_latestDue.clear();
        m_today = today;
        m_moment = moment;
        m_haveMoment = true;
    }
    std::size_t due;
    const auto known = m_latestDue.find(dueDate.GetValue());
    if (known != m_latestDue.end()) {
        due = known->second;
    } else {
        due = LatestDue(dueDate);
        m_latestDue.emplace(dueDate.GetValue(), due);
    }
    if (due == npos) return npos;
    // A rule carried out at or after the due one means the invoice waits for
    // the next rule.
    for (const std::uint32_t* carried = carriedBegin; carried != carriedEnd; ++carried) {
        for (std::size_t i = due; i < m_rules.size(); ++i) {
            if (m_rules[i].ruleId == *carried) return npos;
        }
    }
    return due;
}

void InvoiceDueRuleFinder::Fill(std::size_t index, std::uint32_t transactionId,
                                TxnSendableReminderContainer& reminder) const {
    reminder.SetTxnType(FormViewType_Invoice);
    reminder.SetTransactionId(transactionId);
    reminder.SetRuleId(m_rules[index].ruleId);
    reminder.SetTemplateId(m_rules[index].templateId);
}
