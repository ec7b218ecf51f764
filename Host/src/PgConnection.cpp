#include "PgConnection.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "CompanyFile.h"
#include "Host/CompanyLocation.h"
#include "Host/HostContext.h"

namespace Host {

namespace {
// Type numbers the server gives its built-in types.
constexpr Oid kBool = 16;
constexpr Oid kInt8 = 20;
constexpr Oid kInt2 = 21;
constexpr Oid kInt4 = 23;
constexpr Oid kText = 25;
constexpr Oid kFloat8 = 701;
constexpr Oid kUnknown = 0;  // the server infers it from where it is used

struct ResultDeleter {
    void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

bool Succeeded(const PGresult* result) {
    if (!result) return false;
    const ExecStatusType status = PQresultStatus(result);
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

SqlError::Fault FaultOf(const std::string& state, bool connected) {
    if (!connected || state.rfind("08", 0) == 0) return SqlError::Fault::kLost;
    if (state.rfind("23", 0) == 0) return SqlError::Fault::kConstraint;
    // Serialization failure, deadlock, lock not available (lock_timeout).
    if (state == "40001" || state == "40P01" || state == "55P03") return SqlError::Fault::kBusy;
    if (state == "XX001" || state == "XX002") return SqlError::Fault::kDamaged;
    return SqlError::Fault::kOther;
}

// The server's message on one line, as every error of this program is.
std::string Trimmed(const char* text) {
    std::string s;
    bool space = false;
    for (const char* p = text ? text : ""; *p; ++p) {
        const bool blank = *p == '\n' || *p == '\t' || *p == '\r' || *p == ' ';
        if (blank) {
            space = !s.empty();
            continue;
        }
        if (space) s += ' ';
        space = false;
        s += *p;
    }
    return s;
}

// ?N becomes $N, outside quoted text and identifiers; a bare ? takes the
// next number.
PgConnection::Text Translated(const char* sql) {
    PgConnection::Text text;
    std::string& out = text.sql;
    int next = 0;
    char quote = 0;
    for (const char* p = sql; *p; ++p) {
        const char c = *p;
        if (quote) {
            out += c;
            if (c == quote) quote = 0;
            continue;
        }
        if (c == '\'' || c == '"') {
            quote = c;
            out += c;
            continue;
        }
        if (c == '-' && p[1] == '-') {
            while (*p && *p != '\n') out += *p++;
            if (!*p) break;
            out += *p;
            continue;
        }
        if (c != '?') {
            out += c;
            continue;
        }
        int number = 0;
        while (p[1] >= '0' && p[1] <= '9') number = number * 10 + (*++p - '0');
        if (number == 0) number = next + 1;
        next = number;
        if (number > text.parameters) text.parameters = number;
        out += '$' + std::to_string(number);
    }
    return text;
}

// An integer column as the server writes it: an optional minus and digits.
// The selection reads several per row of its largest answers, where the
// general C library parse (locale, bases, errno) showed as the largest cost.
long long Decimal(const char* text) {
    const bool negative = *text == '-';
    if (negative) ++text;
    unsigned long long value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) value = value * 10 + static_cast<unsigned>(*text - '0');
    return negative ? static_cast<long long>(0ULL - value) : static_cast<long long>(value);
}

class PgCursor final : public Cursor {
public:
    PgCursor(PgConnection& db, const PgConnection::Text& text)
        : m_db(db), m_text(text), m_values(static_cast<std::size_t>(text.parameters)),
          m_bound(static_cast<std::size_t>(text.parameters), false),
          m_types(static_cast<std::size_t>(text.parameters), kText) {}

    void BindInt(int index, long long value) override { Set(index, kInt8, std::to_string(value)); }
    void BindReal(int index, double value) override {
        char text[40];
        std::snprintf(text, sizeof text, "%.17g", value);
        Set(index, kFloat8, text);
    }
    void BindText(int index, std::string_view value) override { Set(index, kUnknown, std::string(value)); }
    void BindNull(int index) override {
        Slot(index);
        m_bound[static_cast<std::size_t>(index - 1)] = false;
        m_types[static_cast<std::size_t>(index - 1)] = kUnknown;
    }

