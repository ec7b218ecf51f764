#include "FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "AppContext.h"

namespace app {

namespace {
// Opens and locks `path`, waiting until `deadline`; returns the descriptor.
int LockFile(const std::string& path, const std::string& companyFile, int timeoutSeconds,
             std::chrono::steady_clock::time_point deadline) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    // Another user's lock file in the shared folder: reading is enough to lock it.
    if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw AppError("company file '" + companyFile + "': the lock file '" + path +
                       "' cannot be opened: " + std::strerror(errno));
    }
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            const int saved = errno;
            ::close(fd);
            throw AppError("company file '" + companyFile + "': the lock file '" + path +
                           "' cannot be locked: " + std::strerror(saved));
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ::close(fd);
            throw AppError("company file '" + companyFile + "' is busy: another program is sending from it (waited " +
                           std::to_string(timeoutSeconds) + " s); nothing was sent, try again");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return fd;
}

std::string TempFolder() {
    const char* env = std::getenv("TMPDIR");
    return env && *env == '/' ? env : "/tmp";
}
} // namespace

bool SendLock::Held() const { return !m_server || m_server->StillHeld(); }

void SendLock::Confirm() const {
    if (m_server && !m_server->StillHeld()) {
        throw AppError("the send lock on the server was lost (its connection ended); stopped before writing more "
                       "messages: those recorded so far stay sent, send again for the rest");
    }
}

SendLock::SendLock(const std::string& companyFile, int timeoutSeconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    if (Host::IsServerLocation(companyFile)) {
        try {
            m_server = Host::ServerLock::Connect(companyFile, "send");
            while (!m_server->TryTake()) {
                if (std::chrono::steady_clock::now() >= deadline) {
                    throw AppError("company '" + Host::DisplayLocation(companyFile) +
                                   "' is busy: another program is sending from it (waited " +
                                   std::to_string(timeoutSeconds) + " s); nothing was sent, try again");
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        } catch (const AppError&) {
            throw;
        } catch (const std::exception& e) {
            throw AppError(e.what());
        }
        return;
    }
    const std::string resolved = Resolve(companyFile);
    // Always in this order, so that two senders never hold one each.
    m_pathFd = LockFile(resolved + ".lock", companyFile, timeoutSeconds, deadline);
    struct stat st {};
    if (::stat(resolved.c_str(), &st) != 0) return;  // opened already; nothing more to tell apart
    const std::string identity = TempFolder() + "/reminders-send-" + std::to_string(st.st_dev) + "-" +
                                 std::to_string(st.st_ino) + ".lock";
    try {
        m_identityFd = LockFile(identity, companyFile, timeoutSeconds, deadline);
    } catch (...) {
        ::close(m_pathFd);
        throw;
    }
}

SendLock::~SendLock() {
    // Closing releases the locks.
    if (m_identityFd >= 0) ::close(m_identityFd);
    if (m_pathFd >= 0) ::close(m_pathFd);
}

std::string SendLock::Resolve(const std::string& companyFile) {
    char buffer[PATH_MAX];
    return ::realpath(companyFile.c_str(), buffer) ? std::string(buffer) : companyFile;
}

bool SendLock::HasSeveralNames(const std::string& companyFile) {
    struct stat st {};
    return ::stat(companyFile.c_str(), &st) == 0 && st.st_nlink > 1;
}

int SendLock::DefaultTimeout() {
    const char* env = std::getenv("REMINDERS_LOCK_TIMEOUT");
    if (env && *env) {
        char* end = nullptr;
        const long v = std::strtol(env, &end, 10);
        if (end && *end == '\0' && v >= 0 && v <= 86400) return static_cast<int>(v);
    }
    return 60;
}

} // namespace app
