#include "InvoiceDueRuleFinder.h"

#include <algorithm>

#include "InvoiceCandidateList.h"
#include "TxnReminderDefines.h"
#include "TxnReminderRule.h"
#include "TxnSendableReminderContainer.h"

namespace {
constexpr std::uint32_t kEmptySlot = 0xFFFFFFFFu;
} // namespace

InvoiceDueRuleFinder::InvoiceDueRuleFinder(const InvoiceCandidateList& candidates)
    : m_candidates(candidates), m_dueIndex(candidates.Size(), 0) {
    // Open addressing over the packed date values: a selection meets a few
    // hundred or thousand distinct dates among up to millions of invoices.
    std::vector<std::uint32_t> slots(1024, kEmptySlot);
    std::size_t mask = slots.size() - 1;
    const auto hash = [](std::uint32_t value) { return static_cast<std::size_t>(value * 2654435761u); };
    for (std::size_t i = 0; i < candidates.Size(); ++i) {
        const DateType32 due = candidates.At(i).dueDate;
        std::size_t at = hash(due.GetValue()) & mask;
        while (slots[at] != kEmptySlot && m_dueDates[slots[at]] != due) at = (at + 1) & mask;
        if (slots[at] == kEmptySlot) {
            slots[at] = static_cast<std::uint32_t>(m_dueDates.size());
            m_dueDates.push_back(due);
            if (m_dueDates.size() * 2 > slots.size()) {
                // Kept at most half full.
                slots.assign(slots.size() * 4, kEmptySlot);
                mask = slots.size() - 1;
                for (std::size_t d = 0; d < m_dueDates.size(); ++d) {
                    std::size_t to = hash(m_dueDates[d].GetValue()) & mask;
                    while (slots[to] != kEmptySlot) to = (to + 1) & mask;
                    slots[to] = static_cast<std::uint32_t>(d);
                }
            }
            m_dueIndex[i] = static_cast<std::uint32_t>(m_dueDates.size() - 1);
        } else {
            m_dueIndex[i] = slots[at];
        }
    }
}

void InvoiceDueRuleFinder::SelectRules(const std::vector<TxnReminderRule>& rules) {
    m_rules.clear();
    m_rules.reserve(rules.size());
    for (const TxnReminderRule& rule : rules) {
        const TxnReminderRuleCriteria& criteria = rule.GetRuleCriteria();
        m_rules.push_back(Rule{rule.GetRuleId(), rule.GetRuleTemplate().GetTemplateId(),
                               criteria.GetSchedule() == TxnReminderRuleCriteria::kScheduleBefore,
                               criteria.GetDays()});
    }
    m_latestDue.assign(m_dueDates.size(), kUnknown);
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
    std::size_t due = m_latestDue[dueIndex];
    if (due == kUnknown) {
        due = LatestDue(m_dueDates[dueIndex]);
        m_latestDue[dueIndex] = due;
    }
    if (due == npos) return npos;
    // A rule carried out at or after the due one means the invoice waits for
    // the next rule.
    for (const std::uint32_t* carried = m_candidates.CarriedOutBegin(i); carried != m_candidates.CarriedOutEnd(i);
         ++carried) {
        for (std::size_t r = due; r < m_rules.size(); ++r) {
            if (m_rules[r].ruleId == *carried) return npos;
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
