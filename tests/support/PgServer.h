#pragma once

// A PostgreSQL server of the tests' own, in a temporary folder: initdb, then
// pg_ctl on a Unix socket in that folder and on 127.0.0.1 at a free port. A
// guardian process stops it and removes the folder once its owner is gone,
// however the owner ended, so no run leaves a server behind.

#include <sys/types.h>

#include <string>

#include "Host/CompanyLocation.h"

namespace testsupport {

class PgServer {
public:
    // Starts a new server; throws std::runtime_error with the server's own
    // words when it cannot.
    PgServer();
    // Stops the server and removes its folder.
    ~PgServer();
    PgServer(const PgServer&) = delete;
    PgServer& operator=(const PgServer&) = delete;

    const std::string& Folder() const { return m_folder; }
    int Port() const { return m_port; }

    // A location for `database` over TCP, as a user would write it.
    std::string Url(const std::string& database, const std::string& password = "") const;
    // libpq key/value text for the socket, for the tests' own administration.
    std::string Conninfo(const std::string& database) const;

    // Stopped at once, as a crash or a pulled plug would; Start brings the
    // same cluster back on the same port.
    void Kill();
    void Start();
    bool Running() const;

    // Leaves the server running after this object is gone, watched over by
    // the process `owner` instead (CTest, for one server per run).
    void HandOver(pid_t owner);

private:
    void Guard(pid_t owner);
    void Release();
    std::string m_folder;
    int m_port = 0;
    int m_guardPipe = -1;
    pid_t m_guardian = -1;
};

// Where a shared server announces itself: a file with its folder and port.
void WriteServerInfo(const std::string& infoFile, const PgServer& server);
// Stops the server a file announces (if it still runs) and removes both.
void StopAnnouncedServer(const std::string& infoFile);

// True when REMINDERS_TEST_STORE=postgresql: the shared fixtures then keep
// each test's company in a database of its own on the tests' server.
bool UsePostgres();
// The program's own answer to whether a location names a server.
using Host::IsServerLocation;

// A new empty database on the tests' server, as a URL. The server is the one
// REMINDERS_TEST_PG_SERVER announces (one per CTest run), or else one this
// process starts on first use and stops at exit.
std::string NewDatabase();
// A whole company copied, as a user copies a file: on the tests' server, the
// database `to` (made anew) from `from`, which no one may be using.
void CopyLocation(const std::string& from, const std::string& to);
// Drops the database a URL names, ending any session still on it.
void DropDatabase(const std::string& url);

// A test's own query, written for a company file, in the words a server
// takes: group_concat(x[, sep]) as string_agg, char(n) as chr(n), and a name
// for a subquery in FROM that has none. Only the tests' queries go through
// this, never the program's.
std::string PortableSql(const std::string& sql);

// Rows of one query at a location (company file or server URL), "a|b\n" per
// row, NULL as "NULL"; "error: ..." when it cannot run. Writes are allowed so
// that a test can damage a company as a careless hand would.
std::string Sql(const std::string& location, const std::string& sql);

} // namespace testsupport
