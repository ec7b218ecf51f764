#include "Schema.h"

namespace Host::Schema {

const char* const kCoreSql = R"sql(
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

// Up to version 4 the user's preferences had a table of their own beside
// the values features keep; both are one table now. Should a key stand in
// both, the feature's value stays (keys never overlapped in practice).
const char* const kMergePreferencesSql = R"sql(
INSERT OR IGNORE INTO company_prefs(key, value) SELECT key, value FROM preferences;
DROP TABLE preferences;
)sql";

} // namespace Host::Schema
