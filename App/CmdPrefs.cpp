#include "CmdPrefs.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <deque>
#include <fstream>
#include <iostream>
#include <map>

#include "CompanyFile.h"
#include "Delivery.h"
#include "Host/CompanyLocation.h"
#include "Host/HostContext.h"
#include "Prefs/PrefsTag.h"
#include "Sql.h"
#include "TxnReminderEngine.h"
#include "TxnReminderTimerUtil.h"

namespace app {

namespace {
const char* const kWeekDays[] = {"sunday", "monday", "tuesday", "wednesday", "thursday", "friday", "saturday"};
const char* const kSchedules[] = {"daily", "weekly", "monthly"};

struct PrefEntry {
    const char* name;      // what the person types
    const char* key;       // where the host keeps it
    const char* help;
};

const PrefEntry kPrefs[] = {
    {"reminders", PrefKeys::kState, "on|off: payment reminders for this company"},
    {"prompt", PrefKeys::kPrompt, "on|off: the daily prompt"},
    {"prompt-hour", PrefKeys::kPromptTime, "0..23: hour of the daily prompt"},
    {"schedule", PrefKeys::kScheduleType, "daily|weekly|monthly"},
    {"week-day", PrefKeys::kWeekDay, "sunday..saturday: day of a weekly schedule"},
    {"month-day", PrefKeys::kMonthDate, "1..31: day of a monthly schedule"},
    {"fiscal-year-start", PrefKeys::kFiscalBegin, "1..12: first month of the fiscal year"},
    {"send-invoice-reminders", kInvoicePermissionKey, "allow|deny: whether invoice reminders may be sent"},
    {"send-statements", kStatementPermissionKey, "allow|deny: whether statements may be sent"},
    {"feature", kFeatureSwitchKey, "on|off: the whole reminder feature on this host (off: nothing is sent or purged)"},
    {"send-without-preview", kSendWithoutPreviewSwitchKey, "on|off: sending without a review first (send, Send Now)"},
    {"purging", kPurgingSwitchKey, "on|off: purging old reminder history"},
};

bool IsSwitchKey(const std::string& key) {
    return key == kFeatureSwitchKey || key == kSendWithoutPreviewSwitchKey || key == kPurgingSwitchKey;
}

// The feature-switch flag each switch preference sets.
const char* SwitchFlag(const std::string& key) {
    if (key == kFeatureSwitchKey) return "FeatureEnabled";
    if (key == kSendWithoutPreviewSwitchKey) return "send_reminder_without_preview";
    return "txn_purging";
}

// The schedule prefs decide the stored next prompt day.
bool IsScheduleKey(const std::string& key) {
    return key == PrefKeys::kScheduleType || key == PrefKeys::kWeekDay || key == PrefKeys::kMonthDate;
}

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

int ParseRange(const std::string& name, const std::string& value, int lo, int hi) {
    try {
        std::size_t used = 0;
        const int v = std::stoi(value, &used);
        if (used == value.size() && v >= lo && v <= hi) return v;
    } catch (const std::exception&) {
    }
    throw AppError("prefs set " + name + ": expected a number from " + std::to_string(lo) + " to " + std::to_string(hi) +
                   ", got '" + value + "'");
}

std::string Shown(const PrefEntry& p) {
    PrefsTag* prefs = PrefGetPrefHandle();
    const std::string key = p.key;
    if (key == PrefKeys::kState) return prefs->GetPaymentReminderState() ? "on" : "off";
    if (key == PrefKeys::kPrompt) return prefs->GetPaymentReminderPrompt() ? "on" : "off";
    if (key == PrefKeys::kPromptTime) return std::to_string(prefs->GetPaymentReminderPromptTime());
    if (key == PrefKeys::kScheduleType) {
        const int s = prefs->GetPaymentReminderScheduleType();
        return s >= 1 && s <= 3 ? kSchedules[s - 1] : std::to_string(s);
    }
    if (key == PrefKeys::kWeekDay) {
        const int d = prefs->GetPaymentReminderWeekDay();
        return d >= 1 && d <= 7 ? kWeekDays[d - 1] : std::to_string(d);
    }
    if (key == PrefKeys::kMonthDate) return std::to_string(prefs->GetPaymentReminderMonthDate());
    if (key == kInvoicePermissionKey || key == kStatementPermissionKey) {
        return Host::HostContext::Get().GetPreference(key, "1") == "0" ? "deny" : "allow";
    }
    if (IsSwitchKey(key)) return Host::HostContext::Get().GetPreference(key, "1") == "0" ? "off" : "on";
    return std::to_string(prefs->GetFiscalBegin());
}
} // namespace

std::vector<PrefRow> LoadPrefs() {
    std::vector<PrefRow> rows;
    for (const auto& p : kPrefs) rows.push_back({p.name, Shown(p), p.help});
    for (const auto& row : SmtpPrefRows(true)) rows.push_back({row.name, row.value, row.help});
    return rows;
}

void PrefsShow(const AppContext& ctx) {
    if (ctx.json) {
        nlohmann::ordered_json all = nlohmann::ordered_json::object();
        for (const auto& p : kPrefs) all[p.name] = Shown(p);
        for (const auto& row : SmtpPrefRows()) all[row.name] = row.value;
        PrintJson(all);
        return;
    }
    Table table({"preference", "value", "meaning"});
    for (const auto& p : kPrefs) table.Add({p.name, Shown(p), p.help});
    for (const auto& row : SmtpPrefRows()) table.Add({row.name, row.value, row.help});
    std::cout << table.Render();
}

void PrefsSet(const AppContext& ctx, const std::string& name, const std::string& rawValue) {
    const std::string shown = SetPref(name, rawValue);
    if (ctx.json) {
        PrintJson({{name, shown}});
        return;
    }
    std::cout << name << " = " << shown << "\n";
}

std::string SetPref(const std::string& name, const std::string& rawValue) {
    if (SetSmtpPref(name, rawValue)) {
        for (const auto& row : SmtpPrefRows()) {
            if (row.name == name) return row.value;
        }
    }
    const std::string value = Lower(rawValue);
    const PrefEntry* pref = nullptr;
    for (const auto& p : kPrefs) {
        if (name == p.name) pref = &p;
    }
    if (!pref) {
        std::string known;
        for (const auto& p : kPrefs) known += std::string(known.empty() ? "" : ", ") + p.name;
        throw AppError("prefs set: unknown preference '" + name + "' (known: " + known + ")");
    }
    const std::string key = pref->key;
    std::string stored;
    if (key == PrefKeys::kState || key == PrefKeys::kPrompt || IsSwitchKey(key)) {
        if (value == "on" || value == "1" || value == "true") stored = "1";
        else if (value == "off" || value == "0" || value == "false") stored = "0";
        else throw AppError("prefs set " + name + ": expected on or off, got '" + rawValue + "'");
    } else if (key == PrefKeys::kPromptTime) {
        stored = std::to_string(ParseRange(name, value, 0, 23));
    } else if (key == PrefKeys::kScheduleType) {
        for (int i = 0; i < 3; ++i) {
            if (value == kSchedules[i]) stored = std::to_string(i + 1);
        }
        if (stored.empty()) throw AppError("prefs set schedule: expected daily, weekly or monthly, got '" + rawValue + "'");
    } else if (key == PrefKeys::kWeekDay) {
        for (int i = 0; i < 7; ++i) {
            if (value == kWeekDays[i] || value == std::string(kWeekDays[i]).substr(0, 3)) stored = std::to_string(i + 1);
        }
        if (stored.empty()) throw AppError("prefs set week-day: expected a day name such as monday, got '" + rawValue + "'");
    } else if (key == PrefKeys::kMonthDate) {
        stored = std::to_string(ParseRange(name, value, 1, 31));
    } else if (key == kInvoicePermissionKey || key == kStatementPermissionKey) {
        if (value == "allow" || value == "yes" || value == "on") stored = "1";
        else if (value == "deny" || value == "no" || value == "off") stored = "0";
        else throw AppError("prefs set " + name + ": expected allow or deny, got '" + rawValue + "'");
    } else {
        stored = std::to_string(ParseRange(name, value, 1, 12));
    }
    Host::HostContext::Get().SetPreference(key, stored);
    // A new schedule counts from the next prompt: the day stored under the
    // old one (a month away, say) would otherwise hold the prompt back.
    if (IsScheduleKey(key)) TxnReminderTimerUtil::SetNextLaunchDateToPrefDb();
    ApplyPermissions();
    return Shown(*pref);
}

void ApplyPermissions() {
    auto& host = Host::HostContext::Get();
    const bool invoices = host.GetPreference(kInvoicePermissionKey, "1") != "0";
    const bool statements = host.GetPreference(kStatementPermissionKey, "1") != "0";
    // The host's rights to send invoice reminders (create and send), and statements.
    host.SetPermission(1, 2, invoices);
    host.SetPermission(1, 3, invoices);
    host.SetPermission(7, 3, statements);
    for (const char* key : {kFeatureSwitchKey, kSendWithoutPreviewSwitchKey, kPurgingSwitchKey}) {
        host.SetFeatureSwitch(kSwitchArea, SwitchFlag(key), host.GetPreference(key, "1") != "0");
    }
}

void RequireAllowed(Action action) {
    // The feature switched off closes everything; it must not be read as the
    // engine reads it for its permission check (off there means "no check").
    if (!TxnReminderEngine::IsFeatureEnabled()) {
        throw AppError("payment reminders are switched off on this host (prefs feature is off); nothing was done");
    }
    if (action == Action::SendWithoutPreview &&
        !TxnReminderEngine::IsFeatureEnabled(TxnReminderKillSwitch_SendWithoutPreview)) {
        throw AppError("sending without preview is switched off (prefs send-without-preview is off); review what is "
                       "due with 'reminders due' or 'send --dry-run'");
    }
    if (action == Action::Purge && !TxnReminderEngine::IsFeatureEnabled(TxnReminderKillSwitch_TxnPurging)) {
        throw AppError("purging is switched off (prefs purging is off); nothing was purged");
    }
}

bool MaySendWithoutPreview() { return TxnReminderEngine::IsFeatureEnabled(TxnReminderKillSwitch_SendWithoutPreview); }

void ShowLog(const AppContext& ctx, int tail) {
    // The log is moved aside as it grows ("<log>.1" the newest of the old
    // ones), so the last lines may start in an older file.
    const std::string current = Host::LogPathOf(ctx.file);
    std::deque<std::string> lines;
    bool any = false;
    for (int age = 0; age == 0 || (tail > 0 && static_cast<int>(lines.size()) < tail); ++age) {
        std::ifstream in(age == 0 ? current : current + "." + std::to_string(age));
        if (!in) break;
        any = true;
        std::deque<std::string> older;
        for (std::string line; std::getline(in, line);) {
            older.push_back(std::move(line));
            if (tail > 0 && older.size() + lines.size() > static_cast<std::size_t>(tail)) older.pop_front();
        }
        lines.insert(lines.begin(), older.begin(), older.end());
    }
    if (ctx.json) {
        PrintJson({{"lines", std::vector<std::string>(lines.begin(), lines.end())}});
    } else if (!any) {
        std::cout << "(no log yet: " << current << ")\n";
    } else {
        for (const auto& l : lines) std::cout << l << '\n';
    }
}

void ShowStats(const AppContext& ctx) {
    // Events are summed by their fixed part: the text up to the first value.
    std::map<std::string, std::pair<long, std::string>> byEvent;
    Host::Stmt rows(Host::HostContext::Get().File()->Db(), "SELECT text FROM telemetry ORDER BY id");
    while (rows.Step()) {
        const std::string text = rows.Text(0);
        std::string event = text;
        const std::size_t id = text.find("EventId=");
        if (id != std::string::npos) {
            std::size_t end = text.find_first_of(":,", id);
            event = text.substr(id + 8, end == std::string::npos ? std::string::npos : end - id - 8);
            if (text.find("EventSource=AutomatedStatementReminders") == 0) event = "Statement " + event;
        }
        auto& entry = byEvent[event];
        ++entry.first;
        entry.second = text;
    }
    if (ctx.json) {
        nlohmann::ordered_json events = nlohmann::ordered_json::array();
        for (const auto& [event, e] : byEvent) events.push_back({{"event", event}, {"count", e.first}, {"last", e.second}});
        PrintJson({{"events", events}});
        return;
    }
    if (byEvent.empty()) {
        std::cout << "No telemetry recorded yet.\n";
        return;
    }
    Table table({"event", "count", "last"});
    for (const auto& [event, e] : byEvent) table.Add({event, std::to_string(e.first), e.second});
    std::cout << table.Render();
}

namespace {
struct PrefSetOptions {
    std::string key, value;
};
} // namespace

void RegisterPrefsCommands(CLI::App& cli, AppContext& ctx) {
    auto* prefs = cli.add_subcommand("prefs", "reminder preferences");
    prefs->require_subcommand(1);
    AddCommand(*prefs, ctx, "show", "show the preferences", [&ctx] { PrefsShow(ctx); });
    auto pref = std::make_shared<PrefSetOptions>();
    auto* set = AddCommand(*prefs, ctx, "set", "change a preference", [&ctx, pref] { PrefsSet(ctx, pref->key, pref->value); });
    set->add_option("KEY", pref->key, "preference")->required();
    set->add_option("VALUE", pref->value, "value")->required();

    auto tail = std::make_shared<int>(0);
    AddCommand(cli, ctx, "log", "the log", [&ctx, tail] { ShowLog(ctx, *tail); })
        ->add_option("--tail", *tail, "only the last N lines");
    AddCommand(cli, ctx, "stats", "telemetry, summed up by event", [&ctx] { ShowStats(ctx); });
}

} // namespace app
