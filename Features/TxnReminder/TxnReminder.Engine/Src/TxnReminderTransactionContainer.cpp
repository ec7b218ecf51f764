#include "TxnReminderTransactionContainer.h"

#include "StatementReminderRule.h"
#include "TxnReminderRule.h"
#include "TxnReminderTargetGroup.h"
#include "TxnSendableReminderContainer.h"

TxnReminderTransactionContainer::TxnReminderTransactionContainer()
    : m_transactionId(0), m_transactionType(static_cast<FormViewType>(0)), m_targetId(0), m_emailIdPresent(false) {}

TxnReminderTransactionContainer::TxnReminderTransactionContainer(unsigned long transactionId,
                                                                 FormViewType transactionType, int targetId)
    : m_transactionId(static_cast<std::uint32_t>(transactionId)),
      m_transactionType(transactionType),
      m_targetId(targetId),
      m_emailIdPresent(false) {}

TxnReminderTransactionContainer::TxnReminderTransactionContainer(const TxnReminderTransactionContainer& other) =
    default;

TxnReminderTransactionContainer& TxnReminderTransactionContainer::operator=(
    const TxnReminderTransactionContainer& other) {
    if (this == &other) return *this;
    m_transactionId = other.m_transactionId;
    m_transactionType = other.m_transactionType;
    m_targetId = other.m_targetId;
    m_emailIdPresent = other.m_emailIdPresent;
    m_executionDetails = other.m_executionDetails;
    return *this;
}

TxnReminderTransactionContainer::~TxnReminderTransactionContainer() {
    m_transactionId = 0;
    m_targetId = 0;
    m_emailIdPresent = false;
    m_executionDetails.clear();
}

unsigned long TxnReminderTransactionContainer::GetTransactionId() { return m_transactionId; }

void TxnReminderTransactionContainer::SetTransactionId(const unsigned long& transactionId) {
    m_transactionId = static_cast<std::uint32_t>(transactionId);
}

FormViewType TxnReminderTransactionContainer::GetTransactionType() { return m_transactionType; }

void TxnReminderTransactionContainer::SetTransactionType(const FormViewType& transactionType) {
    m_transactionType = transactionType;
}

int TxnReminderTransactionContainer::GetTargetId() { return m_targetId; }

void TxnReminderTransactionContainer::SetTargetId(const int& targetId) { m_targetId = targetId; }

bool TxnReminderTransactionContainer::GetEmailIdPresent() { return m_emailIdPresent; }

void TxnReminderTransactionContainer::SetEmailIdPresent(const bool& present) { m_emailIdPresent = present; }

std::vector<TxnReminderExecutionDetails> TxnReminderTransactionContainer::GetExecutionDetailsList() {
    return m_executionDetails;
}

void TxnReminderTransactionContainer::SetExecutionDetailsList(const std::vector<TxnReminderExecutionDetails>& details) {
    if (&details == &m_executionDetails) return;
    m_executionDetails = details;
}

void TxnReminderTransactionContainer::AddExecutionDetail(const TxnReminderExecutionDetails& detail) {
    m_executionDetails.push_back(detail);
}

bool TxnReminderTransactionContainer::IsAcceptableTarget(TxnReminderStatusCode&, TxnReminderTargetGroup) {
    return false;
}

bool TxnReminderTransactionContainer::IsExecutable(TxnReminderStatusCode&, std::vector<TxnReminderRule>&,
                                                   TxnSendableReminderContainer&) {
    return false;
}

bool TxnReminderTransactionContainer::IsApplicable(StatementReminderRule, std::vector<int>) { return false; }
