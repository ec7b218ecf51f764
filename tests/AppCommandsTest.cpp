// The built `reminders` command: its JSON output, the host's switches and
// send permissions, the daily cycle's prompt module and schedule state, and
// company files whose tables are damaged or input that must be refused.

#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>

#include "CommandRunner.h"
#include "AppContext.h"
#include "FileLock.h"

namespace fs = std::filesystem;
using testsupport::CommandResult;
using testsupport::CommandRunner;

namespace {

class AppCommandsTest : public ::testing::Test {
protected:
    // One sample company for the whole suite; each case works on a copy.
    static void SetUpTestSuite() {
        s_sample = std::make_unique<CommandRunner>(REMINDERS_BIN);
        ASSERT_EQ(s_sample->Run("init --sample").exit, 0);
    }
    static void TearDownTestSuite() { s_sample.reset(); }

    static std::unique_ptr<CommandRunner> SampleCopy() {
        auto runner = std::make_unique<CommandRunner>(REMINDERS_BIN);
        testsupport::CopyLocation(s_sample->File(), runner->File());
        return runner;
    }
    static std::unique_ptr<CommandRunner> EmptyCompany() {
        auto runner = std::make_unique<CommandRunner>(REMINDERS_BIN);
        EXPECT_EQ(runner->Run("init").exit, 0);
        return runner;
    }

    static std::unique_ptr<CommandRunner> s_sample;
};
std::unique_ptr<CommandRunner> AppCommandsTest::s_sample;

} // namespace

TEST_F(AppCommandsTest, JsonOutputHasOneShapeEmptyOrFullWithOptionsAfterTheSubcommand) {
    struct Case {
        const char* args;
        const char* list;  // the key holding the list; "" for an object of values
        bool emptyWhenNew;
    };
    const Case cases[] = {
        {"customers", "customers", true}, {"invoices", "invoices", true}, {"invoices --open", "invoices", true},
        {"groups list", "groups", true},  {"sets list", "sets", true},    {"sets export", "sets", true},
        {"history", "history", true},     {"stats", "events", false},     {"prefs show", "", false},
    };
    const auto empty = EmptyCompany();
    const auto sample = SampleCopy();
    ASSERT_EQ(sample->Run("send").exit, 0);  // history and telemetry to list
    for (const CommandRunner* company : {empty.get(), sample.get()}) {
        const bool full = company == sample.get();
        for (const auto& c : cases) {
            const CommandResult r = company->Run(std::string(c.args) + " --json");
            ASSERT_EQ(r.exit, 0) << c.args << ": " << r.err;
            nlohmann::json json;
            ASSERT_NO_THROW(json = nlohmann::json::parse(r.out)) << c.args << ": " << r.out;
            if (*c.list == '\0') {
                EXPECT_TRUE(json.is_object()) << c.args;
                continue;
            }
            ASSERT_TRUE(json.at(c.list).is_array()) << c.args << (full ? " (full): " : " (empty): ") << r.out;
            EXPECT_EQ(json.at(c.list).empty(), !full && c.emptyWhenNew) << c.args;
        }
        // No address is null, never a text standing in for one.
        const auto customers = nlohmann::json::parse(company->Run("customers --json").out).at("customers");
        std::size_t withoutEmail = 0;
        for (const auto& c : customers) {
            EXPECT_TRUE(c.at("email").is_null() || (c.at("email").is_string() && c.at("email") != "")) << c;
            withoutEmail += c.at("email").is_null() ? 1 : 0;
        }
        EXPECT_EQ(withoutEmail > 0, full);
    }
    // A set without rules still lists its rules as a list, as every other set.
    sample->Write("bare.json", R"({"id": 0, "status": "true", "name": "Bare", "targetGroupId": 1,
        "targetGroupName": "", "txnType": "Invoice", "rules": [], "statementRules": []})");
    ASSERT_EQ(sample->Run("sets import '" + sample->Dir() + "/bare.json'").exit, 0);
    const auto exported = nlohmann::json::parse(sample->Run("sets export").out);
    ASSERT_EQ(exported.at("sets").size(), 3u);
    for (const auto& set : exported.at("sets")) {
        const char* rules = set.at("txnType") == "Invoice" ? "rules" : "statementRules";
        EXPECT_TRUE(set.at(rules).is_array()) << set;
    }
    // Commands that change things answer in JSON too, with typed values.
    using Json = nlohmann::json;
    const std::string recorded = sample->Sql("SELECT count(*) FROM reminder_history");
    sample->Write("customers.csv", "id,name,parent,email,type,terms,hidden\n900,New Customer,,new@x.test,,,0\n");
    sample->Write("set.json", sample->Run("sets export 1").out);
    auto has = [](const char* key) { return [key](const Json& j) { EXPECT_TRUE(j.contains(key)) << j; }; };
    const std::pair<std::string, std::function<void(const Json&)>> changes[] = {
        {"history",
         [&](const Json& j) {
             ASSERT_EQ(std::to_string(j.at("history").size()) + "\n", recorded);
             for (const auto& h : j.at("history")) {
                 EXPECT_TRUE(h.at("transactionId").is_number_unsigned() && h.at("ruleId").is_number() &&
                             h.at("status").is_number() && h.at("customer").is_string()) << h;
             }
         }},
        {"purge",
         [&](const Json& j) {
             EXPECT_TRUE(j.at("purged").is_number() && j.at("kept").is_number()) << j;
             EXPECT_EQ(std::to_string(j.at("purged").get<long>() + j.at("kept").get<long>()) + "\n", recorded);
         }},
        {"migrate", [](const Json& j) { EXPECT_EQ(j.at("migrated"), true); }},
        {"outbox",
         [](const Json& j) {
             ASSERT_TRUE(j.is_array() && !j.empty()) << j;
             for (const auto& m : j) EXPECT_TRUE(m.at("attempts").is_number() && m.at("message").is_string()) << m;
         }},
        {"prefs set prompt-hour 10", has("prompt-hour")},
        {"import customers '" + sample->Dir() + "/customers.csv'", has("imported")},
        {"sets import '" + sample->Dir() + "/set.json'", has("saved")},
        {"log --tail 2", has("lines")},
        {"groups create Few --customers 900", has("id")},
        {"run --simulate 2 --answer review", has("days")},
    };
    for (const auto& [args, check] : changes) {
        const CommandResult r = sample->Run(args + " --json");
        ASSERT_EQ(r.exit, 0) << args << ": " << r.err;
        ASSERT_TRUE(Json::accept(r.out)) << args << ": " << r.out;
        check(Json::parse(r.out));
    }
    // The company file named by the environment, the global option last.
    const CommandResult viaEnv = sample->Run("customers --json", "", "REMINDERS_FILE='" + sample->File() + "'", false);
    ASSERT_EQ(viaEnv.exit, 0) << viaEnv.err;
    EXPECT_EQ(viaEnv.out, sample->Run("customers --json").out);
    EXPECT_EQ(sample->Run("groups --json list").exit, 0);
}

