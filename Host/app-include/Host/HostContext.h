#pragma once

#include <functional>
#include <memory>
#include <string>

#include "Date/DateType32.h"
#include "Util/HostApi.h"
#include "Util/Ops.h"
#include "Util/Status.h"

namespace Host {

class CompanyFile;

// What a fault point does when it is hit.
enum class FaultKind {
    Fail,          // the call reports failure
    Throw,         // the call throws std::runtime_error
    RollbackZero,  // a rollback rolls back but answers 0
    Kill,          // the process kills itself (crash tests)
};

struct SystemFlags {
    bool serverMode = false;
    bool open = true;
    bool closing = false;
    bool multiUser = false;
};

// The one process-wide object through which the application or a test sets
// up the world the engine runs in: the company file, the clock, preferences,
// remote configuration and switches, permissions, state flags, log sinks and
// injected faults. Everything the host layer answers comes from here.
//
// The host is single-threaded: nothing in it (this context, the company
// file's connection and statement cache, the record store, the allocator, the
// factory registry, the message loop) takes a lock. A program that serves
// from several threads, such as the web server, lets one thread at a time
// into the engine and the host and must hold that one lock around every call.
class HOST_API HostContext {
public:
    static HostContext& Get();

    // --- company file -------------------------------------------------------
    // Opens (and with create, makes) a company file; closes any open one first.
    Util::Status OpenCompanyFile(const std::string& path, bool create = false);
    void CloseCompanyFile();
    // Puts a copy in memory of the open company file in its place: whatever
    // runs afterwards reads and writes the copy, and the file is left as it
    // was (its write-ahead log is not folded in either). Nothing is logged
    // beside the file while the copy is open.
    Util::Status UseCopyInMemory();
    CompanyFile* File() const;
    std::string CompanyFilePath() const;
    void SetFileManagerState(int state);
    int FileManagerState() const;
    // A short description of the last open failure, for messages.
    std::string LastOpenError() const;
    // How often SQLite answered "busy" (another program held the file past
    // the wait) since the process started: a failure after one is worded so.
    long BusyCount() const;
    void NoteBusy();

    // --- clock ----------------------------------------------------------------
    DateAndTime Now() const;
    void FixClock(const DateType32& date, int hour = 0, int minute = 0, int second = 0);
    void SetNow(DateAndTime moment);
    void UseSystemClock();
    bool ClockIsFixed() const;
    // Moves a fixed clock forward (timers: see Host::AdvanceAndRun).
    void AdvanceClock(long seconds);

    // --- preferences ----------------------------------------------------------
    // Stored in the open company file; kept in memory when none is open. A
    // file that cannot be read throws (SqlError), so that damage is reported;
    // the engine's own getters (PrefsTag, DBPreferences) never throw.
    void SetPreference(const std::string& key, const std::string& value);
    std::string GetPreference(const std::string& key, const std::string& fallback) const;

    // --- remote configuration, switches, permissions, state -------------------
    void SetRemoteConfig(const std::string& section, const std::string& key, const std::string& value);
    std::string GetRemoteConfig(const std::string& section, const std::string& key) const;
    void SetFeatureSwitch(const std::string& area, const std::string& flag, bool on);
    bool GetFeatureSwitch(const std::string& area, const std::string& flag) const;
    void SetPermission(int feature, int action, bool allowed);
    bool GetPermission(int feature, int action) const;
    SystemFlags& Flags();

    // --- diagnostics ----------------------------------------------------------
    using LogSink = std::function<void(const Util::LogRecord&)>;
    int AddLogSink(LogSink sink);
    void RemoveLogSink(int id);
    // Lines also go to the company's log file (beside it, ".log") or, with no
    // file open, to standard error when echo is on. The file is written in
    // batches: error lines (level 4 and above), FlushLog, closing the
    // company file and the next line after two seconds write out what is
    // pending. It is moved aside to ".log.1"
    // (".log.2", ... for older ones) before it would pass
    // $REMINDERS_LOG_MAX_BYTES (default 10M; K, M, G suffixes), keeping
    // $REMINDERS_LOG_FILES old files (default 3; 0 keeps none). Both are read
    // when the company file opens.
    void SetLogEcho(bool toStderrWithoutFile);
    void Log(const Util::LogRecord& record);
    void FlushLog();

    // Telemetry that reached the default tracker: stored in the open company
    // file (table telemetry) and handed to every sink.
    using TelemetrySink = std::function<void(int kind, const std::string& text)>;
    int AddTelemetrySink(TelemetrySink sink);
    void RemoveTelemetrySink(int id);
    void Track(int kind, const std::string& text);

    // --- faults ---------------------------------------------------------------
    // The nth hit (1 = next) of the point does `kind`, `times` times in a row.
    void ArmFault(const std::string& point, FaultKind kind, int nth = 1, int times = 1);
    void ClearFaults();
    // Called at every fault point; Throw and Kill act here, Fail and
    // RollbackZero are returned for the caller to act on.
    bool HitFault(const std::string& point, FaultKind* kind = nullptr);
    // Count of hits of every point since the last ClearFaults (for crash tests).
    long FaultPointHits() const;
    // Crash tests: the nth hit (1 = next) of any fault point kills the process
    // (SIGKILL, no clean-up), whatever point it is; 0 disarms.
    void ArmCrashAfter(long nth);

    // --- reset ----------------------------------------------------------------
    // Closes the file and puts every setting back to its default.
    void Reset();

private:
    HostContext();
    ~HostContext();
    HostContext(const HostContext&) = delete;
    HostContext& operator=(const HostContext&) = delete;

    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// Fault point helper for host code: true when the call must report failure.
// Throw and Kill faults act inside.
HOST_API bool FaultFails(const char* point);

} // namespace Host
