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

// The shape of the file benchmarks' 100k company.
bench::CompanyShape Shape100k() {
    bench::CompanyShape shape;
    shape.customers = 20000;
    shape.jobs = shape.customers / 5;
    shape.openInvoices = 100000;
    shape.paidInvoices = shape.openInvoices / 5;
    shape.groups = 20;
    shape.groupSize = 4000;
    shape.invoiceSets = 20;
    shape.statementSets = 2;
    shape.history = 30000;
    return shape;
}

std::string Location() {
    const char* url = std::getenv("REMINDERS_BENCH_PG");
    if (!url || !*url) throw std::runtime_error("REMINDERS_BENCH_PG names no database");
    return url;
}

void OpenCompany() {
    auto& host = Host::HostContext::Get();
    const std::string url = Location();
    if (host.CompanyFilePath() == url) return;
    std::unique_ptr<Host::CompanyFile> server;
    try {
        server = std::make_unique<Host::CompanyFile>(url, false);
    } catch (const std::exception&) {
        const char* dir = std::getenv("REMINDERS_BENCH_DIR");
        const std::string folder = dir && *dir ? dir : "bench-data";
        ::mkdir(folder.c_str(), 0777);
        const std::string file = folder + "/company-100k.db";
        struct stat st {};
        if (::stat(file.c_str(), &st) != 0) {
            bench::GenerateCompany(file + ".tmp", Shape100k(), true);
            host.CloseCompanyFile();
            std::rename((file + ".tmp").c_str(), file.c_str());
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
// the members of the groups that invoice sets address, the name list.
const char* const kFloorQueries[] = {
    "SELECT txn_id, due_date, customer_id FROM invoices WHERE is_paid = 0 AND is_no_post = 0 AND cleared_type <> 2",
    "SELECT txn_id, rule_id, status FROM reminder_history WHERE txn_view = 4",
    "SELECT r.value FROM reminder_sets s JOIN entity_group_rules r ON r.group_id = s.target_group_id AND "
    "r.attribute = 554288 WHERE s.txn_view = 4 AND s.is_active <> 0",
    "SELECT id, parent_id, hidden, email FROM customers",
};
constexpr int kFloorRuns = 5;

void BM_PgFloor(benchmark::State& state) {
    OpenCompany();
    std::unique_ptr<PGconn, decltype(&PQfinish)> conn(PQconnectdb(Location().c_str()), &PQfinish);
    if (PQstatus(conn.get()) != CONNECTION_OK) {
        state.SkipWithError(PQerrorMessage(conn.get()));
        return;
    }
    for (auto _ : state) {
        double total = 0;
        long long sum = 0, open = 0;
        for (const char* sql : kFloorQueries) {
            double best = 1e30;
            for (int run = 0; run <= kFloorRuns; ++run) {  // the first run warms
                const auto start = std::chrono::steady_clock::now();
                std::unique_ptr<PGresult, decltype(&PQclear)> res(PQexec(conn.get(), sql), &PQclear);
                if (PQresultStatus(res.get()) != PGRES_TUPLES_OK) {
                    state.SkipWithError(PQerrorMessage(conn.get()));
                    return;
                }
                const int rows = PQntuples(res.get()), columns = PQnfields(res.get());
                for (int r = 0; r < rows; ++r)
                    for (int c = 0; c < columns; ++c) sum += PQgetlength(res.get(), r, c) + *PQgetvalue(res.get(), r, c);
                const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                if (run > 0) best = std::min(best, took);
                if (sql == kFloorQueries[0]) open = rows;
            }
            total += best;
        }
        benchmark::DoNotOptimize(sum);
        state.SetIterationTime(total);
        state.counters["open_invoices"] = static_cast<double>(open);
    }
}

void BM_PgFullSelection(benchmark::State& state) {
    OpenCompany();
    for (auto _ : state) {
        TxnReminderEngine engine(FormViewType_Invoice);
        TxnReminderStatusCode status = TxnReminderStatus_Reset;
        std::vector<TxnSendableReminderContainer> out;
        bool duplicate = false;
        if (!engine.PrepareReminderListToSend(status, out, duplicate, false)) state.SkipWithError("selection failed");
        state.counters["reminders"] = static_cast<double>(out.size());
    }
}

BENCHMARK(BM_PgFloor)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
BENCHMARK(BM_PgFullSelection)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

} // namespace

int main(int argc, char** argv) {
    Host::RegisterDefaultTracker();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    Host::HostContext::Get().CloseCompanyFile();
    return 0;
}
