#pragma once

#include <cstdint>

#include "TxnReminderDefines.h"

// One entry of an invoice's reminder history: which rule's reminder went out
// for which transaction, and how it ended. Ids are 32-bit; wider values keep
// their low 32 bits.
class TXNREMINDER_API TxnReminderExecutionDetails {
public:
    TxnReminderExecutionDetails();
    TxnReminderExecutionDetails(unsigned long transactionId, FormViewType transactionType, unsigned long ruleId,
                                TxnReminderExecutionStatus executionStatus);

    unsigned long GetTransactionId() const { return m_transactionId; }
    void SetTransactionId(const unsigned long& transactionId) {
        m_transactionId = static_cast<std::uint32_t>(transactionId);
    }
    FormViewType GetTransactionType() const { return m_transactionType; }
    void SetTransactionType(const FormViewType& transactionType) { m_transactionType = transactionType; }
    unsigned long GetRuleId() const { return m_ruleId; }
    void SetRuleId(const unsigned long& ruleId) { m_ruleId = static_cast<std::uint32_t>(ruleId); }
    TxnReminderExecutionStatus GetExecutionStatus() const { return m_executionStatus; }
    void SetExecutionStatus(const TxnReminderExecutionStatus& status) { m_executionStatus = status; }

    // Statuses 1 and 2: the reminder was carried out, so its rule is done for
    // this transaction.
    bool IsCarriedOut() const;

private:
    std::int32_t m_reserved1;
    std::uint32_t m_transactionId;
    FormViewType m_transactionType;
    std::uint32_t m_ruleId;
    TxnReminderExecutionStatus m_executionStatus;
    std::int32_t m_reserved2;
};
