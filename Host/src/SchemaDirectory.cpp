#include "Schema.h"

namespace Host::Schema {

// Dates are day numbers since 1970-01-01; moments are seconds since then;
// amounts are hundredths.
const char* const kDirectorySql = R"sql(
CREATE TABLE IF NOT EXISTS customers (
    id        INTEGER PRIMARY KEY AUTOINCREMENT,
    parent_id INTEGER NOT NULL DEFAULT 0,
    name      TEXT    NOT NULL,
    hidden    INTEGER NOT NULL DEFAULT 0,
    email     TEXT    NOT NULL DEFAULT '',
    cust_type TEXT    NOT NULL DEFAULT '',
    terms     TEXT    NOT NULL DEFAULT '',
    since     INTEGER NOT NULL DEFAULT 0
);
CREATE UNIQUE INDEX IF NOT EXISTS customers_by_parent_name ON customers(parent_id, name);
-- The few hidden names, for leaving them out of a whole group at once.
CREATE INDEX IF NOT EXISTS customers_hidden ON customers(id) WHERE hidden <> 0;

CREATE TABLE IF NOT EXISTS invoices (
    txn_id       INTEGER PRIMARY KEY AUTOINCREMENT,
    customer_id  INTEGER NOT NULL REFERENCES customers(id),
    txn_date     INTEGER NOT NULL,
    due_date     INTEGER NOT NULL,
    amount       INTEGER NOT NULL DEFAULT 0,
    is_paid      INTEGER NOT NULL DEFAULT 0,
    is_no_post   INTEGER NOT NULL DEFAULT 0,
    cleared_type INTEGER NOT NULL DEFAULT 0,
    paid_date    INTEGER,
    mod_time     INTEGER NOT NULL
);
-- The open-invoice query reads this index alone: equality on the two flags,
-- the cleared type filtered in the index, the selected columns covered, and
-- the rows come in transaction order, so the selection need not sort them.
CREATE INDEX IF NOT EXISTS invoices_open
    ON invoices(is_paid, is_no_post, txn_id, cleared_type, due_date, customer_id);
CREATE INDEX IF NOT EXISTS invoices_by_customer ON invoices(customer_id, is_paid);

CREATE TABLE IF NOT EXISTS entity_groups (
    id          INTEGER PRIMARY KEY AUTOINCREMENT,
    entity_type INTEGER NOT NULL DEFAULT 0,
    group_type  INTEGER NOT NULL DEFAULT 0,
    name        TEXT    NOT NULL DEFAULT '',
    description TEXT    NOT NULL DEFAULT '',
    used_by     TEXT    NOT NULL DEFAULT ''
);
CREATE TABLE IF NOT EXISTS entity_group_rules (
    id        INTEGER PRIMARY KEY AUTOINCREMENT,
    group_id  INTEGER NOT NULL REFERENCES entity_groups(id) ON DELETE CASCADE,
    attribute INTEGER NOT NULL DEFAULT 0,
    operator  INTEGER NOT NULL DEFAULT 0,
    value     TEXT    NOT NULL DEFAULT ''
);
-- A group's members (one rule each) are read from this index alone, in rule
-- order, without a sort.
CREATE INDEX IF NOT EXISTS entity_group_rules_members ON entity_group_rules(group_id, attribute, id, value);

CREATE TABLE IF NOT EXISTS message_template_types (
    type_id INTEGER PRIMARY KEY,
    name    TEXT NOT NULL DEFAULT '',
    text    TEXT NOT NULL DEFAULT ''
);
CREATE TABLE IF NOT EXISTS message_templates (
    id       INTEGER PRIMARY KEY AUTOINCREMENT,
    type_id  INTEGER NOT NULL,
    owner_id INTEGER NOT NULL DEFAULT 0,
    name     TEXT    NOT NULL DEFAULT '',
    subject  TEXT    NOT NULL DEFAULT '',
    body     TEXT    NOT NULL DEFAULT '',
    options  INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX IF NOT EXISTS message_templates_by_type ON message_templates(type_id);
)sql";

// Indexes of version 1 that a later version defines differently; dropped
// before the blocks above create them anew.
const char* const kDropOutdatedSql = R"sql(
DROP INDEX IF EXISTS invoices_open;
DROP INDEX IF EXISTS entity_group_rules_by_group;
)sql";

} // namespace Host::Schema
