#include <stdexcept>

#include "CompanyFile.h"
#include "SqliteConnection.h"

namespace Host {

std::shared_ptr<CompanyFile> CompanyFile::CopyInMemory(const CompanyFile& source) {
    // SQLite keeps ":memory:" to itself; a file of that name in the working
    // folder would be refused as existing rather than written to.
    auto copy = std::make_shared<CompanyFile>(":memory:", true);
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
