#pragma once

#include <string>
#include <vector>

#include "AppContext.h"

namespace CLI {
class App;
}

namespace app {

// `prefs show|set`, `log`, `stats`.
void RegisterPrefsCommands(CLI::App& cli, AppContext& ctx);

// Where the company keeps who may send what ("1" allow, "0" deny; absent:
// allowed). Set with `prefs set send-invoice-reminders|send-statements`.
inline constexpr const char* kInvoicePermissionKey = "permission.sendInvoiceReminders";
inline constexpr const char* kStatementPermissionKey = "permission.sendStatements";

// The host's switches ("1" on, "0" off; absent: on), kept with the company
// and set with `prefs set feature|send-without-preview|purging`.
inline constexpr const char* kSwitchArea = "PaymentReminders";
inline constexpr const char* kFeatureSwitchKey = "switch.FeatureEnabled";
inline constexpr const char* kSendWithoutPreviewSwitchKey = "switch.send_reminder_without_preview";
inline constexpr const char* kPurgingSwitchKey = "switch.txn_purging";

// Hands the stored permissions and switches to the host, where the engine's
// checks read them. Runs whenever a company file is opened, before the
// engine reads a switch (it reads each once per process).
void ApplyPermissions();

enum class Action { Send, SendWithoutPreview, Purge, Run };
// Throws AppError saying which switch stops the action.
void RequireAllowed(Action action);
// Whether "Send Now" may send, or must leave the reminders for review.
bool MaySendWithoutPreview();
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
