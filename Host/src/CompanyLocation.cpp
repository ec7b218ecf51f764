#include "Host/CompanyLocation.h"

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

} // namespace Host
