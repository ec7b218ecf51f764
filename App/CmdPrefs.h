#pragma once

#include <string>
#include <vector>

#include "AppContext.h"

namespace app {

// Where the company keeps who may send what ("1" allow, "0" deny; absent:
// allowed). Set with `prefs set send-invoice-reminders|send-statements`.
inline constexpr const char* kInvoicePermissionKey = "permission.sendInvoiceReminders";
inline constexpr const char* kStatementPermissionKey = "permission.sendStatements";

// Hands the stored permissions to the host, where the engine's permission
// checks read them. Runs whenever a company file is opened.
void ApplyPermissions();

// Every preference as `prefs show` lists it.
struct PrefRow {
    std::string name, value, help;
};
std::vector<PrefRow> LoadPrefs();
// Checks and stores one preference; returns its value as shown. Throws AppError.
std::string SetPref(const std::string& name, const std::string& value);

// `prefs show`, `prefs set KEY VALUE`.
void PrefsShow(const AppContext& ctx);
void PrefsSet(const AppContext& ctx, const std::string& key, const std::string& value);

// `log [--tail N]`, `stats`.
void ShowLog(const AppContext& ctx, int tail);
void ShowStats(const AppContext& ctx);

} // namespace app
