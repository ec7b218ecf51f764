#include "Sql.h"

#include "Host/HostContext.h"

namespace Host {

namespace {
void NoteIfBusy(int code) {
    const int primary = code & 0xFF;
    if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED) HostContext::Get().NoteBusy();
}

[[noreturn]] void Throw(sqlite3* db, const char* context) {
    const int code = sqlite3_extended_errcode(db);
    NoteIfBusy(code);
    throw SqlError(std::string(context) + ": " + sqlite3_errmsg(db), code);
}
} // namespace

Stmt::Stmt(sqlite3* db, const char* sql) : m_db(db) {
    if (sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr) != SQLITE_OK) {
        Throw(db, "prepare");
    }
}

Stmt::~Stmt() { sqlite3_finalize(m_stmt); }

Stmt& Stmt::Bind(int index, long long value) {
    if (sqlite3_bind_int64(m_stmt, index, value) != SQLITE_OK) Throw(m_db, "bind");
    return *this;
}

Stmt& Stmt::Bind(int index, double value) {
    if (sqlite3_bind_double(m_stmt, index, value) != SQLITE_OK) Throw(m_db, "bind");
    return *this;
}

Stmt& Stmt::Bind(int index, const std::string& value) {
    if (sqlite3_bind_text(m_stmt, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT) != SQLITE_OK) {
        Throw(m_db, "bind");
    }
    return *this;
}

Stmt& Stmt::Bind(int index, const char* value) { return Bind(index, std::string(value ? value : "")); }

Stmt& Stmt::BindNull(int index) {
    if (sqlite3_bind_null(m_stmt, index) != SQLITE_OK) Throw(m_db, "bind");
    return *this;
}

bool Stmt::Step() {
    const int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    Throw(m_db, "step");
}

void Stmt::Run() {
    while (Step()) {
    }
}

void Stmt::Reset() {
    sqlite3_reset(m_stmt);
    sqlite3_clear_bindings(m_stmt);
}

long long Stmt::Int(int column) const { return sqlite3_column_int64(m_stmt, column); }
double Stmt::Real(int column) const { return sqlite3_column_double(m_stmt, column); }
std::string Stmt::Text(int column) const {
    const unsigned char* text = sqlite3_column_text(m_stmt, column);
    if (!text) return std::string();
    return std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(sqlite3_column_bytes(m_stmt, column)));
}
std::string_view Stmt::TextView(int column) const {
    const unsigned char* text = sqlite3_column_text(m_stmt, column);
    if (!text) return std::string_view();
    return std::string_view(reinterpret_cast<const char*>(text), static_cast<std::size_t>(sqlite3_column_bytes(m_stmt, column)));
}
bool Stmt::IsInteger(int column) const { return sqlite3_column_type(m_stmt, column) == SQLITE_INTEGER; }
bool Stmt::IsNull(int column) const { return sqlite3_column_type(m_stmt, column) == SQLITE_NULL; }

void Exec(sqlite3* db, const char* sql) {
    char* err = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        std::string message = err ? err : "unknown error";
        sqlite3_free(err);
        NoteIfBusy(sqlite3_extended_errcode(db));
        throw SqlError(std::string("exec: ") + message, sqlite3_extended_errcode(db));
    }
}

} // namespace Host
