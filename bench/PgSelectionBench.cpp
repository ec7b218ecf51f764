// The full selection over a company on a PostgreSQL server, against its
// floor: the same rows the selection reads, each query sent once and every
// row of its answer walked by a bare libpq loop.
//
// REMINDERS_BENCH_PG names the database (a URL). The first run fills it
// with a copy of the generated company file of the size asked for (kept in
// $REMINDERS_BENCH_DIR, as for the file benchmarks); later runs reuse it.
// bench/pg.sh starts a server of its own for this and stops it afterwards.

#include <benchmark/benchmark.h>
#include <libpq-fe.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "CompanyFile.h"
#include "GenerateCompany.h"
#include "Host/DefaultTracker.h"
#include "Host/HostContext.h"
#include "TxnReminderEngine.h"
#include "TxnSendableReminderContainer.h"

namespace {

// The file benchmarks' 100k and 1m companies.
struct Size {
    const char* name;
    int openInvoices;
};
const Size kSizes[] = {{"100k", 100000}, {"1m", 1000000}};

// One database per size: "{size}" in the URL becomes the size's name.
std::string Location(const Size& size) {
    const char* url = std::getenv("REMINDERS_BENCH_PG");
    if (!url || !*url) throw std::runtime_error("REMINDERS_BENCH_PG names no database");
    std::string location = url;
    const std::size_t at = location.find("{size}");
    if (at != std::string::npos) location.replace(at, 6, size.name);
    return location;
}

void OpenCompany(const Size& size) {
    auto& host = Host::HostContext::Get();
    const std::string url = Location(size);
    if (host.CompanyFilePath() == url) return;
    host.CloseCompanyFile();
    std::unique_ptr<Host::CompanyFile> server;
    try {
        server = std::make_unique<Host::CompanyFile>(url, false);
    } catch (const std::exception&) {
        const char* dir = std::getenv("REMINDERS_BENCH_DIR");
        const std::string folder = dir && *dir ? dir : "bench-data";
        ::mkdir(folder.c_str(), 0777);
        const std::string file = folder + "/company-" + size.name + ".db";
        struct stat st {};
        if (::stat(file.c_str(), &st) != 0) {
            bench::GenerateCompany(file + ".tmp", bench::BenchShape(size.openInvoices), true);
            host.CloseCompanyFile();
            std::rename((file + ".tmp").c_str(), file.c_str());
            std::remove((file + ".tmp-wal").c_str());
            std::remove((file + ".tmp-shm").c_str());
        }
        Host::CompanyFile source(file, false);
        server = std::make_unique<Host::CompanyFile>(url, true);
        Host::CopyCompany(source, *server);
    }
    server.reset();
    host.CloseCompanyFile();
    if (!host.OpenCompanyFile(url).Succeeded()) throw std::runtime_error(host.LastOpenError());
    host.FixClock(DateType32(6, 15, 2026), 8, 0, 0);
}

// The rows the full selection reads: open invoices, the invoice history,
// the members of the groups that invoice sets address, the name list. A
// part with several ways to ask counts the fastest: in number order the
// open invoices come straight out of the index that holds them, which at
// some sizes beats reading the table.
struct FloorPart {
    std::vector<const char*> plans;
};
const FloorPart kFloorParts[] = {
    {{"SELECT txn_id, due_date, customer_id FROM invoices WHERE is_paid = 0 AND is_no_post = 0 AND cleared_type <> 2",
      "SELECT txn_id, due_date, customer_id FROM invoices WHERE is_paid = 0 AND is_no_post = 0 AND cleared_type <> 2 "
      "ORDER BY txn_id"}},
    {{"SELECT txn_id, rule_id, status FROM reminder_history WHERE txn_view = 4"}},
    {{"SELECT r.value FROM reminder_sets s JOIN entity_group_rules r ON r.group_id = s.target_group_id AND "
      "r.attribute = 554288 WHERE s.txn_view = 4 AND s.is_active <> 0"}},
    {{"SELECT id, parent_id, hidden, email FROM customers"}},
};
constexpr int kFloorRuns = 5;

void BM_PgFloor(benchmark::State& state) {
    const Size& size = kSizes[state.range(0)];
    OpenCompany(size);
    std::unique_ptr<PGconn, decltype(&PQfinish)> conn(PQconnectdb(Location(size).c_str()), &PQfinish);
    if (PQstatus(conn.get()) != CONNECTION_OK) {
        state.SkipWithError(PQerrorMessage(conn.get()));
        return;
    }
    // The planner settings the program's own connections make: the floor
    // reads with whatever plan is cheapest for them too.
    std::unique_ptr<PGresult, decltype(&PQclear)> set(
        PQexec(conn.get(), "SET random_page_cost = 1.1; SET max_parallel_workers_per_gather = 0"), &PQclear);
    for (auto _ : state) {
        double total = 0;
        long long sum = 0, open = 0;
        for (const FloorPart& part : kFloorParts) {
            double best = 1e30;
            for (const char* sql : part.plans) {
                for (int run = 0; run <= kFloorRuns; ++run) {  // the first run warms
                    const auto start = std::chrono::steady_clock::now();
                    std::unique_ptr<PGresult, decltype(&PQclear)> res(PQexec(conn.get(), sql), &PQclear);
                    if (PQresultStatus(res.get()) != PGRES_TUPLES_OK) {
                        state.SkipWithError(PQerrorMessage(conn.get()));
                        return;
                    }
                    const int rows = PQntuples(res.get()), columns = PQnfields(res.get());
                    for (int r = 0; r < rows; ++r)
                        for (int c = 0; c < columns; ++c)
                            sum += PQgetlength(res.get(), r, c) + *PQgetvalue(res.get(), r, c);
                    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                    if (run > 0) best = std::min(best, took);
                    if (&part == &kFloorParts[0]) open = rows;
                }
            }
            total += best;
        }
        benchmark::DoNotOptimize(sum);
        state.SetIterationTime(total);
        state.counters["open_invoices"] = static_cast<double>(open);
    }
}

void BM_PgFullSelection(benchmark::State& state) {
    OpenCompany(kSizes[state.range(0)]);
    for (auto _ : state) {
        const long found = bench::SelectInvoiceReminders(false);
        if (found < 0) state.SkipWithError("selection failed");
        state.counters["reminders"] = static_cast<double>(found);
    }
}

// Each size's floor and selection run one after the other, on the same
// server state: their ratio is what counts on a shared machine.
BENCHMARK(BM_PgFloor)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3)->Arg(0);
BENCHMARK(BM_PgFullSelection)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3)->Arg(0);
BENCHMARK(BM_PgFloor)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3)->Arg(1);
BENCHMARK(BM_PgFullSelection)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3)->Arg(1);

} // namespace

int main(int argc, char** argv) {
    Host::RegisterDefaultTracker();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    Host::HostContext::Get().CloseCompanyFile();
    return 0;
}
