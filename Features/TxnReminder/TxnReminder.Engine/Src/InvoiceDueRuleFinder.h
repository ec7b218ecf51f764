#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "Date/DateType32.h"

class InvoiceCandidateList;
class TxnReminderRule;
class TxnSendableReminderContainer;

// Which rule of a target group's sorted rules is due today for an invoice.
// The decision itself (DueRule) is shared with the invoice container's
// IsExecutable; over a candidate list, where invoices share due dates, the
// latest rule whose day has come is worked out once per due date (and day)
// instead of once per invoice, and the rules carried out are then checked
// per invoice.
class InvoiceDueRuleFinder {
public:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    // What the decision needs of a rule.
    struct Schedule {
        unsigned long ruleId;
        long templateId;
        bool before;  // days before the due date, else after it
        int days;
    };
    static Schedule ScheduleOf(const TxnReminderRule& rule);

    // The latest of `rules` (in the order they fall due) whose trigger date,
    // counted from `dueDate`, is on or before `today`; npos when none is.
    static std::size_t LatestDue(const std::vector<Schedule>& rules, const DateType32& dueDate,
                                 const DateType32& today);
    // The rule due for an invoice whose latest due rule is `latest` and whose
    // carried-out rule ids are [carriedBegin, carriedEnd): a rule carried out
    // at or after the latest due one means the invoice waits for the next.
    static std::size_t DueRule(const std::vector<Schedule>& rules, std::size_t latest,
                               const std::uint32_t* carriedBegin, const std::uint32_t* carriedEnd);

    explicit InvoiceDueRuleFinder(const InvoiceCandidateList& candidates);

    // The rules, sorted, of the group to judge next.
    void SelectRules(const std::vector<TxnReminderRule>& rules);

    // The index of the rule due for candidate `i`, or npos. Reads the host's
    // clock, as each invoice's own judgement does.
    std::size_t Find(std::size_t i);

    // The reminder for transaction `transactionId` under rule `index`.
    void Fill(std::size_t index, std::uint32_t transactionId, TxnSendableReminderContainer& reminder) const;

private:
    const InvoiceCandidateList& m_candidates;
    // The distinct due dates, and per candidate the index of its own.
    std::vector<DateType32> m_dueDates;
    std::vector<std::uint32_t> m_dueIndex;

    std::vector<Schedule> m_rules;
    bool m_haveMoment = false;
    std::int64_t m_moment = 0;
    DateType32 m_today;
    // Per distinct due date: the latest due rule for today and the current
    // rules, npos when none, kUnknown when not worked out yet.
    static constexpr std::size_t kUnknown = npos - 1;
    std::vector<std::size_t> m_latestDue;
};
