#include "Schema.h"

namespace Host::Schema {

// Filled in with the customer, invoice, group and template services.
const char* const kDirectorySql = "SELECT 1;";

} // namespace Host::Schema