    bool Step() override {
        if (!m_result) Execute();
        ++m_row;
        return m_row < m_rows;
    }
    void Reset() override {
        m_result.reset();
        m_columnTypes.clear();
        m_row = -1;
        m_rows = 0;
        std::fill(m_bound.begin(), m_bound.end(), false);
        std::fill(m_types.begin(), m_types.end(), kText);
    }

    int ColumnCount() const override { return m_result ? PQnfields(m_result.get()) : 0; }
    std::string ColumnName(int column) const override {
        const char* name = m_result ? PQfname(m_result.get(), column) : nullptr;
        return name ? name : "";
    }
    long long Int(int column) const override {
        // A NULL reads as "" and as 0, as an empty text does: no need to ask.
        if (!OnColumn(column)) return 0;
        const char* value = PQgetvalue(m_result.get(), m_row, column);
        const Oid type = m_columnTypes[static_cast<std::size_t>(column)];
        if (type == kBool) return value[0] == 't' ? 1 : 0;
        if (type == kInt8 || type == kInt4 || type == kInt2) return Decimal(value);
        return static_cast<long long>(std::strtod(value, nullptr));
    }
    double Real(int column) const override {
        if (!OnColumn(column)) return 0;
        const char* value = PQgetvalue(m_result.get(), m_row, column);
        if (m_columnTypes[static_cast<std::size_t>(column)] == kBool) return value[0] == 't' ? 1 : 0;
        return std::strtod(value, nullptr);
    }
    std::string_view TextView(int column) const override {
        if (!HasValue(column)) return std::string_view();
        const char* value = PQgetvalue(m_result.get(), m_row, column);
        // A truth value reads as the number a file stores for it.
        if (m_columnTypes[static_cast<std::size_t>(column)] == kBool) return value[0] == 't' ? "1" : "0";
        return std::string_view(value, static_cast<std::size_t>(PQgetlength(m_result.get(), m_row, column)));
    }
    bool IsInteger(int column) const override {
        if (!HasValue(column)) return false;
        const Oid type = m_columnTypes[static_cast<std::size_t>(column)];
        return type == kInt8 || type == kInt4 || type == kInt2 || type == kBool;
    }
    bool IsNull(int column) const override { return !HasValue(column); }

private:
    void Slot(int index) {
        if (index < 1 || index > m_text.parameters) {
            throw SqlError("bind: no parameter ?" + std::to_string(index) + " in this statement", 0);
        }
    }
    void Set(int index, Oid type, std::string value) {
        Slot(index);
        const auto at = static_cast<std::size_t>(index - 1);
        m_values[at] = std::move(value);
        m_bound[at] = true;
        m_types[at] = type;
    }
    bool OnColumn(int column) const {
        return m_row >= 0 && m_row < m_rows && column >= 0 && column < static_cast<int>(m_columnTypes.size());
    }
    bool HasValue(int column) const { return OnColumn(column) && !PQgetisnull(m_result.get(), m_row, column); }
    void Execute() {
        m_db.Reconnect();
        const std::string& name = m_db.Prepared(m_text, m_types);
        std::vector<const char*> values(m_values.size());
        for (std::size_t i = 0; i < values.size(); ++i) values[i] = m_bound[i] ? m_values[i].c_str() : nullptr;
        m_result.reset(PQexecPrepared(m_db.Handle(), name.c_str(), m_text.parameters, values.data(), nullptr,
                                      nullptr, 0));
        if (!Succeeded(m_result.get())) {
            Result failed = std::move(m_result);
            m_db.Throw("step", failed.get());
        }
        m_db.NoteChanges(m_result.get());
        m_rows = PQntuples(m_result.get());
        m_row = -1;
        m_columnTypes.resize(static_cast<std::size_t>(PQnfields(m_result.get())));
        for (std::size_t c = 0; c < m_columnTypes.size(); ++c) {
            m_columnTypes[c] = PQftype(m_result.get(), static_cast<int>(c));
        }
    }

