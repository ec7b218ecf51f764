// The `reminders` command under a crash at any instant, beside a second
// copy of itself, and on damaged or foreign company files: it never loses a
// reminder, never sends one twice and never harms the file.

#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/property_tree/json_parser.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

#include "Csv.h"

namespace fs = std::filesystem;

namespace {

struct Outcome {
    bool killed = false;  // ended by SIGKILL (a crash point)
    int exit = -1;        // exit status when it ended by itself
    std::string out;
    std::string err;
};

// A started `reminders` process; Wait() collects it.
class Process {
public:
    Process(const std::string& dir, const std::vector<std::string>& args, const std::vector<std::string>& env)
        : m_outFile(dir + "/out." + std::to_string(++s_serial)), m_errFile(dir + "/err." + std::to_string(s_serial)) {
        m_pid = ::fork();
        if (m_pid == 0) {
            const int out = ::open(m_outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err = ::open(m_errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int in = ::open("/dev/null", O_RDONLY);
            ::dup2(out, 1);
            ::dup2(err, 2);
            ::dup2(in, 0);
            for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
            std::vector<char*> argv{const_cast<char*>(REMINDERS_BIN)};
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(REMINDERS_BIN, argv.data());
            ::_exit(127);
        }
    }
    Outcome Wait() {
        Outcome o;
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        o.killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
        o.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        o.out = app::ReadWholeFile(m_outFile);
        o.err = app::ReadWholeFile(m_errFile);
        return o;
    }

private:
    static inline int s_serial = 0;
    std::string m_outFile, m_errFile;
    pid_t m_pid = -1;
};

std::vector<std::string> Words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

std::string FileBytes(const std::string& path) { return fs::exists(path) ? app::ReadWholeFile(path) : "<none>"; }

class ReliabilityTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/reminders-rel-XXXXXX";
        m_dir = ::mkdtemp(pattern);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    // `reminders --file FILE --today DAY args...` in `workDir`'s company file.
    Outcome Run(const std::string& file, const std::string& args, const std::vector<std::string>& env = {},
                const std::string& today = "2026-03-10") const {
        std::vector<std::string> all{"--file", file, "--today", today};
        for (const auto& w : Words(args)) all.push_back(w);
        return Process(m_dir, all, env).Wait();
    }

    // A fresh folder with a copy of `source`'s company file (no outbox).
    std::string CopyCompany(const std::string& source, const std::string& name) const {
        const std::string dir = m_dir + "/" + name;
        fs::remove_all(dir);
        fs::create_directories(dir);
        fs::copy_file(source, dir + "/company.db");
        return dir + "/company.db";
    }

    std::string MakeSample() const {
        const std::string dir = m_dir + "/pristine";
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

    static std::string Query(const std::string& file, const std::string& sql) {
        sqlite3* db = nullptr;
        std::string result;
        if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
            sqlite3_stmt* st = nullptr;
            if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK) {
                while (sqlite3_step(st) == SQLITE_ROW) {
                    for (int c = 0; c < sqlite3_column_count(st); ++c) {
                        const unsigned char* t = sqlite3_column_text(st, c);
                        result += std::string(t ? reinterpret_cast<const char*>(t) : "NULL") + (c + 1 < sqlite3_column_count(st) ? "|" : "");
                    }
                    result += "\n";
                }
            } else {
                result = std::string("error: ") + sqlite3_errmsg(db);
            }
            sqlite3_finalize(st);
        }
        sqlite3_close(db);
        return result;
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

    std::string m_dir;
};

const char* const kSendState =
    "SELECT txn_id, rule_id, status, count(*) FROM reminder_history GROUP BY txn_id, rule_id, status "
    "ORDER BY txn_id, rule_id";
const char* const kStatementState = "SELECT rule_id, customer_id, status FROM stmt_reminder_status ORDER BY 1, 2";

} // namespace

TEST_F(ReliabilityTest, SendKilledAtAnyPointAndRunAgainSendsEveryReminderExactlyOnce) {
    const std::string pristine = MakeSample();

    // The reference: an uninterrupted send.
    const std::string reference = CopyCompany(pristine, "reference");
    const Outcome clean = Run(reference, "send", {"REMINDERS_REPORT_FAULT_HITS=1"});
    ASSERT_EQ(clean.exit, 0) << clean.err;
    const auto expectedMessages = Outbox(reference);
    const std::string expectedHistory = Query(reference, kSendState);
    const std::string expectedStatements = Query(reference, kStatementState);
    ASSERT_FALSE(expectedMessages.empty());
    const long total = FaultHits(clean.err);
    ASSERT_GT(total, 0);

    const auto points = CrashPoints(total, 60);
    long tried = 0;
    for (long n : points) {
        const std::string file = CopyCompany(pristine, "crash");
        const Outcome crashed = Run(file, "send", {"REMINDERS_CRASH_AT=" + std::to_string(n)});
        ASSERT_TRUE(crashed.killed || crashed.exit == 0) << "n=" << n << ": " << crashed.err;
        ++tried;
        const Outcome again = Run(file, "send");
        ASSERT_EQ(again.exit, 0) << "n=" << n << ": " << again.err;
        // Every message once, complete and the same as without the crash;
        // no half-written leftovers; every reminder recorded once.
        EXPECT_EQ(Outbox(file), expectedMessages) << "killed at fault point " << n;
        EXPECT_EQ(Query(file, kSendState), expectedHistory) << "killed at fault point " << n;
        EXPECT_EQ(Query(file, kStatementState), expectedStatements) << "killed at fault point " << n;
        EXPECT_EQ(Query(file, "PRAGMA integrity_check"), "ok\n") << "killed at fault point " << n;
        if (HasFailure()) break;
    }
    std::cout << "send: " << tried << " crash points tried of " << total << "\n";
}

TEST_F(ReliabilityTest, SetsImportKilledAtAnyPointLeavesEachSetWholeOrAbsent) {
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

    const std::string before = Run(pristine, "sets export").out;
    const std::string reference = CopyCompany(pristine, "reference");
    const Outcome clean = Run(reference, "sets import " + setFile, {"REMINDERS_REPORT_FAULT_HITS=1"});
    ASSERT_EQ(clean.exit, 0) << clean.err;
    const std::string after = Run(reference, "sets export").out;
    ASSERT_NE(after, before);
    const long total = FaultHits(clean.err);
    ASSERT_GT(total, 0);

    long tried = 0;
    for (long n : CrashPoints(total, 100)) {
        const std::string file = CopyCompany(pristine, "crash");
        const Outcome crashed = Run(file, "sets import " + setFile, {"REMINDERS_CRASH_AT=" + std::to_string(n)});
        ASSERT_TRUE(crashed.killed || crashed.exit == 0) << "n=" << n << ": " << crashed.err;
        ++tried;
        const std::string state = Run(file, "sets export").out;
        EXPECT_TRUE(state == before || state == after) << "killed at fault point " << n << ":\n" << state;
        // Run again: both sets are there whole (twice when the first run
        // had finished: the file adds new sets each time).
        ASSERT_EQ(Run(file, "sets import " + setFile).exit, 0);
        const std::string sets = Query(file, "SELECT s.name, count(r.id) FROM reminder_sets s LEFT JOIN reminder_rules r "
                                             "ON r.set_id = s.id WHERE s.name LIKE 'Crash %' GROUP BY s.id ORDER BY s.id");
        const std::string once = "Crash A|2\nCrash B|1\n";
        EXPECT_TRUE(sets == once || sets == once + once) << "killed at fault point " << n << ":\n" << sets;
        EXPECT_EQ(Query(file, "PRAGMA integrity_check"), "ok\n");
        if (HasFailure()) break;
    }
    std::cout << "sets import: " << tried << " crash points tried of " << total << "\n";
}

TEST_F(ReliabilityTest, InvoiceImportKilledAtAnyPointIsAllOrNothing) {
    const std::string pristine = MakeSample();
    const std::string csv = m_dir + "/invoices.csv";
    {
        std::ofstream out(csv);
        out << "number,customer,date,due_date,amount,paid\n";
        for (int i = 0; i < 12; ++i) {
            out << 7000 + i << "," << 1 + i % 5 << ",2026-03-01,2026-03-2" << i % 9 << "," << 100 + i << ".50," << i % 3 / 2
                << "\n";
        }
    }
    const std::string before = Run(pristine, "--json invoices").out;
    const std::string reference = CopyCompany(pristine, "reference");
    const Outcome clean = Run(reference, "import invoices " + csv, {"REMINDERS_REPORT_FAULT_HITS=1"});
    ASSERT_EQ(clean.exit, 0) << clean.err;
    const std::string after = Run(reference, "--json invoices").out;
    ASSERT_NE(after, before);
    const long total = FaultHits(clean.err);
    ASSERT_GT(total, 0);

    long tried = 0;
    for (long n : CrashPoints(total, 100)) {
        const std::string file = CopyCompany(pristine, "crash");
        const Outcome crashed = Run(file, "import invoices " + csv, {"REMINDERS_CRASH_AT=" + std::to_string(n)});
        ASSERT_TRUE(crashed.killed || crashed.exit == 0) << "n=" << n << ": " << crashed.err;
        ++tried;
        const std::string state = Run(file, "--json invoices").out;
        const bool none = state == before;
        EXPECT_TRUE(none || state == after) << "killed at fault point " << n;
        // Again: imports what is missing, or refuses a repeat and changes nothing.
        const Outcome again = Run(file, "import invoices " + csv);
        if (none) {
            EXPECT_EQ(again.exit, 0) << again.err;
        } else {
            EXPECT_EQ(again.exit, 1);
            EXPECT_NE(again.err.find("exists already; nothing was imported"), std::string::npos) << again.err;
        }
        EXPECT_EQ(Run(file, "--json invoices").out, after) << "killed at fault point " << n;
        EXPECT_EQ(Query(file, "PRAGMA integrity_check"), "ok\n");
        if (HasFailure()) break;
    }
    std::cout << "import invoices: " << tried << " crash points tried of " << total << "\n";
}

TEST_F(ReliabilityTest, TwoSendersAtOnceSendEachReminderOnce) {
    const std::string pristine = MakeSample();
    const std::string reference = CopyCompany(pristine, "reference");
    ASSERT_EQ(Run(reference, "send").exit, 0);
    const auto expectedMessages = OutboxWithoutDates(reference);
    const std::string expectedHistory = Query(reference, kSendState);
    const std::string expectedStatements = Query(reference, kStatementState);

    const int kRepetitions = 20;
    for (int rep = 0; rep < kRepetitions; ++rep) {
        const std::string file = CopyCompany(pristine, "together");
        const std::vector<std::string> common{"--file", file, "--today", "2026-03-10"};
        std::vector<std::string> first = common, second = common;
        first.push_back("send");
        // Every other time the second is the daily cycle, simulated, answering "send".
        if (rep % 2 == 0) {
            second.push_back("send");
        } else {
            for (const char* w : {"run", "--simulate", "1", "--answer", "send"}) second.push_back(w);
        }
        Process a(m_dir, first, {});
        Process b(m_dir, second, {});
        const Outcome ra = a.Wait();
        const Outcome rb = b.Wait();
        ASSERT_EQ(ra.exit, 0) << "repetition " << rep << ": " << ra.err;
        ASSERT_EQ(rb.exit, 0) << "repetition " << rep << ": " << rb.err << rb.out;
        if (rep % 2 == 1) {
            ASSERT_EQ(Run(file, "send").exit, 0);  // what the cycle left for later
        }
        EXPECT_EQ(OutboxWithoutDates(file), expectedMessages) << "repetition " << rep;
        EXPECT_EQ(Query(file, kSendState), expectedHistory) << "repetition " << rep;
        EXPECT_EQ(Query(file, kStatementState), expectedStatements) << "repetition " << rep;
        if (HasFailure()) break;
    }
}

TEST_F(ReliabilityTest, TwoSendersReachingOneFileByDifferentNamesSendEachReminderOnce) {
    const std::string pristine = MakeSample();
    const std::string reference = CopyCompany(pristine, "reference");
    ASSERT_EQ(Run(reference, "send --outbox " + m_dir + "/reference/outbox").exit, 0);
    const auto expectedMessages = OutboxWithoutDates(reference);
    const std::string expectedHistory = Query(reference, kSendState);
    const std::string expectedStatements = Query(reference, kStatementState);

    struct Case {
        const char* name;
        std::function<void(const std::string& target, const std::string& other)> link;
    };
    const std::vector<Case> cases = {
        {"symbolic link", [](const std::string& t, const std::string& o) { fs::create_symlink(t, o); }},
        {"hard link", [](const std::string& t, const std::string& o) { fs::create_hard_link(t, o); }},
    };
    for (const auto& c : cases) {
        for (int rep = 0; rep < 6; ++rep) {
            SCOPED_TRACE(std::string(c.name) + ", repetition " + std::to_string(rep));
            const std::string file = CopyCompany(pristine, "together");
            // The other name lives in another folder, as a user's shortcut would.
            const std::string elsewhere = m_dir + "/elsewhere";
            fs::remove_all(elsewhere);
            fs::create_directories(elsewhere);
            const std::string other = elsewhere + "/company.db";
            c.link(file, other);
            const std::string outbox = m_dir + "/together/outbox";
            Process a(m_dir, {"--file", file, "--today", "2026-03-10", "send", "--outbox", outbox}, {});
            Process b(m_dir, {"--file", other, "--today", "2026-03-10", "send", "--outbox", outbox}, {});
            const Outcome ra = a.Wait();
            const Outcome rb = b.Wait();
            ASSERT_EQ(ra.exit, 0) << ra.err;
            ASSERT_EQ(rb.exit, 0) << rb.err;
            // Whichever went second found everything recorded.
            EXPECT_TRUE(ra.out.find("sent 0 invoice reminders and 0 statements") != std::string::npos ||
                        rb.out.find("sent 0 invoice reminders and 0 statements") != std::string::npos)
                << ra.out << rb.out;
            // Read back through each name: the same, whole file.
            for (const std::string& name : {file, other}) {
                EXPECT_EQ(Run(name, "send --outbox " + outbox).out.find("sent 0 invoice reminders and 0 statements") !=
                              std::string::npos,
                          true);
                EXPECT_EQ(OutboxWithoutDates(file), expectedMessages);
                EXPECT_EQ(Query(name, kSendState), expectedHistory);
                EXPECT_EQ(Query(name, kStatementState), expectedStatements);
                EXPECT_EQ(Query(name, "PRAGMA integrity_check"), "ok\n");
            }
            if (HasFailure()) return;
        }
    }
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
        Process waiting(m_dir, {"--file", file, "--today", "2026-03-10", "send"}, {"REMINDERS_LOCK_TIMEOUT=30"});
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
    EXPECT_EQ(Query(file, "SELECT count(*) FROM invoices WHERE txn_id = 8000"), "0\n");
    EXPECT_EQ(Run(file, "import invoices " + csv).exit, 0);
}

TEST_F(ReliabilityTest, DamagedOrForeignCompanyFilesAreRefusedUntouched) {
    const std::string pristine = MakeSample();
    const std::string bytes = app::ReadWholeFile(pristine);
    ASSERT_GT(bytes.size(), 8192u);

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

TEST_F(ReliabilityTest, DeniedSendPermissionsSendNothingOfThatKindAndSaySo) {
    const std::string pristine = MakeSample();
    const std::string file = CopyCompany(pristine, "denied");
    const Outcome set = Run(file, "prefs set send-invoice-reminders deny");
    ASSERT_EQ(set.exit, 0) << set.err;
    EXPECT_EQ(set.out, "send-invoice-reminders = deny\n");
    EXPECT_NE(Run(file, "prefs show").out.find("send-invoice-reminders  deny"), std::string::npos);

    const Outcome sent = Run(file, "send");
    ASSERT_EQ(sent.exit, 0) << sent.err;
    EXPECT_NE(sent.out.find("invoice reminders: not permitted (prefs send-invoice-reminders is deny, or the feature is "
                            "off); none selected\n"),
              std::string::npos)
        << sent.out;
    for (const auto& [name, text] : Outbox(file)) EXPECT_EQ(name.rfind("invoice-", 0), std::string::npos) << name;
    EXPECT_EQ(Query(file, "SELECT count(*) FROM reminder_history"), "0\n");

    ASSERT_EQ(Run(file, "prefs set send-statements deny").exit, 0);
    const Outcome run = Run(file, "run --simulate 3 --answer send");
    EXPECT_EQ(run.exit, 1);
    EXPECT_EQ(run.err, "reminders: run: sending is not permitted, neither invoice reminders nor statements (prefs "
                       "send-invoice-reminders and send-statements are deny); nothing to do\n");
    const auto before = Outbox(file);
    EXPECT_EQ(Run(file, "send").exit, 0);
    EXPECT_EQ(Outbox(file), before);

    // Allowed again: the invoice reminders go out.
    ASSERT_EQ(Run(file, "prefs set send-invoice-reminders allow").exit, 0);
    ASSERT_EQ(Run(file, "send").exit, 0);
    EXPECT_NE(Query(file, "SELECT count(*) FROM reminder_history"), "0\n");
    EXPECT_EQ(Run(file, "prefs set send-statements maybe").err,
              "reminders: prefs set send-statements: expected allow or deny, got 'maybe'\n");
}
