// The `reminders` command under a crash at any instant, beside a second
// copy of itself, and on damaged or foreign company files: it never loses a
// reminder, never sends one twice and never harms the file.

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include <nlohmann/json.hpp>

#include "CommandRunner.h"
#include "Csv.h"

namespace fs = std::filesystem;

namespace {

using Outcome = testsupport::CommandResult;
using testsupport::Background;

std::string FileBytes(const std::string& path) { return fs::exists(path) ? app::ReadWholeFile(path) : "<none>"; }

class ReliabilityTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/reminders-rel-XXXXXX";
        m_dir = ::mkdtemp(pattern);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    // `env VARS reminders --file FILE --today DAY args`, as shell text.
    static std::string Line(const std::string& file, const std::string& args, const std::vector<std::string>& env = {},
                            const std::string& today = "2026-03-10") {
        std::string line;
        for (const auto& e : env) line += (line.empty() ? "env " : "") + e + " ";
        return line + REMINDERS_BIN + " --file '" + file + "' --today " + today + " " + args;
    }
    Outcome Run(const std::string& file, const std::string& args, const std::vector<std::string>& env = {},
                const std::string& today = "2026-03-10") const {
        return Background(Line(file, args, env, today), m_dir).Wait();
    }

    // A fresh folder with a copy of `source`'s company file (no outbox).
    std::string CopyCompany(const std::string& source, const std::string& name) const {
        const std::string dir = m_dir + "/" + name;
        fs::remove_all(dir);
        fs::create_directories(dir);
        fs::copy_file(source, dir + "/company.db");
        return dir + "/company.db";
    }

    // The sample company, made once per case.
    std::string MakeSample() const {
        const std::string dir = m_dir + "/pristine";
        if (fs::exists(dir + "/company.db")) return dir + "/company.db";
        fs::create_directories(dir);
        const Outcome init = Run(dir + "/company.db", "init --sample");
        EXPECT_EQ(init.exit, 0) << init.err;
        EXPECT_FALSE(fs::exists(dir + "/company.db-wal") && fs::file_size(dir + "/company.db-wal") > 0)
            << "the write-ahead log is folded in when the command ends";
        return dir + "/company.db";
    }

    // Every message of the outbox by name, with its bytes.
    static std::map<std::string, std::string> Outbox(const std::string& file) {
        std::map<std::string, std::string> messages;
        const fs::path dir = fs::path(file).parent_path() / "outbox";
        if (!fs::exists(dir)) return messages;
        for (const auto& e : fs::directory_iterator(dir)) messages[e.path().filename().string()] = app::ReadWholeFile(e.path());
        return messages;
    }

    // The same, with each message's Date header left out: when two hosts
    // race, either may send, and the cycle sends at the prompt hour.
    static std::map<std::string, std::string> OutboxWithoutDates(const std::string& file) {
        auto messages = Outbox(file);
        for (auto& [name, text] : messages) {
            const std::size_t at = text.rfind("Date: ", 0) == 0 ? 0 : text.find("\r\nDate: ");
            if (at != std::string::npos) text.erase(at, text.find("\r\n", at + 2) + (at == 0 ? 2 : 0) - at);
        }
        return messages;
    }

    static long FaultHits(const std::string& err) {
        const std::size_t at = err.find("fault point hits: ");
        return at == std::string::npos ? 0 : std::stol(err.substr(at + 18));
    }

    // Crash points 1..total, every one while there are few, else an evenly
    // spread sample of about `budget` (a prime stride, so that the sample
    // does not fall on the same step of every reminder).
    static std::vector<long> CrashPoints(long total, long budget) {
        std::vector<long> points;
        long stride = 1;
        if (total > budget) {
            stride = total / budget;
            auto prime = [](long n) {
                for (long d = 2; d * d <= n; ++d)
                    if (n % d == 0) return false;
                return n > 1;
            };
            while (!prime(stride)) ++stride;
        }
        for (long n = 1; n <= total; n += stride) points.push_back(n);
        if (points.back() != total) points.push_back(total);
        return points;
    }

    using Link = std::function<void(const std::string& target, const std::string& other)>;
    void Race(const char* second, int repetitions, const Link& link = nullptr);

    std::string m_dir;
};

const char* const kSendState =
    "SELECT txn_id, rule_id, status, count(*) FROM reminder_history GROUP BY txn_id, rule_id, status "
    "ORDER BY txn_id, rule_id";
