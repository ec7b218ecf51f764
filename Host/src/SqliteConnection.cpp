#include "SqliteConnection.h"

#include <cstring>

#include "Host/HostContext.h"

namespace Host {

namespace {
constexpr std::size_t kIdlePerText = 4;

SqlError::Fault FaultOf(int code) {
    switch (code & 0xFF) {
    case SQLITE_CONSTRAINT: return SqlError::Fault::kConstraint;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return SqlError::Fault::kBusy;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB: return SqlError::Fault::kDamaged;
    default: return SqlError::Fault::kOther;
    }
}

[[noreturn]] void ThrowCode(int code, const std::string& message) {
    const SqlError::Fault fault = FaultOf(code);
    if (fault == SqlError::Fault::kBusy) HostContext::Get().NoteBusy();
    throw SqlError(message, code, fault);
}

// Exec texts that leave the schema as it is: the unit-of-work statements.
bool KeepsSchema(const char* sql) {
    for (const char* word : {"SAVEPOINT ", "RELEASE ", "ROLLBACK", "BEGIN", "COMMIT"}) {
        if (std::strncmp(sql, word, std::strlen(word)) == 0) return true;
    }
    return false;
}

class SqliteCursor final : public Cursor {
public:
    SqliteCursor(const SqliteConnection& db, sqlite3_stmt* stmt, unsigned generation)
        : m_db(db), m_stmt(stmt), m_generation(generation) {}
    ~SqliteCursor() override { sqlite3_finalize(m_stmt); }

    void BindInt(int index, long long value) override { Check(sqlite3_bind_int64(m_stmt, index, value)); }
    void BindReal(int index, double value) override { Check(sqlite3_bind_double(m_stmt, index, value)); }
    void BindText(int index, std::string_view value) override {
        Check(sqlite3_bind_text(m_stmt, index, value.data() ? value.data() : "", static_cast<int>(value.size()),
                                SQLITE_TRANSIENT));
    }
    void BindNull(int index) override { Check(sqlite3_bind_null(m_stmt, index)); }
    bool Step() override {
        const int rc = sqlite3_step(m_stmt);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        m_db.Throw("step");
    }
    void Reset() override {
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
    }
    int ColumnCount() const override { return sqlite3_column_count(m_stmt); }
    std::string ColumnName(int column) const override {
        const char* name = sqlite3_column_name(m_stmt, column);
        return name ? name : "";
    }
    long long Int(int column) const override { return sqlite3_column_int64(m_stmt, column); }
    double Real(int column) const override { return sqlite3_column_double(m_stmt, column); }
    std::string_view TextView(int column) const override {
        const unsigned char* text = sqlite3_column_text(m_stmt, column);
        if (!text) return std::string_view();
        return std::string_view(reinterpret_cast<const char*>(text),
                                static_cast<std::size_t>(sqlite3_column_bytes(m_stmt, column)));
    }
    bool IsInteger(int column) const override { return sqlite3_column_type(m_stmt, column) == SQLITE_INTEGER; }
    bool IsNull(int column) const override { return sqlite3_column_type(m_stmt, column) == SQLITE_NULL; }

    const char* Text() const { return sqlite3_sql(m_stmt); }
    unsigned Generation() const { return m_generation; }

private:
    void Check(int rc) const {
        if (rc != SQLITE_OK) m_db.Throw("bind");
    }

    const SqliteConnection& m_db;
    sqlite3_stmt* m_stmt;
    unsigned m_generation;
};
} // namespace

SqliteConnection::SqliteConnection(const std::string& path, int flags) {
    const int rc = sqlite3_open_v2(path.c_str(), &m_db, flags, nullptr);
    if (rc != SQLITE_OK) {
        const std::string message = m_db ? sqlite3_errmsg(m_db) : "cannot open";
        sqlite3_close(m_db);  // SQLite hands back a handle to close even when the open fails
        m_db = nullptr;
        throw SqlError(message, rc, FaultOf(rc));
    }
    sqlite3_extended_result_codes(m_db, 1);
}

SqliteConnection::~SqliteConnection() {
    // SQLite needs every statement finalised before it lets the connection go.
    m_idle.clear();
    sqlite3_close(m_db);
}

void SqliteConnection::Throw(const char* context) const {
    ThrowCode(sqlite3_extended_errcode(m_db), std::string(context) + ": " + sqlite3_errmsg(m_db));
}

void SqliteConnection::DropIdle() {
    m_idle.clear();
    ++m_generation;
}

std::unique_ptr<Cursor> SqliteConnection::Prepare(const char* sql) {
    if (m_caching) {
        const auto idle = m_idle.find(sql);
        if (idle != m_idle.end() && !idle->second.empty()) {
            std::unique_ptr<Cursor> cursor = std::move(idle->second.back());
            idle->second.pop_back();
            return cursor;
        }
    }
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(m_db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
        sqlite3_finalize(stmt);
        Throw("prepare");
    }
    return std::make_unique<SqliteCursor>(*this, stmt, m_generation);
}

void SqliteConnection::Recycle(std::unique_ptr<Cursor> cursor) {
    if (!m_caching || !cursor) return;
    auto* sqlite = static_cast<SqliteCursor*>(cursor.get());
    // Reset at once: an idle statement must hold no read of the file.
    sqlite->Reset();
    if (sqlite->Generation() != m_generation || !sqlite->Text()) return;
    std::vector<std::unique_ptr<Cursor>>& idle = m_idle[sqlite->Text()];
    if (idle.size() < kIdlePerText) idle.push_back(std::move(cursor));
}

void SqliteConnection::Exec(const char* sql) {
    // A statement prepared before a schema change is not run after it.
    if (!KeepsSchema(sql)) DropIdle();
    char* err = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        std::string message = err ? err : "unknown error";
        sqlite3_free(err);
        ThrowCode(sqlite3_extended_errcode(m_db), "exec: " + message);
    }
}

bool SqliteConnection::Rollback() noexcept {
    return sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr) == SQLITE_OK;
}

// Every record call opens and releases a savepoint: prepared once and kept,
// not parsed again per call.
void SqliteConnection::RunKept(const std::string& sql) {
    std::unique_ptr<Cursor> cursor = Prepare(sql.c_str());
    cursor->Step();
    Recycle(std::move(cursor));
}

void SqliteConnection::Savepoint(const char* name) { RunKept(std::string("SAVEPOINT ") + name); }

void SqliteConnection::Release(const char* name) { RunKept(std::string("RELEASE ") + name); }

void SqliteConnection::RollbackTo(const char* name) noexcept {
    try {
        const std::string back = std::string("ROLLBACK TO ") + name;
        const std::string release = std::string("RELEASE ") + name;
        sqlite3_exec(m_db, back.c_str(), nullptr, nullptr, nullptr);
        sqlite3_exec(m_db, release.c_str(), nullptr, nullptr, nullptr);
    } catch (...) {
    }
}

} // namespace Host
