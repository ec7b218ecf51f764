#pragma once

#include "TxnReminderDBHelper.h"
#include "TxnReminderDefines.h"
#include "Util/AutoPtr.h"

// Creates the storage helper of a transaction view for an engine.
class TXNREMINDER_API TxnReminderDBFactory {
public:
    // Fills an empty holder with the view's helper (invoice 4, statement 101);
    // a holder that already holds one is left as it is. The caller judges
    // success by whether the holder holds a helper afterwards.
    static bool GetTxnReminderDbInstance(Util::AutoPtr<TxnReminderDBHelper>& holder, FormViewType view);
};
