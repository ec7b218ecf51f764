#include "Outbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "Host/HostContext.h"

namespace app {

namespace {
const char* const kTempMark = ".tmp";

bool WriteAll(int fd, const char* data, std::size_t size) {
    std::size_t written = 0;
    while (written < size) {
        const ssize_t n = ::write(fd, data + written, size - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    return true;
}
} // namespace

std::string Render(const std::string& text, const Placeholders& values) {
    std::string out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t open = text.find("{{", pos);
        if (open == std::string::npos) break;
        const std::size_t close = text.find("}}", open + 2);
        if (close == std::string::npos) break;
        out.append(text, pos, open - pos);
        std::string key = text.substr(open + 2, close - open - 2);
        while (!key.empty() && key.front() == ' ') key.erase(0, 1);
        while (!key.empty() && key.back() == ' ') key.pop_back();
        auto it = values.find(key);
        if (it != values.end()) out += it->second;
        else out.append(text, open, close + 2 - open);
        pos = close + 2;
    }
    out.append(text, pos, std::string::npos);
    return out;
}

bool FileExists(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
}

// A path that exists as something other than a folder fails here, not at the
// first message written into it.
bool MakeDirectories(const std::string& dir) {
    if (dir.empty()) return true;
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    return !error;
}

// Fault points before each step let the crash tests stop the process between
// any two of them.
bool WriteFileAtomically(const std::string& dir, const std::string& name, const std::string& content) {
    const std::string finalPath = dir + "/" + name;
    const std::string tempPath = dir + "/." + name + kTempMark + std::to_string(::getpid());
    if (Host::FaultFails("Outbox.Create")) {
        errno = EIO;
        return false;
    }
    const int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    auto fail = [&](bool closeFirst) {
        const int saved = errno ? errno : EIO;
        if (closeFirst) ::close(fd);
        ::unlink(tempPath.c_str());
        errno = saved;
        return false;
    };
    // In two halves, so that a crash test can stop the process with half a
    // message on disk.
    const std::size_t half = content.size() / 2;
    if (!WriteAll(fd, content.data(), half)) return fail(true);
    if (Host::FaultFails("Outbox.Write")) return fail(true);
    if (!WriteAll(fd, content.data() + half, content.size() - half)) return fail(true);
    if (Host::FaultFails("Outbox.Sync")) return fail(true);
    if (::fsync(fd) != 0) return fail(true);
    if (::close(fd) != 0) return fail(false);
    if (Host::FaultFails("Outbox.Rename")) return fail(false);
    if (::rename(tempPath.c_str(), finalPath.c_str()) != 0) return fail(false);
    // Make the rename itself durable.
    Host::FaultFails("Outbox.SyncFolder");
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

int RemoveStaleTemporaries(const std::string& dir) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return 0;
    int removed = 0;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name.size() > 1 && name[0] == '.' && name.find(kTempMark) != std::string::npos &&
            ::unlink((dir + "/" + name).c_str()) == 0) {
            ++removed;
        }
    }
    ::closedir(d);
    return removed;
}

} // namespace app
