#include "TxnReminderDBFactory.h"

#include <exception>

#include "InvoiceReminderDBHelper.h"
#include "StatementReminderDBHelper.h"

#define TXNR_SOURCE_FILE TXNR_SRC_DIR "TxnReminderDBFactory"

bool TxnReminderDBFactory::GetTxnReminderDbInstance(Util::AutoPtr<TxnReminderDBHelper>& holder, FormViewType view) {
    if (holder) return true;
    try {
        switch (view) {
        case FormViewType_Invoice:
            holder.Reset(new InvoiceReminderDBHelper());
            if (!holder) {
                TXNR_FAILURE("TxnReminder::GetTxnReminderDbInstance:: Invoice Reminder DB Manager is null");
                return false;
            }
            return true;
        case FormViewType_Statement:
            holder.Reset(new StatementReminderDBHelper());
            if (!holder) {
                TXNR_FAILURE("TxnReminder::GetTxnReminderDbInstance:: Statement Reminder DB Manager is null");
                return false;
            }
            return true;
        default:
            TXNR_FAILURE("TxnReminder::GetTxnReminderDbInstance:: Failed to retriev Reminder DB Manager instance");
            return false;
        }
    } catch (const std::exception& e) {
        TXNR_FAILURE("TxnReminder: Unable to get TxnReminder DB instance : %s", e.what());
        return false;
    }
}
