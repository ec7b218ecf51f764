#include "Schema.h"

namespace Host::Schema {

// Filled in with the reminder record store.
const char* const kReminderSql = "SELECT 1;";

} // namespace Host::Schema
