// reminders: the command a person uses to keep a company's payment reminders.

#include <CLI/CLI.hpp>

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "AppContext.h"
#include "CmdData.h"
#include "CmdDue.h"
#include "CmdPrefs.h"
#include "CmdRun.h"
#include "CmdSets.h"
#include "Delivery.h"
#include "Csv.h"
#include "Message.h"
#include "Serve.h"
#include "Host/DefaultTracker.h"
#include "Host/HostContext.h"
#include "Prefs/PrefsTag.h"
#include "Sql.h"

namespace {
// Crash tests: REMINDERS_CRASH_AT=n kills the process at the nth record-store
// or outbox call, as a power cut or `kill -9` would.
void ArmCrashFromEnvironment(Host::HostContext& host) {
    const char* env = std::getenv("REMINDERS_CRASH_AT");
    if (!env || !*env) return;
    char* end = nullptr;
    const long n = std::strtol(env, &end, 10);
    if (end && *end == '\0' && n > 0) host.ArmCrashAfter(n);
}

std::string StorageTrouble(const Host::SqlError& e) {
    const int primary = e.Code() & 0xFF;
    if (primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB) {
        return std::string("damaged (") + e.what() + "); restore it from a backup";
    }
    return e.what();
}

// A failure that follows a "busy" answer from SQLite is worded as such.
std::string BusyNote(const Host::HostContext& host, const std::string& file) {
    if (host.BusyCount() == 0) return std::string();
    return "company file '" + file + "' is busy (another program kept it locked past the wait); try again: ";
}
} // namespace