    PgConnection& m_db;
    const PgConnection::Text& m_text;
    std::vector<std::string> m_values;
    std::vector<bool> m_bound;
    std::vector<Oid> m_types;
    Result m_result;
    // The type of each column of the answer, asked once rather than per value.
    std::vector<Oid> m_columnTypes;
    int m_row = -1;
    int m_rows = 0;
};

void Silent(void*, const char*) {}
} // namespace

PgConnection::PgConnection(const std::string& url, int lockWaitMs) {
    m_conn = PQconnectdb(url.c_str());
    if (!m_conn) throw SqlError("cannot reach the server (out of memory)", 0, SqlError::Fault::kLost);
    if (PQstatus(m_conn) != CONNECTION_OK) {
        const std::string why = Trimmed(PQerrorMessage(m_conn));
        PQfinish(m_conn);
        m_conn = nullptr;
        throw SqlError(why, 0, SqlError::Fault::kLost);
    }
    // Notices ("already exists, skipping") are not the user's business.
    PQsetNoticeProcessor(m_conn, Silent, nullptr);
    m_lockWaitMs = lockWaitMs;
    Setup();
}

void PgConnection::Setup() {
    // A company's database is small enough to stay in the server's memory:
    // reading a page out of order costs about what reading the next one
    // does. Priced as a spinning disk, the planner reads the open invoices
    // through the table (and, for a statement prepared once and run again,
    // sorts them on disk) instead of walking the index that holds them in
    // number order. Every read here hands all its rows to the program:
    // workers of a parallel plan only pass them through one more queue.
    Exec(("SET lock_timeout = " + std::to_string(m_lockWaitMs) +
          "; SET random_page_cost = 1.1; SET max_parallel_workers_per_gather = 0")
             .c_str());
}

void PgConnection::Reconnect() {
    if (PQstatus(m_conn) == CONNECTION_OK || m_inUnit) return;
    PQreset(m_conn);
    if (PQstatus(m_conn) != CONNECTION_OK) return;  // the next statement reports it
    // Statements prepared on the old session are gone with it.
    m_prepared.clear();
    m_savepoints.clear();
    Setup();
}

// Whether a unit of work is open on the server after `sql` ran or failed:
// a BEGIN that failed opened none, an end that failed ended it all the same.
void PgConnection::Track(const char* sql, bool succeeded) {
    if (std::strncmp(sql, "BEGIN", 5) == 0) m_inUnit = succeeded;
    if (std::strcmp(sql, "COMMIT") == 0 || std::strcmp(sql, "ROLLBACK") == 0) m_inUnit = false;
}

PgConnection::~PgConnection() { PQfinish(m_conn); }

void PgConnection::Throw(const char* context, const PGresult* result) const {
    const bool connected = PQstatus(m_conn) == CONNECTION_OK;
    const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    const SqlError::Fault fault = FaultOf(state ? state : "", connected);
    std::string message = Trimmed(result && *PQresultErrorMessage(result) ? PQresultErrorMessage(result)
                                                                          : PQerrorMessage(m_conn));
    if (fault == SqlError::Fault::kLost) message = "the connection to the server was lost: " + message;
    if (fault == SqlError::Fault::kBusy) HostContext::Get().NoteBusy();
    throw SqlError(std::string(context) + ": " + message, 0, fault);
}

void PgConnection::NoteChanges(const PGresult* result) {
    const char* status = PQcmdStatus(const_cast<PGresult*>(result));
    if (std::strncmp(status, "INSERT", 6) == 0 || std::strncmp(status, "UPDATE", 6) == 0 ||
        std::strncmp(status, "DELETE", 6) == 0) {
        m_changes = std::atoll(PQcmdTuples(const_cast<PGresult*>(result)));
    }
}

const PgConnection::Text& PgConnection::Translate(const char* sql) {
    const auto found = m_texts.find(sql);
    if (found != m_texts.end()) return found->second;
    return m_texts.emplace(sql, Translated(sql)).first->second;
}

const std::string& PgConnection::Prepared(const Text& text, const std::vector<Oid>& types) {
    std::string key = text.sql;
    key += '\0';
    for (Oid type : types) key += std::to_string(type) + ",";
    const auto found = m_prepared.find(key);
    if (found != m_prepared.end()) return found->second;
    const std::string name = "s" + std::to_string(m_prepared.size() + 1);
    Result result(PQprepare(m_conn, name.c_str(), text.sql.c_str(), text.parameters, types.data()));
    if (!Succeeded(result.get())) Throw("prepare", result.get());
    return m_prepared.emplace(std::move(key), name).first->second;
}

std::unique_ptr<Cursor> PgConnection::Prepare(const char* sql) {
    return std::make_unique<PgCursor>(*this, Translate(sql));
}

bool PgConnection::HoldsLock(long long key) {
    // A bigint key shows in the lock table split into two unsigned halves.
    Stmt held(*this, "SELECT count(*) FROM pg_locks WHERE locktype = 'advisory' AND pid = pg_backend_pid() AND "
                     "granted AND objsubid = 1 AND (classid::bigint << 32 | objid::bigint) = ?1");
    held.Bind(1, key);
    return held.Step() && held.Int(0) > 0;
}

void PgConnection::Exec(const char* sql) {
    // A unit that met an error is rolled back by its COMMIT in any case.
    if (m_commitLock && m_inUnit && std::strcmp(sql, "COMMIT") == 0 && PQtransactionStatus(m_conn) == PQTRANS_INTRANS) {
        // Asked inside the unit of work: if the session ends between this
        // answer and the commit, the commit fails with it.
        bool held = false;
        try {
            held = HoldsLock(*m_commitLock);
        } catch (const SqlError&) {
        }
        if (!held) {
            Quietly("ROLLBACK");
            m_savepoints.clear();
            throw SqlError("commit: the send lock on the server was lost (its connection ended); nothing of this "
                           "unit of work was written",
                           0, SqlError::Fault::kLost);
        }
    }
    Reconnect();
    Result result(PQexec(m_conn, sql));
    Track(sql, Succeeded(result.get()));
    if (!Succeeded(result.get())) Throw("exec", result.get());
    // The server ends a unit of work that met an error with a rollback and
    // answers COMMIT without an error: that is a failed commit here.
    if (std::strcmp(sql, "COMMIT") == 0 && std::strcmp(PQcmdStatus(result.get()), "ROLLBACK") == 0) {
        throw SqlError("commit: the server rolled the unit of work back after an earlier error", 0);
    }
    NoteChanges(result.get());
}

bool PgConnection::Quietly(const char* sql) noexcept {
    Result result(PQexec(m_conn, sql));
    Track(sql, Succeeded(result.get()));
    return Succeeded(result.get());
}

bool PgConnection::Rollback() noexcept {
    m_savepoints.clear();
    if (PQstatus(m_conn) != CONNECTION_OK) {
        // The server drops a unit of work with the session that held it.
        m_inUnit = false;
        return true;
    }
    return Quietly("ROLLBACK");
}

void PgConnection::Savepoint(const char* name) {
    // Outside a unit of work the server keeps no savepoint: the call gets a
    // unit of work of its own.
    const bool begins = PQtransactionStatus(m_conn) == PQTRANS_IDLE;
    Exec(begins ? "BEGIN" : (std::string("SAVEPOINT ") + name).c_str());
    m_savepoints.push_back(begins);
}

void PgConnection::Release(const char* name) {
    const bool began = !m_savepoints.empty() && m_savepoints.back();
    if (!m_savepoints.empty()) m_savepoints.pop_back();
    Exec(began ? "COMMIT" : (std::string("RELEASE SAVEPOINT ") + name).c_str());
}

void PgConnection::RollbackTo(const char* name) noexcept {
    const bool began = !m_savepoints.empty() && m_savepoints.back();
    if (!m_savepoints.empty()) m_savepoints.pop_back();
    if (began) {
        Quietly("ROLLBACK");
        return;
    }
    try {
        const std::string back = std::string("ROLLBACK TO SAVEPOINT ") + name + "; RELEASE SAVEPOINT " + name;
        Quietly(back.c_str());
    } catch (...) {
    }
}

// --- the send lock on a server ------------------------------------------------------

namespace {
class PgServerLock final : public ServerLock {
public:
    PgServerLock(const std::string& location, const std::string& name) : m_location(location) {
        Guarded([&] {
            CompanyFile* open = HostContext::Get().File();
            if (open && open->Path() == location) {
                m_file = open->shared_from_this();
            } else {
                // Nothing of this program writes the company: a connection
                // of the lock's own holds it.
                m_own = std::make_unique<PgConnection>(location, 5000);
            }
            m_db = m_own ? m_own.get() : dynamic_cast<PgConnection*>(m_file->Db());
            if (!m_db) throw SqlError("the company open here is not on a server", 0);
            // Keyed on the company itself, whichever URL reached it.
            std::string company;
            {
                Stmt read(*m_db, "SELECT key FROM company_key WHERE id = 1");
                if (read.Step()) company = read.Text(0);
            }
            Stmt hash(*m_db, "SELECT hashtextextended(?1, 0)");
            hash.Bind(1, "reminders:" + name + ":" + company);
            if (!hash.Step()) throw SqlError("the server gave no key for the lock", 0);
            m_key = hash.Int(0);
        });
    }

