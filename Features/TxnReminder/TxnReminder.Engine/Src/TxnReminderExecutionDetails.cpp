#include "TxnReminderExecutionDetails.h"

TxnReminderExecutionDetails::TxnReminderExecutionDetails()
    : m_reserved1(0),
      m_transactionId(0),
      m_transactionType(static_cast<FormViewType>(0)),
      m_ruleId(0),
      m_executionStatus(static_cast<TxnReminderExecutionStatus>(-1)),
      m_reserved2(0) {}

TxnReminderExecutionDetails::TxnReminderExecutionDetails(unsigned long transactionId, FormViewType transactionType,
                                                         unsigned long ruleId,
                                                         TxnReminderExecutionStatus executionStatus)
    : m_reserved1(0),
      m_transactionId(static_cast<std::uint32_t>(transactionId)),
      m_transactionType(transactionType),
      m_ruleId(static_cast<std::uint32_t>(ruleId)),
      m_executionStatus(executionStatus),
      m_reserved2(0) {}

bool TxnReminderExecutionDetails::IsCarriedOut() const {
    return m_executionStatus == TxnReminderExecutionStatus_Sent ||
           m_executionStatus == TxnReminderExecutionStatus_SentManually;
}
