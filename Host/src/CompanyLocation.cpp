#include "Host/CompanyLocation.h"

#include <cctype>
#include <cstring>

namespace Host {

bool IsServerLocation(const std::string& location) {
    return location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0;
}

std::string DisplayLocation(const std::string& location) {
    if (!IsServerLocation(location)) return location;
    std::string shown = location;
    // user:password@ in the authority.
    const std::size_t authority = shown.find("://") + 3;
    // The last @ before the query: a password typed with a bare / or @ in
    // it is still left out.
    const std::size_t at = shown.rfind('@', shown.find('?'));
    if (at != std::string::npos && at >= authority) {
        const std::size_t colon = shown.find(':', authority);
        if (colon != std::string::npos && colon < at) shown.erase(colon, at - colon);
    }
    // password=... among the query parameters.
    const std::size_t query = shown.find('?');
    if (query != std::string::npos) {
        std::string kept = shown.substr(0, query);
        std::size_t begin = query + 1;
        char separator = '?';
        while (begin <= shown.size()) {
            std::size_t next = shown.find('&', begin);
            if (next == std::string::npos) next = shown.size();
            const std::string param = shown.substr(begin, next - begin);
            if (!param.empty() && param.rfind("password=", 0) != 0) {
                kept += separator + param;
                separator = '&';
            }
            begin = next + 1;
        }
        shown = kept;
    }
    return shown;
}

std::string DatabaseNameOf(const std::string& location) {
    if (!IsServerLocation(location)) return std::string();
    const std::size_t authority = location.find("://") + 3;
    const std::size_t query = location.find('?', authority);
    const std::string head = location.substr(0, query);
    const std::size_t slash = head.find('/', authority);
    if (slash != std::string::npos && slash + 1 < head.size()) return head.substr(slash + 1);
    if (query == std::string::npos) return std::string();
    const std::size_t at = location.find("dbname=", query);
    if (at == std::string::npos || (location[at - 1] != '?' && location[at - 1] != '&')) return std::string();
    const std::size_t begin = at + 7;
    return location.substr(begin, location.find('&', begin) - begin);
}

std::string LogPathOf(const std::string& location) {
    if (!IsServerLocation(location)) return location + ".log";
    const std::string shown = DisplayLocation(location);
    std::string name;
    for (char c : shown.substr(shown.find("://") + 3)) {
        const bool plain = std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_';
        if (plain) name += c;
        else if (!name.empty() && name.back() != '-') name += '-';
    }
    while (!name.empty() && name.back() == '-') name.pop_back();
    return "company-" + (name.empty() ? std::string("server") : name) + ".log";
}

} // namespace Host
