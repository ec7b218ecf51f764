#include "Host/HostContext.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <stdexcept>
#include <vector>

#include "CompanyFile.h"
#include "Host/CompanyLocation.h"
#include "Host/MessageLoop.h"
#include "Sql.h"
#include "StoredPrefs.h"

namespace Host {

namespace {
struct ArmedFault {
    FaultKind kind;
    int skip;   // hits to let through first
    int times;  // hits that fault after that
};

DateAndTime LocalMoment(std::time_t t) {
    std::tm local{};
    localtime_r(&t, &local);
    DateType32 date(local.tm_mon + 1, local.tm_mday, local.tm_year + 1900);
    return MakeDateAndTime(date, local.tm_hour, local.tm_min, local.tm_sec);
}

// A positive whole number from the environment, with an optional K, M or G
// (binary) suffix; anything else gives the fallback.
std::uintmax_t EnvSize(const char* name, std::uintmax_t fallback, bool allowZero) {
    const char* text = std::getenv(name);
    if (!text || !*text) return fallback;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (end == text || text[0] == '-') return fallback;
    std::uintmax_t scale = 1;
    switch (*end) {
        case 'k': case 'K': scale = 1024; ++end; break;
        case 'm': case 'M': scale = 1024 * 1024; ++end; break;
        case 'g': case 'G': scale = 1024 * 1024 * 1024; ++end; break;
        default: break;
    }
    if (*end != '\0' || (value == 0 && !allowZero)) return fallback;
    return static_cast<std::uintmax_t>(value) * scale;
}

// The company's log: lines are gathered in memory and written whole, a
// batch at a time, so that a busy selection does not pay a system call per
// line; an error line (and closing) writes out everything gathered so far.
// The file is appended to (other processes may share it) and, once a line
// would take it past the limit, moved aside as "<log>.1" (older ones shift
// to ".2" and so on, the oldest dropped), so the logs of a company never
// take more than (kept + 1) x limit bytes.
class LogFile {
public:
    static constexpr std::uintmax_t kDefaultLimit = 10u * 1024 * 1024;
    static constexpr int kDefaultKept = 3;
    static constexpr std::size_t kBatch = 64 * 1024;
    static constexpr std::chrono::seconds kMaxDelay{2};

    explicit LogFile(std::string path)
        : m_path(std::move(path)),
          m_limit(EnvSize("REMINDERS_LOG_MAX_BYTES", kDefaultLimit, false)),
          m_kept(static_cast<int>(std::min<std::uintmax_t>(EnvSize("REMINDERS_LOG_FILES", kDefaultKept, true), 100))) {
        Reopen();
    }
    ~LogFile() {
        Flush();
        if (m_fd >= 0) ::close(m_fd);
    }
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    bool IsOpen() const { return m_fd >= 0; }

    void Write(const std::string& line, bool urgent) {
        const std::uintmax_t size = line.size() + 1;
        if (m_onDisk + m_pending.size() > 0 && m_onDisk + m_pending.size() + size > m_limit) Rotate();
        m_pending += line;
        m_pending += '\n';
        // A long-running process (the daily cycle) still shows its log within
        // seconds, without a write per line.
        const auto now = std::chrono::steady_clock::now();
        if (urgent || m_pending.size() >= kBatch || now - m_lastFlush >= kMaxDelay) Flush();
    }

    void Flush() {
        std::size_t done = 0;
        while (m_fd >= 0 && done < m_pending.size()) {
            const ssize_t n = ::write(m_fd, m_pending.data() + done, m_pending.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;  // a full disk loses log lines, never the operation that wrote them
            done += static_cast<std::size_t>(n);
        }
        m_onDisk += done;
        m_pending.clear();
        m_lastFlush = std::chrono::steady_clock::now();
    }

private:
    void Reopen() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        struct stat st {};
        m_onDisk = m_fd >= 0 && ::fstat(m_fd, &st) == 0 ? static_cast<std::uintmax_t>(st.st_size) : 0;
    }

