// Benchmarks of the selection and the configuration operations over
// generated company files of 10k, 100k and 1M open invoices, with the cost of
// reading the same rows straight from SQLite as the floor.
//
// Generated files are kept in $REMINDERS_BENCH_DIR (default: bench-data in
// the current folder) and reused. Each benchmark reports the peak resident
// memory it added above the process's level when it started (peak_kb) and
// per open invoice (peak_bytes_per_invoice).

#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "CompanyFile.h"
#include "GenerateCompany.h"
#include "Host/DefaultTracker.h"
#include "Host/HostContext.h"
#include "Records/ReminderRecords.h"
#include "Sql.h"
#include "TxnReminderEngine.h"
#include "TxnReminderSet.h"
#include "TxnSendableReminderContainer.h"

namespace {

struct Size {
    const char* name;
    int openInvoices;
    int customers;
    int groupSize;
    int history;
};

const Size kSizes[] = {
    {"10k", 10000, 2000, 400, 3000},
    {"100k", 100000, 20000, 4000, 30000},
    {"1m", 1000000, 200000, 40000, 300000},
};

long ReadStatusKb(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, std::string(key).size(), key) == 0) return std::atol(line.c_str() + std::string(key).size());
    }
    return 0;
}

// Resets the kernel's peak-RSS mark so that the next reading is this
// benchmark's own peak.
void ResetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

std::string DataDir() {
    const char* dir = std::getenv("REMINDERS_BENCH_DIR");
    std::string d = dir && *dir ? dir : "bench-data";
    ::mkdir(d.c_str(), 0777);
    return d;
}

// Opens (generating once) the company file of a size, on a fixed day.
void OpenCompany(const Size& size) {
    auto& host = Host::HostContext::Get();
    const std::string path = DataDir() + "/company-" + size.name + ".db";
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        bench::CompanyShape shape;
        shape.customers = size.customers;
        shape.jobs = size.customers / 5;
        shape.openInvoices = size.openInvoices;
        shape.paidInvoices = size.openInvoices / 5;
        shape.groups = 20;
        shape.groupSize = size.groupSize;
        shape.invoiceSets = 20;
        shape.statementSets = 2;
        shape.history = size.history;
        bench::GenerateCompany(path + ".tmp", shape, true);
        host.CloseCompanyFile();
        std::rename((path + ".tmp").c_str(), path.c_str());
        std::remove((path + ".tmp-wal").c_str());
        std::remove((path + ".tmp-shm").c_str());
    }
    if (host.CompanyFilePath() != path) {
        host.CloseCompanyFile();
        if (!host.OpenCompanyFile(path).Succeeded()) throw std::runtime_error(host.LastOpenError());
    }
    host.FixClock(DateType32(6, 15, 2026), 8, 0, 0);
}

void Report(benchmark::State& state, long baselineKb, const Size& size) {
    const long peakKb = ReadStatusKb("VmHWM:") - baselineKb;
    state.counters["peak_kb"] = static_cast<double>(peakKb);
    state.counters["peak_bytes_per_invoice"] = static_cast<double>(peakKb) * 1024.0 / size.openInvoices;
}

template <class Body>
void Run(benchmark::State& state, Body body) {
    const Size& size = kSizes[state.range(0)];
    OpenCompany(size);
    // What earlier benchmarks freed goes back to the system first, or this
    // one would reuse it unseen.
    ::malloc_trim(0);
    ResetPeak();
    const long baseline = ReadStatusKb("VmRSS:");
    for (auto _ : state) body(state);
    Report(state, baseline, size);
    state.SetLabel(size.name);
}

void BM_Floor(benchmark::State& state) {
    Run(state, [](benchmark::State&) {
        sqlite3* db = Host::HostContext::Get().File()->Db();
        long long sum = 0;
        {
            Host::Stmt q(db, "SELECT txn_id, due_date, customer_id FROM invoices "
                             "WHERE is_paid = 0 AND is_no_post = 0 AND cleared_type <> 2");
            while (q.Step()) sum += q.Int(0) + q.Int(1) + q.Int(2);
        }
        {
            Host::Stmt q(db, "SELECT txn_id, rule_id, status FROM reminder_history WHERE txn_view = 4");
            while (q.Step()) sum += q.Int(0) + q.Int(1) + q.Int(2);
        }
        {
            Host::Stmt q(db, "SELECT group_id, value FROM entity_group_rules");
            while (q.Step()) sum += q.Int(0) + static_cast<long long>(q.Text(1).size());
        }
        {
            Host::Stmt q(db, "SELECT id, parent_id, hidden, length(email) FROM customers");
            while (q.Step()) sum += q.Int(0) + q.Int(1) + q.Int(2) + q.Int(3);
        }
        benchmark::DoNotOptimize(sum);
    });
}

