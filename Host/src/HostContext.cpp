#include "Host/HostContext.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "CompanyFile.h"
#include "Host/MessageLoop.h"
#include "Sql.h"

namespace Host {

namespace {
struct ArmedFault {
    FaultKind kind;
    int skip;   // hits to let through first
    int times;  // hits that fault after that
};

DateAndTime SystemNow() {
    const std::time_t t = std::time(nullptr);
    std::tm local{};
    localtime_r(&t, &local);
    DateType32 date(local.tm_mon + 1, local.tm_mday, local.tm_year + 1900);
    return MakeDateAndTime(date, local.tm_hour, local.tm_min, local.tm_sec);
}
} // namespace

struct HostContext::Impl {
    std::shared_ptr<CompanyFile> file;
    std::string lastOpenError;
    int pendingState = 0;

    bool clockFixed = false;
    DateAndTime fixedNow = 0;

    std::map<std::string, std::string> memoryPrefs;
    std::map<std::string, std::string> remoteConfig;  // "section\x1fkey"
    std::map<std::string, bool> switches;             // "area\x1fflag"
    std::map<std::pair<int, int>, bool> permissions;
    SystemFlags flags;

    std::mutex logMutex;
    std::map<int, LogSink> sinks;
    int nextSinkId = 1;
    bool echo = false;
    std::unique_ptr<std::ofstream> logFile;

    std::map<int, TelemetrySink> telemetrySinks;
    std::map<std::string, ArmedFault> faults;
    long faultHits = 0;
    long crashCountdown = 0;  // 0: off
    std::atomic<long> busyCount{0};

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
        m_impl->logFile = std::make_unique<std::ofstream>(path + ".log", std::ios::app);
        if (!*m_impl->logFile) m_impl->logFile.reset();
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

CompanyFile* HostContext::File() const { return m_impl->file.get(); }

std::string HostContext::CompanyFilePath() const { return m_impl->file ? m_impl->file->Path() : std::string(); }

void HostContext::SetFileManagerState(int state) {
    m_impl->pendingState = state;
    if (m_impl->file) m_impl->file->SetState(state);
}

int HostContext::FileManagerState() const { return m_impl->file ? m_impl->file->GetState() : m_impl->pendingState; }

std::string HostContext::LastOpenError() const { return m_impl->lastOpenError; }

long HostContext::BusyCount() const { return m_impl->busyCount.load(); }

void HostContext::NoteBusy() { ++m_impl->busyCount; }

// --- clock --------------------------------------------------------------------

DateAndTime HostContext::Now() const { return m_impl->clockFixed ? m_impl->fixedNow : SystemNow(); }

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
        Stmt(m_impl->file->Db(), "INSERT INTO preferences(key, value) VALUES(?1, ?2) "
                                 "ON CONFLICT(key) DO UPDATE SET value = excluded.value")
            .Bind(1, key)
            .Bind(2, value)
            .Run();
    } else {
        m_impl->memoryPrefs[key] = value;
    }
}

std::string HostContext::GetPreference(const std::string& key, const std::string& fallback) const {
    if (m_impl->file) {
        Stmt read(m_impl->file->Db(), "SELECT value FROM preferences WHERE key = ?1");
        read.Bind(1, key);
        return read.Step() ? read.Text(0) : fallback;
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
    std::lock_guard<std::mutex> lock(m_impl->logMutex);
    const int id = m_impl->nextSinkId++;
    m_impl->sinks[id] = std::move(sink);
    return id;
}

void HostContext::RemoveLogSink(int id) {
    std::lock_guard<std::mutex> lock(m_impl->logMutex);
    m_impl->sinks.erase(id);
}

void HostContext::SetLogEcho(bool toStderrWithoutFile) { m_impl->echo = toStderrWithoutFile; }

void HostContext::Log(const Util::LogRecord& r) {
    std::lock_guard<std::mutex> lock(m_impl->logMutex);
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
            *m_impl->logFile << line << '\n';
            m_impl->logFile->flush();
        } else {
            std::fprintf(stderr, "%s\n", line.c_str());
        }
    }
    for (auto& [id, sink] : m_impl->sinks) sink(r);
}

int HostContext::AddTelemetrySink(TelemetrySink sink) {
    std::lock_guard<std::mutex> lock(m_impl->logMutex);
    const int id = m_impl->nextSinkId++;
    m_impl->telemetrySinks[id] = std::move(sink);
    return id;
}

void HostContext::RemoveTelemetrySink(int id) {
    std::lock_guard<std::mutex> lock(m_impl->logMutex);
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
    std::lock_guard<std::mutex> lock(m_impl->logMutex);
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
        std::lock_guard<std::mutex> lock(impl.logMutex);
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
