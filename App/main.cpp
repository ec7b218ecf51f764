#include <CLI/CLI.hpp>

#include <cstdlib>
#include <iostream>
#include <string>

#include "CompanyFile.h"
#include "Host/HostContext.h"
#include "Sql.h"

namespace {
std::string DefaultFile() {
    const char* env = std::getenv("REMINDERS_FILE");
    return env && *env ? env : "company.db";
}
} // namespace

int main(int argc, char** argv) {
    CLI::App app{"reminders: automated payment reminders for a company file"};
    std::string file = DefaultFile();
    app.add_option("--file", file, "company file (default company.db or $REMINDERS_FILE)");
    app.require_subcommand(1);
    auto* init = app.add_subcommand("init", "create a company file");
    auto* info = app.add_subcommand("info", "show what the company file holds");
    CLI11_PARSE(app, argc, argv);

    auto& ctx = Host::HostContext::Get();
    const bool create = init->parsed();
    if (!ctx.OpenCompanyFile(file, create).Succeeded()) {
        std::cerr << "reminders: " << ctx.LastOpenError() << "\n";
        return 1;
    }
    if (create) std::cout << "created " << file << "\n";
    if (info->parsed() || create) {
        Host::Stmt tables(ctx.File()->Db(), "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name");
        while (tables.Step()) {
            const std::string name = tables.Text(0);
            Host::Stmt count(ctx.File()->Db(), ("SELECT count(*) FROM \"" + name + "\"").c_str());
            count.Step();
            std::cout << "  " << name << ": " << count.Int(0) << " rows\n";
        }
    }
    return 0;
}
