#pragma once

#include <cstdint>
#include <vector>

#include "TxnReminderDefines.h"
#include "TxnReminderExecutionDetails.h"

class TxnReminderRule;
class TxnReminderTargetGroup;
class TxnSendableReminderContainer;
class StatementReminderRule;

// One transaction under evaluation for a reminder: which transaction, whose,
// and the reminders already recorded for it. The decisions belong to the
// view-specific containers; here they all answer no, so the base only
// carries data. The order of the virtual operations is part of the exported
// interface.
class TXNREMINDER_API TxnReminderTransactionContainer {
public:
    TxnReminderTransactionContainer();
    TxnReminderTransactionContainer(unsigned long transactionId, FormViewType transactionType, int targetId);
    TxnReminderTransactionContainer(const TxnReminderTransactionContainer& other);
    TxnReminderTransactionContainer& operator=(const TxnReminderTransactionContainer& other);

    virtual ~TxnReminderTransactionContainer();                                                            // 0
    virtual unsigned long GetTransactionId();                                                              // 1
    virtual void SetTransactionId(const unsigned long& transactionId);                                     // 2
    virtual FormViewType GetTransactionType();                                                             // 3
    virtual void SetTransactionType(const FormViewType& transactionType);                                  // 4
    virtual int GetTargetId();                                                                             // 5
    virtual void SetTargetId(const int& targetId);                                                         // 6
    virtual bool GetEmailIdPresent();                                                                      // 7
    virtual void SetEmailIdPresent(const bool& present);                                                   // 8
    virtual std::vector<TxnReminderExecutionDetails> GetExecutionDetailsList();                            // 9
    virtual void SetExecutionDetailsList(const std::vector<TxnReminderExecutionDetails>& details);         // 10
    virtual void AddExecutionDetail(const TxnReminderExecutionDetails& detail);                            // 11
    virtual bool IsAcceptableTarget(TxnReminderStatusCode& status, TxnReminderTargetGroup targetGroup);    // 12
    virtual bool IsExecutable(TxnReminderStatusCode& status, std::vector<TxnReminderRule>& rules,
                              TxnSendableReminderContainer& reminder);                                     // 13
    virtual bool IsApplicable(StatementReminderRule rule, std::vector<int> customerIds);                   // 14

protected:
    // The history without a copy, for the decisions of derived containers.
    const std::vector<TxnReminderExecutionDetails>& ExecutionDetails() const { return m_executionDetails; }

private:
    std::uint32_t m_transactionId;
    FormViewType m_transactionType;
    int m_targetId;
    bool m_emailIdPresent;
    std::vector<TxnReminderExecutionDetails> m_executionDetails;
};