    ~PgServerLock() override {
        if (!m_held) return;
        m_db->CommitOnlyUnder(std::nullopt);
        try {
            // A session made again since holds nothing: the server answers
            // no, and the lock went with the session that held it.
            Stmt(*m_db, "SELECT pg_advisory_unlock(?1)").Bind(1, m_key).Run();
        } catch (const SqlError&) {
            // Then it goes with the connection, when the program ends.
        }
    }

    bool TryTake() override {
        if (m_held) return true;
        Guarded([&] {
            // Taken on the connection that writes the company, so that what
            // it writes is tied to holding it. Locks of a session nest: a
            // second one taken in this program waits, as on a company file.
            if (!Current() || m_db->HoldsLock(m_key)) return;
            Stmt take(*m_db, "SELECT pg_try_advisory_lock(?1)");
            take.Bind(1, m_key);
            m_held = take.Step() && take.Int(0) != 0;
        });
        if (m_held) m_db->CommitOnlyUnder(m_key);
        return m_held;
    }

    bool StillHeld() override {
        if (!m_held) return false;
        try {
            // The company opened again writes through another connection.
            return Current() && m_db->HoldsLock(m_key);
        } catch (const SqlError&) {
            return false;
        }
    }

private:
    // Whether the company is still written through the lock's connection.
    bool Current() const { return m_own || HostContext::Get().File() == m_file.get(); }

    template <class Body>
    void Guarded(Body&& body) {
        try {
            body();
        } catch (const SqlError& e) {
            throw std::runtime_error("company '" + DisplayLocation(m_location) + "': cannot lock on the server: " +
                                     e.what());
        }
    }

    std::string m_location;
    long long m_key = 0;
    // The company's open connection, kept open while the lock lives; or,
    // when the company is not open in this program, one of its own.
    std::shared_ptr<CompanyFile> m_file;
    std::unique_ptr<PgConnection> m_own;
    PgConnection* m_db = nullptr;
    bool m_held = false;
};
} // namespace

std::unique_ptr<ServerLock> ServerLock::Connect(const std::string& location, const std::string& name) {
    return std::make_unique<PgServerLock>(location, name);
}

} // namespace Host