TEST_F(AppCommandsTest, HostSwitchesPermissionsAndAMissingPromptStopWhatTheyCoverAndSaySo) {
    enum Sends { kNothing, kStatementsOnly, kAll };
    struct Case {
        std::vector<const char*> prefs;
        const char* command;
        int exit;
        std::string says;  // on standard error, or standard output when exit is 0
        Sends sends;
        std::string env = "";
    };
    const std::string noPrompt = "reminders: run: the prompt module ";
    const char* const invoicesDenied = "send-invoice-reminders deny";
    const Case cases[] = {
        {{"feature off"}, "send", 1, "payment reminders are switched off on this host (prefs feature is off)", kNothing},
        {{"feature off"}, "purge", 1, "payment reminders are switched off on this host", kNothing},
        {{"feature off"}, "run --simulate 2 --answer send", 1, "payment reminders are switched off", kNothing},
        {{"feature off", invoicesDenied, "send-statements deny"}, "send", 1, "switched off", kNothing},
        {{invoicesDenied, "send-statements deny", "feature off", "feature on"}, "send", 0,
         "sent 0 invoice reminders and 0 statements", kNothing},
        {{"send-without-preview off"}, "send", 1, "sending without preview is switched off", kNothing},
        {{"send-without-preview off"}, "send --dry-run", 0, "would send", kNothing},
        {{"send-without-preview off"}, "run --simulate 2 --answer send", 0,
         "2026-03-10: prompt answered send now: sending without preview is switched off", kNothing},
        {{"send-without-preview off"}, "run --simulate 1 --answer review", 0, "left for review", kNothing},
        {{"purging off"}, "purge", 1, "purging is switched off (prefs purging is off); nothing was purged", kNothing},
        {{"purging off"}, "send", 0, "sent ", kAll},
        {{"feature off", "feature on"}, "run --simulate 1 --answer send", 0, "prompt answered send now: sent", kAll},
        {{}, "prefs set send-invoice-reminders deny", 0, "send-invoice-reminders = deny\n", kNothing},
        {{invoicesDenied}, "prefs show", 0, "send-invoice-reminders  deny", kNothing},
        {{invoicesDenied}, "send", 0,
         "invoice reminders: not permitted (prefs send-invoice-reminders is deny, or the feature is off); none selected\n",
         kStatementsOnly},
        {{invoicesDenied, "send-statements deny"}, "run --simulate 3 --answer send", 1,
         "reminders: run: sending is not permitted, neither invoice reminders nor statements (prefs "
         "send-invoice-reminders and send-statements are deny); nothing to do\n",
         kNothing},
        {{invoicesDenied, "send-invoice-reminders allow"}, "send", 0, "sent ", kAll},
        {{}, "prefs set send-statements maybe", 1,
         "reminders: prefs set send-statements: expected allow or deny, got 'maybe'\n", kNothing},
        // Why no prompt can be shown.
        {{}, "run --simulate 3 --answer send", 1,
         noPrompt + "could not be loaded from /nonexistent-module-folder/libFeaturesBridge.so (", kNothing,
         "REMINDERS_MODULE_DIR=/nonexistent-module-folder"},
        {{}, "run --simulate 3 --answer send", 1,
         noPrompt + REMINDERS_NOEXPORT_MODULE_DIR + "/libFeaturesBridge.so has no LaunchTxnReminderPrompt", kNothing,
         "REMINDERS_MODULE_DIR='" REMINDERS_NOEXPORT_MODULE_DIR "'"},
    };
    for (const auto& c : cases) {
        const auto company = SampleCopy();
        std::string label = c.env + " " + c.command;
        for (const char* p : c.prefs) {
            label += std::string(" / ") + p;
            const CommandResult set = company->Run(std::string("prefs set ") + p);
            ASSERT_EQ(set.exit, 0) << p << ": " << set.err;
        }
        const CommandResult r = company->Run(c.command, "2026-03-10", c.env);
        EXPECT_EQ(r.exit, c.exit) << label << ": " << r.err << r.out;
        EXPECT_NE((c.exit == 0 ? r.out : r.err).find(c.says), std::string::npos) << label << ": " << r.err << r.out;
        EXPECT_EQ(company->Sql("SELECT count(*) FROM reminder_history") != "0\n", c.sends == kAll) << label;
        EXPECT_EQ(company->OutboxFiles("invoice-") > 0, c.sends == kAll) << label;
        EXPECT_EQ(company->OutboxFiles() > 0, c.sends != kNothing) << label;
    }
}

