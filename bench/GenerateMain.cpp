// generate-company: writes a reproducible company file for benchmarks.

#include <CLI/CLI.hpp>

#include <chrono>
#include <iostream>

#include "GenerateCompany.h"
#include "Host/DefaultTracker.h"

int main(int argc, char** argv) {
    bench::CompanyShape shape;
    std::string out;
    CLI::App cli{"generate-company: a reproducible company file of a given size"};
    cli.add_option("--out", out, "file to create")->required();
    cli.add_option("--seed", shape.seed, "random seed");
    cli.add_option("--customers", shape.customers, "top-level customers");
    cli.add_option("--jobs", shape.jobs, "jobs under random customers");
    cli.add_option("--open-invoices", shape.openInvoices, "open invoices");
    cli.add_option("--paid-invoices", shape.paidInvoices, "paid invoices");
    cli.add_option("--groups", shape.groups, "customer groups (overlapping)");
    cli.add_option("--group-size", shape.groupSize, "members per group");
    cli.add_option("--invoice-sets", shape.invoiceSets, "invoice reminder sets (2 to 6 rules each)");
    cli.add_option("--statement-sets", shape.statementSets, "statement reminder sets");
    cli.add_option("--history", shape.history, "reminder history rows");
    CLI11_PARSE(cli, argc, argv);
    // Saving a set reports telemetry, which needs a tracker.
    Host::RegisterDefaultTracker();
    const auto start = std::chrono::steady_clock::now();
    try {
        bench::GenerateCompany(out, shape, true);
    } catch (const std::exception& e) {
        std::cerr << "generate-company: " << e.what() << "\n";
        return 1;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::cerr << "generate-company: wrote " << out << " in " << seconds << " s\n";
    return 0;
}
