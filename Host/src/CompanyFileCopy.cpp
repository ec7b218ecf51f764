#include <stdexcept>

#include "CompanyFile.h"

namespace Host {

std::shared_ptr<CompanyFile> CompanyFile::CopyInMemory(const CompanyFile& source) {
    // SQLite keeps ":memory:" to itself; a file of that name in the working
    // folder would be refused as existing rather than written to.
    auto copy = std::make_shared<CompanyFile>(":memory:", true);
    sqlite3_backup* backup = sqlite3_backup_init(copy->Db(), "main", source.Db(), "main");
    if (!backup) {
        throw std::runtime_error("company file '" + source.Path() + "' cannot be copied: " + sqlite3_errmsg(copy->Db()));
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
