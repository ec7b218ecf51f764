#pragma once

// The one seam between the host and the database that holds a company: a
// connection (a company file, or a database on a server) and the statements
// run on it. Every statement binds its parameters; nothing is ever pasted
// into SQL text. SQL is written once, in the dialect both stores accept
// (numbered parameters ?1, ?2 ...); where the stores truly differ, the code
// asks the connection's Kind() in one place per concern.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "Util/HostApi.h"

namespace Host {

class HOST_API SqlError : public std::runtime_error {
public:
    // What the caller can do about it, the same whichever store answered.
    enum class Fault {
        kOther,
        kConstraint,  // a key or check refused the write
        kBusy,        // another program held a lock past the wait; try again
        kDamaged,     // the store is not readable as a company
        kLost,        // the connection to the server is gone
    };
    SqlError(const std::string& what, int code, Fault fault = Fault::kOther)
        : std::runtime_error(what), m_code(code), m_fault(fault) {}
    // The store's own code (SQLite's extended result code; 0 on a server).
    int Code() const { return m_code; }
    Fault GetFault() const { return m_fault; }
    bool Busy() const { return m_fault == Fault::kBusy; }

private:
    int m_code;
    Fault m_fault;
};

// One prepared statement of a connection, as the store gives it.
class HOST_API Cursor {
public:
    virtual ~Cursor() = default;
    virtual void BindInt(int index, long long value) = 0;
    virtual void BindReal(int index, double value) = 0;
    virtual void BindText(int index, std::string_view value) = 0;
    virtual void BindNull(int index) = 0;
    virtual bool Step() = 0;
    // Back to before the first Step, bindings cleared.
    virtual void Reset() = 0;

    virtual int ColumnCount() const = 0;
    virtual std::string ColumnName(int column) const = 0;
    virtual long long Int(int column) const = 0;
    virtual double Real(int column) const = 0;
    virtual std::string_view TextView(int column) const = 0;
    virtual bool IsInteger(int column) const = 0;
    virtual bool IsNull(int column) const = 0;
};

class HOST_API Connection {
public:
    enum class Store { kSqlite, kPostgres };

    virtual ~Connection() = default;
    Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    virtual Store Kind() const = 0;
    // Runs statements that take no parameters and return no rows (several,
    // separated by semicolons, are allowed).
    virtual void Exec(const char* sql) = 0;
    // Rows the last INSERT, UPDATE or DELETE changed.
    virtual long long Changes() const = 0;

    // A statement ready to bind; Recycle hands it back when its Stmt ends so
    // that the next Stmt of the same text skips preparing it again.
    virtual std::unique_ptr<Cursor> Prepare(const char* sql) = 0;
    virtual void Recycle(std::unique_ptr<Cursor> cursor) = 0;

    // A unit of work that writes: on a file it takes the write lock at once,
    // so that a second writer waits here rather than failing half-way.
    virtual void Begin() = 0;
    void Commit() { Exec("COMMIT"); }
    // True when the store confirmed it; never throws.
    virtual bool Rollback() noexcept = 0;

    // A nested undo point. Outside a unit of work it starts one, which the
    // matching Release commits and RollbackTo abandons.
    virtual void Savepoint(const char* name) = 0;
    virtual void Release(const char* name) = 0;
    virtual void RollbackTo(const char* name) noexcept = 0;
};

class HOST_API Stmt {
public:
    Stmt(Connection& db, const char* sql);
    Stmt(Connection* db, const char* sql) : Stmt(*db, sql) {}
    ~Stmt();
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    Stmt& Bind(int index, long long value) {
        m_cursor->BindInt(index, value);
        return *this;
    }
    Stmt& Bind(int index, int value) { return Bind(index, static_cast<long long>(value)); }
    Stmt& Bind(int index, unsigned value) { return Bind(index, static_cast<long long>(value)); }
    Stmt& Bind(int index, long value) { return Bind(index, static_cast<long long>(value)); }
    Stmt& Bind(int index, unsigned long value) { return Bind(index, static_cast<long long>(value)); }
    Stmt& Bind(int index, short value) { return Bind(index, static_cast<long long>(value)); }
    Stmt& Bind(int index, unsigned short value) { return Bind(index, static_cast<long long>(value)); }
    Stmt& Bind(int index, double value) {
        m_cursor->BindReal(index, value);
        return *this;
    }
    Stmt& Bind(int index, const std::string& value) {
        m_cursor->BindText(index, value);
        return *this;
    }
    Stmt& Bind(int index, const char* value) {
        m_cursor->BindText(index, value ? std::string_view(value) : std::string_view());
        return *this;
    }
    Stmt& BindNull(int index) {
        m_cursor->BindNull(index);
        return *this;
    }

    // True while a row is available; throws SqlError on failure.
    bool Step() { return m_cursor->Step(); }
    // Runs a statement that returns no rows.
    void Run() {
        while (Step()) {
        }
    }
    void Reset() { m_cursor->Reset(); }

    int ColumnCount() const { return m_cursor->ColumnCount(); }
    std::string ColumnName(int column) const { return m_cursor->ColumnName(column); }
    long long Int(int column) const { return m_cursor->Int(column); }
    double Real(int column) const { return m_cursor->Real(column); }
    std::string Text(int column) const { return std::string(m_cursor->TextView(column)); }
    // The column's text without a copy; valid until the next Step or Reset.
    std::string_view TextView(int column) const { return m_cursor->TextView(column); }
    bool IsInteger(int column) const { return m_cursor->IsInteger(column); }
    bool IsNull(int column) const { return m_cursor->IsNull(column); }

private:
    Connection* m_db;
    std::unique_ptr<Cursor> m_cursor;
};

inline void Exec(Connection& db, const char* sql) { db.Exec(sql); }
inline void Exec(Connection* db, const char* sql) { db->Exec(sql); }

} // namespace Host
