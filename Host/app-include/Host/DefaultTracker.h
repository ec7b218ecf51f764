#pragma once

#include "Util/HostApi.h"

namespace Host {

// The key and module under which the tracking service's factory is found.
constexpr const char* kTrackingFactoryKey = "Tracking_Functions::CTOR()::80be2cd9-2de3-42ad-ac54-cc6b9970df17";
constexpr const char* kTrackingModule = "TRACKING.dll";

// Registers the host's own tracking service: every event goes to
// HostContext::Track (stored in the company file, handed to sinks).
HOST_API void RegisterDefaultTracker();
HOST_API void UnregisterDefaultTracker();

} // namespace Host