TEST_F(AppCommandsTest, ScheduleChangesCountFromTheNextPromptAndSimulationsStoreNoDay) {
    const auto company = SampleCopy();
    const std::string kDay = "SELECT value FROM company_prefs WHERE key = 'invoiceReminderNextPromptLaunchDate'";
    // A monthly schedule left the next prompt on the first of next month.
    ASSERT_EQ(company->Run("prefs set schedule monthly").exit, 0);
    company->Sql("INSERT OR REPLACE INTO company_prefs(key, value) VALUES('invoiceReminderNextPromptLaunchDate', '20260401')");
    ASSERT_EQ(company->Sql(kDay), "20260401\n");

    // Daily from now on: today's prompt is not held back for April.
    ASSERT_EQ(company->Run("prefs set schedule daily").exit, 0);
    CommandResult r = company->Run("run --simulate 2 --answer later");
    ASSERT_EQ(r.exit, 0) << r.err;
    EXPECT_NE(r.out.find("2026-03-10: prompt answered later\n2026-03-11: prompt answered later\n"), std::string::npos)
        << r.out;

    // Simulations, into the future or not, leave the stored day as it was.
    const std::string stored = company->Sql(kDay);
    for (const char* today : {"2026-09-01", "2026-03-10", "2027-01-31"}) {
        r = company->Run("run --simulate 5 --answer later", today);
        ASSERT_EQ(r.exit, 0) << r.err;
        EXPECT_EQ(company->Sql(kDay), stored) << today;
    }
    // So tomorrow's cycle prompts tomorrow, not after a simulated September.
    r = company->Run("run --simulate 1 --answer later", "2026-03-11");
    EXPECT_NE(r.out.find("2026-03-11: prompt answered later"), std::string::npos) << r.out;
}

