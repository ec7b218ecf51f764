#include "StatusText.h"

namespace app {

std::string StatusText(TxnReminderStatusCode status) {
    std::string words;
    switch (status) {
        case TxnReminderStatus_Reset: words = "the operation did not complete"; break;
        case TxnReminderStatus_Success: words = "success"; break;
        case TxnReminderStatus_LoadFailed: words = "the reminder data could not be loaded"; break;
        case TxnReminderStatus_NoTransaction: words = "the company file could not be read or written"; break;
        case TxnReminderStatus_SaveFailed: words = "the record could not be written"; break;
        case TxnReminderStatus_DeleteFailed: words = "the record could not be deleted"; break;
        case TxnReminderStatus_LengthExceeded: words = "a name or description is too long"; break;
        case TxnReminderStatus_GroupMissingOrInUse: words = "the customer group does not exist or is still in use"; break;
        case TxnReminderStatus_Exception: words = "an unexpected error stopped the operation"; break;
        case TxnReminderStatus_NoEmail: words = "a customer has no e-mail address"; break;
        case TxnReminderStatus_StmtHandleFailed: words = "a statement could not be prepared"; break;
        default: words = "unknown status"; break;
    }
    return words + " (status " + std::to_string(static_cast<int>(status)) + ")";
}

} // namespace app
