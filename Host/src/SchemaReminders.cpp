#include "Schema.h"

namespace Host::Schema {

// Ids never come back once used (AUTOINCREMENT): history and templates may
// still name a deleted rule or set, and must not start naming a new one.
const char* const kReminderSql = R"sql(
CREATE TABLE IF NOT EXISTS reminder_sets (
    id              INTEGER PRIMARY KEY AUTOINCREMENT,
    name            TEXT    NOT NULL DEFAULT '',
    is_active       INTEGER NOT NULL DEFAULT 0,
    txn_view        INTEGER NOT NULL DEFAULT 0,
    target_group_id INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX IF NOT EXISTS reminder_sets_by_view_group ON reminder_sets(txn_view, target_group_id);

CREATE TABLE IF NOT EXISTS reminder_rules (
    id               INTEGER PRIMARY KEY AUTOINCREMENT,
    set_id           INTEGER NOT NULL,
    date_to_compare  INTEGER NOT NULL DEFAULT 0,
    condition        INTEGER NOT NULL DEFAULT 0,
    trigger_interval INTEGER NOT NULL DEFAULT 0,
    template_id      INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX IF NOT EXISTS reminder_rules_by_set ON reminder_rules(set_id);

CREATE TABLE IF NOT EXISTS reminder_target_groups (
    id          INTEGER PRIMARY KEY AUTOINCREMENT,
    name        TEXT    NOT NULL DEFAULT '',
    group_type  INTEGER NOT NULL DEFAULT 0,
    description TEXT    NOT NULL DEFAULT ''
);
CREATE INDEX IF NOT EXISTS reminder_target_groups_by_type ON reminder_target_groups(group_type);

CREATE TABLE IF NOT EXISTS reminder_target_users (
    group_id    INTEGER NOT NULL,
    customer_id INTEGER NOT NULL,
    PRIMARY KEY (group_id, customer_id)
) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS reminder_target_users_by_customer ON reminder_target_users(customer_id);

CREATE TABLE IF NOT EXISTS reminder_history (
    id       INTEGER PRIMARY KEY AUTOINCREMENT,
    txn_id   INTEGER NOT NULL,
    txn_view INTEGER NOT NULL,
    rule_id  INTEGER NOT NULL,
    status   INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS reminder_history_by_txn ON reminder_history(txn_view, txn_id, id);

CREATE TABLE IF NOT EXISTS stmt_reminder_rules (
    id                INTEGER PRIMARY KEY AUTOINCREMENT,
    set_id            INTEGER NOT NULL,
    schedule_day      INTEGER NOT NULL DEFAULT 0,
    frequency         INTEGER NOT NULL DEFAULT 0,
    date_range        INTEGER NOT NULL DEFAULT 0,
    txn_status        INTEGER NOT NULL DEFAULT 0,
    overdue_by        INTEGER NOT NULL DEFAULT 0,
    template_id       INTEGER NOT NULL DEFAULT 0,
    style_template_id INTEGER NOT NULL DEFAULT 0,
    item_details      INTEGER NOT NULL DEFAULT 0,
    memo              INTEGER NOT NULL DEFAULT 0,
    due_date          INTEGER NOT NULL DEFAULT 0,
    customer_job      INTEGER NOT NULL DEFAULT 0,
    prep_date         TEXT    NOT NULL DEFAULT ''
);
CREATE INDEX IF NOT EXISTS stmt_reminder_rules_by_set ON stmt_reminder_rules(set_id);

CREATE TABLE IF NOT EXISTS stmt_reminder_status (
    rule_id     INTEGER NOT NULL,
    customer_id INTEGER NOT NULL,
    status      INTEGER NOT NULL,
    PRIMARY KEY (rule_id, customer_id)
) WITHOUT ROWID;
)sql";

} // namespace Host::Schema
