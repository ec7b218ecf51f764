#include "Delivery.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <sstream>
#include <thread>

#include "DeliveryRecords.h"
#include "FileLock.h"
#include "Message.h"
#include "Host/HostContext.h"
#include "Sql.h"

namespace app {

namespace {
const char* const kUrlKey = "smtpUrl";
const char* const kUserKey = "smtpUser";
const char* const kStartTlsKey = "smtpStartTls";
const char* const kPasswordFileKey = "smtpPasswordFile";
const char* const kRetryLimitKey = "smtpRetryLimit";
const char* const kRateKey = "smtpRatePerMinute";
const char* const kPasswordVariable = "REMINDERS_SMTP_PASSWORD";

const int kDefaultRetryLimit = 5;
const long long kFirstBackoffSeconds = 300;
const long long kLongestBackoffSeconds = 4 * 3600;

std::string Pref(const char* key, const std::string& fallback = std::string()) {
    return Host::HostContext::Get().GetPreference(key, fallback);
}

bool HasControl(const std::string& s) {
    return std::any_of(s.begin(), s.end(), [](unsigned char c) { return c < 0x20 || c == 0x7F; });
}

int ParseCount(const std::string& name, const std::string& value, int lo, int hi) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || errno != 0 || *end != '\0' || v < lo || v > hi) {
        throw AppError("prefs set " + name + ": expected a number from " + std::to_string(lo) + " to " +
                       std::to_string(hi) + ", got '" + value + "'");
    }
    return static_cast<int>(v);
}

int IntPref(const char* key, int fallback) {
    const std::string v = Pref(key);
    char* end = nullptr;
    const long n = std::strtol(v.c_str(), &end, 10);
    return v.empty() || *end != '\0' ? fallback : static_cast<int>(n);
}

// The private part of a mode: anything but the owner's bits.
void CheckPrivate(const std::string& path, const struct stat& st) {
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        throw AppError("smtp-password-file '" + path + "' may be read by other users (mode " + mode +
                       "); refused: make it private with chmod 600 '" + path + "'");
    }
}

std::string ReadPasswordFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw AppError("smtp-password-file '" + path + "' cannot be read: " + std::strerror(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        throw AppError("smtp-password-file '" + path + "' is not a regular file");
    }
    try {
        CheckPrivate(path, st);
    } catch (...) {
        ::close(fd);
        throw;
    }
    std::string text;
    char buffer[512];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    const std::size_t end = text.find_first_of("\r\n");
    if (end != std::string::npos) text.resize(end);
    return text;
}

std::string LocalTime(long long seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    ::localtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

std::string OutboxOf(const AppContext& ctx, const std::string& outbox) {
    return outbox.empty() ? ctx.Dir() + "/outbox" : outbox;
}

std::vector<std::string> Messages(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return names;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name.size() > 4 && name[0] != '.' && name.compare(name.size() - 4, 4, ".eml") == 0) names.push_back(name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

bool ReadFile(const std::string& path, std::string& out) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    out.clear();
    char buffer[16384];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    return n == 0;
}

std::string Join(const std::vector<std::string>& parts) {
    std::string out;
    for (const auto& p : parts) out += (out.empty() ? "" : ", ") + p;
    return out;
}

long long Backoff(int attempts) {
    long long wait = kFirstBackoffSeconds;
    for (int i = 1; i < attempts && wait < kLongestBackoffSeconds; ++i) wait *= 2;
    return std::min(wait, kLongestBackoffSeconds);
}

std::string Plural(int n, const char* noun) { return std::to_string(n) + " " + noun + (n == 1 ? "" : "s"); }
} // namespace

std::vector<SmtpPrefRow> SmtpPrefRows(bool asStored) {
    const std::string url = Pref(kUrlKey);
    const std::string rate = Pref(kRateKey, "0");
    return {
        {"smtp-url", url.empty() && !asStored ? "(not set)" : url,
         "smtp://host:port or smtps://host:port: deliver the outbox there ('': keep it)"},
        {"smtp-user", Pref(kUserKey), "login name at the mail server (the password: $REMINDERS_SMTP_PASSWORD)"},
        {"smtp-starttls", Pref(kStartTlsKey, "required"), "required|optional|off: encryption of smtp:// connections"},
        {"smtp-password-file", Pref(kPasswordFileKey), "file holding the password, readable by its owner only"},
        {"smtp-retry-limit", std::to_string(IntPref(kRetryLimitKey, kDefaultRetryLimit)),
         "1..100: tries of a temporarily refused message before it counts as failed"},
        {"smtp-rate", rate == "0" && !asStored ? "0 (no limit)" : rate, "0..100000: messages per minute at most"},
    };
}

