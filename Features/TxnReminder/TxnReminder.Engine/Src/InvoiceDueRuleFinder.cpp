#include "InvoiceDueRuleFinder.h"

#include <algorithm>
#include <unordered_map>

#include "InvoiceCandidateList.h"
#include "TxnReminderDefines.h"
#include "TxnReminderRule.h"
#include "TxnSendableReminderContainer.h"

InvoiceDueRuleFinder::Schedule InvoiceDueRuleFinder::ScheduleOf(const TxnReminderRule& rule) {
    const TxnReminderRuleCriteria& criteria = rule.GetRuleCriteria();
    return Schedule{rule.GetRuleId(), rule.GetRuleTemplate().GetTemplateId(),
                    criteria.GetSchedule() == TxnReminderRuleCriteria::kScheduleBefore, criteria.GetDays()};
}

std::size_t InvoiceDueRuleFinder::LatestDue(const std::vector<Schedule>& rules, const DateType32& dueDate,
                                            const DateType32& today) {
    // From the end: the first rule whose day has come is the latest due.
    for (std::size_t i = rules.size(); i-- > 0;) {
        const Schedule& rule = rules[i];
        const DateType32 triggerDate = rule.before ? DateSub(dueDate, rule.days) : DateAdd(dueDate, rule.days);
        if (triggerDate <= today) return i;
    }
    return npos;
}

std::size_t InvoiceDueRuleFinder::DueRule(const std::vector<Schedule>& rules, std::size_t latest,
                                          const std::uint32_t* carriedBegin, const std::uint32_t* carriedEnd) {
    if (latest == npos) return npos;
    for (const std::uint32_t* carried = carriedBegin; carried != carriedEnd; ++carried) {
        for (std::size_t r = latest; r < rules.size(); ++r) {
            if (rules[r].ruleId == *carried) return npos;
        }
    }
    return latest;
}

InvoiceDueRuleFinder::InvoiceDueRuleFinder(const InvoiceCandidateList& candidates)
    : m_candidates(candidates), m_dueIndex(candidates.Size(), 0) {
    // A selection meets a few hundred or thousand distinct dates among up to
    // millions of invoices: each date's index is looked up once per invoice.
    std::unordered_map<std::uint32_t, std::uint32_t> indexOf;
    indexOf.reserve(1024);
    for (std::size_t i = 0; i < candidates.Size(); ++i) {
        const DateType32 due = candidates.At(i).dueDate;
        const auto [at, added] = indexOf.try_emplace(due.GetValue(), static_cast<std::uint32_t>(m_dueDates.size()));
        if (added) m_dueDates.push_back(due);
        m_dueIndex[i] = at->second;
    }
}

void InvoiceDueRuleFinder::SelectRules(const std::vector<TxnReminderRule>& rules) {
    m_rules.clear();
    m_rules.reserve(rules.size());
    for (const TxnReminderRule& rule : rules) m_rules.push_back(ScheduleOf(rule));
    m_latestDue.assign(m_dueDates.size(), kUnknown);
}

std::size_t InvoiceDueRuleFinder::Find(std::size_t i) {
    const DateAndTime moment = GetMXSystemTime();
    if (!m_haveMoment || moment != m_moment) {
        const DateType32 today = DateAndTimeToDate(moment);
        if (!m_haveMoment || today != m_today) std::fill(m_latestDue.begin(), m_latestDue.end(), kUnknown);
        m_today = today;
        m_moment = moment;
        m_haveMoment = true;
    }
    const std::uint32_t dueIndex = m_dueIndex[i];
    std::size_t latest = m_latestDue[dueIndex];
    if (latest == kUnknown) {
        latest = LatestDue(m_rules, m_dueDates[dueIndex], m_today);
        m_latestDue[dueIndex] = latest;
    }
    return DueRule(m_rules, latest, m_candidates.CarriedOutBegin(i), m_candidates.CarriedOutEnd(i));
}

void InvoiceDueRuleFinder::Fill(std::size_t index, std::uint32_t transactionId,
                                TxnSendableReminderContainer& reminder) const {
    reminder.SetTxnType(FormViewType_Invoice);
    reminder.SetTransactionId(transactionId);
    reminder.SetRuleId(m_rules[index].ruleId);
    reminder.SetTemplateId(m_rules[index].templateId);
}
