#include "Sql.h"

#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "Host/HostContext.h"

namespace Host {

namespace {

// Idle statements per connection and text. A text in use twice at once gets
// a second statement; a few idle ones per text are kept.
constexpr std::size_t kIdlePerText = 4;
struct StatementCache {
    std::unordered_map<std::string, std::vector<sqlite3_stmt*>> idle;
    // Moves on when the schema may have changed: statements taken out before
    // are not taken back.
    unsigned generation = 0;
};
std::unordered_map<sqlite3*, StatementCache> g_caches;

void FinalizeIdle(StatementCache& cache) {
    for (auto& entry : cache.idle) {
        for (sqlite3_stmt* stmt : entry.second) sqlite3_finalize(stmt);
    }
    cache.idle.clear();
    ++cache.generation;
}

// Exec texts that leave the schema as it is: the unit-of-work statements.
bool KeepsSchema(const char* sql) {
    for (const char* word : {"SAVEPOINT ", "RELEASE ", "ROLLBACK", "BEGIN", "COMMIT"}) {
        if (std::strncmp(sql, word, std::strlen(word)) == 0) return true;
    }
    return false;
}
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
    {
        const auto cache = g_caches.find(db);
        if (cache != g_caches.end()) {
            m_cached = true;
            m_generation = cache->second.generation;
            const auto idle = cache->second.idle.find(sql);
            if (idle != cache->second.idle.end() && !idle->second.empty()) {
                m_stmt = idle->second.back();
                idle->second.pop_back();
                return;
            }
        }
    }
    if (sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr) != SQLITE_OK) {
        sqlite3_finalize(m_stmt);
        m_stmt = nullptr;
        Throw(db, "prepare");
    }
}

Stmt::~Stmt() {
    if (m_cached && m_stmt) {
        // Reset at once: an idle statement must hold no read of the file.
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
        const auto cache = g_caches.find(m_db);
        if (cache != g_caches.end() && cache->second.generation == m_generation) {
            std::vector<sqlite3_stmt*>& idle = cache->second.idle[sqlite3_sql(m_stmt)];
            if (idle.size() < kIdlePerText) {
                idle.push_back(m_stmt);
                return;
            }
        }
    }
    sqlite3_finalize(m_stmt);
}

void EnableStatementCache(sqlite3* db) {
    g_caches.emplace(db, StatementCache());
}

void DropStatementCache(sqlite3* db) {
    const auto cache = g_caches.find(db);
    if (cache == g_caches.end()) return;
    FinalizeIdle(cache->second);
    g_caches.erase(cache);
}

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
    if (!KeepsSchema(sql)) {
        const auto cache = g_caches.find(db);
        if (cache != g_caches.end()) FinalizeIdle(cache->second);
    }
    char* err = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        std::string message = err ? err : "unknown error";
        sqlite3_free(err);
        NoteIfBusy(sqlite3_extended_errcode(db));
        throw SqlError(std::string("exec: ") + message, sqlite3_extended_errcode(db));
    }
}

} // namespace Host
