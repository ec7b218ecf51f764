#pragma once

#include "TxnReminderDBHelper.h"

// Storage of the statement view (101): statement rules and the per-customer
// execution status of each rule. Statement sets have no invoice rules or
// message templates of their own, so those operations do nothing here.
class TXNREMINDER_API StatementReminderDBHelper : public TxnReminderDBHelper {
public:
    StatementReminderDBHelper();
    ~StatementReminderDBHelper() override;

    bool DeleteReminderSet(TxnReminderStatusCode& status, unsigned long setId) override;                    // 3
    bool DeleteReminderRules(TxnReminderStatusCode& status, std::vector<unsigned long>& ruleIds) override;  // 4
    bool DeleteRule(TxnReminderStatusCode& status, unsigned long ruleId) override;                          // 7
    bool CreateRuleTemplateType(long typeId) override;                                                      // 13
    bool GetAllStatementRulesForReminderSet(std::vector<StatementReminderRule>& rules,
                                            unsigned long setId) override;                                  // 20
    bool AddReminderExecutionDetails(unsigned long ruleId, int customerId,
                                     ReminderExecutionStatus executionStatus) override;                     // 24
    bool UpdateReminderExecutionStatusForSTMT(unsigned long ruleId, int customerId,
                                              ReminderExecutionStatus executionStatus) override;            // 25
    bool DeleteReminderExecutionDetailsForRule(unsigned long ruleId) override;                              // 26
    bool DeleteReminderExecutionDetail(unsigned long ruleId, int customerId) override;                      // 27
    bool GetCustomersForGivenExecutionStatusForSTMT(std::vector<int>& customerIds, unsigned long ruleId,
                                                    ReminderExecutionStatus executionStatus) override;      // 28
    bool GetCustomersStatusForGivenRule(unsigned long ruleId,
                                        std::vector<DBStmtReminderExecutionStatus>& records) override;      // 29
    bool SaveStmtRule(StatementReminderRule& rule) override;                                                // 30

private:
    // Adds (or, with update, rewrites) one customer's status for a rule as
    // its own unit of work; the lines are the calling operation's.
    bool WriteExecutionStatus(const LogSite& site, bool update, unsigned long ruleId, int customerId,
                              ReminderExecutionStatus executionStatus, const char* missingLine,
                              const WriteFailure& failure);
};
