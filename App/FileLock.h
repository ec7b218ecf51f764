#pragma once

#include <memory>
#include <string>

#include "Host/CompanyLocation.h"

namespace app {

// An advisory lock (flock) that the programs sending from one company file
// take for the whole of a send, so that two of them never pick the same due
// reminders. It follows the file, not the name it was reached by: one lock
// on "<resolved company file>.lock" (a symbolic link leads to the same one)
// and one named after the file's device and inode in the temporary folder (a
// second hard link leads to the same one). Waits up to `timeoutSeconds`,
// then throws AppError saying the file is busy. Released when destroyed (and
// by the kernel when the process dies, so a crashed sender never blocks the
// next one). A company on a server is locked on the server instead, for all
// the machines that reach it, on the company's own connection (it must be
// open): a batch of records commits only while that lock is still held.
class SendLock {
public:
    SendLock(const std::string& companyFile, int timeoutSeconds);
    ~SendLock();
    SendLock(const SendLock&) = delete;
    SendLock& operator=(const SendLock&) = delete;

    // Throws AppError when the lock has been lost, which only a lock on a
    // server can be (its connection ended): a sender asks before it lets
    // more messages out. A loss after the answer still stops the records
    // that follow from being committed.
    void Confirm() const;
    // Whether the lock is still held, without throwing (a lock file always is).
    bool Held() const;

    // Seconds to wait: $REMINDERS_LOCK_TIMEOUT, else 60.
    static int DefaultTimeout();
    // The company file's path with every symbolic link resolved; the path
    // itself when it cannot be resolved.
    static std::string Resolve(const std::string& companyFile);
    // Whether the file has more than one name (hard links).
    static bool HasSeveralNames(const std::string& companyFile);

private:
    int m_pathFd = -1;
    int m_identityFd = -1;
    std::unique_ptr<Host::ServerLock> m_server;
};

} // namespace app
