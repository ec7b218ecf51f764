#pragma once

#include <libpq-fe.h>

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "Sql.h"

namespace Host {

// A company's database on a server: one connection, owned. Statements are
// prepared on the server once per text (and parameter types) and
// connection; a query's rows come back in one answer, not one per row.
class HOST_API PgConnection final : public Connection {
public:
    // Connects to a postgresql:// or postgres:// URL; the password comes
    // from the URL, PGPASSWORD or ~/.pgpass as the client library finds it.
    // A lock wait longer than `lockWaitMs` answers busy. Throws SqlError.
    PgConnection(const std::string& url, int lockWaitMs);
    ~PgConnection() override;

    Store Kind() const override { return Store::kPostgres; }
    void Exec(const char* sql) override;
    long long Changes() const override { return m_changes; }
    std::unique_ptr<Cursor> Prepare(const char* sql) override;
    void Recycle(std::unique_ptr<Cursor>) override {}
    void Begin() override { Exec("BEGIN"); }
    bool Rollback() noexcept override;
    void Savepoint(const char* name) override;
    void Release(const char* name) override;
    void RollbackTo(const char* name) noexcept override;

    // For the statements of this connection.
    struct Text {
        std::string sql;  // with $N for ?N
        int parameters = 0;
    };
    const Text& Translate(const char* sql);
    // The server-side name of `sql` prepared for these parameter types.
    const std::string& Prepared(const Text& text, const std::vector<Oid>& types);
    PGconn* Handle() const { return m_conn; }
    void NoteChanges(const PGresult* result);
    // Throws the error `result` (or the connection) reports.
    [[noreturn]] void Throw(const char* context, const PGresult* result) const;
    // A connection lost between units of work is made again (a long-running
    // program outlives a server restart); one lost inside a unit of work
    // stays lost until the unit is rolled back, so that none of its later
    // statements can run on their own.
    void Reconnect();

    // While a key is set, a unit of work commits only if this very session
    // holds the advisory lock `key`: a session that ends takes its lock and
    // its uncommitted work with it, and one made again holds nothing, so no
    // write reaches the company once another program may hold the lock.
    // A commit refused so is rolled back and throws SqlError (kLost).
    void CommitOnlyUnder(std::optional<long long> key) { m_commitLock = key; }
    // Whether this session holds the advisory lock `key`. Throws SqlError.
    bool HoldsLock(long long key);

private:
    bool Quietly(const char* sql) noexcept;
    void Track(const char* sql, bool succeeded);
    void Setup();

    PGconn* m_conn = nullptr;
    long long m_changes = 0;
    std::unordered_map<std::string, Text> m_texts;
    std::unordered_map<std::string, std::string> m_prepared;
    // One entry per open savepoint: whether it began the unit of work.
    std::vector<bool> m_savepoints;
    bool m_inUnit = false;
    int m_lockWaitMs = 0;
    std::optional<long long> m_commitLock;
};

} // namespace Host