const char* const kStatementState = "SELECT rule_id, customer_id, status FROM stmt_reminder_status ORDER BY 1, 2";

} // namespace

// Each command killed at its fault points, then run again: what the file and
// the outbox hold is what one uninterrupted run (or two, when the first one
// had finished) leaves, never a half of it.
TEST_F(ReliabilityTest, CommandsKilledAtAnyPointAndRunAgainEndAsIfUninterrupted) {
    const std::string pristine = MakeSample();
    const std::string setFile = m_dir + "/sets.json";
    std::ofstream(setFile) << R"({"sets": [
      {"id": 0, "status": "true", "name": "Crash A", "targetGroupId": 1, "targetGroupName": "", "txnType": "Invoice",
       "rules": [
         {"id": 0, "setId": 0, "criterion": {"days": "2", "DateToCompare": "due date", "schedule": "before"},
          "template": {"id": -1, "typeId": "INV_TYPE", "subject": "A1 {{invoice}}", "body": "a1"}},
         {"id": 0, "setId": 0, "criterion": {"days": "9", "DateToCompare": "due date", "schedule": "after"},
          "template": {"id": -1, "typeId": "INV_TYPE", "subject": "A2 {{invoice}}", "body": "a2"}}],
       "statementRules": []},
      {"id": 0, "status": "true", "name": "Crash B", "targetGroupId": 1, "targetGroupName": "", "txnType": "Invoice",
       "rules": [
         {"id": 0, "setId": 0, "criterion": {"days": "14", "DateToCompare": "due date", "schedule": "after"},
          "template": {"id": -1, "typeId": "INV_TYPE", "subject": "B1 {{invoice}}", "body": "b1"}}],
       "statementRules": []}]})";
    const std::string csv = m_dir + "/invoices.csv";
    {
        std::ofstream out(csv);
        out << "number,customer,date,due_date,amount,paid\n";
        for (int i = 0; i < 12; ++i) {
            out << 7000 + i << "," << 1 + i % 5 << ",2026-03-01,2026-03-2" << i % 9 << "," << 100 + i << ".50," << i % 3 / 2
                << "\n";
        }
    }
    struct Case {
        std::string command;
        long budget;  // crash points tried at most
        bool allOrNothing;  // a crash leaves the state before or after, nothing between
        std::function<std::string(const std::string& file)> state;
        const char* repeatSays;  // what a second run says when the first one had finished
    };
    const Case cases[] = {
        {"send", 60, false,
         [](const std::string& file) {
             std::string state;
             for (const auto& [name, text] : Outbox(file)) state += name + "\n" + text + "\n";
             return state + testsupport::Sql(file, kSendState) + testsupport::Sql(file, kStatementState);
         },
         ""},
        {"sets import " + setFile, 100, true, [this](const std::string& file) { return Run(file, "sets export").out; }, ""},
        {"import invoices " + csv, 100, true, [this](const std::string& file) { return Run(file, "--json invoices").out; },
         "exists already; nothing was imported"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        const std::string before = c.state(pristine);
        const std::string reference = CopyCompany(pristine, "reference");
        const Outcome clean = Run(reference, c.command, {"REMINDERS_REPORT_FAULT_HITS=1"});
        ASSERT_EQ(clean.exit, 0) << clean.err;
        const std::string after = c.state(reference);
        ASSERT_NE(after, before);
        const long total = FaultHits(clean.err);
        ASSERT_GT(total, 0);
        // Run twice: a send sends nothing more, a set import adds the sets
        // again, an invoice import is refused and changes nothing.
        const Outcome repeat = Run(reference, c.command);
        const std::string afterTwice = c.state(reference);
        EXPECT_NE(repeat.err.find(c.repeatSays), std::string::npos) << repeat.err;

        long tried = 0;
        for (long n : CrashPoints(total, c.budget)) {
            const std::string file = CopyCompany(pristine, "crash");
            const Outcome crashed = Run(file, c.command, {"REMINDERS_CRASH_AT=" + std::to_string(n)});
            ASSERT_TRUE(crashed.killed || crashed.exit == 0) << "n=" << n << ": " << crashed.err;
            ++tried;
            const std::string mid = c.state(file);
            if (c.allOrNothing) {
                EXPECT_TRUE(mid == before || mid == after) << "killed at fault point " << n << ":\n" << mid;
            }
            const bool done = mid == after;
            const Outcome again = Run(file, c.command);
            EXPECT_EQ(again.exit, done ? repeat.exit : 0) << "n=" << n << ": " << again.err;
            if (done) {
                EXPECT_EQ(again.err, repeat.err) << "n=" << n;
            }
            EXPECT_EQ(c.state(file), done ? afterTwice : after) << "killed at fault point " << n;
            EXPECT_EQ(testsupport::Sql(file, "PRAGMA integrity_check"), "ok\n") << "killed at fault point " << n;
            if (HasFailure()) return;
        }
        std::cout << c.command.substr(0, 14) << ": " << tried << " crash points tried of " << total << "\n";
    }
}

