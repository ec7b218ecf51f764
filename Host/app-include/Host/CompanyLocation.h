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

// The database a server URL names ("" when it names none): what a file's
// name is to a company file.
HOST_API std::string DatabaseNameOf(const std::string& location);

// The company's log file: beside a company file; for a company on a server,
// in the current folder, named after the location (without the password).
HOST_API std::string LogPathOf(const std::string& location);

// A lock that one program at a time holds on a company on a server, on a
// connection of its own: once taken it lasts while the object lives and ends
// with the program (the server drops it with the connection). `name` tells
// apart locks of one company taken for different purposes.
class HOST_API ServerLock {
public:
    // Connects; throws std::runtime_error when the server cannot be reached.
    static std::unique_ptr<ServerLock> Connect(const std::string& location, const std::string& name);
    virtual ~ServerLock() = default;
    // True when taken now (or before); false while another program holds it.
    // Throws std::runtime_error when the server cannot be asked.
    virtual bool TryTake() = 0;
    // Whether the lock is still this program's: false once the connection
    // that held it has ended (the server then let it go). Never throws.
    virtual bool StillHeld() = 0;
};

} // namespace Host
