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
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <streambuf>
#include <string>
#include <vector>

#include "AppContext.h"
#include "CmdDue.h"
#include "CmdForecast.h"
#include "CompanyFile.h"
#include "GenerateCompany.h"
#include "Host/DefaultTracker.h"
#include "Host/HostContext.h"
#include "Records/ReminderRecords.h"
#include "Sql.h"
#include "SqliteConnection.h"
#include "TxnReminderEngine.h"
#include "TxnReminderSet.h"
#include "TxnSendableReminderContainer.h"

namespace {

struct Size {
    const char* name;
    int openInvoices;
    bool oneCustomer = false;
};
const Size kSizes[] = {{"10k", 10000}, {"100k", 100000}, {"1m", 1000000}};

// One customer (with an e-mail address) holding every open invoice, in one
// group addressed by three invoice sets and a statement set: what costs more
// per invoice as one customer's invoices grow shows up here.
const Size kOneCustomer[] = {{"1c-10k", 10000, true}, {"1c-100k", 100000, true}};

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
std::string CompanyPath(const Size& size) { return DataDir() + "/company-" + size.name + ".db"; }

void OpenCompany(const Size& size) {
    auto& host = Host::HostContext::Get();
    const std::string path = CompanyPath(size);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        bench::CompanyShape shape = bench::BenchShape(size.openInvoices);
        if (size.oneCustomer) {
            shape.customers = shape.groups = shape.groupSize = 1;
            shape.jobs = shape.history = 0;
            shape.invoiceSets = 3;
            shape.statementSets = 1;
            shape.noEmailShare = shape.hiddenShare = 0;
        }
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
void Run(benchmark::State& state, Body body, const Size* sizes = kSizes) {
    const Size& size = sizes[state.range(0)];
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

// The floor: the rows the full selection reads (open invoices, the invoice
// history, the members of the groups that invoice sets address, the name
// list), each read by a bare loop over the cheapest plan there is. Each part
// is tried over every plan that reads the same rows, warm, several times, and
// its fastest run counts, so the floor is a floor: nothing the selection
// does on top of reading can make it cheaper.
struct FloorPart {
    std::vector<std::string> plans;  // the same rows, by different paths
};

const FloorPart kFloorParts[] = {
    {{"SELECT txn_id, due_date, customer_id FROM invoices "
      "WHERE is_paid = 0 AND is_no_post = 0 AND cleared_type <> 2",
      "SELECT txn_id, due_date, customer_id FROM invoices NOT INDEXED "
      "WHERE is_paid = 0 AND is_no_post = 0 AND cleared_type <> 2"}},
    {{"SELECT txn_id, rule_id, status FROM reminder_history WHERE +txn_view = 4",
      "SELECT txn_id, rule_id, status FROM reminder_history WHERE txn_view = 4"}},
    {{"SELECT r.value FROM reminder_sets s JOIN entity_group_rules r "
      "ON r.group_id = s.target_group_id AND r.attribute = 554288 "
      "WHERE s.txn_view = 4 AND s.is_active <> 0",
      "SELECT value FROM entity_group_rules WHERE attribute = 554288 AND group_id IN "
      "(SELECT target_group_id FROM reminder_sets WHERE txn_view = 4 AND is_active <> 0)"}},
    {{"SELECT id, parent_id, hidden, email FROM customers"}},
};
constexpr int kFloorRuns = 5;

// One pass over a query's rows, touching every column as cheaply as SQLite
// allows (texts by length, not copied). Returns the time taken.
double ReadAll(sqlite3_stmt* q, long long& sum, long long& rows) {
    const auto start = std::chrono::steady_clock::now();
    const int columns = sqlite3_column_count(q);
    while (sqlite3_step(q) == SQLITE_ROW) {
        ++rows;
        for (int c = 0; c < columns; ++c) {
            sum += sqlite3_column_type(q, c) == SQLITE_TEXT ? sqlite3_column_bytes(q, c) : sqlite3_column_int64(q, c);
        }
    }
    sqlite3_reset(q);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_Floor(benchmark::State& state) {
    Run(state, [](benchmark::State& s) {
        // The floor reads the file with bare SQLite calls, beneath the store's own layer.
        auto* file = dynamic_cast<Host::SqliteConnection*>(Host::HostContext::Get().File()->Db());
        if (!file) {
            s.SkipWithError("the floor is measured on a company file");
            return;
        }
        sqlite3* db = file->Handle();
        double total = 0;
        long long sum = 0, openInvoices = 0;
        for (const FloorPart& part : kFloorParts) {
            double best = 1e30;
            for (const std::string& plan : part.plans) {
                sqlite3_stmt* q = nullptr;
                if (sqlite3_prepare_v2(db, plan.c_str(), -1, &q, nullptr) != SQLITE_OK) {
                    s.SkipWithError(sqlite3_errmsg(db));
                    return;
                }
                long long rows = 0;
                ReadAll(q, sum, rows);  // warm
                if (&part == &kFloorParts[0]) openInvoices = rows;
                for (int run = 0; run < kFloorRuns; ++run) best = std::min(best, ReadAll(q, sum, rows));
                sqlite3_finalize(q);
            }
            total += best;
        }
        benchmark::DoNotOptimize(sum);
        s.SetIterationTime(total);
        s.counters["open_invoices"] = static_cast<double>(openInvoices);
    });
}

void Select(benchmark::State& state, bool fast) {
    Run(state, [fast](benchmark::State& s) {
        const long found = bench::SelectInvoiceReminders(fast);
        if (found < 0) s.SkipWithError("selection failed");
        s.counters["reminders"] = static_cast<double>(found);
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

// --- whole commands: what a user waits for --------------------------------------

// Takes the place of standard output while a command runs: what it prints is
// formatted as usual, counted and dropped, so the terminal is not timed.
class CountingBuffer : public std::streambuf {
public:
    std::size_t bytes = 0;
    std::size_t lines = 0;
    std::size_t items = 0;  // elements of a printed JSON array: lines that start with "  {"

protected:
    int_type overflow(int_type c) override {
        if (c == traits_type::eof()) return traits_type::not_eof(c);
        Count(static_cast<char>(c));
        return c;
    }
    std::streamsize xsputn(const char* text, std::streamsize n) override {
        // Jumps from line to line: a byte-at-a-time count cost a sixth of the
        // listing it was timing.
        const char* at = text;
        const char* const end = text + n;
        bytes += static_cast<std::size_t>(n);
        while (at != end) {
            if (m_matched > 0) {
                Match(*at++);
                continue;
            }
            const void* newline = std::memchr(at, '\n', static_cast<std::size_t>(end - at));
            if (!newline) break;
            at = static_cast<const char*>(newline) + 1;
            ++lines;
            m_matched = 1;
        }
        return n;
    }

private:
    void Count(char c) {
        ++bytes;
        if (c == '\n') {
            ++lines;
            m_matched = 1;
        } else if (m_matched > 0) {
            Match(c);
        }
    }
    // After a newline: how much of "  {" follows it.
    void Match(char c) {
        static constexpr char kRest[] = "  {";
        if (c == '\n') {
            ++lines;
            m_matched = 1;
        } else if (c != kRest[m_matched - 1]) {
            m_matched = 0;
        } else if (++m_matched == 4) {
            ++items;
            m_matched = 0;
        }
    }
    int m_matched = 0;  // 0: not after a newline; k: the newline and k-1 characters of "  {" seen
};

class CapturedStdout {
public:
    CapturedStdout() : m_saved(std::cout.rdbuf(&buffer)) {}
    ~CapturedStdout() { std::cout.rdbuf(m_saved); }
    CapturedStdout(const CapturedStdout&) = delete;
    CapturedStdout& operator=(const CapturedStdout&) = delete;
    CountingBuffer buffer;

private:
    std::streambuf* m_saved;
};

// `due --json`: the selection, each item's invoice, customer, rule and
// rendered subject, and the printed array.
void Listing(benchmark::State& state, const Size* sizes) {
    Run(state, [sizes](benchmark::State& s) {
        app::AppContext ctx;
        ctx.file = CompanyPath(sizes[s.range(0)]);
        ctx.json = true;
        CapturedStdout out;
        app::ShowDue(ctx, false);
        s.counters["due_items"] = static_cast<double>(out.buffer.items);
    }, sizes);
}
void BM_Listing(benchmark::State& state) { Listing(state, kSizes); }
void BM_OneCustomerListing(benchmark::State& state) { Listing(state, kOneCustomer); }

// The sends' outboxes, a folder per run, removed when the benchmarks end.
// Files made within half a minute of tens of thousands being deleted wait on
// the file system's search for a free entry (on this machine's, which keeps
// no journal, that search took more than half of a send's time): no user
// sends right after deleting a folder of that size, so no run does either.
class OutboxFolders {
public:
    ~OutboxFolders() {
        for (const std::string& folder : m_made) std::filesystem::remove_all(folder);
    }
    std::string Next() {
        m_made.push_back(DataDir() + "/send-outbox-" + std::to_string(::getpid()) + "-" +
                         std::to_string(m_made.size() + 1));
        std::filesystem::remove_all(m_made.back());
        return m_made.back();
    }

private:
    std::vector<std::string> m_made;
};

OutboxFolders& Outboxes() {
    static OutboxFolders folders;
    return folders;
}

// `send` into an outbox, on a fresh copy of the company file each time (a
// send records what it wrote, so the original must stay unsent).
void Send(benchmark::State& state, const Size* sizes) {
    Run(state, [sizes](benchmark::State& s) {
        s.PauseTiming();
        auto& host = Host::HostContext::Get();
        const std::string original = CompanyPath(sizes[s.range(0)]);
        const std::string copy = DataDir() + "/send-copy.db";
        const std::string outbox = Outboxes().Next();
        host.CloseCompanyFile();  // the original's log and last writes are settled before the copy
        for (const char* suffix : {"-wal", "-shm", ".log", ".lock"}) std::filesystem::remove(copy + suffix);
        std::filesystem::copy_file(original, copy, std::filesystem::copy_options::overwrite_existing);
        if (!host.OpenCompanyFile(copy).Succeeded()) {
            s.SkipWithError("the copy does not open");
            return;
        }
        host.FixClock(DateType32(6, 15, 2026), 8, 0, 0);
        s.ResumeTiming();

        const auto start = std::chrono::steady_clock::now();
        app::AppContext ctx;
        ctx.file = copy;
        app::SendOptions options;
        options.outbox = outbox;
        options.quiet = true;
        const app::SendSummary sent = app::SendDue(ctx, options);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

        s.PauseTiming();
        host.CloseCompanyFile();
        s.ResumeTiming();
        const int messages = sent.invoiceReminders + sent.statements;
        s.counters["due_items"] = messages + sent.skippedNoEmail + sent.failed;
        s.counters["messages"] = messages;
        s.counters["failed"] = sent.failed;
        s.counters["messages_per_s"] = seconds > 0 ? messages / seconds : 0;
        if (sent.failed) s.SkipWithError("some messages failed");
    }, sizes);
}
void BM_Send(benchmark::State& state) { Send(state, kSizes); }
void BM_OneCustomerSend(benchmark::State& state) { Send(state, kOneCustomer); }

void Sizes(benchmark::internal::Benchmark* b) {
    for (int i = 0; i < 3; ++i) b->Arg(i);
    b->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK(BM_Floor)->Apply([](benchmark::internal::Benchmark* b) {
    for (int i = 0; i < 3; ++i) b->Arg(i);
    b->Unit(benchmark::kMillisecond)->UseManualTime();
});
BENCHMARK(BM_FullSelection)->Apply(Sizes);
BENCHMARK(BM_FastSelection)->Apply(Sizes);
BENCHMARK(BM_StatementSelection)->Apply(Sizes);
BENCHMARK(BM_GetAllReminderSets)->Apply(Sizes);
BENCHMARK(BM_SaveSixRuleSet)->Apply(Sizes);
BENCHMARK(BM_RecordHistory10k)->Apply(Sizes)->Iterations(1);
BENCHMARK(BM_Purge)->Apply(Sizes);

// The whole commands take up to minutes on the large files: one run each.
void Once(benchmark::internal::Benchmark* b, int sizes) {
    for (int i = 0; i < sizes; ++i) b->Arg(i);
    b->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(1);
}
BENCHMARK(BM_Listing)->Apply([](benchmark::internal::Benchmark* b) { Once(b, 3); });
BENCHMARK(BM_Send)->Apply([](benchmark::internal::Benchmark* b) { Once(b, 2); });
BENCHMARK(BM_OneCustomerListing)->Apply([](benchmark::internal::Benchmark* b) { Once(b, 2); });
BENCHMARK(BM_OneCustomerSend)->Apply([](benchmark::internal::Benchmark* b) { Once(b, 2); });

} // namespace

int main(int argc, char** argv) {
    Host::RegisterDefaultTracker();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

// --- the forecast ---------------------------------------------------------------

namespace {
// `forecast --days 30` against one day's full selection, on the same file: the
// copy in memory is made once and each day is one selection, so the ratio
// (x_full_selection) stays under the number of days.
void BM_Forecast30(benchmark::State& state) {
    Run(state, [](benchmark::State& s) {
        s.PauseTiming();
        const auto start = std::chrono::steady_clock::now();
        if (bench::SelectInvoiceReminders(false) < 0) s.SkipWithError("selection failed");
        const double selection = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        s.ResumeTiming();

        const auto began = std::chrono::steady_clock::now();
        app::AppContext ctx;
        ctx.file = Host::HostContext::Get().CompanyFilePath();
        const app::Forecast f = app::ForecastOnCopy(ctx, DateType32(6, 15, 2026), 30);
        const double forecast = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();

        s.PauseTiming();
        std::size_t items = 0;
        for (const auto& day : f.days) items += day.items.size();
        s.counters["due_items"] = static_cast<double>(items);
        s.counters["x_full_selection"] = selection > 0 ? forecast / selection : 0;
        // The forecast leaves the host without a file; the next row reopens it.
        s.ResumeTiming();
    });
}
BENCHMARK(BM_Forecast30)->Apply([](benchmark::internal::Benchmark* b) {
    for (int i = 0; i < 2; ++i) b->Arg(i);
    b->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(1);
});
} // namespace
