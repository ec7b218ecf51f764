#include "Schema.h"

namespace Host::Schema {

const char* const kCoreSql = R"sql(
CREATE TABLE IF NOT EXISTS preferences (
    key   TEXT PRIMARY KEY,
    value TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS company_prefs (
    key   TEXT PRIMARY KEY,
    value TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS telemetry (
    id   INTEGER PRIMARY KEY,
    time INTEGER NOT NULL,
    kind INTEGER NOT NULL,
    text TEXT NOT NULL
);
)sql";

} // namespace Host::Schema