bool SetSmtpPref(const std::string& name, const std::string& value) {
    auto& host = Host::HostContext::Get();
    std::string stored = value;
    const char* key = nullptr;
    if (name == "smtp-url") {
        key = kUrlKey;
        if (!value.empty()) {
            const bool plain = value.rfind("smtp://", 0) == 0, secure = value.rfind("smtps://", 0) == 0;
            const std::size_t start = plain ? 7 : 8;
            const std::string authority = value.substr(start, value.find('/', start) - start);
            if ((!plain && !secure) || authority.empty() || HasControl(value) || value.find(' ') != std::string::npos) {
                throw AppError("prefs set smtp-url: expected smtp://host:port or smtps://host:port, got '" + value +
                               "'");
            }
            // Keeps a password out of the company file: it would sit there in clear.
            if (authority.find('@') != std::string::npos) {
                throw AppError(
                    "prefs set smtp-url: the address must not carry a login; set smtp-user, and the "
                    "password in $REMINDERS_SMTP_PASSWORD or smtp-password-file");
            }
        }
    } else if (name == "smtp-user") {
        key = kUserKey;
        if (HasControl(value)) throw AppError("prefs set smtp-user: the name must not hold control characters");
    } else if (name == "smtp-starttls") {
        key = kStartTlsKey;
        if (value != "required" && value != "optional" && value != "off") {
            throw AppError("prefs set smtp-starttls: expected required, optional or off, got '" + value + "'");
        }
    } else if (name == "smtp-password-file") {
        key = kPasswordFileKey;
        if (!value.empty()) {
            struct stat st {};
            if (::stat(value.c_str(), &st) != 0) {
                throw AppError("prefs set smtp-password-file: '" + value +
                               "' cannot be found: " + std::strerror(errno));
            }
            CheckPrivate(value, st);
        }
    } else if (name == "smtp-retry-limit") {
        key = kRetryLimitKey;
        stored = std::to_string(ParseCount(name, value, 1, 100));
    } else if (name == "smtp-rate") {
        key = kRateKey;
        stored = std::to_string(ParseCount(name, value, 0, 100000));
    } else {
        return false;
    }
    host.SetPreference(key, stored);
    return true;
}

bool SmtpConfigured() { return !Pref(kUrlKey).empty(); }

SmtpSettings LoadSmtpSettings() {
    SmtpSettings s;
    s.url = Pref(kUrlKey);
    if (s.url.empty()) {
        throw AppError(
            "mail delivery is not set up: set the server with 'reminders prefs set smtp-url "
            "smtp://host:port' (the outbox keeps the messages meanwhile)");
    }
    s.user = Pref(kUserKey);
    const std::string tls = Pref(kStartTlsKey, "required");
    s.startTls = tls == "off" ? StartTls::Off : tls == "optional" ? StartTls::Optional : StartTls::Required;
    if (const char* t = std::getenv("REMINDERS_SMTP_TIMEOUT")) {
        const long v = std::atol(t);
        if (v > 0 && v <= 3600) s.timeoutSeconds = v;
    }
    const char* env = std::getenv(kPasswordVariable);
    if (env && *env) {
        s.password = env;
    } else if (!Pref(kPasswordFileKey).empty()) {
        s.password = ReadPasswordFile(Pref(kPasswordFileKey));
    }
    if (!s.user.empty() && s.password.empty()) {
        throw AppError("smtp-user is set but there is no password: set $REMINDERS_SMTP_PASSWORD or smtp-password-file");
    }
    return s;
}

