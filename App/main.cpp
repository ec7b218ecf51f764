// reminders: the command a person uses to keep a company's payment reminders.
// Each area of the application adds its own subcommands; main sets up what
// they share and turns failures into one line on standard error.

#include <CLI/CLI.hpp>

#include <cstdlib>
#include <iostream>
#include <string>

#include "AppContext.h"
#include "CmdCopy.h"
#include "CmdData.h"
#include "CmdDeliver.h"
#include "CmdDue.h"
#include "CmdForecast.h"
#include "CmdPrefs.h"
#include "CmdRun.h"
#include "CmdSets.h"
#include "Csv.h"
#include "Host/CompanyLocation.h"
#include "Host/DefaultTracker.h"
#include "Host/HostContext.h"
#include "Serve.h"
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
    if (e.GetFault() == Host::SqlError::Fault::kDamaged) {
        return std::string("damaged (") + e.what() + "); restore it from a backup";
    }
    return e.what();
}
} // namespace

int main(int argc, char** argv) {
    app::AppContext ctx;
    auto& host = Host::HostContext::Get();

    CLI::App cli{"reminders: automated payment reminders and statements for a company file"};
    // Global options are taken after the subcommand too, as people type
    // them ("reminders due --json"); subcommands inherit this.
    cli.fallthrough();
    cli.add_option("--file", ctx.file, "company file (default: company.db, or $REMINDERS_FILE)")
        ->envname("REMINDERS_FILE");
    cli.add_option("--today", ctx.today, "act as if today were this date (YYYY-MM-DD)");
    cli.add_flag("--json", ctx.json, "machine-readable output");
    cli.require_subcommand(1);
    // Runs once the whole line is parsed, before the subcommand's callback.
    cli.parse_complete_callback([&] {
        Host::RegisterDefaultTracker();
        ArmCrashFromEnvironment(host);
        ctx.ApplyToday();
    });

    app::RegisterDataCommands(cli, ctx);
    app::RegisterSetsCommands(cli, ctx);
    app::RegisterDueCommands(cli, ctx);
    app::RegisterDeliverCommands(cli, ctx);
    app::RegisterPrefsCommands(cli, ctx);
    app::RegisterRunCommands(cli, ctx);
    app::RegisterServeCommands(cli, ctx);
    app::RegisterForecastCommands(cli, ctx);  // after the sets: `sets diff` joins them
    app::RegisterCopyCommands(cli, ctx);

    try {
        cli.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // Help is a success; any other mistake on the command line is exit 2.
        return cli.exit(e) == 0 ? 0 : 2;
    } catch (const app::AppError& e) {
        std::cerr << "reminders: " << ctx.BusyNote() << e.what() << "\n";
        return 1;
    } catch (const app::CsvError& e) {
        std::cerr << "reminders: " << e.what() << "; nothing was imported\n";
        return 1;
    } catch (const Host::SqlError& e) {
        // Storage failures name the file: the person may keep several.
        std::cerr << "reminders: " << ctx.BusyNote() << "company file '" << Host::DisplayLocation(ctx.file) << "': " << StorageTrouble(e)
                  << "\n";
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "reminders: " << ctx.BusyNote() << "unexpected error: " << e.what() << "\n";
        return 1;
    }
    host.CloseCompanyFile();
    // Crash tests size their sweep by this count.
    if (ctx.exitCode == 0 && std::getenv("REMINDERS_REPORT_FAULT_HITS")) {
        std::cerr << "fault point hits: " << host.FaultPointHits() << "\n";
    }
    return ctx.exitCode;
}
