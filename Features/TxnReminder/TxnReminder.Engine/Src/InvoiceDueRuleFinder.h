#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "Date/DateType32.h"

class TxnReminderRule;
class TxnSendableReminderContainer;

// Which rule of a target group's sorted rules is due today for an invoice,
// decided as an invoice container's IsExecutable decides it, for invoices
// held as flat rows. Invoices share due dates, so the latest rule whose day
// has come is worked out once per due date (and day) instead of once per
// invoice; the carried-out rules are then checked per invoice.
class InvoiceDueRuleFinder {
public:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    // The rules, sorted, of the group to judge next.
    void SelectRules(const std::vector<TxnReminderRule>& rules);

    // The index of the rule due for an invoice with this due date whose
    // carried-out rule ids are [carriedBegin, carriedEnd), or npos. Reads the
    // host's clock, as each invoice's own judgement does.
    std::size_t Find(const DateType32& dueDate, const std::uint32_t* carriedBegin, const std::uint32_t* carriedEnd);

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
    std::vector<Rule> m_rules;
    bool m_haveMoment = false;
    std::int64_t m_moment = 0;
    DateType32 m_today;
    // Due date -> latest due rule, for today and the current rules.
    std::unordered_map<std::uint32_t, std::size_t> m_latestDue;
};
