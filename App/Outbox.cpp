#include "Outbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>
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

void ScanPlaceholders(const std::string& text, const std::function<void(const char*, std::size_t)>& literal,
                      const std::function<void(const std::string& key, const std::string& raw)>& placeholder) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t open = text.find("{{", pos);
        if (open == std::string::npos) break;
        const std::size_t close = text.find("}}", open + 2);
        if (close == std::string::npos) break;
        literal(text.data() + pos, open - pos);
        std::string key = text.substr(open + 2, close - open - 2);
        while (!key.empty() && key.front() == ' ') key.erase(0, 1);
        while (!key.empty() && key.back() == ' ') key.pop_back();
        placeholder(key, text.substr(open, close + 2 - open));
        pos = close + 2;
    }
    if (pos < text.size()) literal(text.data() + pos, text.size() - pos);
}

std::string Render(const std::string& text, const Placeholders& values) {
    std::string out;
    ScanPlaceholders(
        text, [&](const char* s, std::size_t n) { out.append(s, n); },
        [&](const std::string& key, const std::string& raw) {
            auto it = values.find(key);
            out += it != values.end() ? it->second : raw;
        });
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

OutboxBatch::OutboxBatch(std::string dir) : m_dir(std::move(dir)) {}

OutboxBatch::~OutboxBatch() {
    for (const Pending& p : m_files) ::unlink(p.temp.c_str());
}

bool OutboxBatch::Add(const std::string& name, const std::string& content) {
    Pending p{m_dir + "/." + name + kTempMark + std::to_string(::getpid()), m_dir + "/" + name};
    if (Host::FaultFails("Outbox.Create")) {
        errno = EIO;
        return false;
    }
    const int fd = ::open(p.temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    // In two halves, so that a crash test can stop the process with half a
    // message on disk.
    const std::size_t half = content.size() / 2;
    bool ok = WriteAll(fd, content.data(), half) && !Host::FaultFails("Outbox.Write") &&
              WriteAll(fd, content.data() + half, content.size() - half);
    const int saved = errno ? errno : EIO;
    ok = ::close(fd) == 0 && ok;
    if (!ok) {
        ::unlink(p.temp.c_str());
        errno = saved;
        return false;
    }
    m_bytes += content.size();
    m_files.push_back(std::move(p));
    return true;
}

std::vector<bool> OutboxBatch::Commit() {
    std::vector<Pending> files = std::move(m_files);
    m_files.clear();
    m_bytes = 0;
    std::vector<bool> ok(files.size(), false);
    if (files.empty()) return ok;
    auto dropAll = [&] {
        for (const Pending& p : files) ::unlink(p.temp.c_str());
        return ok;
    };
    if (Host::FaultFails("Outbox.Sync")) return dropAll();
    // A few files are flushed one by one; many at once by one flush of the
    // file system, which costs about what one file's flush does. Either way
    // nothing is renamed into place before its bytes are on disk.
    const int dirFd = ::open(m_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) return dropAll();
    constexpr std::size_t kFlushOneByOne = 8;
    if (files.size() <= kFlushOneByOne) {
        for (std::size_t i = 0; i < files.size(); ++i) {
            const int fd = ::open(files[i].temp.c_str(), O_RDONLY | O_CLOEXEC);
            ok[i] = fd >= 0 && ::fsync(fd) == 0;
            if (fd >= 0) ::close(fd);
        }
    } else if (::syncfs(dirFd) == 0) {
        ok.assign(files.size(), true);
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (ok[i] && (Host::FaultFails("Outbox.Rename") || ::rename(files[i].temp.c_str(), files[i].final.c_str()) != 0)) {
            ok[i] = false;
        }
        if (!ok[i]) ::unlink(files[i].temp.c_str());
    }
    // Make the renames themselves durable.
    Host::FaultFails("Outbox.SyncFolder");
    ::fsync(dirFd);
    ::close(dirFd);
    return ok;
}

int RemoveStaleTemporaries(const std::string& dir, std::unordered_set<std::string>* others) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return 0;
    int removed = 0;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name.size() > 1 && name[0] == '.' && name.find(kTempMark) != std::string::npos &&
            ::unlink((dir + "/" + name).c_str()) == 0) {
            ++removed;
        } else if (others && name != "." && name != "..") {
            others->insert(name);
        }
    }
    ::closedir(d);
    return removed;
}

} // namespace app