// Two at once, `repetitions` times over: each reminder once, and the file
// read back the same, whole, through either name.
void ReliabilityTest::Race(const char* second, int repetitions, const Link& link) {
    const std::string pristine = MakeSample();
    const std::string reference = CopyCompany(pristine, "reference");
    ASSERT_EQ(Run(reference, "send").exit, 0);
    const auto expectedMessages = OutboxWithoutDates(reference);
    const std::string expectedHistory = testsupport::Sql(reference, kSendState);
    const std::string expectedStatements = testsupport::Sql(reference, kStatementState);
    const bool bothSend = std::string(second) == "send";
    for (int rep = 0; rep < repetitions; ++rep) {
        SCOPED_TRACE(std::string(second) + ", repetition " + std::to_string(rep));
        const std::string file = CopyCompany(pristine, "together");
        const std::string outbox = " --outbox " + m_dir + "/together/outbox";
        std::string other = file;
        if (link) {
            // The other name lives in another folder, as a user's shortcut would.
            fs::remove_all(m_dir + "/elsewhere");
            fs::create_directories(m_dir + "/elsewhere");
            other = m_dir + "/elsewhere/company.db";
            link(file, other);
        }
        const Background a(Line(file, "send" + outbox), m_dir);
        const Background b(Line(other, bothSend ? "send" + outbox : std::string(second)), m_dir);
        const Outcome ra = a.Wait();
        const Outcome rb = b.Wait();
        ASSERT_EQ(ra.exit, 0) << ra.err;
        ASSERT_EQ(rb.exit, 0) << rb.err << rb.out;
        if (bothSend) {
            // Whichever went second found everything recorded.
            EXPECT_TRUE(ra.out.find("sent 0 invoice reminders and 0 statements") != std::string::npos ||
                        rb.out.find("sent 0 invoice reminders and 0 statements") != std::string::npos)
                << ra.out << rb.out;
        } else {
            ASSERT_EQ(Run(file, "send").exit, 0);  // what the cycle left for later
        }
        for (const std::string& name : {file, other}) {
            EXPECT_NE(Run(name, "send" + outbox).out.find("sent 0 invoice reminders and 0 statements"),
                      std::string::npos);
            EXPECT_EQ(OutboxWithoutDates(file), expectedMessages);
            EXPECT_EQ(testsupport::Sql(name, kSendState), expectedHistory);
            EXPECT_EQ(testsupport::Sql(name, kStatementState), expectedStatements);
            EXPECT_EQ(testsupport::Sql(name, "PRAGMA integrity_check"), "ok\n");
        }
        if (HasFailure()) return;
    }
}

TEST_F(ReliabilityTest, TwoSendersAtOnceSendEachReminderOnce) {
    Race("send", 10);
    Race("run --simulate 1 --answer send", 10);  // the daily cycle, answering "send"
}

TEST_F(ReliabilityTest, TwoSendersThroughLinksToOneFileSendEachReminderOnce) {
    Race("send", 6, [](const std::string& t, const std::string& o) { fs::create_symlink(t, o); });
    Race("send", 6, [](const std::string& t, const std::string& o) { fs::create_hard_link(t, o); });
}

