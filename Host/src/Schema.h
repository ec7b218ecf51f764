#pragma once

// The company file's tables, one block per host service. Each block is
// idempotent (CREATE ... IF NOT EXISTS) so that an older file is brought up to
// date by running them all again.

namespace Host::Schema {

constexpr int kVersion = 5;

// Preferences (the user's and the features' alike) and the default
// tracker's events.
extern const char* const kCoreSql;
// Reminder sets, rules, target groups and users, history, statement records.
extern const char* const kReminderSql;
// Customers and jobs, invoices, permission groups, message templates.
extern const char* const kDirectorySql;
// The day each reminder went out, and the company file's key.
extern const char* const kSendingSql;
// Delivery state of each outbox message.
extern const char* const kDeliverySql;
// Run on a file that still has the separate table of user preferences.
extern const char* const kMergePreferencesSql;
// Run first when a version-1 file is upgraded.
extern const char* const kDropOutdatedSql;

} // namespace Host::Schema
