#pragma once

#include "Messaging/Notify.h"
#include "TxnReminderDefines.h"

// Disarms the prompt timer when the host closes the system. One process-wide
// instance exists while the library is loaded; constructing it registers it
// for the host's close notification.
class TXNREMINDER_API TxnReminderTimerKiller : public CNotify<CNotifyDataCloseSystem> {
public:
    TxnReminderTimerKiller();
    ~TxnReminderTimerKiller() override;

protected:
    void Notify(const CNotifyDataCloseSystem& data) override;
};
