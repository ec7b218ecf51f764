#include "Schema.h"

namespace Host::Schema {

// One row per outbox file once the mail server has answered for it. A file
// without a row is still queued; the row is written right after the reply so
// that a crash can lose at most the knowledge of one accepted message.
const char* const kDeliverySql = R"sql(
CREATE TABLE IF NOT EXISTS outbox_delivery (
    name       TEXT    PRIMARY KEY,
    message_id TEXT    NOT NULL DEFAULT '',
    recipient  TEXT    NOT NULL DEFAULT '',
    state      TEXT    NOT NULL,
    attempts   INTEGER NOT NULL DEFAULT 0,
    reply      TEXT    NOT NULL DEFAULT '',
    time       INTEGER NOT NULL DEFAULT 0,
    next_try   INTEGER NOT NULL DEFAULT 0
) WITHOUT ROWID;
)sql";

} // namespace Host::Schema
