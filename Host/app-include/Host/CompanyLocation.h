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

// A lock that one program at a time holds on a company on a server, taken
// on the open company's own connection: once taken it lasts while the object
// lives and ends with the connection (the server drops it with the session).
// While it is held, that connection commits a unit of work only if its
// session still holds the lock, so nothing is written once the lock may be
// another program's. `name` tells apart locks of one company taken for
// different purposes.
class HOST_API ServerLock {
public:
    // On the connection of the company open in this program at `location`
    // (one of its own when the company is not open here: nothing of this
    // program writes it then). Throws std::runtime_error when the server
    // cannot be asked.
    static std::unique_ptr<ServerLock> Connect(const std::string& location, const std::string& name);
    virtual ~ServerLock() = default;
    // True when taken now (or before); false while another program holds it.
    // Throws std::runtime_error when the server cannot be asked.
    virtual bool TryTake() = 0;
    // Whether the lock is still this program's: false once the connection
    // that held it has ended (the server then let it go) or the company was
    // opened again. Never throws.
    virtual bool StillHeld() = 0;
};

} // namespace Host
