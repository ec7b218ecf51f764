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
};

HOST_API void Exec(sqlite3* db, const char* sql);

} // namespace Host
