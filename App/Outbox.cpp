#include "Outbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "Date/DateType32.h"
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

namespace {
bool IsPlainAscii(const std::string& s) {
    for (unsigned char c : s) {
        if (c >= 0x80 || c < 0x20) return false;
    }
    return true;
}

std::string EncodedWord(const std::string& s) {
    static const char* hex = "0123456789ABCDEF";
    // RFC 2047 Q-encoding, split so that no encoded word passes 75 characters.
    std::string out;
    std::string word;
    auto flush = [&]() {
        if (word.empty()) return;
        if (!out.empty()) out += "\r\n ";
        out += "=?UTF-8?Q?" + word + "?=";
        word.clear();
    };
    for (std::size_t i = 0; i < s.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        std::string piece;
        if (c == ' ') piece = "_";
        else if (c >= 0x21 && c <= 0x7E && c != '=' && c != '?' && c != '_') piece = std::string(1, static_cast<char>(c));
        else {
            piece = "=";
            piece += hex[c >> 4];
            piece += hex[c & 15];
        }
        // Keep a UTF-8 sequence inside one encoded word.
        const bool continuation = (c & 0xC0) == 0x80;
        if (!continuation && word.size() + piece.size() > 60) flush();
        word += piece;
    }
    flush();
    return out;
}

// Headers longer than 78 characters are folded before a blank.
std::string Fold(const std::string& header) {
    if (header.size() <= 78) return header;
    std::string out;
    std::size_t lineLength = 0;
    std::size_t pos = 0;
    while (pos < header.size()) {
        std::size_t next = header.find(' ', pos + 1);
        if (next == std::string::npos) next = header.size();
        const std::size_t wordLength = next - pos;
        if (lineLength > 0 && lineLength + wordLength > 78) {
            out += "\r\n";
            lineLength = 0;
        }
        out.append(header, pos, wordLength);
        lineLength += wordLength;
        pos = next;
    }
    return out;
}

std::string Sanitize(const std::string& s) {
    // No header injection: line breaks in a value become blanks.
    std::string out = s;
    for (char& c : out) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    return out;
}

std::string RfcDate(long long seconds) {
    const DateType32 day = DateAndTimeToDate(seconds);
    const long secs = static_cast<long>(seconds - MakeDateAndTime(day, 0, 0, 0));
    static const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02ld:%02ld:%02ld +0000", kDays[DayOfWeek(day) - 1],
                  day.GetDay(), kMonths[(day.GetMonth() + 11) % 12], day.GetYear(), secs / 3600, secs / 60 % 60,
                  secs % 60);
    return text;
}

std::string CrlfBody(const std::string& body) {
    std::string out;
    for (std::size_t i = 0; i < body.size(); ++i) {
        const char c = body[i];
        if (c == '\r') continue;
        if (c == '\n') out += "\r\n";
        else out += c;
    }
    if (out.size() < 2 || out.compare(out.size() - 2, 2, "\r\n") != 0) out += "\r\n";
    return out;
}
} // namespace

std::string FormatMessage(const OutgoingMessage& m) {
    const std::string subject = Sanitize(m.subject);
    std::string out;
    out += Fold("From: " + Sanitize(m.from)) + "\r\n";
    out += Fold("To: " + Sanitize(m.to)) + "\r\n";
    out += (IsPlainAscii(subject) ? Fold("Subject: " + subject) : "Subject: " + EncodedWord(subject)) + "\r\n";
    out += "Date: " + RfcDate(m.dateSeconds) + "\r\n";
    out += "Message-ID: <" + Sanitize(m.messageId) + ">\r\n";
    out += "MIME-Version: 1.0\r\n";
    out += "Content-Type: text/plain; charset=utf-8\r\n";
    out += "Content-Transfer-Encoding: 8bit\r\n";
    out += "\r\n";
    out += CrlfBody(m.body);
    return out;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool MakeDirectories(const std::string& dir) {
    if (dir.empty() || FileExists(dir)) return true;
    const std::size_t slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MakeDirectories(dir.substr(0, slash))) return false;
    return ::mkdir(dir.c_str(), 0777) == 0 || errno == EEXIST;
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
