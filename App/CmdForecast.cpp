#include "CmdForecast.h"

#include <algorithm>
#include <iostream>
#include <map>
#include <memory>
#include <set>

#include "CmdDue.h"
#include "CmdPrefs.h"
#include "CmdSets.h"
#include "Csv.h"
#include "Host/DefaultTracker.h"
#include "Host/HostContext.h"
#include "Message.h"
#include "Prefs/PrefsTag.h"
#include "TxnReminderTimerUtil.h"

namespace app {

namespace {
using Json = nlohmann::ordered_json;

struct SetOfRule {
    long id = 0;
    std::string name;
};

// The set each rule belongs to, for the totals per set.
std::map<std::pair<bool, unsigned long>, SetOfRule> SetsByRule() {
    std::map<std::pair<bool, unsigned long>, SetOfRule> out;
    for (const auto& set : LoadAllSets()) {
        const SetOfRule of{static_cast<long>(set.GetRuleSetId()), set.GetReminderSetName().str()};
        for (const auto& r : set.GetReminderRules()) out[{false, r.GetRuleId()}] = of;
        for (const auto& r : set.GetStatementReminderRules()) out[{true, r.GetRuleId()}] = of;
    }
    return out;
}

Forecast ForecastOnOpenCopy(const AppContext& ctx, const DateType32& from, int days) {
    Forecast f;
    f.from = from;
    PrefsTag* prefs = PrefGetPrefHandle();
    if (!prefs->GetPaymentReminderState() || !prefs->GetPaymentReminderPrompt()) {
        f.notes.push_back("The daily prompt is off: nothing goes out by itself. Shown as if it were on.");
    }
    if (!MaySendWithoutPreview()) {
        f.notes.push_back("Sending without preview is switched off: the prompt leaves these for review. Shown as if "
                          "each was sent after review on its day.");
    }
    const int promptHour = std::clamp(prefs->GetPaymentReminderPromptTime(), 0, 23);
    const auto setOf = SetsByRule();
    auto& host = Host::HostContext::Get();
    std::string why;
    // Nothing but the history changes from one forecast day to the next.
    ListingReads unchanged;
    for (int d = 0; d < days; ++d) {
        ForecastDay day;
        day.date = DateAdd(from, d);
        host.FixClock(day.date, 8, 0, 0);
        // The timer fires on the stored next prompt day, or at once when
        // that day has passed.
        day.prompt = day.date.Compare(TxnReminderTimerUtil::GetNextLaunchDateFromPrefDb()) >= 0;
        DueDay due(ctx, &unchanged);
        std::vector<std::size_t> sendable;
        day.items.reserve(due.Size());
        for (std::size_t i = 0; i < due.Size(); ++i) {
            DueDay::Line line = due.At(i, ctx.json);
            ForecastItem fi;
            fi.statement = line.statement;
            fi.transactionId = line.transactionId;
            fi.invoice = line.invoice;
            fi.customerId = line.customerId;
            fi.customer = std::move(line.customer);
            fi.ruleId = line.ruleId;
            fi.templateId = line.templateId;
            const auto set = setOf.find({line.statement, fi.ruleId});
            if (set != setOf.end()) {
                fi.setId = set->second.id;
                fi.setName = set->second.name;
            }
            fi.ruleText = std::move(line.ruleText);
            fi.subject = std::move(line.subject);
            fi.sendable = !line.email.empty() && IsPlausibleMailbox(line.email, why);
            fi.dueJson = std::move(line.json);
            if (fi.sendable) sendable.push_back(i);
            day.items.push_back(std::move(fi));
        }
        if (day.prompt) {
            host.FixClock(day.date, promptHour, 0, 0);
            due.RecordSent(sendable);
            TxnReminderTimerUtil::SetNextLaunchDateToPrefDb();
        }
        f.days.push_back(std::move(day));
    }
    return f;
}

// Opens a fresh copy of the company file, lets `prepare` change it, then forecasts.
template <class Prepare>
Forecast ForecastOnFreshCopy(const AppContext& ctx, const DateType32& from, int days, Prepare prepare) {
    auto& host = Host::HostContext::Get();
    if (host.CompanyFilePath() != ctx.file) ctx.Open();
    if (!host.UseCopyInMemory().Succeeded()) throw AppError(host.LastOpenError());
    struct CloseCopy {
        ~CloseCopy() { Host::HostContext::Get().CloseCompanyFile(); }
    } close;
    prepare();
    return ForecastOnOpenCopy(ctx, from, days);
}

std::string Plural(std::size_t n, const char* noun) { return std::to_string(n) + " " + noun + (n == 1 ? "" : "s"); }

struct Tally {
    std::string name;
    std::size_t count = 0;
};

// `value` as it stands at `depth` levels into a document printed with an
// indent of two.
std::string Nested(const Json& value, int depth) {
    std::string out;
    AppendIndented(value.dump(2, ' ', false, Json::error_handler_t::replace), static_cast<std::size_t>(2 * depth), out);
    return out;
}

// A day as the JSON report prints it. Each reminder is the listing's own
// text, moved in two levels and given its "sent": read back into a document
// and printed again, a month of a large company costs more than the forecast.
void AppendDayJson(const ForecastDay& day, const DateType32& nextPrompt, std::string& out, std::ostream& sink) {
    out += "    {\n      \"date\": \"" + FormatIsoDate(day.date) + "\",\n      \"prompt\": ";
    out += day.prompt ? "true" : "false";
    out += ",\n      \"nextPrompt\": ";
    out += day.prompt || !nextPrompt.IsValid() ? "null" : "\"" + FormatIsoDate(nextPrompt) + "\"";
    out += ",\n      \"count\": " + std::to_string(day.items.size()) + ",\n      \"reminders\": ";
    if (day.items.empty()) {
        out += "[]\n    }";
        return;
    }
    out += "[\n";
    for (std::size_t n = 0; n < day.items.size(); ++n) {
        const ForecastItem& item = day.items[n];
        const std::string& listed = item.dueJson;
        // The listing's text ends with its closing brace on a line of its own.
        const std::size_t close = listed.rfind("\n  }");
        const std::size_t body = close == std::string::npos ? listed.size() : close;
        out += "      ";
        AppendIndented(std::string_view(listed).substr(0, body), 6, out);
        out += ",\n          \"sent\": ";
        out += day.prompt && item.sendable ? "true" : "false";
        out += "\n        }";
        out += n + 1 < day.items.size() ? ",\n" : "\n";
        FlushLarge(out, sink);
    }
    out += "      ]\n    }";
}

void ShowForecast(const AppContext& ctx, const Forecast& f) {
    // Only what would go out counts in the totals: the waiting days list
    // what the next prompt day lists again.
    std::map<int, Tally> byCustomer;
    std::map<long, Tally> bySet;
    std::size_t invoices = 0, statements = 0, unsent = 0, prompts = 0;
    std::vector<DateType32> nextPrompt(f.days.size());
    DateType32 next;
    for (std::size_t i = f.days.size(); i-- > 0;) {
        if (f.days[i].prompt) next = f.days[i].date;
        nextPrompt[i] = next;
    }
    for (const auto& day : f.days) {
        if (!day.prompt) continue;
        ++prompts;
        for (const auto& item : day.items) {
            if (!item.sendable) {
                ++unsent;
                continue;
            }
            ++(item.statement ? statements : invoices);
            Tally& c = byCustomer[item.customerId];
            c.name = item.customer;
            ++c.count;
            Tally& s = bySet[item.setId];
            s.name = item.setName;
            ++s.count;
        }
    }
    if (ctx.json) {
        Json customers = Json::array();
        for (const auto& [id, t] : byCustomer) customers.push_back({{"customerId", id}, {"customer", t.name}, {"count", t.count}});
        Json sets = Json::array();
        for (const auto& [id, t] : bySet) sets.push_back({{"setId", id}, {"set", t.name}, {"count", t.count}});
        std::string out = "{\n  \"from\": \"" + FormatIsoDate(f.from) + "\",\n  \"notes\": " + Nested(f.notes, 1) +
                          ",\n  \"days\": ";
        if (f.days.empty()) out += "[]";
        for (std::size_t i = 0; i < f.days.size(); ++i) {
            out += i ? ",\n" : "[\n";
            AppendDayJson(f.days[i], nextPrompt[i], out, std::cout);
        }
        if (!f.days.empty()) out += "\n  ]";
        out += ",\n  \"prompts\": " + std::to_string(prompts) + ",\n  \"invoiceReminders\": " +
               std::to_string(invoices) + ",\n  \"statements\": " + std::to_string(statements) +
               ",\n  \"skippedNoEmail\": " + std::to_string(unsent) + ",\n  \"byCustomer\": " +
               Nested(customers, 1) + ",\n  \"bySet\": " + Nested(sets, 1) + "\n}\n";
        std::cout.write(out.data(), static_cast<std::streamsize>(out.size()));
        return;
    }
    for (const auto& note : f.notes) std::cout << note << "\n";
    for (std::size_t i = 0; i < f.days.size(); ++i) {
        const ForecastDay& day = f.days[i];
        std::cout << FormatIsoDate(day.date) << "  ";
        if (!day.prompt) {
            std::cout << "no prompt (schedule): " << day.items.size() << " due, waiting for "
                      << (nextPrompt[i].IsValid() ? "the prompt of " + FormatIsoDate(nextPrompt[i])
                                                  : std::string("a prompt after this forecast"))
                      << "\n";
            continue;
        }
        std::cout << "prompt: " << Plural(day.items.size(), "reminder") << "\n";
        if (day.items.empty()) continue;
        Table table({"  invoice", "customer", "rule", "subject"});
        for (const auto& item : day.items) {
            table.Add({"  " + (item.statement ? std::string("statement") : std::to_string(item.invoice)),
                       item.customer + (item.sendable ? "" : " (no usable e-mail: skipped)"),
                       item.ruleText, item.subject});
        }
        std::cout << table.Render();
    }
    std::cout << f.days.size() << " days, " << prompts << " prompts: " << Plural(invoices, "invoice reminder")
              << " and " << Plural(statements, "statement") << " would go out";
    if (unsent) std::cout << " (" << unsent << " skipped for want of a usable e-mail address)";
    std::cout << ".\n";
    if (!byCustomer.empty()) {
        Table customers({"customer", "reminders"});
        for (const auto& [id, t] : byCustomer) customers.Add({t.name, std::to_string(t.count)});
        std::cout << "\nBy customer:\n" << customers.Render();
        Table sets({"set", "reminders"});
        for (const auto& [id, t] : bySet) sets.Add({t.name + " (#" + std::to_string(id) + ")", std::to_string(t.count)});
        std::cout << "\nBy set:\n" << sets.Render();
    }
}

// A reminder's place in the forecast, for comparing two of them.
struct Placed {
    DateType32 date;
    const ForecastItem* item;
};

// What each invoice (or customer's statements) gets, in day order; only what
// would go out counts.
std::map<std::pair<bool, unsigned long>, std::vector<Placed>> ByRecipient(const Forecast& f) {
    std::map<std::pair<bool, unsigned long>, std::vector<Placed>> out;
    for (const auto& day : f.days) {
        if (!day.prompt) continue;
        for (const auto& item : day.items) {
            if (!item.sendable) continue;
            const unsigned long who = item.statement ? static_cast<unsigned long>(item.customerId) : item.transactionId;
            out[{item.statement, who}].push_back({day.date, &item});
        }
    }
    return out;
}

struct Change {
    std::string kind;  // added, removed, moved, changed
    const Placed* before = nullptr;
    const Placed* after = nullptr;
};

// Pairs the two forecasts' reminders of one invoice (or statement
// customer): the same rule first, then what is left in day order. A pair on
// another day has moved; on the same day it has changed if it now comes
// from another rule or template, or reads otherwise. An edited rule whose
// reminder still goes out that day with the same text changes nothing for
// the customer.
void Compare(const std::vector<Placed>& before, const std::vector<Placed>& after, std::vector<Change>& changes) {
    std::vector<bool> usedBefore(before.size()), usedAfter(after.size());
    std::vector<std::pair<std::size_t, std::size_t>> pairs;
    for (std::size_t i = 0; i < before.size(); ++i) {
        for (std::size_t j = 0; j < after.size(); ++j) {
            if (!usedAfter[j] && before[i].item->ruleId == after[j].item->ruleId) {
                usedBefore[i] = usedAfter[j] = true;
                pairs.push_back({i, j});
                break;
            }
        }
    }
    std::size_t j = 0;
    for (std::size_t i = 0; i < before.size(); ++i) {
        if (usedBefore[i]) continue;
        while (j < after.size() && usedAfter[j]) ++j;
        if (j == after.size()) break;
        usedBefore[i] = usedAfter[j] = true;
        pairs.push_back({i, j});
    }
    for (const auto& [i, k] : pairs) {
        const ForecastItem& a = *before[i].item;
        const ForecastItem& b = *after[k].item;
        if (before[i].date.Compare(after[k].date) != 0) {
            changes.push_back({"moved", &before[i], &after[k]});
        } else if (a.ruleId != b.ruleId || a.templateId != b.templateId || a.subject != b.subject) {
            changes.push_back({"changed", &before[i], &after[k]});
        }
    }
    for (std::size_t i = 0; i < before.size(); ++i) {
        if (!usedBefore[i]) changes.push_back({"removed", &before[i], nullptr});
    }
    for (std::size_t k = 0; k < after.size(); ++k) {
        if (!usedAfter[k]) changes.push_back({"added", nullptr, &after[k]});
    }
}

Json PlacedJson(const Placed* p) {
    if (!p) return nullptr;
    Json o = {{"date", FormatIsoDate(p->date)}};
    const Json listed = Json::parse(p->item->dueJson);
    for (const auto& [key, value] : listed.items()) o[key] = value;
    return o;
}

void ShowDiff(const AppContext& ctx, const Forecast& stored, const Forecast& edited) {
    const auto before = ByRecipient(stored);
    const auto after = ByRecipient(edited);
    std::set<std::pair<bool, unsigned long>> recipients;
    for (const auto& entry : before) recipients.insert(entry.first);
    for (const auto& entry : after) recipients.insert(entry.first);
    static const std::vector<Placed> kNone;
    std::vector<Change> changes;
    for (const auto& who : recipients) {
        const auto b = before.find(who);
        const auto a = after.find(who);
        Compare(b == before.end() ? kNone : b->second, a == after.end() ? kNone : a->second, changes);
    }
    std::map<std::string, std::size_t> counts = {{"added", 0}, {"removed", 0}, {"moved", 0}, {"changed", 0}};
    for (const auto& c : changes) ++counts[c.kind];
    if (ctx.json) {
        Json list = Json::array();
        for (const auto& c : changes) list.push_back({{"change", c.kind}, {"before", PlacedJson(c.before)}, {"after", PlacedJson(c.after)}});
        PrintJson({{"from", FormatIsoDate(stored.from)},
                   {"days", stored.days.size()},
                   {"notes", edited.notes},
                   {"added", counts["added"]},
                   {"removed", counts["removed"]},
                   {"moved", counts["moved"]},
                   {"changed", counts["changed"]},
                   {"changes", std::move(list)}});
        return;
    }
    for (const auto& note : edited.notes) std::cout << note << "\n";
    if (changes.empty()) {
        std::cout << "No reminder changes over " << stored.days.size() << " days from " << FormatIsoDate(stored.from)
                  << ".\n";
        return;
    }
    auto what = [](const Placed* p) {
        const ForecastItem& i = *p->item;
        return (i.statement ? std::string("statement") : "invoice " + std::to_string(i.invoice)) + " (" + i.customer + ")";
    };
    auto how = [](const Placed* p) { return p->item->ruleText + ": " + p->item->subject; };
    Table table({"change", "reminder", "before", "after"});
    for (const auto& c : changes) {
        const Placed* any = c.before ? c.before : c.after;
        table.Add({c.kind, what(any), c.before ? FormatIsoDate(c.before->date) + " " + how(c.before) : "",
                   c.after ? FormatIsoDate(c.after->date) + " " + how(c.after) : ""});
    }
    std::cout << table.Render();
    std::cout << counts["added"] << " added, " << counts["removed"] << " removed, " << counts["moved"] << " moved, "
              << counts["changed"] << " changed over " << stored.days.size() << " days from "
              << FormatIsoDate(stored.from) << ".\n";
}

struct ForecastArgs {
    int days = 30;
    std::string from;
    std::string setFile;
};

DateType32 StartDay(const ForecastArgs& args) {
    if (args.from.empty()) return GetSystemDate();
    DateType32 day;
    if (!ParseIsoDate(args.from, day)) throw AppError("--from: not a date YYYY-MM-DD: '" + args.from + "'");
    return day;
}

// The callbacks report their own failures: they may run while the command
// line is still being read.
template <class Body>
void Guarded(AppContext& ctx, Body body) {
    try {
        body();
    } catch (const std::exception& e) {
        Host::HostContext::Get().CloseCompanyFile();
        std::cerr << "reminders: " << e.what() << "\n";
        ctx.exitCode = 1;
    }
}
} // namespace

Forecast ForecastOnCopy(const AppContext& ctx, const DateType32& from, int days) {
    return ForecastOnFreshCopy(ctx, from, days, [] {});
}

void RegisterForecastCommands(CLI::App& cli, AppContext& ctx) {
    auto args = std::make_shared<ForecastArgs>();
    auto* forecast = cli.add_subcommand("forecast", "what the daily cycle would send over the coming days (nothing is written)");
    forecast->add_option("--days", args->days, "days to look ahead (default 30)")->check(CLI::Range(1, 3660));
    forecast->add_option("--from", args->from, "first day (default: today)");
    forecast->callback([&ctx, args] {
        Guarded(ctx, [&] {
            const DateType32 from = StartDay(*args);
            ShowForecast(ctx, ForecastOnCopy(ctx, from, args->days));
        });
    });

    CLI::App* sets = nullptr;
    try {
        sets = cli.get_subcommand("sets");
    } catch (const CLI::OptionNotFound&) {
        sets = cli.add_subcommand("sets", "reminder sets (schedules)");
    }
    auto* diff = sets->add_subcommand("diff", "how a set file (as import takes it) would change the forecast; nothing is saved");
    diff->add_option("FILE", args->setFile, "JSON file")->required();
    diff->add_option("--days", args->days, "days to look ahead (default 30)")->check(CLI::Range(1, 3660));
    diff->add_option("--from", args->from, "first day (default: today)");
    diff->callback([&ctx, args] {
        Guarded(ctx, [&] {
            const DateType32 from = StartDay(*args);
            const std::string& path = args->setFile;
            const std::vector<boost::property_tree::ptree> trees = ReadSetTrees(path);
            const Forecast stored = ForecastOnCopy(ctx, from, args->days);
            const Forecast edited = ForecastOnFreshCopy(ctx, from, args->days, [&] { SaveSetTrees(trees, path); });
            ShowDiff(ctx, stored, edited);
        });
    });
}

} // namespace app
