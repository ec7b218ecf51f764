#include "CmdCopy.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <memory>
#include <stdexcept>

#include "CompanyFile.h"
#include "Host/CompanyLocation.h"
#include "Host/HostContext.h"
#include "Outbox.h"
#include "Sql.h"

namespace app {
namespace {

long long Count(Host::CompanyFile& company, const char* table) {
    Host::Stmt q(company.Db(), (std::string("SELECT count(*) FROM ") + table).c_str());
    return q.Step() ? q.Int(0) : 0;
}

void RemoveFileAndLog(const std::string& path) {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) std::remove((path + suffix).c_str());
}

} // namespace

void CopyCompanyTo(const AppContext& ctx, const std::string& to) {
    Host::CompanyFile* source = Host::HostContext::Get().File();
    if (!source) throw AppError("copy: no company is open");
    if (to.empty()) throw AppError("copy: --to names no company");
    if (to == ctx.file) throw AppError("copy: '" + Host::DisplayLocation(to) + "' is the company being copied");
    const bool toServer = Host::IsServerLocation(to);
    // A new file is written under a name of its own and renamed into place
    // only when whole: a copy cut short leaves nothing at the destination.
    const bool newFile = !toServer && !FileExists(to);
    const std::string target = newFile ? to + ".copy-" + std::to_string(::getpid()) : to;
    long long customers = 0, invoices = 0;
    try {
        std::unique_ptr<Host::CompanyFile> destination;
        if (toServer) {
            // A database that holds an empty company takes the copy as well as
            // one that holds none yet; the copy itself refuses any rows.
            try {
                destination = std::make_unique<Host::CompanyFile>(target, false);
            } catch (const std::exception&) {
                destination = std::make_unique<Host::CompanyFile>(target, true);
            }
        } else {
            destination = std::make_unique<Host::CompanyFile>(target, newFile);
        }
        Host::CopyCompany(*source, *destination);
        customers = Count(*destination, "customers");
        invoices = Count(*destination, "invoices");
    } catch (const std::exception& e) {
        if (newFile) RemoveFileAndLog(target);
        std::string why = e.what();
        // The temporary name means nothing to the person: they asked for `to`.
        for (std::size_t at; newFile && (at = why.find(target)) != std::string::npos;) why.replace(at, target.size(), to);
        throw AppError("copy: " + why);
    }
    if (newFile && std::rename(target.c_str(), to.c_str()) != 0) {
        RemoveFileAndLog(target);
        throw AppError("copy: the copy could not be put in place at '" + to + "'; nothing was copied");
    }
    if (ctx.json) {
        PrintJson({{"from", Host::DisplayLocation(ctx.file)},
                   {"to", Host::DisplayLocation(to)},
                   {"customers", customers},
                   {"invoices", invoices}});
    } else {
        std::cout << "copied '" << Host::DisplayLocation(ctx.file) << "' to '" << Host::DisplayLocation(to)
                  << "': " << customers << " customers and jobs, " << invoices << " invoices\n";
    }
}

void RegisterCopyCommands(CLI::App& cli, AppContext& ctx) {
    auto to = std::make_shared<std::string>();
    CLI::App* copy = AddCommand(cli, ctx, "copy",
                                "copy the whole company to a new company file or an empty database on a server",
                                [&ctx, to] { CopyCompanyTo(ctx, *to); });
    copy->add_option("--to", *to, "where the copy goes: a file path or a postgresql:// URL")->required();
}

} // namespace app
