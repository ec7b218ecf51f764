#pragma once

#include "TxnReminderDBHelper.h"

class InvoiceCandidateList;

// Storage of the invoice view (4): the open-invoice query, the customer list
// for the setup screens and the purge of old execution history.
class TXNREMINDER_API InvoiceReminderDBHelper : public TxnReminderDBHelper {
public:
    InvoiceReminderDBHelper();
    ~InvoiceReminderDBHelper() override;

    bool GetTxnDetailsFromDB(std::vector<std::unique_ptr<TxnReminderTransactionContainer>>& txns) override;  // 12
    bool GetUserDetails(TxnReminderStatusCode& status, boost::property_tree::ptree& tree) override;           // 17
    bool PurgeReminderExecutionHistory() override;                                                            // 19

    // Whether an invoice's reminder history may go: the invoice is paid and
    // was last changed at least the purge interval before today.
    bool IsTransactionEligibleToPurge(unsigned long transactionId);
    // Days a paid invoice's history is kept, from the remote configuration;
    // read once per process, 90 when unset or not a number.
    int GetIntervalForPurgingLogicFromDCE();

    // While set, GetTxnDetailsFromDB delivers the open invoices into `list`
    // as flat rows instead of appending containers: the same reads, failures
    // and lines, for a caller that needs no container per invoice. Null
    // restores the ordinary behaviour.
    void SetCandidateList(InvoiceCandidateList* list) { m_candidateList = list; }

private:
    InvoiceCandidateList* m_candidateList = nullptr;
};
