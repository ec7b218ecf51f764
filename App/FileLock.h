#pragma once

#include <string>

namespace app {

// An advisory lock (flock) on "<company file>.lock": the programs that send
// from one company file take it for the whole of a send, so two of them
// never pick the same due reminders. Waits up to `timeoutSeconds`, then
// throws AppError saying the file is busy. Released when destroyed (and by
// the kernel when the process dies, so a crashed sender never blocks the
// next one).
class SendLock {
public:
    SendLock(const std::string& companyFile, int timeoutSeconds);
    ~SendLock();
    SendLock(const SendLock&) = delete;
    SendLock& operator=(const SendLock&) = delete;

    // Seconds to wait: $REMINDERS_LOCK_TIMEOUT, else 60.
    static int DefaultTimeout();

private:
    int m_fd = -1;
};

} // namespace app
