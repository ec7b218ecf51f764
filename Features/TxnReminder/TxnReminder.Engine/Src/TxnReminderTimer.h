#pragma once

#include "Messaging/AppMsg.h"
#include "TxnReminderDefines.h"

// Posted by the host to start the daily prompt cycle. Arms the prompt timer
// when the feature, the host's state, the user's preferences and rights allow
// it and at least one active reminder rule could produce something to send.
// Built on the heap, it belongs to the host's queue.
class TXNREMINDER_API TxnReminderTimer : public SequencedAppMsg {
public:
    TxnReminderTimer();
    TxnReminderTimer(const TxnReminderTimer& other);
    TxnReminderTimer(TxnReminderTimer&& other) noexcept;
    TxnReminderTimer& operator=(const TxnReminderTimer& other);
    TxnReminderTimer& operator=(TxnReminderTimer&& other) noexcept;
    ~TxnReminderTimer() override;

    void ProcessMsg() override;
};
