#include "InvoiceReminderDBHelper.h"

#define TXNR_SOURCE_FILE TXNR_SRC_DIR "InvoiceReminderDBHelper"

InvoiceReminderDBHelper::InvoiceReminderDBHelper() = default;

// The base destructor releases the transaction.
InvoiceReminderDBHelper::~InvoiceReminderDBHelper() = default;

bool InvoiceReminderDBHelper::GetTxnDetailsFromDB(std::vector<std::unique_ptr<TxnReminderTransactionContainer>>&) {
    return false;  // storage arrives with the record store
}

bool InvoiceReminderDBHelper::GetUserDetails(TxnReminderStatusCode&, boost::property_tree::ptree&) {
    return false;  // storage arrives with the record store
}

bool InvoiceReminderDBHelper::PurgeReminderExecutionHistory() {
    return false;  // storage arrives with the record store
}