    void Rotate() {
        Flush();
        // Another process sharing the log may have moved it aside already:
        // then carry on in the file that took its place.
        struct stat byName {}, byHandle {};
        if (m_fd >= 0 && ::fstat(m_fd, &byHandle) == 0 &&
            (::stat(m_path.c_str(), &byName) != 0 || byName.st_ino != byHandle.st_ino)) {
            Reopen();
            if (m_onDisk < m_limit / 2) return;
        }
        if (m_kept == 0) {
            ::unlink(m_path.c_str());
        } else {
            for (int i = m_kept - 1; i >= 1; --i) {
                ::rename((m_path + "." + std::to_string(i)).c_str(), (m_path + "." + std::to_string(i + 1)).c_str());
            }
            ::rename(m_path.c_str(), (m_path + ".1").c_str());
        }
        Reopen();
    }

    std::string m_path;
    std::uintmax_t m_limit;
    int m_kept;
    int m_fd = -1;
    std::uintmax_t m_onDisk = 0;
    std::string m_pending;
    std::chrono::steady_clock::time_point m_lastFlush = std::chrono::steady_clock::now();
};

// Failures are logged at this level and above; they are written at once.
constexpr int kErrorLevel = 4;
} // namespace

struct HostContext::Impl {
    std::shared_ptr<CompanyFile> file;
    std::string lastOpenError;
    int pendingState = 0;

    // The selection asks the time once per invoice: the local time of a
    // second is worked out once.
    std::time_t lastSecond = -1;
    DateAndTime lastMoment{};
    bool clockFixed = false;
    DateAndTime fixedNow = 0;

    std::map<std::string, std::string> memoryPrefs;
    std::map<std::string, std::string> remoteConfig;  // "section\x1fkey"
    std::map<std::string, bool> switches;             // "area\x1fflag"
    std::map<std::pair<int, int>, bool> permissions;
    SystemFlags flags;

    std::map<int, LogSink> sinks;
    int nextSinkId = 1;
    bool echo = false;
    std::unique_ptr<LogFile> logFile;

    std::map<int, TelemetrySink> telemetrySinks;
    std::map<std::string, ArmedFault> faults;
    long faultHits = 0;
    long crashCountdown = 0;  // 0: off
    long busyCount = 0;

