#include "CmdRun.h"

#include <CLI/CLI.hpp>

#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <iostream>

#include "CmdDue.h"
#include "CmdPrefs.h"
#include "CompanyFile.h"
#include "Csv.h"
#include "Delivery.h"
#include "Host/HostContext.h"
#include "Host/MessageLoop.h"
#include "Platform/WinApi.h"
#include "Prefs/PrefsTag.h"
#include "Sql.h"
#include "TxnReminderEngine.h"
#include "TxnReminderTimer.h"

namespace app {

namespace {
std::atomic<bool> g_stop{false};

const char* const kPromptModule = "FeaturesBridge.DLL";
const char* const kPromptEntry = "LaunchTxnReminderPrompt";
const char* const kNextPromptPref = "invoiceReminderNextPromptLaunchDate";

void OnSignal(int) { g_stop = true; }

// The prompt module sits in "modules" beside the build's App folder, unless
// REMINDERS_MODULE_DIR says otherwise.
std::string ModuleDir() {
    if (const char* dir = std::getenv("REMINDERS_MODULE_DIR")) return dir;
    char exe[PATH_MAX] = {};
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string path = n > 0 ? std::string(exe, static_cast<std::size_t>(n)) : std::string(".");
    path = path.substr(0, path.find_last_of('/'));
    return path + "/../modules";
}

std::string Clock(DateAndTime moment) {
    const DateType32 day = DateAndTimeToDate(moment);
    const long secs = static_cast<long>(moment - MakeDateAndTime(day, 0, 0, 0));
    char text[32];
    std::snprintf(text, sizeof text, "%s %02ld:%02ld", FormatIsoDate(day).c_str(), secs / 3600, secs / 60 % 60);
    return text;
}

std::string Count(int n, const std::string& noun) { return std::to_string(n) + " " + noun + (n == 1 ? "" : "s"); }

// Loads the prompt module as the daily prompt will, so that a missing or
// wrong module is said before a cycle that could never prompt; empty when
// it is usable, otherwise what is wrong and where it was looked for.
std::string PromptModuleTrouble() {
    const std::string path = Host::ModuleFolder() + "/" + Host::ModuleFileName(kPromptModule);
    HMODULE module = LoadLibraryA(kPromptModule);
    if (!module) {
        const char* why = ::dlerror();
        return "the prompt module could not be loaded from " + path + (why ? std::string(" (") + why + ")" : "");
    }
    const bool usable = GetProcAddress(module, kPromptEntry) != nullptr;
    FreeLibrary(module);
    if (!usable) return "the prompt module " + path + " has no " + kPromptEntry;
    return std::string();
}

// The company's stored next prompt day. A simulated cycle moves it through
// simulated days; it is put back afterwards, so that the real cycle keeps
// its own day and does not wait for a date that was only simulated.
class KeepScheduleState {
public:
    KeepScheduleState() {
        const Util::Status read = DBPreferences::GetCompanyDBPreference(kNextPromptPref, m_value);
        m_had = read.Succeeded() && read.GetStatusCode() != Util::Status::kRecordNotFound;
    }
    ~KeepScheduleState() {
        if (m_had) {
            // Not put back: the next real prompt stores a sound day again.
            static_cast<void>(DBPreferences::SetCompanyDBPreference(kNextPromptPref, m_value));
        } else if (Host::CompanyFile* file = Host::HostContext::Get().File()) {
            try {
                Host::Stmt(file->Db(), "DELETE FROM company_prefs WHERE key = ?1").Bind(1, kNextPromptPref).Run();
            } catch (const Host::SqlError&) {
                // The next real prompt stores a sound day again.
            }
        }
    }
    KeepScheduleState(const KeepScheduleState&) = delete;
    KeepScheduleState& operator=(const KeepScheduleState&) = delete;

private:
    bool m_had = false;
    std::string m_value;
};

// What happened during one stretch of the cycle, for the line of a day.
struct DayReport {
    bool prompted = false;
    bool timerFired = false;
    bool moduleMissing = false;
    bool heldForReview = false;  // Send Now while sending without preview is off
    std::string answer;
    SendSummary sent;
    bool reviewed = false;
    std::size_t reviewCount = 0;
};
} // namespace

int Run(const AppContext& ctx, const RunOptions& options) {
    auto& host = Host::HostContext::Get();
    RequireAllowed(Action::Run);
    Host::SetModuleFolder(ModuleDir());
    const std::string moduleTrouble = PromptModuleTrouble();
    if (!moduleTrouble.empty()) {
        std::cerr << "reminders: run: " << moduleTrouble << "; no prompt can be shown (set REMINDERS_MODULE_DIR to "
                     "the folder that holds it)\n";
        return 1;
    }
    if (!options.answer.empty()) ::setenv("REMINDERS_PROMPT_ANSWER", options.answer.c_str(), 1);
    PrefsTag* prefs = PrefGetPrefHandle();
    if (!prefs->GetPaymentReminderState() || !prefs->GetPaymentReminderPrompt()) {
        std::cerr << "reminders: run: the daily prompt is off; turn it on with 'reminders prefs set reminders on' and "
                     "'reminders prefs set prompt on'\n";
        return 1;
    }

    // Say which kind the cycle will leave out, and stop when it is both.
    const bool invoicesAllowed = TxnReminderEngine::HasSendReminderPermission(FormViewType_Invoice, 0);
    const bool statementsAllowed = TxnReminderEngine::HasSendReminderPermission(FormViewType_Statement, 0);
    if (!invoicesAllowed && !statementsAllowed) {
        std::cerr << "reminders: run: sending is not permitted, neither invoice reminders nor statements (prefs "
                     "send-invoice-reminders and send-statements are deny); nothing to do\n";
        return 1;
    }
    std::vector<std::string> notes;
    if (!invoicesAllowed) {
        notes.push_back("Invoice reminders are not permitted (prefs send-invoice-reminders is deny): only statements "
                        "are sent.");
    }
    if (!statementsAllowed) {
        notes.push_back("Statements are not permitted (prefs send-statements is deny): only invoice reminders are sent.");
    }
    if (!ctx.json) {
        for (const auto& note : notes) std::cout << note << "\n";
    }

    DayReport today;
    const int logSink = host.AddLogSink([&](const Util::LogRecord& r) {
        if (r.message == "TxnReminder::InvoiceReminderPrompt::ProcessMsg: Launching prompt") today.prompted = true;
        if (r.message == "TxnReminder::OnTimerElapsed: Timer elapsed") today.timerFired = true;
        if (r.message.find("Review button Clicked") != std::string::npos) today.answer = "review";
        if (r.message.find("Send Now button Clicked") != std::string::npos) today.answer = "send now";
        if (r.message.find("Close Button Clicked") != std::string::npos) today.answer = "later";
        if (r.message == "TxnReminder::TxnReminderPrompt: Unable to fetch featuresbridge instance") {
            today.moduleMissing = true;
        }
    });
    const bool simulated = options.simulateDays > 0;
    Host::RegisterCommand("mxw:send_txnreminders", [&](const CArguments& args) {
        const bool withoutPreview = args.GetBool("sendWithoutPreview");
        if (withoutPreview && !MaySendWithoutPreview()) {
            // Switched off on this host: what is due waits for a review.
            if (!simulated) {
                std::cout << "Sending without preview is switched off (prefs send-without-preview); review:\n";
                ShowDue(ctx, false);
            }
            today.heldForReview = true;
            today.reviewed = true;
            today.reviewCount = CollectDue(false).items.size();
        } else if (withoutPreview) {
            SendOptions send;
            send.outbox = options.outbox;
            send.quiet = simulated;
            today.sent = SendDue(ctx, send);
            today.sent.failed += DeliverIfConfigured(ctx, options.outbox, simulated);
        } else {
            // Review: show what is due; sending stays the person's decision.
            if (!simulated) ShowDue(ctx, false);
            today.reviewed = true;
            today.reviewCount = CollectDue(false).items.size();
        }
    });
    Host::SetMessageSink([&](int, const std::string& text) {
        if (!simulated) std::cout << text << "\n";
    });

    if (!simulated) {
        if (ctx.json) {
            std::cerr << "reminders: run: --json needs --simulate (the waiting cycle talks to a person)\n";
            host.RemoveLogSink(logSink);
            return 1;
        }
        if (!host.ClockIsFixed()) host.SetNow(GetMXSystemTime());
        host.UseSystemClock();
        ::signal(SIGINT, OnSignal);
        ::signal(SIGTERM, OnSignal);
        new TxnReminderTimer();
        Host::ProcessPendingMessages();
        DateAndTime due = 0;
        if (!Host::NextTimerDue(&due)) {
            std::cerr << "reminders: run: the daily cycle did not start (see 'reminders log' for why: no active "
                         "reminder set with rules, no permission, or the prompt switched off)\n";
            host.RemoveLogSink(logSink);
            return 1;
        }
        std::cout << "Waiting for the daily prompt at " << Clock(due) << " (Ctrl-C to stop).\n";
        Host::RunLoop([] { return g_stop.load(); });
        Host::NotifyCloseSystem();
        std::cout << "Stopped.\n";
        host.RemoveLogSink(logSink);
        return 0;
    }

    // Simulated: the same cycle on a fixed clock, a day at a time.
    const KeepScheduleState keep;
    if (!host.ClockIsFixed()) host.FixClock(GetSystemDate(), 8, 0, 0);
    new TxnReminderTimer();
    Host::ProcessPendingMessages();
    if (Host::ArmedTimerCount() == 0) {
        std::cerr << "reminders: run: the daily cycle did not start (see 'reminders log' for why: no active reminder "
                     "set with rules, no permission, or the prompt switched off)\n";
        host.RemoveLogSink(logSink);
        return 1;
    }
    int promptDays = 0, totalSent = 0;
    nlohmann::ordered_json days = nlohmann::ordered_json::array();
    for (int day = 0; day < options.simulateDays; ++day) {
        const DateType32 date = GetSystemDate();
        today = DayReport();
        Host::AdvanceAndRun(86400);
        nlohmann::ordered_json entry = {{"date", FormatIsoDate(date)}, {"prompted", today.prompted},
                                        {"answer", nullptr}, {"invoiceReminders", 0}, {"statements", 0},
                                        {"leftForReview", 0}, {"note", nullptr}};
        std::string line;
        if (today.moduleMissing) {
            line = "the prompt module could not be loaded from " + Host::ModuleFolder() + "/" +
                   Host::ModuleFileName(kPromptModule) + "; no prompt shown";
            entry["note"] = line;
        } else if (!today.prompted) {
            line = today.timerFired ? "nothing due, no prompt" : "no prompt scheduled";
        } else {
            ++promptDays;
            line = "prompt answered " + (today.answer.empty() ? std::string("?") : today.answer);
            if (!today.answer.empty()) entry["answer"] = today.answer;
            if (today.heldForReview) {
                line += ": sending without preview is switched off, " + std::to_string(today.reviewCount) +
                        " due, left for review";
                entry["leftForReview"] = today.reviewCount;
                entry["note"] = "sending without preview is switched off";
            } else if (today.answer == "send now") {
                totalSent += today.sent.invoiceReminders + today.sent.statements;
                line += ": sent " + Count(today.sent.invoiceReminders, "invoice reminder") + " and " +
                        Count(today.sent.statements, "statement");
                if (today.sent.skippedNoEmail) line += " (" + std::to_string(today.sent.skippedNoEmail) + " without e-mail)";
                entry["invoiceReminders"] = today.sent.invoiceReminders;
                entry["statements"] = today.sent.statements;
            } else if (today.reviewed) {
                line += ": " + std::to_string(today.reviewCount) + " due, left for review";
                entry["leftForReview"] = today.reviewCount;
            }
        }
        if (ctx.json) {
            days.push_back(std::move(entry));
        } else {
            std::cout << FormatIsoDate(date) << ": " << line << "\n";
        }
    }
    Host::NotifyCloseSystem();
    host.RemoveLogSink(logSink);
    if (ctx.json) {
        PrintJson({{"notes", notes}, {"days", days}, {"prompts", promptDays}, {"sent", totalSent}});
        return 0;
    }
    std::cout << options.simulateDays << " days: " << promptDays << " prompts, " << totalSent << " messages sent.\n";
    return 0;
}

void RegisterRunCommands(CLI::App& cli, AppContext& ctx) {
    auto o = std::make_shared<RunOptions>();
    auto* run = AddCommand(cli, ctx, "run", "the daily cycle: prompt at the prompt hour, send on request",
                           [&ctx, o] { ctx.exitCode = Run(ctx, *o); });
    run->add_option("--simulate", o->simulateDays, "run over this many simulated days, at once");
    run->add_option("--answer", o->answer, "answer every prompt: later, review or send")
        ->check(CLI::IsMember({"later", "review", "send"}));
    run->add_option("--outbox", o->outbox, "folder for the messages");
}

} // namespace app
