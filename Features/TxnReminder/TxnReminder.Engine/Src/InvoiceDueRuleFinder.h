#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "Date/DateType32.h"

class InvoiceCandidateList;
class TxnReminderRule;
class TxnSendableReminderContainer;

// Which rule of a target group's sorted rules is due today for an invoice of
// a candidate list, decided as an invoice container's IsExecutable decides it.
// Invoices share due dates, so the latest rule whose day has come is worked
// out once per due date (and day) instead of once per invoice; the rules
// carried out are then checked per invoice.
class InvoiceDueRuleFinder {
public:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    explicit InvoiceDueRuleFinder(const InvoiceCandidateList& candidates);

    // The rules, sorted, of the group to judge next.
    void SelectRules(const std::vector<TxnReminderRule>& rules);

    // The index of the rule due for candidate `i`, or npos. Reads the host's
    // clock, as each invoice's own judgement does.
    std::size_t Find(std::size_t i);

    // The reminder for transaction `transactionId` under rule `index`.
    void Fill(std::size_t index, std::uint32_t transactionId, TxnSendableReminderContainer& reminder) const;

private:
    std::size_t LatestDue(const DateType32& dueDate) const;

    struct Rule {
        unsigned long ruleId;
        long templateId;
        bool before;
        int days;
    };
    const InvoiceCandidateList& m_candidates;
    // The distinct due dates, and per candidate the index of its own.
    std::vector<DateType32> m_dueDates;
    std::vector<std::uint32_t> m_dueIndex;

    std::vector<Rule> m_rules;
    bool m_haveMoment = false;
    std::int64_t m_moment = 0;
    DateType32 m_today;
    // Per distinct due date: the latest due rule for today and the current
    // rules, npos when none, kUnknown when not worked out yet.
    static constexpr std::size_t kUnknown = npos - 1;
    std::vector<std::size_t> m_latestDue;
};