    static std::string Key(const std::string& a, const std::string& b) { return a + '\x1f' + b; }
};

HostContext::HostContext() : m_impl(std::make_unique<Impl>()) {}
HostContext::~HostContext() = default;

HostContext& HostContext::Get() {
    static HostContext context;
    return context;
}

// --- company file -------------------------------------------------------------

Util::Status HostContext::OpenCompanyFile(const std::string& path, bool create) {
    CloseCompanyFile();
    try {
        m_impl->file = std::make_shared<CompanyFile>(path, create);
        m_impl->file->SetState(m_impl->pendingState);
        m_impl->lastOpenError.clear();
        auto log = std::make_unique<LogFile>(LogPathOf(path));
        m_impl->logFile = log->IsOpen() ? std::move(log) : nullptr;
        return Util::Status::GetSucceeded();
    } catch (const std::exception& e) {
        m_impl->file.reset();
        m_impl->lastOpenError = e.what();
        return Util::Status::Failure(Util::Status::kNoFile);
    }
}

void HostContext::CloseCompanyFile() {
    m_impl->file.reset();
    m_impl->logFile.reset();
}

Util::Status HostContext::UseCopyInMemory() {
    if (!m_impl->file) return Util::Status::Failure(Util::Status::kNoFile);
    try {
        std::shared_ptr<CompanyFile> copy = CompanyFile::CopyInMemory(*m_impl->file);
        copy->SetState(m_impl->file->GetState());
        m_impl->file->KeepOthersLogOnClose();
        CloseCompanyFile();
        m_impl->file = std::move(copy);
        return Util::Status::GetSucceeded();
    } catch (const std::exception& e) {
        m_impl->lastOpenError = e.what();
        return Util::Status::Failure(Util::Status::kNoFile);
    }
}

CompanyFile* HostContext::File() const { return m_impl->file.get(); }

std::string HostContext::CompanyFilePath() const { return m_impl->file ? m_impl->file->Path() : std::string(); }

void HostContext::SetFileManagerState(int state) {
    m_impl->pendingState = state;
    if (m_impl->file) m_impl->file->SetState(state);
}

int HostContext::FileManagerState() const { return m_impl->file ? m_impl->file->GetState() : m_impl->pendingState; }

std::string HostContext::LastOpenError() const { return m_impl->lastOpenError; }

long HostContext::BusyCount() const { return m_impl->busyCount; }

void HostContext::NoteBusy() { ++m_impl->busyCount; }

// --- clock --------------------------------------------------------------------

DateAndTime HostContext::Now() const {
    if (m_impl->clockFixed) return m_impl->fixedNow;
    const std::time_t t = std::time(nullptr);
    if (t != m_impl->lastSecond) {
        m_impl->lastMoment = LocalMoment(t);
        m_impl->lastSecond = t;
    }
    return m_impl->lastMoment;
}

void HostContext::FixClock(const DateType32& date, int hour, int minute, int second) {
    SetNow(MakeDateAndTime(date, hour, minute, second));
}

void HostContext::SetNow(DateAndTime moment) {
    m_impl->clockFixed = true;
    m_impl->fixedNow = moment;
}

void HostContext::UseSystemClock() { m_impl->clockFixed = false; }

bool HostContext::ClockIsFixed() const { return m_impl->clockFixed; }

void HostContext::AdvanceClock(long seconds) {
    if (!m_impl->clockFixed) throw std::logic_error("AdvanceClock needs a fixed clock");
    m_impl->fixedNow += seconds;
}

// --- preferences ----------------------------------------------------------------

void HostContext::SetPreference(const std::string& key, const std::string& value) {
    if (m_impl->file) {
        StoredPrefs::Write(m_impl->file->Db(), key, value);
    } else {
        m_impl->memoryPrefs[key] = value;
    }
}

std::string HostContext::GetPreference(const std::string& key, const std::string& fallback) const {
    if (m_impl->file) {
        std::string value;
        const Util::Status read = StoredPrefs::Read(m_impl->file->Db(), key, value);
        return read.GetStatusCode() != Util::Status::kRecordNotFound ? value : fallback;
    }
    auto it = m_impl->memoryPrefs.find(key);
    return it == m_impl->memoryPrefs.end() ? fallback : it->second;
}

// --- remote configuration, switches, permissions --------------------------------

void HostContext::SetRemoteConfig(const std::string& section, const std::string& key, const std::string& value) {
    m_impl->remoteConfig[Impl::Key(section, key)] = value;
}

std::string HostContext::GetRemoteConfig(const std::string& section, const std::string& key) const {
    auto it = m_impl->remoteConfig.find(Impl::Key(section, key));
    return it == m_impl->remoteConfig.end() ? std::string() : it->second;
}

void HostContext::SetFeatureSwitch(const std::string& area, const std::string& flag, bool on) {
    m_impl->switches[Impl::Key(area, flag)] = on;
}

bool HostContext::GetFeatureSwitch(const std::string& area, const std::string& flag) const {
    auto it = m_impl->switches.find(Impl::Key(area, flag));
    return it == m_impl->switches.end() ? true : it->second;
}

void HostContext::SetPermission(int feature, int action, bool allowed) {
    m_impl->permissions[{feature, action}] = allowed;
}

bool HostContext::GetPermission(int feature, int action) const {
    auto it = m_impl->permissions.find({feature, action});
    return it == m_impl->permissions.end() ? true : it->second;
}

SystemFlags& HostContext::Flags() { return m_impl->flags; }

// --- diagnostics ----------------------------------------------------------------

int HostContext::AddLogSink(LogSink sink) {
    const int id = m_impl->nextSinkId++;
    m_impl->sinks[id] = std::move(sink);
    return id;
}

void HostContext::RemoveLogSink(int id) {
    m_impl->sinks.erase(id);
}

void HostContext::SetLogEcho(bool toStderrWithoutFile) { m_impl->echo = toStderrWithoutFile; }

void HostContext::Log(const Util::LogRecord& r) {
    if (m_impl->logFile || m_impl->echo) {
        const DateAndTime now = Now();
        const DateType32 day = DateAndTimeToDate(now);
        const long secs = static_cast<long>(now - MakeDateAndTime(day, 0, 0, 0));
        char stamp[96];
        std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02ld:%02ld:%02ld", day.GetYear(), day.GetMonth(),
                      day.GetDay(), secs / 3600, secs / 60 % 60, secs % 60);
        std::string line = std::string(stamp) + " [" + std::to_string(r.level) + "," + std::to_string(r.eventType) +
                           "] " + r.file + ":" + std::to_string(r.line) + " " + r.function + " | " + r.message;
        if (m_impl->logFile) {
            m_impl->logFile->Write(line, r.level >= kErrorLevel);
        } else {
            std::fprintf(stderr, "%s\n", line.c_str());
        }
    }
    for (auto& [id, sink] : m_impl->sinks) sink(r);
}

