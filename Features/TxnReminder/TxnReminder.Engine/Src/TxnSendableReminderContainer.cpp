#include "TxnSendableReminderContainer.h"

TxnSendableReminderContainer::TxnSendableReminderContainer()
    : m_txnType(static_cast<FormViewType>(0)), m_transactionId(0), m_customerId(0), m_ruleId(0), m_templateId(0) {}

TxnSendableReminderContainer::TxnSendableReminderContainer(const TxnSendableReminderContainer& other) = default;
TxnSendableReminderContainer::TxnSendableReminderContainer(TxnSendableReminderContainer&& other) noexcept = default;
TxnSendableReminderContainer& TxnSendableReminderContainer::operator=(const TxnSendableReminderContainer& other) =
    default;
TxnSendableReminderContainer& TxnSendableReminderContainer::operator=(TxnSendableReminderContainer&& other) noexcept =
    default;
TxnSendableReminderContainer::~TxnSendableReminderContainer() = default;
