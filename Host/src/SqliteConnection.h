#pragma once

#include <sqlite3.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "Sql.h"

namespace Host {

// A company file: one SQLite connection, owned.
class HOST_API SqliteConnection final : public Connection {
public:
    // Opens (or, with `create`, makes) the file; throws SqlError.
    SqliteConnection(const std::string& path, int flags);
    ~SqliteConnection() override;

    Store Kind() const override { return Store::kSqlite; }
    void Exec(const char* sql) override;
    long long Changes() const override { return sqlite3_changes(m_db); }
    std::unique_ptr<Cursor> Prepare(const char* sql) override;
    void Recycle(std::unique_ptr<Cursor> cursor) override;
    void Begin() override { Exec("BEGIN IMMEDIATE"); }
    bool Rollback() noexcept override;
    void Savepoint(const char* name) override;
    void Release(const char* name) override;
    void RollbackTo(const char* name) noexcept override;

    // Prepared statements are kept for reuse from now on: preparing costs
    // more than running most of the short queries the record store makes.
    void EnableStatementCache() { m_caching = true; }
    // For what only a file has (backup, checkpoints, open flags).
    sqlite3* Handle() const { return m_db; }

    [[noreturn]] void Throw(const char* context) const;

private:
    void RunKept(const std::string& sql);
    void DropIdle();

    sqlite3* m_db = nullptr;
    bool m_caching = false;
    // Idle statements per text. A text in use twice at once gets a second
    // statement; a few idle ones per text are kept.
    std::unordered_map<std::string, std::vector<std::unique_ptr<Cursor>>> m_idle;
    // Moves on when the schema may have changed: statements taken out
    // before are not taken back.
    unsigned m_generation = 0;
};

} // namespace Host
