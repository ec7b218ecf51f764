#include <stdexcept>
#include <string>
#include <vector>

#include "CompanyFile.h"
#include "RecordStore.h"
#include "SqliteConnection.h"

namespace Host {

namespace {
// Tables a new company already fills for itself; the copy replaces them.
bool MadeWithTheCompany(const std::string& table) { return table == "company_key" || table == "telemetry"; }

// The last id the store handed out for `table`, deleted rows included: a
// copy must not hand them out again.
long long IdFloor(Connection& db, const CompanyFile::Table& table) {
    long long floor = 0;
    {
        Stmt top(db, ("SELECT max(" + table.numbered + ") FROM " + table.name).c_str());
        if (top.Step()) floor = top.Int(0);
    }
    if (db.Kind() == Connection::Store::kSqlite) {
        Stmt has(db, "SELECT count(*) FROM sqlite_master WHERE name = 'sqlite_sequence'");
        if (!has.Step() || has.Int(0) == 0) return floor;
        Stmt seq(db, "SELECT seq FROM sqlite_sequence WHERE name = ?1");
        seq.Bind(1, table.name);
        if (seq.Step() && seq.Int(0) > floor) floor = seq.Int(0);
    } else {
        Stmt seq(db, "SELECT pg_sequence_last_value(pg_get_serial_sequence(?1, ?2)::regclass)");
        seq.Bind(1, table.name).Bind(2, table.numbered);
        if (seq.Step() && !seq.IsNull(0) && seq.Int(0) > floor) floor = seq.Int(0);
    }
    return floor;
}

void SetIdFloor(Connection& db, const CompanyFile::Table& table, long long floor) {
    if (floor <= 0) return;
    if (db.Kind() == Connection::Store::kPostgres) {
        Records::KeepIdsPast(&db, table.name.c_str(), table.numbered.c_str(), floor);
        return;
    }
    // A file counts past the ids it was given by itself; only a floor above
    // them (rows deleted at the source) is written.
    Stmt(db, "UPDATE sqlite_sequence SET seq = ?2 WHERE name = ?1 AND seq < ?2").Bind(1, table.name).Bind(2, floor).Run();
}

// Rows go over in batches, one INSERT of many rows each: on a server that
// is one round trip per batch instead of one per row.
constexpr int kBatchRows = 200;

struct Cell {
    enum { kNull, kInt, kText } kind = kNull;
    long long number = 0;
    std::string text;
};

std::string InsertText(const std::string& table, const std::string& names, int columns, int rows) {
    std::string sql = "INSERT INTO " + table + "(" + names + ") VALUES";
    int parameter = 0;
    for (int r = 0; r < rows; ++r) {
        sql += r ? ",(" : "(";
        for (int c = 0; c < columns; ++c) sql += (c ? ",?" : "?") + std::to_string(++parameter);
        sql += ")";
    }
    return sql;
}

void CopyTable(Connection& from, Connection& to, const CompanyFile::Table& table) {
    Stmt rows(from, ("SELECT * FROM " + table.name).c_str());
    int columns = 0;
    std::string names;
    std::vector<Cell> batch;
    std::string fullText;
    std::unique_ptr<Stmt> full;  // the statement of a whole batch, kept for the next
    auto flush = [&] {
        const int count = columns ? static_cast<int>(batch.size()) / columns : 0;
        if (count == 0) return;
        std::unique_ptr<Stmt> partial;
        Stmt* put = nullptr;
        std::string text;
        if (count == kBatchRows) {
            if (!full) {
                fullText = InsertText(table.name, names, columns, count);
                full = std::make_unique<Stmt>(to, fullText.c_str());
            }
            put = full.get();
        } else {
            text = InsertText(table.name, names, columns, count);
            partial = std::make_unique<Stmt>(to, text.c_str());
            put = partial.get();
        }
        put->Reset();
        for (std::size_t i = 0; i < batch.size(); ++i) {
            const int parameter = static_cast<int>(i) + 1;
            const Cell& cell = batch[i];
            if (cell.kind == Cell::kNull) put->BindNull(parameter);
            else if (cell.kind == Cell::kInt) put->Bind(parameter, cell.number);
            else put->Bind(parameter, cell.text);
        }
        put->Run();
        batch.clear();
    };
    while (rows.Step()) {
        if (columns == 0) {
            columns = rows.ColumnCount();
            for (int c = 0; c < columns; ++c) names += (c ? ", " : "") + rows.ColumnName(c);
        }
        for (int c = 0; c < columns; ++c) {
            Cell cell;
            if (rows.IsNull(c)) {
                cell.kind = Cell::kNull;
            } else if (rows.IsInteger(c)) {
                cell.kind = Cell::kInt;
                cell.number = rows.Int(c);
            } else {
                cell.kind = Cell::kText;
                cell.text = rows.Text(c);
            }
            batch.push_back(std::move(cell));
        }
        if (static_cast<int>(batch.size()) == kBatchRows * columns) flush();
    }
    flush();
}
} // namespace

void CopyCompany(const CompanyFile& source, CompanyFile& destination) {
    Connection& from = *source.Db();
    Connection& to = *destination.Db();
    if (destination.InTransaction()) {
        throw std::runtime_error("company '" + destination.Shown() + "' is in the middle of a unit of work");
    }
    const auto& tables = CompanyFile::Tables();
    // One consistent reading of the source, whatever others write meanwhile.
    const bool ownRead = !source.InTransaction();
    try {
        if (ownRead) {
            from.Exec(from.Kind() == Connection::Store::kSqlite ? "BEGIN"
                                                                : "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
        }
        to.Begin();
        try {
            for (const CompanyFile::Table& table : tables) {
                if (MadeWithTheCompany(table.name)) {
                    Stmt(to, ("DELETE FROM " + table.name).c_str()).Run();
                    continue;
                }
                Stmt any(to, ("SELECT 1 FROM " + table.name + " LIMIT 1").c_str());
                if (any.Step()) {
                    throw std::runtime_error("company '" + destination.Shown() + "' is not empty (table '" +
                                             table.name + "' holds rows); copy only into a new company");
                }
            }
            for (const CompanyFile::Table& table : tables) {
                CopyTable(from, to, table);
                if (!table.numbered.empty()) SetIdFloor(to, table, IdFloor(from, table));
            }
            to.Commit();
        } catch (...) {
            to.Rollback();
            throw;
        }
        if (ownRead) from.Rollback();
    } catch (const SqlError& e) {
        if (ownRead) from.Rollback();
        throw std::runtime_error("company '" + source.Shown() + "' cannot be copied to '" + destination.Shown() +
                                 "': " + e.what() + "; nothing was copied");
    } catch (...) {
        if (ownRead) from.Rollback();
        throw;
    }
}

std::shared_ptr<CompanyFile> CompanyFile::CopyInMemory(const CompanyFile& source) {
    // SQLite keeps ":memory:" to itself; a file of that name in the working
    // folder would be refused as existing rather than written to.
    auto copy = std::make_shared<CompanyFile>(":memory:", true);
    if (source.Db()->Kind() != Connection::Store::kSqlite) {
        CopyCompany(source, *copy);
        return copy;
    }
    // A file copies page by page, exactly as it is.
    sqlite3* to = static_cast<SqliteConnection*>(copy->Db())->Handle();
    sqlite3* from = static_cast<SqliteConnection*>(source.Db())->Handle();
    sqlite3_backup* backup = sqlite3_backup_init(to, "main", from, "main");
    if (!backup) {
        throw std::runtime_error("company file '" + source.Path() + "' cannot be copied: " + sqlite3_errmsg(to));
    }
    const int stepped = sqlite3_backup_step(backup, -1);
    const int finished = sqlite3_backup_finish(backup);
    if (stepped != SQLITE_DONE || finished != SQLITE_OK) {
        throw std::runtime_error("company file '" + source.Path() + "' cannot be copied: " +
                                 sqlite3_errstr(stepped != SQLITE_DONE ? stepped : finished));
    }
    return copy;
}

} // namespace Host
