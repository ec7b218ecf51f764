#pragma once

#include "TxnReminderDefines.h"

// The remote switches of the reminder feature, area "PaymentReminders": one
// global switch and eleven item switches. The host's switch service is asked
// once per process; a failing service leaves the feature on, so a broken
// configuration source never takes reminders away from the user.
class TXNREMINDER_API TxnReminderKillSwitchHelper {
public:
    // The global switch. Asked again on every call until one read succeeds.
    static bool IsFeatureEnabled();
    // One item switch; false for every key while the global switch is off.
    static bool IsFeatureEnabled(TxnReminderKillSwitchKey key);

private:
    TxnReminderKillSwitchHelper();
    static bool InitializeKillSwitchLookUPTable();
};
