#pragma once

// The one table of preferences in a company file, shared by the user's
// settings (HostContext) and the values features keep (DBPreferences).

#include "Sql.h"

#include <string>

#include "Util/Status.h"

namespace Host::StoredPrefs {

// Absent: succeeds with kRecordNotFound and empties `value`. Throws SqlError
// when the store cannot be read (a damaged file), for the caller to decide.
Util::Status Read(Host::Connection* db, const std::string& key, std::string& value);
// Throws SqlError when the file cannot be written.
void Write(Host::Connection* db, const std::string& key, const std::string& value);

} // namespace Host::StoredPrefs
