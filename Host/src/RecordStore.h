#pragma once

// The frame every record-store call runs in: a named fault point, the
// connection of the caller's transaction (or of the open company file), and a
// savepoint so that a call either does all its writes or none of them, inside
// or outside the caller's unit of work.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "CompanyFile.h"
#include "DB/DBManager.h"
#include "Host/HostContext.h"
#include "Sql.h"
#include "Util/Status.h"

namespace Host::Records {

struct Conn {
    std::shared_ptr<CompanyFile> file;
    Connection* db = nullptr;
};

// The connection a call runs on: its transaction's file, or the open file.
Util::Status Resolve(DBMgr::DMTransaction* txn, Conn& conn);
Util::Status FromSqlError(const SqlError& error);

// True after a short pause when a busy write outside any unit of work may be
// tried again (a few times).
bool ShouldRetry(const SqlError& error, DBMgr::DMTransaction* txn, const CompanyFile& file, int attempt);

inline bool FitsInt32(long long value) { return value >= INT32_MIN && value <= INT32_MAX; }

// Undoes the call's own writes unless released.
class Savepoint {
public:
    explicit Savepoint(Connection* db);
    ~Savepoint();
    Savepoint(const Savepoint&) = delete;
    Savepoint& operator=(const Savepoint&) = delete;
    void Release();

private:
    Connection* m_db;
    bool m_open = true;
};

// What a call writes: several statements undone together, or one statement,
// which a file undoes by itself when it fails (a server's transaction does
// not survive a failed statement, so there it takes a savepoint either way).
enum class Writes { kSeveral, kOneStatement };

template <class Body>
Util::Status Write(const char* point, DBMgr::DMTransaction* txn, Body&& body, Writes writes = Writes::kSeveral) {
    if (FaultFails(point)) return Util::Status::GetFailed();
    Conn conn;
    Util::Status resolved = Resolve(txn, conn);
    if (resolved.Failed()) return resolved;
    // A call without a transaction stands on its own. The file has one
    // connection: while a unit of work is open on it, such a write would
    // join that unit and be undone with it, so it is refused as busy.
    if (!txn && conn.file->InTransaction()) return Util::Status::Failure(Util::Status::kBusy);
    for (int attempt = 1;; ++attempt) {
        try {
            if (txn) txn->BeginWrite();
            if (writes == Writes::kOneStatement && conn.db->Kind() == Connection::Store::kSqlite) return body(conn.db);
            Savepoint savepoint(conn.db);
            Util::Status status = body(conn.db);
            if (status.Succeeded()) savepoint.Release();
            return status;
        } catch (const SqlError& e) {
            // A call that stands by itself starts over when another program
            // wrote between its read and its write (the busy handler does not
            // wait for that case); inside a unit of work the caller decides.
            if (ShouldRetry(e, txn, *conn.file, attempt)) continue;
            return FromSqlError(e);
        }
    }
}

template <class Body>
Util::Status Read(const char* point, DBMgr::DMTransaction* txn, Body&& body) {
    if (FaultFails(point)) return Util::Status::GetFailed();
    Conn conn;
    Util::Status resolved = Resolve(txn, conn);
    if (resolved.Failed()) return resolved;
    try {
        return body(conn.db);
    } catch (const SqlError& e) {
        return FromSqlError(e);
    }
}

// Failure statuses used by the store.
// Loads the one row `select` finds for the id bound to ?1, handing it to
// `assign`. Absent: succeeds with kRecordNotFound and assigns nothing.
template <class Assign>
Util::Status LoadById(const char* point, DBMgr::DMTransaction* txn, const std::string& select, long id,
                      Assign&& assign) {
    return Read(point, txn, [&](Host::Connection* db) {
        Stmt q(db, select.c_str());
        q.Bind(1, static_cast<std::int32_t>(id));
        if (!q.Step()) return Util::Status::NotFound();
        assign(q);
        return Util::Status::GetSucceeded();
    });
}

// A row inserted with an id of its own: the ids the store hands out next
// stay past it (a file's store does so by itself).
void KeepIdsPast(Connection* db, const char* table, const char* column, long long id);

// An INSERT whose new row's id the caller needs. A server hands the id back
// with the row (RETURNING); a file gives it without the result table that
// RETURNING fills there, which costs about as much as the insert itself.
std::string InsertReturning(Connection* db, const char* insert, const char* idColumn);
// Runs `q` (made from InsertReturning) and gives the id of the row it added.
bool NewId(Connection* db, Stmt& q, long long& id);
// The same, when the id fits a 32-bit record id.
bool NewId32(Connection* db, Stmt& q, std::int32_t& id);

// An open invoice: unpaid, posted, and not of the cleared type that closes it.
inline constexpr const char* kOpenInvoice = "is_paid = 0 AND is_no_post = 0 AND cleared_type <> 2";

inline Util::Status Refused() { return Util::Status::Failure(Util::Status::kConstraintFailure); }
inline Util::Status Missing() { return Util::Status::Failure(Util::Status::kRecordNotFound); }

} // namespace Host::Records
