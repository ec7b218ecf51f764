#include "CompanyFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>
#include <vector>

#include "Host/CompanyLocation.h"
#include "Host/HostContext.h"
#include "Schema.h"
#include "PgConnection.h"
#include "SqliteConnection.h"

namespace Host {

namespace {
[[noreturn]] void Refuse(const std::string& path, const std::string& why) {
    throw std::runtime_error((IsServerLocation(path) ? "company '" : "company file '") + DisplayLocation(path) +
                             "': " + why);
}

unsigned long BigEndian(const unsigned char* p, int bytes) {
    unsigned long v = 0;
    for (int i = 0; i < bytes; ++i) v = (v << 8) | p[i];
    return v;
}

// Reads the database header itself before SQLite sees the file: SQLite
// takes an empty file for a new database and reads short pages as zeros, so
// an emptied or cut-off company file would otherwise be opened (and
// written to) as if it were sound.
void CheckHeader(const std::string& path, const struct stat& st) {
    const long long size = static_cast<long long>(st.st_size);
    if (size == 0) Refuse(path, "empty (0 bytes); not a company file, or one cut off");
    unsigned char header[100] = {};
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) Refuse(path, "cannot be read (" + std::string(std::strerror(errno)) + ")");
    const std::size_t got = std::fread(header, 1, sizeof header, f);
    std::fclose(f);
    static const char kMagic[] = "SQLite format 3";
    if (got < 16 || std::memcmp(header, kMagic, 16) != 0) Refuse(path, "not a company file (not a database)");
    if (got < sizeof header) Refuse(path, "damaged (cut off: " + std::to_string(size) + " bytes)");
    unsigned long pageSize = BigEndian(header + 16, 2);
    if (pageSize == 1) pageSize = 65536;
    if (pageSize < 512 || (pageSize & (pageSize - 1)) != 0) Refuse(path, "damaged (bad page size)");
    // With a write-ahead log beside it the file may legitimately lag; SQLite
    // then finds the pages in the log.
    struct stat wal {};
    if (::stat((path + "-wal").c_str(), &wal) == 0 && wal.st_size > 0) return;
    const unsigned long pages = BigEndian(header + 28, 4);
    const bool countValid = pages != 0 && BigEndian(header + 24, 4) == BigEndian(header + 92, 4);
    const long long expected = static_cast<long long>(pages) * static_cast<long long>(pageSize);
    if (size % static_cast<long long>(pageSize) != 0 || (countValid && size < expected)) {
        Refuse(path, "damaged (cut off: " + std::to_string(size) + " bytes" +
                         (countValid ? " of " + std::to_string(expected) : std::string()) + ")");
    }
}

// How long a statement waits for another program's lock before answering
// busy: $REMINDERS_BUSY_TIMEOUT_MS, else 5 seconds.
int BusyTimeoutMs() {
    const char* env = std::getenv("REMINDERS_BUSY_TIMEOUT_MS");
    if (env && *env) {
        char* end = nullptr;
        const long v = std::strtol(env, &end, 10);
        if (end && *end == '\0' && v >= 0 && v <= 600000) return static_cast<int>(v);
    }
    return 5000;
}

// Every block a current company file is made of, in the order they are run.
const char* const* SchemaBlocks() {
    static const char* const kBlocks[] = {Schema::kCoreSql, Schema::kReminderSql, Schema::kDirectorySql,
                                             Schema::kSendingSql,  Schema::kDeliverySql, nullptr};
    return kBlocks;
}

// The tables the blocks create, read from their own text so that a table
// added to a block is checked without being listed twice.
std::vector<std::string> ExpectedTables() {
    std::vector<std::string> names;
    for (const CompanyFile::Table& table : CompanyFile::Tables()) names.push_back(table.name);
    return names;
}

// What the two stores keep in different places: the tables' catalogue and
// the schema version. Everything else is one SQL text for both.
bool HasTable(Connection& db, const std::string& table) {
    Stmt present(db, db.Kind() == Connection::Store::kSqlite
                         ? "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = ?1"
                         : "SELECT count(*) FROM information_schema.tables "
                           "WHERE table_schema = current_schema() AND table_name = ?1");
    present.Bind(1, table);
    return present.Step() && present.Int(0) != 0;
}

long long TableCount(Connection& db) {
    Stmt tables(db, db.Kind() == Connection::Store::kSqlite
                        ? "SELECT count(*) FROM sqlite_master"
                        : "SELECT count(*) FROM information_schema.tables WHERE table_schema = current_schema()");
    tables.Step();
    return tables.Int(0);
}

int ReadVersion(Connection& db) {
    if (db.Kind() == Connection::Store::kSqlite) {
        Stmt version(db, "PRAGMA user_version");
        version.Step();
        return static_cast<int>(version.Int(0));
    }
    if (!HasTable(db, "schema_version")) return 0;
    Stmt version(db, "SELECT version FROM schema_version WHERE id = 1");
    return version.Step() ? static_cast<int>(version.Int(0)) : 0;
}

void WriteVersion(Connection& db, int version) {
    if (db.Kind() == Connection::Store::kSqlite) {
        Exec(db, ("PRAGMA user_version=" + std::to_string(version)).c_str());
        return;
    }
    Exec(db, "CREATE TABLE IF NOT EXISTS schema_version (id INTEGER PRIMARY KEY CHECK (id = 1), version INTEGER NOT NULL)");
    Stmt(db, "INSERT INTO schema_version(id, version) VALUES(1, ?1) ON CONFLICT(id) DO UPDATE SET version = excluded.version")
        .Bind(1, version)
        .Run();
}

// A schema block as the store takes it. The blocks are written for a file;
// on a server every integer is 64-bit (as in a file), a key the store numbers
// by itself is a sequence, and a table is always a heap.
std::string SchemaText(const Connection& db, const char* block) {
    std::string sql = block;
    if (db.Kind() == Connection::Store::kSqlite) return sql;
    auto replaceAll = [&sql](const std::string& from, const std::string& to) {
        for (std::size_t at = sql.find(from); at != std::string::npos; at = sql.find(from, at + to.size())) {
            sql.replace(at, from.size(), to);
        }
    };
    replaceAll("INTEGER PRIMARY KEY AUTOINCREMENT", "BIGSERIAL PRIMARY KEY");
    replaceAll("INTEGER PRIMARY KEY", "BIGSERIAL PRIMARY KEY");
    replaceAll("INTEGER", "BIGINT");
    replaceAll(" WITHOUT ROWID", "");
    return sql;
}

// Sixteen hex digits, made once per company; it tells companies apart
// wherever they are copied.
std::string NewCompanyKey() {
    std::random_device random;
    std::string key;
    static const char kDigits[] = "0123456789abcdef";
    for (int i = 0; i < 16; ++i) key += kDigits[random() & 0xF];
    return key;
}

// A company of the current version that lacks a table was damaged or edited
// by hand; every command would otherwise meet it as an empty list or a late
// "no such table".
void CheckTables(Connection& db, const std::string& shown) {
    for (const std::string& table : ExpectedTables()) {
        if (!HasTable(db, table)) {
            Refuse(shown, "damaged (table '" + table + "' is missing); restore it from a backup");
        }
    }
}

// The mode bits themselves: access() says yes to root whatever they say, and
// a file its owner marked read-only is not to be written, whoever runs us.
bool MarkedReadOnly(const struct stat& st) { return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0; }
} // namespace