void HostContext::FlushLog() {
    if (m_impl->logFile) m_impl->logFile->Flush();
}

int HostContext::AddTelemetrySink(TelemetrySink sink) {
    const int id = m_impl->nextSinkId++;
    m_impl->telemetrySinks[id] = std::move(sink);
    return id;
}

void HostContext::RemoveTelemetrySink(int id) {
    m_impl->telemetrySinks.erase(id);
}

void HostContext::Track(int kind, const std::string& text) {
    if (m_impl->file) {
        try {
            Stmt(m_impl->file->Db(), "INSERT INTO telemetry(time, kind, text) VALUES(?1, ?2, ?3)")
                .Bind(1, static_cast<long long>(Now()))
                .Bind(2, kind)
                .Bind(3, text)
                .Run();
        } catch (const SqlError&) {
            // Telemetry never fails the operation that reports it.
        }
    }
    for (auto& [id, sink] : m_impl->telemetrySinks) sink(kind, text);
}

// --- faults ---------------------------------------------------------------------

void HostContext::ArmFault(const std::string& point, FaultKind kind, int nth, int times) {
    m_impl->faults[point] = ArmedFault{kind, nth > 0 ? nth - 1 : 0, times > 0 ? times : 1};
}

void HostContext::ClearFaults() {
    m_impl->faults.clear();
    m_impl->faultHits = 0;
}

void HostContext::ArmCrashAfter(long nth) { m_impl->crashCountdown = nth > 0 ? nth : 0; }

bool HostContext::HitFault(const std::string& point, FaultKind* kind) {
    ++m_impl->faultHits;
    if (m_impl->crashCountdown > 0 && --m_impl->crashCountdown == 0) ::kill(::getpid(), SIGKILL);
    auto it = m_impl->faults.find(point);
    if (it == m_impl->faults.end()) return false;
    ArmedFault& f = it->second;
    if (f.skip > 0) {
        --f.skip;
        return false;
    }
    const FaultKind hit = f.kind;
    if (--f.times == 0) m_impl->faults.erase(it);
    if (kind) *kind = hit;
    if (hit == FaultKind::Throw) throw std::runtime_error("injected fault at " + point);
    if (hit == FaultKind::Kill) ::kill(::getpid(), SIGKILL);
    return true;
}

long HostContext::FaultPointHits() const { return m_impl->faultHits; }

// --- reset ----------------------------------------------------------------------

void HostContext::Reset() {
    CloseCompanyFile();
    auto& impl = *m_impl;
    impl.pendingState = 0;
    impl.clockFixed = false;
    impl.memoryPrefs.clear();
    impl.remoteConfig.clear();
    impl.switches.clear();
    impl.permissions.clear();
    impl.flags = SystemFlags{};
    {
        impl.sinks.clear();
        impl.telemetrySinks.clear();
    }
    impl.echo = false;
    impl.faults.clear();
    impl.faultHits = 0;
    impl.crashCountdown = 0;
    ResetMessaging();
}

bool FaultFails(const char* point) { return HostContext::Get().HitFault(point); }

} // namespace Host
