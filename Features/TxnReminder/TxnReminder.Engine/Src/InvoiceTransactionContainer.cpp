#include "InvoiceTransactionContainer.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "InvoiceDueRuleFinder.h"
#include "Records/Names.h"
#include "TxnReminderRule.h"
#include "TxnReminderTargetGroup.h"
#include "TxnSendableReminderContainer.h"

#define TXNR_SOURCE_FILE TXNR_SRC_DIR "InvoiceTransactionContainer"

namespace {

constexpr int kCustomerFeature = 1;

// The name records from a target up through its parents, each opened once
// and only when the walk reaches it.
class NameChain {
public:
    explicit NameChain(int targetId) { m_names.emplace_back(targetId, kCustomerFeature); }

    // The record at `depth` above the target, or null past the top. Stops at
    // a record met before, so a damaged parent link cannot loop.
    const CName* At(std::size_t depth) {
        while (m_names.size() <= depth) {
            const CName& top = m_names.back();
            if (!top.IsValid() || top.GetParent() == 0) return nullptr;
            const int parent = top.GetParent();
            const bool seen = std::any_of(m_names.begin(), m_names.end(),
                                          [parent](const CName& n) { return n.GetRecNum() == parent; });
            if (seen) return nullptr;
            m_names.emplace_back(parent, kCustomerFeature);
        }
        const CName& name = m_names[depth];
        return name.IsValid() ? &name : nullptr;
    }

private:
    std::vector<CName> m_names;
};

// What judging an invoice needs of its customer or job: whether it is
// hidden, the valid records from it up through its parents, and whether one
// of them has an address (a job without one inherits its customer's).
struct Target {
    bool hidden = false;
    std::vector<int> chain;
    bool emailFound = false;
};

Target ReadTarget(int targetId) {
    Target target;
    NameChain chain(targetId);
    const CName* first = chain.At(0);
    if (first && first->GetIsHidden()) {
        target.hidden = true;
        return target;
    }
    for (std::size_t depth = 0; const CName* name = chain.At(depth); ++depth) {
        target.chain.push_back(name->GetRecNum());
        if (!target.emailFound && !name->GetEmail().str().empty()) target.emailFound = true;
    }
    return target;
}

} // namespace

InvoiceTransactionContainer::InvoiceTransactionContainer() : TxnReminderTransactionContainer() { m_dueDate.SetZero(); }

InvoiceTransactionContainer::InvoiceTransactionContainer(unsigned long transactionId, FormViewType transactionType,
                                                         int targetId, DateType32 dueDate)
    : TxnReminderTransactionContainer(transactionId, transactionType, targetId), m_dueDate(dueDate) {}

InvoiceTransactionContainer::InvoiceTransactionContainer(const InvoiceTransactionContainer& other) = default;

InvoiceTransactionContainer& InvoiceTransactionContainer::operator=(const InvoiceTransactionContainer& other) {
    if (this == &other) return *this;
    TxnReminderTransactionContainer::operator=(other);
    m_dueDate = other.m_dueDate;
    return *this;
}

InvoiceTransactionContainer::~InvoiceTransactionContainer() = default;

DateType32 InvoiceTransactionContainer::GetDueDate() { return m_dueDate; }

void InvoiceTransactionContainer::SetDueDate(const DateType32& dueDate) { m_dueDate = dueDate; }

bool InvoiceTransactionContainer::IsAcceptableTarget(TxnReminderStatusCode& status,
                                                     TxnReminderTargetGroup targetGroup) {
    const Target target = ReadTarget(GetTargetId());
    // A hidden customer or job gets no reminder, member or not.
    if (target.hidden) return false;

    const bool member = std::any_of(target.chain.begin(), target.chain.end(),
                                    [&targetGroup](int recNum) { return targetGroup.HasTargetUser(recNum); });
    if (!member) return false;

    SetEmailIdPresent(target.emailFound);
    if (!target.emailFound && status == TxnReminderStatus_Success) status = TxnReminderStatus_NoEmail;
    return true;
}

bool InvoiceTransactionContainer::IsExecutable(TxnReminderStatusCode&, std::vector<TxnReminderRule>& rules,
                                               TxnSendableReminderContainer& reminder) {
    // Through the accessor: a container may keep its history elsewhere.
    const std::vector<TxnReminderExecutionDetails> history = GetExecutionDetailsList();
    std::vector<std::uint32_t> carriedOut;
    for (const TxnReminderExecutionDetails& detail : history) {
        if (detail.IsCarriedOut()) carriedOut.push_back(static_cast<std::uint32_t>(detail.GetRuleId()));
    }
    std::vector<InvoiceDueRuleFinder::Schedule> schedules;
    schedules.reserve(rules.size());
    for (const TxnReminderRule& rule : rules) schedules.push_back(InvoiceDueRuleFinder::ScheduleOf(rule));

    const DateType32 today = DateAndTimeToDate(GetMXSystemTime());
    const std::size_t latest = InvoiceDueRuleFinder::LatestDue(schedules, GetDueDate(), today);
    const std::size_t due = InvoiceDueRuleFinder::DueRule(schedules, latest, carriedOut.data(),
                                                          carriedOut.data() + carriedOut.size());
    if (due == InvoiceDueRuleFinder::npos) return false;
    reminder.SetTxnType(FormViewType_Invoice);
    reminder.SetTransactionId(GetTransactionId());
    reminder.SetRuleId(schedules[due].ruleId);
    reminder.SetTemplateId(schedules[due].templateId);
    return true;
}