TEST_F(AppCommandsTest, DamagedStoresAndUnstorableInputAreRefusedNamingTheFile) {
    if (testsupport::UsePostgres()) GTEST_SKIP() << "damages the company file's bytes and names it as a file";
    struct Case {
        const char* what;
        std::function<void(const CommandRunner&)> damage;
        std::string command;
        std::string says;  // after "reminders: "; <file> stands for the company file, <dir> its folder
    };
    auto sql = [](std::string text) { return [text](const CommandRunner& r) { r.Sql(text); }; };
    auto write = [](std::string name, std::string text) {
        return [name, text](const CommandRunner& r) { r.Write(name, text); };
    };
    const Case cases[] = {
        {"a table dropped", sql("DROP TABLE reminder_sets"), "sets list",
         "company file '<file>': damaged (table 'reminder_sets' is missing); restore it from a backup"},
        {"invoices dropped", sql("DROP TABLE invoices"), "import invoices '<dir>/none.csv'",
         "company file '<file>': damaged (table 'invoices' is missing)"},
        {"balances past 64 bits",
         sql("UPDATE invoices SET amount = 9000000000000000000 WHERE customer_id = (SELECT customer_id FROM invoices "
             "WHERE is_paid = 0 GROUP BY customer_id HAVING count(*) > 1 LIMIT 1)"),
         "customers", "customers: the customer list cannot be read"},
        {"an endless file", nullptr, "import invoices /dev/zero", "/dev/zero:1: row: longer than 65536 bytes"},
        {"JSON nested 15,000 deep", write("deep.json", std::string(15000, '[') + std::string(15000, ']')),
         "sets import '<dir>/deep.json'", "<dir>/deep.json:1: nested deeper than 64 levels"},
    };
    for (const auto& c : cases) {
        const auto company = SampleCopy();
        const std::string before = company->Sql("SELECT count(*) FROM invoices");
        if (c.damage) c.damage(*company);
        auto fill = [&](std::string text) {
            for (const auto& [mark, value] : {std::pair<std::string, std::string>{"<file>", company->File()},
                                              {"<dir>", company->Dir()}}) {
                for (std::size_t at = text.find(mark); at != std::string::npos; at = text.find(mark)) {
                    text.replace(at, mark.size(), value);
                }
            }
            return text;
        };
        const CommandResult r = company->Run(fill(c.command));
        EXPECT_EQ(r.exit, 1) << c.what << ": " << r.out;
        EXPECT_EQ(r.err.rfind("reminders: " + fill(c.says), 0), 0u) << c.what << ": " << r.err;
        if (c.command.rfind("import", 0) == 0 && c.damage == nullptr) {
            EXPECT_EQ(company->Sql("SELECT count(*) FROM invoices"), before) << c.what;
        }
    }
}

TEST_F(AppCommandsTest, LogTailReachesIntoTheFilesMovedAside) {
    if (testsupport::UsePostgres()) GTEST_SKIP() << "the log files beside a company file";
    const auto company = EmptyCompany();
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"log", {"a1", "a2"}},
        {"log --tail 1", {"a2"}},
        {"log --tail 2", {"a1", "a2"}},
        {"log --tail 4", {"b2", "b3", "a1", "a2"}},
        {"log --tail 6", {"c2", "b1", "b2", "b3", "a1", "a2"}},
        {"log --tail 50", {"c1", "c2", "b1", "b2", "b3", "a1", "a2"}},
    };
    for (const auto& [args, lines] : cases) {
        // "<log>.2" holds the oldest lines, "<log>" the latest; written anew
        // each time, as a command may add lines of its own when it closes.
        company->Write("company.db.log.2", "c1\nc2\n");
        company->Write("company.db.log.1", "b1\nb2\nb3\n");
        company->Write("company.db.log", "a1\na2\n");
        const CommandResult r = company->Run(std::string(args) + " --json", "");
        ASSERT_EQ(r.exit, 0) << args << ": " << r.err;
        EXPECT_EQ(nlohmann::json::parse(r.out).at("lines"), nlohmann::json(lines)) << args;
    }
}

// A sender on a server holds its lock on a connection of its own; when that
// connection ends the server lets the lock go, and the sender must notice
// before it lets out more messages, or two machines could send the same ones.
TEST_F(AppCommandsTest, ASendLockLostWithItsServerConnectionIsNoticed) {
    if (!testsupport::UsePostgres()) GTEST_SKIP() << "only a lock held on a server can be lost";
    const auto company = EmptyCompany();
    const app::SendLock lock(company->File(), 5);
    EXPECT_NO_THROW(lock.Confirm());
    // This company's lock only: the server is shared with other tests' senders.
    EXPECT_EQ(company->Sql("SELECT count(*) FROM (SELECT pg_terminate_backend(pid) FROM pg_locks "
                           "WHERE locktype = 'advisory' AND database = "
                           "(SELECT oid FROM pg_database WHERE datname = current_database())) AS cut"),
              "1\n");
    EXPECT_THROW(lock.Confirm(), app::AppError);
    // Really gone: another sender takes it.
    EXPECT_NO_THROW(app::SendLock(company->File(), 5));
}