DeliverSummary Deliver(const AppContext& ctx, const DeliverOptions& options) {
    const SmtpSettings settings = LoadSmtpSettings();
    const std::string outbox = OutboxOf(ctx, options.outbox);
    // The lock `send` takes: two deliverers never hold the same queue at once,
    // and a sender never hands over a half-written batch.
    const SendLock lock(Host::HostContext::Get().CompanyFilePath(), SendLock::DefaultTimeout());
    auto records = Host::LoadDeliveryRecords();
    const long long now = static_cast<long long>(std::time(nullptr));
    std::vector<std::string> pending;
    int waiting = 0;
    for (const auto& name : Messages(outbox)) {
        auto it = records.find(name);
        if (it == records.end()) {
            pending.push_back(name);
        } else if (it->second.state == "deferred") {
            if (options.retryNow || it->second.nextTry <= now)
                pending.push_back(name);
            else
                ++waiting;
        }
    }
    DeliverSummary summary;
    if (pending.empty()) {
        if (!options.quiet) {
            std::cout << "Nothing to deliver"
                      << (waiting ? " now (" + Plural(waiting, "deferred message") + " wait for a later try)" : "")
                      << ".\n";
        }
        return summary;
    }
    const int retryLimit = IntPref(kRetryLimitKey, kDefaultRetryLimit);
    const int rate = IntPref(kRateKey, 0);
    const auto spacing = rate > 0 ? std::chrono::microseconds(60000000LL / rate) : std::chrono::microseconds(0);
    auto nextStart = std::chrono::steady_clock::now();
    const bool progress = !options.quiet && pending.size() > 20 && ::isatty(STDERR_FILENO);
    SmtpSession session(settings);
    int withoutReply = 0;
    for (std::size_t i = 0; i < pending.size(); ++i) {
        // Two tries in a row that got no answer at all: the server is down or
        // unreachable, and the rest would only wait for the same timeout.
        if (withoutReply >= 2) {
            summary.untried = static_cast<int>(pending.size() - i);
            break;
        }
        if (progress) std::cerr << "\rdelivering " << i + 1 << "/" << pending.size() << std::flush;
        const std::string& name = pending[i];
        std::string content;
        if (!ReadFile(outbox + "/" + name, content)) continue; // removed meanwhile: nothing to deliver
        const Envelope env = ReadEnvelope(content);
        Host::DeliveryRecord r;
        auto known = records.find(name);
        if (known != records.end()) r = known->second;
        r.name = name;
        r.messageId = env.messageId;
        r.recipient = Join(env.to);
        SmtpOutcome outcome;
        if (env.from.empty() || env.to.empty()) {
            outcome.kind = SmtpOutcome::Permanent;
            outcome.reply = "not sent: the message has no usable From: or To: address";
        } else {
            if (spacing.count() > 0) {
                std::this_thread::sleep_until(nextStart);
                nextStart = std::chrono::steady_clock::now() + spacing;
            }
            outcome = session.Send(env.from, env.to, content);
        }
        if (outcome.kind == SmtpOutcome::Setup) {
            if (progress) std::cerr << "\n";
            throw AppError("deliver: " + outcome.reply + "; nothing more was sent (" +
                           std::to_string(summary.delivered) + " delivered before, " +
                           Plural(static_cast<int>(pending.size() - i), "message") + " still queued)");
        }
        r.time = static_cast<long long>(std::time(nullptr));
        r.reply = outcome.code ? outcome.reply : "no reply: " + outcome.reply;
        r.nextTry = 0;
        ++r.attempts;
        withoutReply = outcome.kind == SmtpOutcome::Temporary && outcome.code == 0 ? withoutReply + 1 : 0;
        if (outcome.kind == SmtpOutcome::Accepted) {
            r.state = "delivered";
        } else if (outcome.kind == SmtpOutcome::Temporary && r.attempts < retryLimit) {
            r.state = "deferred";
            r.nextTry = r.time + Backoff(r.attempts);
        } else {
            r.state = "failed";
            if (outcome.kind == SmtpOutcome::Temporary)
                r.reply = "gave up after " + Plural(r.attempts, "try") + ": " + r.reply;
        }
        try {
            Host::SaveDeliveryRecord(r);
        } catch (const Host::SqlError& e) {
            if (progress) std::cerr << "\n";
            throw AppError("deliver: " + name + ": the server's answer (" + r.reply +
                           ") could not be recorded in the company file (" + e.what() +
                           "); the next delivery sends it again under the same Message-ID");
        }
        if (r.state == "delivered") {
            ++summary.delivered;
            continue;
        }
        (r.state == "deferred" ? summary.deferred : summary.failed)++;
        if (!options.quiet) {
            if (progress) std::cerr << "\n";
            std::cout << r.state << ": " << name << " to " << r.recipient << ": " << r.reply
                      << (r.state == "deferred" ? " (next try at " + LocalTime(r.nextTry) + ")" : std::string())
                      << "\n";
        }
    }
    if (progress) std::cerr << "\n";
    if (!options.quiet) {
        std::cout << "Delivered " << summary.delivered << ", deferred " << summary.deferred << ", failed "
                  << summary.failed;
        if (summary.untried) std::cout << "; " << summary.untried << " not tried (the server did not answer)";
        if (waiting) std::cout << "; " << Plural(waiting, "deferred message") << " wait for a later try";
        std::cout << ".\n";
    }
    return summary;
}