const std::vector<CompanyFile::Table>& CompanyFile::Tables() {
    static const std::vector<Table> kTables = [] {
        static const std::string kCreate = "CREATE TABLE IF NOT EXISTS ";
        static const std::string kNumbered = " INTEGER PRIMARY KEY";
        std::vector<Table> tables;
        for (const char* const* block = SchemaBlocks(); *block; ++block) {
            const std::string sql = *block;
            for (std::size_t at = sql.find(kCreate); at != std::string::npos; at = sql.find(kCreate, at + 1)) {
                const std::size_t begin = at + kCreate.size();
                const std::size_t end = sql.find_first_of(" (\n", begin);
                Table table{sql.substr(begin, end - begin), std::string()};
                const std::size_t close = sql.find("\n)", end);
                const std::size_t numbered = sql.find(kNumbered, end);
                if (numbered != std::string::npos && numbered < close) {
                    const std::size_t lineStart = sql.rfind('\n', numbered) + 1;
                    const std::size_t nameStart = sql.find_first_not_of(' ', lineStart);
                    table.numbered = sql.substr(nameStart, sql.find(' ', nameStart) - nameStart);
                }
                tables.push_back(std::move(table));
            }
        }
        return tables;
    }();
    return kTables;
}

CompanyFile::CompanyFile(const std::string& path, bool create) : m_path(path) {
    if (IsServerLocation(path)) {
        OpenServer(create);
    } else {
        OpenFile(create);
    }
}

