#include "FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "AppContext.h"

namespace app {

SendLock::SendLock(const std::string& companyFile, int timeoutSeconds) {
    const std::string path = companyFile + ".lock";
    m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_fd < 0) {
        throw AppError("company file '" + companyFile + "': the lock file '" + path +
                       "' cannot be opened: " + std::strerror(errno));
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    while (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            const int saved = errno;
            ::close(m_fd);
            throw AppError("company file '" + companyFile + "': the lock file '" + path +
                           "' cannot be locked: " + std::strerror(saved));
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ::close(m_fd);
            throw AppError("company file '" + companyFile + "' is busy: another program is sending from it (waited " +
                           std::to_string(timeoutSeconds) + " s); nothing was sent, try again");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

SendLock::~SendLock() {
    if (m_fd >= 0) ::close(m_fd);  // closing releases the lock
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
