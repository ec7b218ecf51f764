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

    // The open invoices as flat rows, into `rows`: the reads, failures and
    // lines of GetTxnDetailsFromDB without a container per invoice.
    bool LoadSelectionCandidates(InvoiceCandidateList& rows,
                                 std::vector<std::unique_ptr<TxnReminderTransactionContainer>>& txns) override;  // 33

private:
    // The open invoices (ascending distinct transaction id) and the invoice
    // history, as GetTxnDetailsFromDB reads them; false after logging.
    struct OpenInvoices;
    bool ReadOpenInvoices(OpenInvoices& read);
};