void CompanyFile::OpenFile(bool create) {
    const std::string& path = m_path;
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    if (!exists && !create) Refuse(path, "no such file");
    if (exists && create) Refuse(path, "already exists");
    if (exists && !S_ISREG(st.st_mode)) Refuse(path, "not a regular file");
    if (exists && (MarkedReadOnly(st) || ::access(path.c_str(), W_OK) != 0)) {
        Refuse(path, "read-only (the company file must be writable)");
    }
    if (exists) CheckHeader(path, st);

    const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_NOMUTEX;
    try {
        auto opened = std::make_unique<SqliteConnection>(path, flags);
        sqlite3_busy_timeout(opened->Handle(), BusyTimeoutMs());
        m_db = std::move(opened);
        Connection& db = *m_db;
        // The first read of the header tells a company file from anything else.
        const int found = ReadVersion(db);
        if (found > Schema::kVersion) {
            Refuse(path, "made by a newer version (schema " + std::to_string(found) + ", this program reads up to " +
                             std::to_string(Schema::kVersion) + ")");
        }
        if (exists && found == 0 && TableCount(db) != 0) Refuse(path, "not a company file (unknown database)");
        Exec(db, "PRAGMA journal_mode=WAL");
        Exec(db, "PRAGMA synchronous=FULL");
        Exec(db, "PRAGMA foreign_keys=ON");
        if (found < Schema::kVersion) Migrate(found);
        CheckTables(db, path);
        static_cast<SqliteConnection&>(db).EnableStatementCache();
    } catch (const SqlError& e) {
        m_db.reset();
        switch (e.GetFault()) {
        case SqlError::Fault::kDamaged:
            if ((e.Code() & 0xFF) == SQLITE_NOTADB) Refuse(path, "not a company file (not a database)");
            Refuse(path, "damaged (database disk image is malformed)");
        case SqlError::Fault::kBusy: Refuse(path, "busy (another program kept it locked past the wait); try again");
        default: Refuse(path, e.what());
        }
    }
}

void CompanyFile::OpenServer(bool create) {
    try {
        m_db = std::make_unique<PgConnection>(m_path, BusyTimeoutMs());
        Connection& db = *m_db;
        const int found = ReadVersion(db);
        if (found > Schema::kVersion) {
            Refuse(m_path, "made by a newer version (schema " + std::to_string(found) +
                               ", this program reads up to " + std::to_string(Schema::kVersion) + ")");
        }
        // A database is made by whoever runs the server; init puts a company
        // into an empty one and never into one that holds anything else.
        if (create && found != 0) Refuse(m_path, "already holds a company");
        if (found == 0 && TableCount(db) != 0) Refuse(m_path, "not a company database (it holds other tables)");
        if (!create && found == 0) Refuse(m_path, "holds no company yet (run init)");
        if (found < Schema::kVersion) Migrate(found);
        CheckTables(db, m_path);
    } catch (const SqlError& e) {
        m_db.reset();
        if (e.Busy()) Refuse(m_path, "busy (another program kept it locked past the wait); try again");
        Refuse(m_path, e.what());
    }
}

void CompanyFile::KeepOthersLogOnClose() {
    if (m_db->Kind() != Connection::Store::kSqlite) return;
    struct stat log {};
    if (::stat((m_path + "-wal").c_str(), &log) == 0 && log.st_size > 0) {
        sqlite3_db_config(static_cast<SqliteConnection&>(*m_db).Handle(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    }
}

std::string CompanyFile::Shown() const { return DisplayLocation(m_path); }

CompanyFile::~CompanyFile() {
    // A unit of work still open when the company goes is abandoned, never half kept.
    if (m_owner && m_db) m_db->Rollback();
}

void CompanyFile::Migrate(int from) {
    Connection& db = *m_db;
    db.Begin();
    try {
        if (db.Kind() == Connection::Store::kPostgres) {
            // Two programs opening one old company: the second waits here
            // and then finds the work done.
            Exec(db, "SELECT pg_advisory_xact_lock(hashtextextended('reminders:schema', 0))");
            if (ReadVersion(db) == Schema::kVersion) {
                db.Commit();
                return;
            }
        }
        if (from == 1) Exec(db, Schema::kDropOutdatedSql);
        for (const char* const* block = SchemaBlocks(); *block; ++block) Exec(db, SchemaText(db, *block).c_str());
        if (HasTable(db, "preferences")) Exec(db, Schema::kMergePreferencesSql);
        Stmt(db, "INSERT INTO company_key(id, key) VALUES(1, ?1) ON CONFLICT(id) DO NOTHING").Bind(1, NewCompanyKey()).Run();
        WriteVersion(db, Schema::kVersion);
        db.Commit();
    } catch (...) {
        db.Rollback();
        throw;
    }
}

DBMgr::DMTransaction* CompanyFile::CreateTransaction(int, int) {
    if (FaultFails("DBManager.CreateTransaction")) return nullptr;
    return new DBMgr::DMTransaction(weak_from_this());
}

void CompanyFile::Begin(const DBMgr::DMTransaction* owner) {
    if (m_owner) return;  // joins the unit of work already open on this file
    m_db->Begin();
    m_owner = owner;
}

bool CompanyFile::Commit(const DBMgr::DMTransaction* owner) {
    if (m_owner != owner) return true;
    m_db->Commit();
    m_owner = nullptr;
    return true;
}

bool CompanyFile::Rollback(const DBMgr::DMTransaction* owner) {
    if (m_owner != owner) return true;
    m_owner = nullptr;
    return m_db->Rollback();
}

void CompanyFile::Forget(const DBMgr::DMTransaction* owner) {
    if (m_owner == owner) Rollback(owner);
}

} // namespace Host
