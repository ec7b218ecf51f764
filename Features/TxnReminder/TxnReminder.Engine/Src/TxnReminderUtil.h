#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "TxnReminderDefines.h"

// "Class::Method" of the enclosing function, for the entry and exit lines
// ("TxnReminder::Entering %s"). Only within the arguments of the engine's log
// macros (TXNR_TRACE and the like): they work the name out once per site,
// not on every call.
#define TXNR_FUNCTION_NAME (txnr_function_.c_str())

// Execution-time tracing and telemetry for every part of the engine.
class TXNREMINDER_API TxnReminderUtil {
public:
    using TimePoint = std::chrono::time_point<std::chrono::steady_clock, std::chrono::nanoseconds>;

    static TimePoint StartTracing();
    // Logs "<file> - <function> execution time=<seconds, six decimals>" at (0, 6).
    static void EndTracing(TimePoint start, char* file, char* function);

    // The values taken once per process (feature switches, initial timer
    // delay, purge interval, tracking proxy) are taken again on their next
    // use after this: for a host that reloads its configuration, and for a
    // test process that runs many cases, each with a host of its own.
    static void ResetProcessCaches();
    // Changes on every reset; a cache taken under another value is stale.
    static unsigned ProcessCacheGeneration();

private:
    TxnReminderUtil();
};

// Sends one event to the host's tracking service through the process-wide
// proxy. Throws std::exception with the proxy's texts when no tracker can be
// created; the calling operation's own handling applies.
TXNREMINDER_API void SendTelemetryEvent(std::int32_t kind, const std::string& text);