int DeliverCommand(const AppContext& ctx, const DeliverOptions& options) {
    const DeliverSummary s = Deliver(ctx, options);
    if (s.NotDelivered() == 0) return 0;
    std::cerr << "reminders: deliver: " << Plural(s.NotDelivered(), "message") << " not delivered (" << s.failed
              << " failed, " << s.deferred + s.untried << " to try again; 'reminders outbox' lists them)\n";
    return 1;
}

int DeliverIfConfigured(const AppContext& ctx, const std::string& outbox, bool quiet) {
    if (!SmtpConfigured()) return 0;
    DeliverOptions options;
    options.outbox = outbox;
    options.quiet = quiet;
    try {
        return DeliverCommand(ctx, options) == 0 ? 0 : 1;
    } catch (const AppError& e) {
        std::cerr << "reminders: " << e.what() << "\n";
        return 1;
    }
}

void ShowOutbox(const AppContext& ctx, const std::string& outboxOption) {
    const std::string outbox = OutboxOf(ctx, outboxOption);
    const auto records = Host::LoadDeliveryRecords();
    struct Line {
        std::string name, to, messageId, state, when, reply;
        int attempts = 0;
        long long nextTry = 0;
    };
    std::vector<Line> lines;
    for (const auto& name : Messages(outbox)) {
        Line l;
        l.name = name;
        auto it = records.find(name);
        if (it != records.end()) {
            const auto& r = it->second;
            l.to = r.recipient;
            l.messageId = r.messageId;
            l.state = r.state;
            l.when = LocalTime(r.time);
            l.reply = r.reply;
            l.attempts = r.attempts;
            l.nextTry = r.nextTry;
        } else {
            std::string content;
            ReadFile(outbox + "/" + name, content);
            const Envelope env = ReadEnvelope(content);
            l.to = Join(env.to);
            l.messageId = env.messageId;
            l.state = "queued";
        }
        lines.push_back(l);
    }
    if (ctx.json) {
        nlohmann::ordered_json array = nlohmann::ordered_json::array();
        for (const Line& l : lines) {
            array.push_back({{"message", l.name},
                             {"messageId", l.messageId},
                             {"to", l.to},
                             {"state", l.state},
                             {"attempts", l.attempts},
                             {"time", l.when},
                             {"nextTry", l.nextTry ? LocalTime(l.nextTry) : std::string()},
                             {"reply", l.reply}});
        }
        PrintJson(array);
        return;
    }
    if (lines.empty()) {
        std::cout << "The outbox (" << outbox << ") is empty.\n";
        return;
    }
    Table table({"message", "to", "state", "time", "reply"});
    int counts[4] = {};
    for (const auto& l : lines) {
        std::string reply = l.reply;
        if (l.state == "deferred") reply = "next try at " + LocalTime(l.nextTry) + "; " + reply;
        table.Add({l.name, l.to, l.state, l.when, reply});
        counts[l.state == "queued" ? 0 : l.state == "delivered" ? 1 : l.state == "deferred" ? 2 : 3]++;
    }
    std::cout << table.Render();
    std::cout << counts[0] << " queued, " << counts[1] << " delivered, " << counts[2] << " deferred, " << counts[3]
              << " failed.\n";
}

} // namespace app