void Select(benchmark::State& state, bool fast) {
    Run(state, [fast](benchmark::State& s) {
        TxnReminderEngine engine(FormViewType_Invoice);
        TxnReminderStatusCode status = TxnReminderStatus_Reset;
        std::vector<TxnSendableReminderContainer> out;
        bool duplicate = false;
        if (!engine.PrepareReminderListToSend(status, out, duplicate, fast)) s.SkipWithError("selection failed");
        s.counters["reminders"] = static_cast<double>(out.size());
    });
}
void BM_FullSelection(benchmark::State& state) { Select(state, false); }
void BM_FastSelection(benchmark::State& state) { Select(state, true); }

void BM_StatementSelection(benchmark::State& state) {
    Run(state, [](benchmark::State& s) {
        TxnReminderEngine engine(FormViewType_Statement);
        TxnReminderStatusCode status = TxnReminderStatus_Reset;
        std::vector<TxnSendableReminderContainer> out;
        if (!engine.PrepareReminderListToSendForStmt(status, out, false)) s.SkipWithError("selection failed");
        s.counters["statements"] = static_cast<double>(out.size());
    });
}

void BM_GetAllReminderSets(benchmark::State& state) {
    Run(state, [](benchmark::State& s) {
        TxnReminderEngine engine(FormViewType_Invoice);
        TxnReminderStatusCode status = TxnReminderStatus_Reset;
        std::vector<TxnReminderSet> sets;
        if (!engine.GetAllReminderSets(status, sets)) s.SkipWithError("listing failed");
    });
}

void BM_SaveSixRuleSet(benchmark::State& state) {
    Run(state, [](benchmark::State& s) {
        TxnReminderEngine engine(FormViewType_Invoice);
        TxnReminderStatusCode status = TxnReminderStatus_Reset;
        std::vector<TxnReminderSet> sets;
        if (!engine.GetAllReminderSets(status, sets) || sets.empty()) {
            s.SkipWithError("no set to copy");
            return;
        }
        TxnReminderSet set(0, FormViewType_Invoice);
        set.SetReminderSetName(Util::TString("Benchmark set"));
        set.SetTargetGroupId(sets.front().GetTargetGroupId());
        std::vector<TxnReminderRule> rules;
        for (int i = 0; i < 6; ++i) {
            TxnReminderRule rule;
            TxnReminderRuleCriteria c;
            c.SetDateToCompare("due date");
            c.SetSchedule(2);
            c.SetDays(i * 10);
            rule.SetRuleCriteria(c);
            TxnReminderRuleTemplate t(15, Util::TString("body"), Util::TString("subject"));
            rule.SetRuleTemplate(t);
            rules.push_back(rule);
        }
        set.SetReminderRules(rules);
        if (!engine.AddOrUpdateReminderSet(status, set)) s.SkipWithError("save failed");
        s.PauseTiming();
        engine.DeleteReminderSet(status, set.GetRuleSetId());
        s.ResumeTiming();
    });
}

void BM_RecordHistory10k(benchmark::State& state) {
    Run(state, [](benchmark::State& s) {
        TxnReminderEngine engine(FormViewType_Invoice);
        for (unsigned long i = 0; i < 10000; ++i) {
            if (!engine.SaveReminderExecutionHistory(4000000000UL + i, 1, TxnReminderExecutionStatus_Sent)) {
                s.SkipWithError("recording failed");
                break;
            }
        }
        s.PauseTiming();
        Host::Exec(Host::HostContext::Get().File()->Db(), "DELETE FROM reminder_history WHERE txn_id >= 4000000000");
        s.ResumeTiming();
    });
}

void BM_Purge(benchmark::State& state) {
    Run(state, [](benchmark::State& s) {
        // Nothing generated is old enough to purge: this measures the scan.
        TxnReminderEngine engine(FormViewType_Invoice);
        if (!engine.PurgeOldReminderExecutionHistory()) s.SkipWithError("purge failed");
    });
}

void Sizes(benchmark::internal::Benchmark* b) {
    for (int i = 0; i < 3; ++i) b->Arg(i);
    b->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK(BM_Floor)->Apply(Sizes);
BENCHMARK(BM_FullSelection)->Apply(Sizes);
BENCHMARK(BM_FastSelection)->Apply(Sizes);
BENCHMARK(BM_StatementSelection)->Apply(Sizes);
BENCHMARK(BM_GetAllReminderSets)->Apply(Sizes);
BENCHMARK(BM_SaveSixRuleSet)->Apply(Sizes);
BENCHMARK(BM_RecordHistory10k)->Apply(Sizes)->Iterations(1);
BENCHMARK(BM_Purge)->Apply(Sizes);

} // namespace

int main(int argc, char** argv) {
    Host::RegisterDefaultTracker();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
