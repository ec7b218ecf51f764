#pragma once

#include <cstdint>

#include "TxnReminderDefines.h"

// One reminder to send, as the engine hands it to the host. Every field is
// 32-bit; wider values keep their low 32 bits.
class TXNREMINDER_API TxnSendableReminderContainer {
public:
    TxnSendableReminderContainer();
    TxnSendableReminderContainer(const TxnSendableReminderContainer& other);
    TxnSendableReminderContainer(TxnSendableReminderContainer&& other) noexcept;
    TxnSendableReminderContainer& operator=(const TxnSendableReminderContainer& other);
    TxnSendableReminderContainer& operator=(TxnSendableReminderContainer&& other) noexcept;
    ~TxnSendableReminderContainer();

    FormViewType GetTxnType() const { return m_txnType; }
    void SetTxnType(const FormViewType& txnType) { m_txnType = txnType; }
    unsigned long GetTransactionId() const { return m_transactionId; }
    void SetTransactionId(const unsigned long& transactionId) {
        m_transactionId = static_cast<std::uint32_t>(transactionId);
    }
    int GetCustomerId() const { return m_customerId; }
    void SetCustomerId(const int& customerId) { m_customerId = customerId; }
    unsigned long GetRuleId() const { return m_ruleId; }
    void SetRuleId(const unsigned long& ruleId) { m_ruleId = static_cast<std::uint32_t>(ruleId); }
    long GetTemplateId() const { return m_templateId; }
    void SetTemplateId(const long& templateId) { m_templateId = static_cast<std::int32_t>(templateId); }

private:
    FormViewType m_txnType;
    std::uint32_t m_transactionId;
    std::int32_t m_customerId;
    std::uint32_t m_ruleId;
    std::int32_t m_templateId;
};