int main(int argc, char** argv) {
    app::AppContext ctx;
    ctx.file = "company.db";

    CLI::App cli{"reminders: automated payment reminders and statements for a company file"};
    // Global options are taken after the subcommand too, as people type
    // them ("reminders due --json"); subcommands inherit this.
    cli.fallthrough();
    cli.add_option("--file", ctx.file, "company file (default: company.db, or $REMINDERS_FILE)")
        ->envname("REMINDERS_FILE");
    cli.add_option("--today", ctx.today, "act as if today were this date (YYYY-MM-DD)");
    cli.add_flag("--json", ctx.json, "machine-readable output");
    cli.require_subcommand(1);

    bool sample = false;
    std::string companyName, companyEmail;
    auto* init = cli.add_subcommand("init", "create a company file");
    init->add_flag("--sample", sample, "fill it with a small sample company");
    init->add_option("--name", companyName, "the company's name, used in messages");
    init->add_option("--email", companyEmail, "the address reminders are sent from");

    std::string importFile;
    auto* import = cli.add_subcommand("import", "load customers or invoices from a CSV file");
    import->require_subcommand(1);
    auto* importCustomers = import->add_subcommand("customers", "id,name,parent,email,type,terms,hidden");
    importCustomers->add_option("FILE", importFile, "CSV file")->required();
    auto* importInvoices = import->add_subcommand("invoices", "number,customer,date,due_date,amount,paid");
    importInvoices->add_option("FILE", importFile, "CSV file")->required();

    auto* customers = cli.add_subcommand("customers", "list customers and jobs");
    bool openOnly = false;
    auto* invoices = cli.add_subcommand("invoices", "list invoices");
    invoices->add_flag("--open", openOnly, "only unpaid invoices");

    auto* groups = cli.add_subcommand("groups", "customer groups that reminder sets address");
    groups->require_subcommand(1);
    auto* groupsList = groups->add_subcommand("list", "list the groups");
    std::string groupName;
    std::vector<int> groupCustomers;
    auto* groupsCreate = groups->add_subcommand("create", "create a group");
    groupsCreate->add_option("NAME", groupName, "group name")->required();
    groupsCreate->add_option("--customers", groupCustomers, "customer or job ids")->delimiter(',')->required();
    long groupId = 0;
    auto* groupsShow = groups->add_subcommand("show", "show a group's members");
    groupsShow->add_option("ID", groupId, "group id")->required();

    auto* sets = cli.add_subcommand("sets", "reminder sets (schedules)");
    sets->require_subcommand(1);
    auto* setsList = sets->add_subcommand("list", "list the reminder sets");
    long setId = 0;
    auto* setsExport = sets->add_subcommand("export", "write reminder sets as JSON");
    setsExport->add_option("ID", setId, "one set (default: all)");
    std::string setsFile;
    auto* setsImport = sets->add_subcommand("import", "add or change reminder sets from JSON");
    setsImport->add_option("FILE", setsFile, "JSON file")->required();
    auto* setsDelete = sets->add_subcommand("delete", "delete a reminder set with its rules");
    setsDelete->add_option("ID", setId, "set id")->required();

    std::vector<long> ruleIds;
    auto* rules = cli.add_subcommand("rules", "reminder rules");
    rules->require_subcommand(1);
    auto* rulesDelete = rules->add_subcommand("delete", "delete rules");
    rulesDelete->add_option("ID", ruleIds, "rule ids")->required();

    bool fast = false;
    auto* due = cli.add_subcommand("due", "what is due today");
    due->add_flag("--fast", fast, "stop at the first due reminder (what the daily prompt asks)");

    app::SendOptions sendOptions;
    auto* send = cli.add_subcommand("send", "write the due reminders to the outbox and record them");
    send->add_flag("--dry-run", sendOptions.dryRun, "show what would be sent; write and record nothing");
    send->add_option("--outbox", sendOptions.outbox, "folder for the messages (default: outbox/ beside the file)");

    app::DeliverOptions deliverOptions;
    auto* deliver = cli.add_subcommand("deliver", "deliver the queued outbox messages to the mail server (smtp-url)");
    deliver->add_option("--outbox", deliverOptions.outbox, "folder of the messages (default: outbox/ beside the file)");
    deliver->add_flag("--retry-now", deliverOptions.retryNow, "retry deferred messages now, not at their next try");
    std::string outboxFolder;
    auto* outboxList = cli.add_subcommand("outbox", "each outbox message with its delivery state");
    outboxList->add_option("--outbox", outboxFolder, "folder of the messages (default: outbox/ beside the file)");

    auto* history = cli.add_subcommand("history", "invoice reminders recorded as sent");
    auto* purge = cli.add_subcommand("purge", "remove the history of invoices paid long ago");
    auto* migrate = cli.add_subcommand("migrate", "move old target groups into customer groups");

    auto* prefs = cli.add_subcommand("prefs", "reminder preferences");
    prefs->require_subcommand(1);
    auto* prefsShow = prefs->add_subcommand("show", "show the preferences");
    std::string prefKey, prefValue;
    auto* prefsSet = prefs->add_subcommand("set", "change a preference");
    prefsSet->add_option("KEY", prefKey, "preference")->required();
    prefsSet->add_option("VALUE", prefValue, "value")->required();

    app::RunOptions runOptions;
    auto* run = cli.add_subcommand("run", "the daily cycle: prompt at the prompt hour, send on request");
    run->add_option("--simulate", runOptions.simulateDays, "run over this many simulated days, at once");
    run->add_option("--answer", runOptions.answer, "answer every prompt: later, review or send")
        ->check(CLI::IsMember({"later", "review", "send"}));
    run->add_option("--outbox", runOptions.outbox, "folder for the messages");

    app::ServeOptions serveOptions;
    auto* serve = cli.add_subcommand("serve", "a local web page for the reminders (127.0.0.1, with an access token)");
    serve->add_option("--port", serveOptions.port, "port (default: any free one)")->check(CLI::Range(1, 65535));
    serve->add_flag("--open", serveOptions.open, "open the page in the browser");
    serve->add_option("--outbox", serveOptions.outbox, "folder for the messages");

    int tail = 0;
    auto* log = cli.add_subcommand("log", "the log");
    log->add_option("--tail", tail, "only the last N lines");
    auto* stats = cli.add_subcommand("stats", "telemetry, summed up by event");

    auto& host = Host::HostContext::Get();
    try {
        cli.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return cli.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return cli.exit(e);
    } catch (const CLI::ParseError& e) {
        cli.exit(e);
        return 2;
    }

    try {
        Host::RegisterDefaultTracker();
        ArmCrashFromEnvironment(host);
        ctx.ApplyToday();
        std::string why;
        if (init->parsed() && !companyEmail.empty() && !app::IsPlausibleMailbox(companyEmail, why)) {
            throw app::AppError("init --email: not one e-mail address (" + why + "): '" + companyEmail + "'");
        }
        ctx.Open(init->parsed());
        if (init->parsed()) {
            const auto keep = [](const char* key, const std::string& value) {
                if (!value.empty() && DBPreferences::SetCompanyDBPreference(key, value).Failed()) {
                    throw app::AppError(std::string("init: the company file was created, but ") + key +
                                        " could not be stored in it");
                }
            };
            keep("companyName", companyName);
            keep("companyEmail", companyEmail);
            if (!ctx.json) std::cout << "created " << ctx.file << "\n";
            if (sample) app::FillSample(ctx);
            if (ctx.json) app::PrintJson({{"created", ctx.file}, {"sample", sample}});
        } else if (importCustomers->parsed()) {
            app::ImportCustomers(ctx, importFile);
        } else if (importInvoices->parsed()) {
            app::ImportInvoices(ctx, importFile);
        } else if (customers->parsed()) {
            app::ListCustomers(ctx);
        } else if (invoices->parsed()) {
            app::ListInvoices(ctx, openOnly);
        } else if (groupsList->parsed()) {
            app::GroupsList(ctx);
        } else if (groupsCreate->parsed()) {
            app::GroupsCreate(ctx, groupName, groupCustomers);
        } else if (groupsShow->parsed()) {
            app::GroupsShow(ctx, groupId);
        } else if (setsList->parsed()) {
            app::SetsList(ctx);
        } else if (setsExport->parsed()) {
            app::SetsExport(ctx, setId);
        } else if (setsImport->parsed()) {
            app::SetsImport(ctx, setsFile);
        } else if (setsDelete->parsed()) {
            app::SetsDelete(ctx, setId);
        } else if (rulesDelete->parsed()) {
            app::RulesDelete(ctx, ruleIds);
        } else if (due->parsed()) {
            app::ShowDue(ctx, fast);
        } else if (send->parsed()) {
            app::RequireAllowed(sendOptions.dryRun ? app::Action::Send : app::Action::SendWithoutPreview);
            const app::SendSummary s = app::SendDue(ctx, sendOptions);
            if (s.failed) {
                if (host.BusyCount() > 0) std::cerr << "reminders: " << BusyNote(host, ctx.file) << s.failed << " not sent\n";
                return 1;
            }
            if (!sendOptions.dryRun && app::DeliverIfConfigured(ctx, sendOptions.outbox, false)) return 1;
        } else if (deliver->parsed()) {
            if (app::DeliverCommand(ctx, deliverOptions)) return 1;
        } else if (outboxList->parsed()) {
            app::ShowOutbox(ctx, outboxFolder);
        } else if (history->parsed()) {
            app::ShowHistory(ctx);
        } else if (purge->parsed()) {
            app::RequireAllowed(app::Action::Purge);
            app::Purge(ctx);
        } else if (migrate->parsed()) {
            app::Migrate(ctx);
        } else if (prefsShow->parsed()) {
            app::PrefsShow(ctx);
        } else if (prefsSet->parsed()) {
            app::PrefsSet(ctx, prefKey, prefValue);
        } else if (run->parsed()) {
            return app::Run(ctx, runOptions);
        } else if (serve->parsed()) {
            const int status = app::Serve(ctx, serveOptions);
            host.CloseCompanyFile();
            return status;
        } else if (log->parsed()) {
            app::ShowLog(ctx, tail);
        } else if (stats->parsed()) {
            app::ShowStats(ctx);
        }
        host.CloseCompanyFile();
        // Crash tests size their sweep by this count.
        if (std::getenv("REMINDERS_REPORT_FAULT_HITS")) std::cerr << "fault point hits: " << host.FaultPointHits() << "\n";
    } catch (const app::AppError& e) {
        std::cerr << "reminders: " << BusyNote(host, ctx.file) << e.what() << "\n";
        return 1;
    } catch (const app::CsvError& e) {
        std::cerr << "reminders: " << e.what() << "; nothing was imported\n";
        return 1;
    } catch (const Host::SqlError& e) {
        // Storage failures name the file: the person may keep several.
        std::cerr << "reminders: " << BusyNote(host, ctx.file) << "company file '" << ctx.file
                  << "': " << StorageTrouble(e) << "\n";
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "reminders: " << BusyNote(host, ctx.file) << "unexpected error: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
