#pragma once

#include <cstdint>

#include "Util/HostApi.h"

// The host tracking service. Only slot 7 (the event tracker) and the tracker's
// slot 8 (one event) are used by features; the rest serve the host itself.
class HOST_API IEventTracker {
public:
    virtual ~IEventTracker();                                                      // 0
    virtual void StartSession() = 0;                                               // 1
    virtual void EndSession() = 0;                                                 // 2
    virtual void TrackPage(const char* page) = 0;                                  // 3
    virtual void TrackError(const char* text) = 0;                                 // 4
    virtual void TrackTiming(const char* name, double seconds) = 0;                // 5
    virtual void SetProperty(const char* key, const char* value) = 0;              // 6
    virtual void Flush() = 0;                                                      // 7
    virtual void TrackEvent(std::int32_t kind, const char* text, int reserved) = 0;  // 8
};

class HOST_API Tracking_FunctionsInterface {
public:
    virtual ~Tracking_FunctionsInterface();                   // 0
    virtual bool Initialize() = 0;                            // 1
    virtual void Shutdown() = 0;                              // 2
    virtual void SetUserId(const char* id) = 0;               // 3
    virtual void SetCompanyId(const char* id) = 0;            // 4
    virtual void Flush() = 0;                                 // 5
    virtual const char* GetSessionId() = 0;                   // 6
    virtual IEventTracker* GetEventTracker() = 0;             // 7
    virtual void* GetPerformanceTracker() = 0;                // 8
    virtual bool IsEnabled() = 0;                             // 9
};
