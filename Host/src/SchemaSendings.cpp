#include "Schema.h"

namespace Host::Schema {

// Day numbers since 1970-01-01. The company key is made once, with the
// file, and copied with it.
const char* const kSendingSql = R"sql(
CREATE TABLE IF NOT EXISTS reminder_sendings (
    txn_view INTEGER NOT NULL,
    txn_id   INTEGER NOT NULL,
    rule_id  INTEGER NOT NULL,
    sent_on  INTEGER NOT NULL,
    PRIMARY KEY (txn_view, txn_id, rule_id)
) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS reminder_sendings_by_day ON reminder_sendings(sent_on, txn_view, txn_id);
CREATE TABLE IF NOT EXISTS company_key (
    id  INTEGER PRIMARY KEY CHECK (id = 1),
    key TEXT NOT NULL
);
)sql";

} // namespace Host::Schema
