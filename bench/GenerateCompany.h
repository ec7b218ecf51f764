#pragma once

#include <cstdint>
#include <string>

namespace bench {

// Sizes of a generated company. The same seed and sizes give the same file.
struct CompanyShape {
    std::uint32_t seed = 1;
    int customers = 1000;          // top-level customers
    int jobs = 200;                // jobs under random customers
    int openInvoices = 10000;
    int paidInvoices = 2000;
    int groups = 5;                // customer groups, overlapping
    int groupSize = 300;           // members of each group (top-level customers)
    int invoiceSets = 5;           // active invoice reminder sets, 2 to 6 rules each
    int statementSets = 1;
    int history = 3000;            // reminder history rows over open invoices
    double noEmailShare = 0.05;
    double hiddenShare = 0.01;
    // Variety for small files that tests compare selections over.
    double subJobShare = 0.0;      // jobs placed under another job
    double jobMemberShare = 0.0;   // group members that are jobs
    double inactiveSetShare = 0.0;
    double emptySetShare = 0.0;    // invoice sets saved without rules
    bool randomSetGroups = false;  // sets name random groups (else round robin)
    int dueSpanDays = 366;         // due dates from today-300 over this many days
    int todayYear = 2026, todayMonth = 6, todayDay = 15;
};

// The benchmarks' company of `openInvoices` open invoices: a fifth as many
// customers, a fifth of those again as jobs and in each of 20 overlapping
// groups, 20 invoice sets, 2 statement sets, a fifth as many paid invoices
// and 0.3 history rows per open invoice.
CompanyShape BenchShape(int openInvoices);

// The engine's invoice selection on the open company, as the daily job asks
// for it: the number of reminders found, or -1 when the selection failed.
long SelectInvoiceReminders(bool fastMode);

// Writes a new company file at `path` (the host context's file is left
// open on it). Throws std::runtime_error on any failure.
void GenerateCompany(const std::string& path, const CompanyShape& shape, bool progress);

} // namespace bench
