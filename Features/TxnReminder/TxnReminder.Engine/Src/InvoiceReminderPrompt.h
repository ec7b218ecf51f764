#pragma once

#include "Messaging/AppMsg.h"
#include "TxnReminderDefines.h"

// Queued when the prompt timer fires. When invoice or statement reminders are
// due it asks the user, through the host's prompt module, to review or send
// them now; whatever happens it stores the next prompt day and re-arms the
// timer. Built on the heap only, it belongs to the host's queue.
class TXNREMINDER_API InvoiceReminderPrompt : public SequencedAppMsg {
public:
    InvoiceReminderPrompt();
    ~InvoiceReminderPrompt() override;

    void ProcessMsg() override;

private:
    // Loads the prompt module, shows the prompt and carries out the user's
    // choice. The module is released on every path, also when this throws.
    static void LaunchPrompt();

    // Lets the prompt tests drive the module half without a due reminder.
    friend class InvoiceReminderPromptTestAccess;
};
