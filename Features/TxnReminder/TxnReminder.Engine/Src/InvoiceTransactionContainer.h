#pragma once

#include "Date/DateType32.h"
#include "TxnReminderTransactionContainer.h"

// An open invoice under evaluation: whether its customer is addressed by a
// target group and reachable by e-mail, and which rule is due today.
class TXNREMINDER_API InvoiceTransactionContainer : public TxnReminderTransactionContainer {
public:
    InvoiceTransactionContainer();
    InvoiceTransactionContainer(unsigned long transactionId, FormViewType transactionType, int targetId,
                                DateType32 dueDate);
    InvoiceTransactionContainer(const InvoiceTransactionContainer& other);
    InvoiceTransactionContainer& operator=(const InvoiceTransactionContainer& other);
    ~InvoiceTransactionContainer() override;

    // True when the invoice's customer or job, or a customer above it, is a
    // member of the group and the record is not hidden. Records whether an
    // address exists (a job inherits the one above it); without one, a status
    // of 1 becomes 9.
    bool IsAcceptableTarget(TxnReminderStatusCode& status, TxnReminderTargetGroup targetGroup) override;  // 12
    // The latest rule, in the order the rules fall due (they must be sorted),
    // whose day has come, unless it or a rule after it was carried out.
    bool IsExecutable(TxnReminderStatusCode& status, std::vector<TxnReminderRule>& rules,
                      TxnSendableReminderContainer& reminder) override;                                  // 13

    virtual DateType32 GetDueDate();                                                                     // 15
    virtual void SetDueDate(const DateType32& dueDate);                                                  // 16

private:
    DateType32 m_dueDate;
};
