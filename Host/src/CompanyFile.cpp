#include "CompanyFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

#include "Host/HostContext.h"
#include "Schema.h"
#include "Sql.h"

namespace Host {

namespace {
[[noreturn]] void Refuse(const std::string& path, const std::string& why) {
    throw std::runtime_error("company file '" + path + "': " + why);
}
} // namespace

CompanyFile::CompanyFile(const std::string& path, bool create) : m_path(path) {
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    if (!exists && !create) Refuse(path, "no such file");
    if (exists && create) Refuse(path, "already exists");
    if (exists && !S_ISREG(st.st_mode)) Refuse(path, "not a regular file");
    if (exists && ::access(path.c_str(), W_OK) != 0) Refuse(path, "read-only (the company file must be writable)");

    const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(path.c_str(), &m_db, flags, nullptr) != SQLITE_OK) {
        const std::string why = m_db ? sqlite3_errmsg(m_db) : "cannot open";
        sqlite3_close(m_db);
        m_db = nullptr;
        Refuse(path, why);
    }
    sqlite3_extended_result_codes(m_db, 1);
    sqlite3_busy_timeout(m_db, 5000);
    try {
        // The first read of the header tells a company file from anything else.
        int found = 0;
        {
            Stmt version(m_db, "PRAGMA user_version");
            version.Step();
            found = static_cast<int>(version.Int(0));
        }
        if (found > Schema::kVersion) {
            Refuse(path, "made by a newer version (schema " + std::to_string(found) + ", this program reads up to " +
                             std::to_string(Schema::kVersion) + ")");
        }
        if (exists && found == 0) {
            long long count = 0;
            {
                Stmt tables(m_db, "SELECT count(*) FROM sqlite_master");
                tables.Step();
                count = tables.Int(0);
            }
            if (count != 0) Refuse(path, "not a company file (unknown database)");
        }
        Exec(m_db, "PRAGMA journal_mode=WAL");
        Exec(m_db, "PRAGMA synchronous=FULL");
        Exec(m_db, "PRAGMA foreign_keys=ON");
        if (found < Schema::kVersion) Migrate(found);
    } catch (const SqlError& e) {
        sqlite3_close(m_db);
        m_db = nullptr;
        const int primary = e.Code() & 0xFF;
        if (primary == SQLITE_NOTADB) Refuse(path, "not a company file (not a database)");
        if (primary == SQLITE_CORRUPT) Refuse(path, "damaged (database disk image is malformed)");
        Refuse(path, e.what());
    } catch (...) {
        sqlite3_close(m_db);
        m_db = nullptr;
        throw;
    }
}

CompanyFile::~CompanyFile() {
    if (m_owner) {
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    sqlite3_close(m_db);
}

void CompanyFile::Migrate(int from) {
    Exec(m_db, "BEGIN IMMEDIATE");
    try {
        if (from == 1) Exec(m_db, Schema::kDropOutdatedSql);
        Exec(m_db, Schema::kCoreSql);
        Exec(m_db, Schema::kReminderSql);
        Exec(m_db, Schema::kDirectorySql);
        Exec(m_db, ("PRAGMA user_version=" + std::to_string(Schema::kVersion)).c_str());
        Exec(m_db, "COMMIT");
    } catch (...) {
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

DBMgr::DMTransaction* CompanyFile::CreateTransaction(int, int) {
    if (FaultFails("DBManager.CreateTransaction")) return nullptr;
    return new DBMgr::DMTransaction(weak_from_this());
}

void CompanyFile::Begin(const DBMgr::DMTransaction* owner) {
    if (m_owner) return;  // joins the unit of work already open on this file
    Exec(m_db, "BEGIN IMMEDIATE");
    m_owner = owner;
}

bool CompanyFile::Commit(const DBMgr::DMTransaction* owner) {
    if (m_owner != owner) return true;
    Exec(m_db, "COMMIT");
    m_owner = nullptr;
    return true;
}

bool CompanyFile::Rollback(const DBMgr::DMTransaction* owner) {
    if (m_owner != owner) return true;
    m_owner = nullptr;
    return sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr) == SQLITE_OK;
}

void CompanyFile::Forget(const DBMgr::DMTransaction* owner) {
    if (m_owner == owner) Rollback(owner);
}

} // namespace Host
