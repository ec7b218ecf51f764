#include "RecordStore.h"

#include <unistd.h>

#include <cstring>
#include <string>

#include "Records/RecordText.h"
#include "SqliteConnection.h"

namespace Host::Records {

Util::Status Resolve(DBMgr::DMTransaction* txn, Conn& conn) {
    if (txn) {
        conn.file = txn->File();
    } else if (CompanyFile* open = HostContext::Get().File()) {
        conn.file = open->shared_from_this();
    }
    if (!conn.file) return Util::Status::Failure(Util::Status::kNoFile);
    conn.db = conn.file->Db();
    return Util::Status::GetSucceeded();
}

Util::Status FromSqlError(const SqlError& error) {
    switch (error.GetFault()) {
    case SqlError::Fault::kConstraint:
        return Refused();
    case SqlError::Fault::kBusy:
        return Util::Status::Failure(Util::Status::kBusy);
    default:
        return Util::Status::GetFailed();
    }
}

bool ShouldRetry(const SqlError& error, DBMgr::DMTransaction* txn, const CompanyFile& file, int attempt) {
    if (txn || file.InTransaction() || !error.Busy() || attempt >= 4) return false;
    ::usleep(50000U * static_cast<unsigned>(attempt));
    return true;
}

Savepoint::Savepoint(Connection* db) : m_db(db) { m_db->Savepoint("record_call"); }

Savepoint::~Savepoint() {
    if (m_open) m_db->RollbackTo("record_call");
}

void Savepoint::Release() {
    m_open = false;
    m_db->Release("record_call");
}

void KeepIdsPast(Connection* db, const char* table, const char* column, long long id) {
    if (db->Kind() != Connection::Store::kPostgres) return;
    Stmt(db, "SELECT setval(s, GREATEST(?3, COALESCE(pg_sequence_last_value(s), 0))) "
             "FROM (SELECT pg_get_serial_sequence(?1, ?2)::regclass AS s) q")
        .Bind(1, table)
        .Bind(2, column)
        .Bind(3, id)
        .Run();
}

std::string InsertReturning(Connection* db, const char* insert, const char* idColumn) {
    std::string sql(insert);
    if (db->Kind() == Connection::Store::kPostgres) sql.append(" RETURNING ").append(idColumn);
    return sql;
}

bool NewId(Connection* db, Stmt& q, long long& id) {
    if (db->Kind() == Connection::Store::kPostgres) {
        if (!q.Step()) return false;
        id = q.Int(0);
        q.Run();
        return true;
    }
    q.Run();
    // Only a row this statement added names the id.
    if (db->Changes() != 1) return false;
    id = sqlite3_last_insert_rowid(static_cast<SqliteConnection*>(db)->Handle());
    return true;
}

bool NewId32(Connection* db, Stmt& q, std::int32_t& id) {
    long long rowid = 0;
    if (!NewId(db, q, rowid) || !FitsInt32(rowid)) return false;
    id = static_cast<std::int32_t>(rowid);
    return true;
}

} // namespace Host::Records

namespace Host {

namespace {
// Length of the longest prefix of at most maxBytes that ends on a whole
// UTF-8 character.
std::size_t Utf8Cut(const char* text, std::size_t length, std::size_t maxBytes) {
    if (length <= maxBytes) return length;
    std::size_t cut = maxBytes;
    // Step back over continuation bytes to the lead byte of the split character.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0u) == 0x80u) --cut;
    return cut;
}
} // namespace

std::size_t Utf8CutLength(const char* text, std::size_t length, std::size_t maxBytes) {
    return Utf8Cut(text, length, maxBytes);
}

std::size_t Utf8Length(const std::string& text) {
    std::size_t count = 0;
    for (char c : text) count += (static_cast<unsigned char>(c) & 0xC0u) != 0x80u ? 1 : 0;
    return count;
}

std::string TruncateUtf8(const std::string& text, std::size_t maxBytes) {
    return text.substr(0, Utf8Cut(text.data(), text.size(), maxBytes));
}

void CopyBoundedText(char* buffer, std::size_t size, const char* text) {
    if (!buffer || size == 0) return;
    const char* source = text ? text : "";
    const std::size_t length = Utf8Cut(source, std::strlen(source), size - 1);
    std::memcpy(buffer, source, length);
    std::memset(buffer + length, 0, size - length);
}

void CopyBoundedText(char* buffer, std::size_t size, const std::string& text) {
    if (!buffer || size == 0) return;
    // Up to the first NUL, as a C text would be.
    CopyBoundedText(buffer, size, text.c_str());
}

std::string BoundedText(const char* buffer, std::size_t size) {
    if (!buffer) return std::string();
    const void* nul = std::memchr(buffer, '\0', size);
    const std::size_t length = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - buffer) : size;
    return std::string(buffer, length);
}

} // namespace Host
