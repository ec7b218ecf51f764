#include "InvoiceTransactionContainer.h"

#include <algorithm>
#include <cstddef>
#include <vector>

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
    const auto carriedOut = [&history](unsigned long ruleId) {
        return std::any_of(history.begin(), history.end(), [ruleId](const TxnReminderExecutionDetails& detail) {
            return detail.IsCarriedOut() && detail.GetRuleId() == ruleId;
        });
    };

    const DateType32 today = DateAndTimeToDate(GetMXSystemTime());
    const DateType32 dueDate = GetDueDate();
    // The rules are in the order they fall due: the first one met from the
    // end whose day has come is the latest due. A rule already carried out
    // at or after that point means the invoice waits for the next rule.
    for (auto rule = rules.rbegin(); rule != rules.rend(); ++rule) {
        if (carriedOut(rule->GetRuleId())) return false;
        const TxnReminderRuleCriteria& criteria = rule->GetRuleCriteria();
        const DateType32 triggerDate = criteria.GetSchedule() == TxnReminderRuleCriteria::kScheduleBefore
                                           ? DateSub(dueDate, criteria.GetDays())
                                           : DateAdd(dueDate, criteria.GetDays());
        if (triggerDate <= today) {
            reminder.SetTxnType(FormViewType_Invoice);
            reminder.SetTransactionId(GetTransactionId());
            reminder.SetRuleId(rule->GetRuleId());
            reminder.SetTemplateId(rule->GetRuleTemplate().GetTemplateId());
            return true;
        }
    }
    return false;
}
