#pragma once

#include "Util/HostApi.h"

// The application's reminder e-mail flow: while it is open, statements are
// prepared as reminder e-mail attachments rather than printed. One per
// process.
class HOST_API ReminderEmailStateHandler {
public:
    static ReminderEmailStateHandler* Instance();

    // Opens the flow (fault point "ReminderEmailFlow.Enter", which fails by
    // leaving it closed). Entering an open flow keeps it open with the new
    // settings.
    void EnterReminderEmailFlow(int attachmentType, bool interactive, bool keepAttachments);
    static bool IsReminderEmailFlowEnabled();
    void ExitReminderEmailFlow();

    int GetAttachmentType() const { return m_attachmentType; }
    bool GetInteractive() const { return m_interactive; }
    bool GetKeepAttachments() const { return m_keepAttachments; }
    // How often the flow was opened and closed since the process started.
    long GetEnterCount() const { return m_enterCount; }
    long GetExitCount() const { return m_exitCount; }

private:
    ReminderEmailStateHandler() = default;

    bool m_enabled = false;
    int m_attachmentType = 0;
    bool m_interactive = false;
    bool m_keepAttachments = false;
    long m_enterCount = 0;
    long m_exitCount = 0;
};
