#pragma once

#include <memory>
#include <string>

#include "Util/HostApi.h"

namespace Host {

// A company lives in a file (a path) or in a database on a server (a URL
// starting postgresql:// or postgres://).
HOST_API bool IsServerLocation(const std::string& location);

// The location as it may be shown in a message or a log line: any password
// in it is left out.
HOST_API std::string DisplayLocation(const std::string& location);

// A lock that one program at a time holds on a company on a server, on a
// connection of its own: it lasts while the object lives and ends with the
// program (the server drops it with the connection). `name` tells apart
// locks of one company taken for different purposes.
class HOST_API ServerLock {
public:
    virtual ~ServerLock() = default;
    // Null when another program holds it now; throws std::runtime_error when
    // the server cannot be asked.
    static std::unique_ptr<ServerLock> TryTake(const std::string& location, const std::string& name);
};

} // namespace Host
