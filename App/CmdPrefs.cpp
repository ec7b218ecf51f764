#include "CmdPrefs.h"

#include <algorithm>
#include <deque>
#include <fstream>
#include <iostream>
#include <map>

#include "CompanyFile.h"
#include "Host/HostContext.h"
#include "Prefs/PrefsTag.h"
#include "Sql.h"

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
};

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
    return std::to_string(prefs->GetFiscalBegin());
}
} // namespace

std::vector<PrefRow> LoadPrefs() {
    std::vector<PrefRow> rows;
    for (const auto& p : kPrefs) rows.push_back({p.name, Shown(p), p.help});
    return rows;
}

void PrefsShow(const AppContext& ctx) {
    if (ctx.json) {
        boost::property_tree::ptree tree;
        for (const auto& p : kPrefs) tree.put(p.name, Shown(p));
        std::cout << ToJson(tree);
        return;
    }
    Table table({"preference", "value", "meaning"});
    for (const auto& p : kPrefs) table.Add({p.name, Shown(p), p.help});
    std::cout << table.Render();
}

void PrefsSet(const AppContext&, const std::string& name, const std::string& rawValue) {
    const std::string shown = SetPref(name, rawValue);
    std::cout << name << " = " << shown << "\n";
}

std::string SetPref(const std::string& name, const std::string& rawValue) {
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
    if (key == PrefKeys::kState || key == PrefKeys::kPrompt) {
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
}

void ShowLog(const AppContext& ctx, int tail) {
    std::ifstream in(ctx.file + ".log");
    if (!in) {
        std::cout << "(no log yet: " << ctx.file << ".log)\n";
        return;
    }
    std::deque<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
        if (tail > 0 && static_cast<int>(lines.size()) > tail) lines.pop_front();
    }
    for (const auto& l : lines) std::cout << l << '\n';
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
        boost::property_tree::ptree tree;
        for (const auto& [event, e] : byEvent) {
            boost::property_tree::ptree item;
            item.put("event", event);
            item.put("count", e.first);
            item.put("last", e.second);
            tree.push_back({"", item});
        }
        boost::property_tree::ptree root;
        root.add_child("events", tree);
        std::cout << ToJson(root);
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

} // namespace app
