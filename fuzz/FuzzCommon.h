#pragma once

// Shared by the fuzz targets: JSON text into a tree the way `reminders`
// reads it; text that is not JSON is simply not interesting.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <sstream>
#include <string>

#include "AppContext.h"
#include "Host/HostContext.h"

namespace fuzz {

inline std::optional<boost::property_tree::ptree> ParseJson(const uint8_t* data, size_t size) {
    try {
        return app::FromJson(std::string(reinterpret_cast<const char*>(data), size), "fuzz.json");
    } catch (const app::AppError&) {
        return std::nullopt;
    }
}

// Log lines go nowhere: no company file is open and echo is off.
inline void QuietHost() {
    static const bool once = [] {
        Host::HostContext::Get().SetLogEcho(false);
        return true;
    }();
    (void)once;
}

} // namespace fuzz
