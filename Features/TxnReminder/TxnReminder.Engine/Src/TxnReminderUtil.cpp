#include "TxnReminderUtil.h"

#include <atomic>
#include <cstdio>

#include "Tracking_Functions.h"

#define TXNR_SOURCE_FILE TXNR_SRC_DIR "TxnReminderUtil"

TxnReminderUtil::TxnReminderUtil() = default;

TxnReminderUtil::TimePoint TxnReminderUtil::StartTracing() {
    return std::chrono::time_point_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now());
}

void TxnReminderUtil::EndTracing(TimePoint start, char* file, char* function) {
    const auto end = std::chrono::time_point_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now());
    const double seconds = static_cast<double>((end - start).count()) / 1e9;
    char text[64];
    std::snprintf(text, sizeof text, "%f", seconds);
    TXNR_MILESTONE("%s - %s execution time=%s", file ? file : "", function ? function : "", text);
}

namespace {
std::atomic<unsigned>& CacheGeneration() {
    static std::atomic<unsigned> generation{0};
    return generation;
}
} // namespace

void TxnReminderUtil::ResetProcessCaches() { ++CacheGeneration(); }

unsigned TxnReminderUtil::ProcessCacheGeneration() { return CacheGeneration().load(); }

void SendTelemetryEvent(std::int32_t kind, const std::string& text) {
    IEventTracker* tracker = Tracking_Functions::Instance().GetEventTracker();
    if (tracker) tracker->TrackEvent(kind, text.c_str(), 0);
}
