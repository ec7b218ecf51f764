#pragma once

// Thin RAII layer over SQLite for the host's own use. Every statement binds
// its parameters; nothing is ever pasted into SQL text.

#include <sqlite3.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "Util/HostApi.h"

namespace Host {

class HOST_API SqlError : public std::runtime_error {
public:
    SqlError(const std::string& what, int code) : std::runtime_error(what), m_code(code) {}
    int Code() const { return m_code; }

private:
    int m_code;
};

class HOST_API Stmt {
public:
    Stmt(sqlite3* db, const char* sql);
    ~Stmt();
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    Stmt& Bind(int index, long long value);
    Stmt& Bind(int index, int value) { return Bind(index, static_cast<long long>(value)); }
    Stmt& Bind(int index, unsigned value) { return Bind(index, static_cast<long long>(value)); }
    Stmt& Bind(int index, long value) { return Bind(index, static_cast<long long>(value)); }
    Stmt& Bind(int index, unsigned long value) { return Bind(index, static_cast<long long>(value)); }
    Stmt& Bind(int index, short value) { return Bind(index, static_cast<long long>(value)); }
    Stmt& Bind(int index, unsigned short value) { return Bind(index, static_cast<long long>(value)); }
    Stmt& Bind(int index, double value);
    Stmt& Bind(int index, const std::string& value);
    Stmt& Bind(int index, const char* value);
    Stmt& BindNull(int index);

    // True while a row is available; throws SqlError on failure.
    bool Step();
    // Runs a statement that returns no rows.
    void Run();
    void Reset();

    long long Int(int column) const;
    double Real(int column) const;
    std::string Text(int column) const;
    // The column's text without a copy; valid until the next Step or Reset.
    std::string_view TextView(int column) const;
    bool IsInteger(int column) const;
    bool IsNull(int column) const;

private:
    sqlite3* m_db;
    sqlite3_stmt* m_stmt = nullptr;
    bool m_cached = false;
    unsigned m_generation = 0;
};

HOST_API void Exec(sqlite3* db, const char* sql);

// Prepared statements of a connection kept for reuse between Stmt objects of
// the same text: preparing costs more than running most of the short queries
// the record store makes. Reused statements come back reset and unbound. A
// statement that changes the schema through Exec empties the cache, so a
// statement never outlives what it was prepared against there. Only a
// connection that enables it has one; DropStatementCache must be called
// before the connection is closed.
HOST_API void EnableStatementCache(sqlite3* db);
HOST_API void DropStatementCache(sqlite3* db);

} // namespace Host