TEST_F(ReliabilityTest, ABusyCompanyFileIsWaitedForThenRefusedNeverReportedDone) {
    const std::string pristine = MakeSample();
    const std::string file = CopyCompany(pristine, "busy");

    // Another sender holds the send lock: this one waits its time, then says so.
    {
        const int fd = ::open((file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_EQ(::flock(fd, LOCK_EX), 0);
        const Outcome r = Run(file, "send", {"REMINDERS_LOCK_TIMEOUT=1"});
        EXPECT_EQ(r.exit, 1);
        EXPECT_EQ(r.err, "reminders: company file '" + file +
                             "' is busy: another program is sending from it (waited 1 s); nothing was sent, try again\n");
        EXPECT_TRUE(Outbox(file).empty());
        // Released while the next one waits: it goes on and sends.
        const Background waiting(Line(file, "send", {"REMINDERS_LOCK_TIMEOUT=30"}), m_dir);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ::close(fd);
        const Outcome sent = waiting.Wait();
        EXPECT_EQ(sent.exit, 0) << sent.err;
        EXPECT_FALSE(Outbox(file).empty());
    }

    // Another program holds a write transaction on the database itself past
    // the wait: the import fails as busy and leaves nothing behind.
    const std::string csv = m_dir + "/invoices.csv";
    std::ofstream(csv) << "number,customer,date,due_date,amount,paid\n8000,1,2026-03-01,2026-03-31,10.00,0\n";
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "BEGIN IMMEDIATE; INSERT INTO company_prefs(key, value) VALUES('x', 'y')", nullptr, nullptr,
                           nullptr),
              SQLITE_OK);
    const Outcome r = Run(file, "import invoices " + csv, {"REMINDERS_BUSY_TIMEOUT_MS=200"});
    EXPECT_EQ(r.exit, 1);
    EXPECT_NE(r.err.find("company file '" + file + "' is busy"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    EXPECT_EQ(testsupport::Sql(file, "SELECT count(*) FROM invoices WHERE txn_id = 8000"), "0\n");
    EXPECT_EQ(Run(file, "import invoices " + csv).exit, 0);
}

TEST_F(ReliabilityTest, DamagedOrForeignCompanyFilesAreRefusedUntouched) {
    const std::string pristine = MakeSample();
    const std::string bytes = app::ReadWholeFile(pristine);
    ASSERT_GT(bytes.size(), 6 * 4096u);

    struct Case {
        std::string name;
        std::function<void(const std::string&)> make;
        std::string why;
    };
    const std::vector<Case> cases = {
        {"cut in half",
         [&](const std::string& f) { std::ofstream(f, std::ios::binary) << bytes.substr(0, bytes.size() / 2); },
         "damaged (cut off: " + std::to_string(bytes.size() / 2) + " bytes of " + std::to_string(bytes.size()) + ")"},
        {"cut inside a page",
         [&](const std::string& f) { std::ofstream(f, std::ios::binary) << bytes.substr(0, 5000); },
         "damaged (cut off: 5000 bytes of " + std::to_string(bytes.size()) + ")"},
        {"cut inside the header",
         [&](const std::string& f) { std::ofstream(f, std::ios::binary) << bytes.substr(0, 60); },
         "damaged (cut off: 60 bytes)"},
        {"emptied", [&](const std::string& f) { std::ofstream(f, std::ios::binary); },
         "empty (0 bytes); not a company file, or one cut off"},
        {"not a database",
         [&](const std::string& f) { std::ofstream(f) << "id,name\n1,Alder Street Bakery\n"; },
         "not a company file (not a database)"},
        {"a newer version",
         [&](const std::string& f) {
             fs::copy_file(pristine, f);
             sqlite3* db = nullptr;
             sqlite3_open(f.c_str(), &db);
             sqlite3_exec(db, "PRAGMA journal_mode=DELETE; PRAGMA user_version=999", nullptr, nullptr, nullptr);
             sqlite3_close(db);
         },
         "made by a newer version (schema 999, this program reads up to "},
        {"another program's database",
         [&](const std::string& f) {
             sqlite3* db = nullptr;
             sqlite3_open(f.c_str(), &db);
             sqlite3_exec(db, "CREATE TABLE songs(title TEXT); INSERT INTO songs VALUES('x')", nullptr, nullptr, nullptr);
             sqlite3_close(db);
         },
         "not a company file (unknown database)"},
        {"read-only",
         [&](const std::string& f) {
             fs::copy_file(pristine, f);
             ::chmod(f.c_str(), 0444);
         },
         "read-only (the company file must be writable)"},
        {"pages zeroed",
         [&](const std::string& f) {
             std::ofstream(f, std::ios::binary) << bytes.substr(0, 2 * 4096) << std::string(4 * 4096, '\0')
                                                << bytes.substr(6 * 4096);
         },
         "damaged ("},
        {"missing", [](const std::string&) {}, "no such file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = m_dir + "/" + std::to_string(&c - cases.data());
        fs::create_directories(dir);
        const std::string file = dir + "/company.db";
        c.make(file);
        const std::string before = FileBytes(file);
        for (const char* command : {"customers", "send", "import invoices /dev/null", "sets import /dev/null"}) {
            const Outcome r = Run(file, command);
            EXPECT_FALSE(r.killed);
            EXPECT_EQ(r.exit, 1) << command;
            EXPECT_EQ(r.err.rfind("reminders: company file '" + file + "': " + c.why, 0), 0u) << command << ": " << r.err;
            EXPECT_EQ(FileBytes(file), before) << command;
            EXPECT_FALSE(fs::exists(dir + "/outbox"));
        }
    }
}

// A send of more reminders than the messages built ahead of it at a time:
// each file carries its own reminder's recipient and subject, after an
// uninterrupted send and after sends stopped part way and run again.
TEST_F(ReliabilityTest, ALargeSendWritesEachReminderItsOwnMessageAfterAnyStop) {
    fs::create_directories(m_dir + "/large");
    const std::string pristine = m_dir + "/large/company.db";
    const Outcome made = Background(std::string(GENERATE_BIN) + " --out '" + pristine +
                                        "' --seed 7 --customers 150 --jobs 30 --open-invoices 900 --paid-invoices 20 "
                                        "--groups 2 --group-size 150 --invoice-sets 2 --statement-sets 1 --history 100",
                                    m_dir)
                             .Wait();
    ASSERT_EQ(made.exit, 0) << made.err;
    const std::string today = "2026-06-15";  // the generator's

    // What each message must say, by the start of its file name.
    struct Expected {
        std::string email, subject, invoice;
    };
    std::map<std::string, Expected> expected;
    const Outcome listed = Run(pristine, "--json due", {}, today);
    ASSERT_EQ(listed.exit, 0) << listed.err;
    for (const auto& item : nlohmann::json::parse(listed.out)) {
        if (item["email"].is_null()) continue;
        const bool invoice = !item["invoice"].is_null();
        const std::string key = invoice ? "invoice-" + std::to_string(item["transactionId"].get<long>()) + "-rule-" +
                                              std::to_string(item["ruleId"].get<long>()) + "."
                                        : "statement-" + std::to_string(item["ruleId"].get<long>()) + "-customer-" +
                                              std::to_string(item["customerId"].get<long>()) + "-";
        expected[key] = {item["email"].get<std::string>(), item["subject"].get<std::string>(),
                         invoice ? "invoice " + std::to_string(item["invoice"].get<long>()) + " for" : ""};
    }
    ASSERT_GT(expected.size(), 600u) << "more than two runs of messages built ahead";

    const char* const kHistoryRows = "SELECT count(*) FROM reminder_history";
    const long historyBefore = std::stol(testsupport::Sql(pristine, kHistoryRows));
    long invoicesSent = 0;
    for (const auto& entry : expected) invoicesSent += entry.first.rfind("invoice-", 0) == 0;
    const std::string reference = CopyCompany(pristine, "large-reference");
    const long total = FaultHits(Run(reference, "send", {"REMINDERS_REPORT_FAULT_HITS=1"}, today).err);
    ASSERT_GT(total, 0);
    for (const long stop : {0L, total / 7, total / 2, total - total / 9}) {
        SCOPED_TRACE("stopped at fault point " + std::to_string(stop));
        const std::string file = CopyCompany(pristine, "large-run");
        if (stop > 0) {
            EXPECT_TRUE(Run(file, "send", {"REMINDERS_CRASH_AT=" + std::to_string(stop)}, today).killed);
        }
        const Outcome sent = Run(file, "send", {}, today);
        ASSERT_EQ(sent.exit, 0) << sent.err;
        const auto outbox = Outbox(file);
        EXPECT_EQ(outbox.size(), expected.size());
        for (const auto& [name, text] : outbox) {
            auto at = expected.upper_bound(name);
            ASSERT_NE(at, expected.begin()) << name;
            --at;
            ASSERT_EQ(name.rfind(at->first, 0), 0u) << name << " is no reminder that is due";
            const std::size_t split = text.find("\r\n\r\n");
            const std::string headers = text.substr(0, split), body = text.substr(split + 4);
            EXPECT_NE(headers.find("<" + at->second.email + ">"), std::string::npos) << name << "\n" << headers;
            EXPECT_NE(headers.find("\r\nSubject: " + at->second.subject + "\r\n"), std::string::npos)
                << name << "\n" << headers;
            EXPECT_NE(body.find(at->second.invoice), std::string::npos) << name << "\n" << body;
        }
        // One history row for each invoice reminder sent, however often the send was stopped.
        EXPECT_EQ(std::stol(testsupport::Sql(file, kHistoryRows)), historyBefore + invoicesSent);
    }
}
