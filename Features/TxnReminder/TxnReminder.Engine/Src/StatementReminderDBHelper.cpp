#include "StatementReminderDBHelper.h"

#define TXNR_SOURCE_FILE TXNR_SRC_DIR "StatementReminderDBHelper"

StatementReminderDBHelper::StatementReminderDBHelper() = default;

// The base destructor releases the transaction.
StatementReminderDBHelper::~StatementReminderDBHelper() = default;

bool StatementReminderDBHelper::DeleteReminderRules(TxnReminderStatusCode&, std::vector<unsigned long>&) {
    // Statement rules go with their set or one by one; there is no batch.
    return true;
}

bool StatementReminderDBHelper::CreateRuleTemplateType(long) {
    // Statements use the host's own statement templates.
    return true;
}

bool StatementReminderDBHelper::DeleteReminderSet(TxnReminderStatusCode&, unsigned long) {
    return false;  // storage arrives with the record store
}

bool StatementReminderDBHelper::DeleteRule(TxnReminderStatusCode&, unsigned long) {
    return false;  // storage arrives with the record store
}

bool StatementReminderDBHelper::GetAllStatementRulesForReminderSet(std::vector<StatementReminderRule>&,
                                                                   unsigned long) {
    return false;  // storage arrives with the record store
}

bool StatementReminderDBHelper::AddReminderExecutionDetails(unsigned long, int, ReminderExecutionStatus) {
    return false;  // storage arrives with the record store
}

bool StatementReminderDBHelper::UpdateReminderExecutionStatusForSTMT(unsigned long, int, ReminderExecutionStatus) {
    return false;  // storage arrives with the record store
}

bool StatementReminderDBHelper::DeleteReminderExecutionDetailsForRule(unsigned long) {
    return false;  // storage arrives with the record store
}

bool StatementReminderDBHelper::DeleteReminderExecutionDetail(unsigned long, int) {
    return false;  // storage arrives with the record store
}

bool StatementReminderDBHelper::GetCustomersForGivenExecutionStatusForSTMT(std::vector<int>&, unsigned long,
                                                                           ReminderExecutionStatus) {
    return false;  // storage arrives with the record store
}

bool StatementReminderDBHelper::GetCustomersStatusForGivenRule(unsigned long,
                                                               std::vector<DBStmtReminderExecutionStatus>&) {
    return false;  // storage arrives with the record store
}

bool StatementReminderDBHelper::SaveStmtRule(StatementReminderRule&) {
    return false;  // storage arrives with the record store
}
