#pragma once

// Shared by the fuzz targets: JSON text into a tree the way `reminders`
// reads it; text that is not JSON is simply not interesting.

#include <boost/property_tree/json_parser.hpp>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <sstream>
#include <string>

#include "Host/HostContext.h"

namespace fuzz {

inline std::optional<boost::property_tree::ptree> ParseJson(const uint8_t* data, size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    boost::property_tree::ptree tree;
    try {
        boost::property_tree::read_json(in, tree);
    } catch (const boost::property_tree::json_parser_error&) {
        return std::nullopt;
    }
    return tree;
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
