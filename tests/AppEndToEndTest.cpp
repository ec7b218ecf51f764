// Runs the built `reminders` command on temporary company files, as a person
// would, and checks what it prints and leaves behind.

#include <sys/wait.h>
#include <unistd.h>

#include <boost/property_tree/json_parser.hpp>
#include <chrono>
#include <nlohmann/json.hpp>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "Csv.h"
#include "Date/DateType32.h"

namespace fs = std::filesystem;

namespace {

struct Result {
    int exit = -1;
    std::string out;
    std::string err;
};

class AppEndToEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/reminders-e2e-XXXXXX";
        m_dir = ::mkdtemp(pattern);
        m_file = m_dir + "/company.db";
    }
    void TearDown() override { fs::remove_all(m_dir); }

    // Runs `reminders --file <file> --today <today> args...`.
    Result Run(const std::string& args, const std::string& today = "2026-03-10") const {
        const std::string errFile = m_dir + "/stderr.txt";
        const std::string cmd = std::string(REMINDERS_BIN) + " --file '" + m_file + "' --today " + today + " " + args +
                                " 2>'" + errFile + "' </dev/null";
        Result r;
        FILE* pipe = ::popen(cmd.c_str(), "r");
        if (!pipe) return r;
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) r.out.append(buffer, n);
        const int status = ::pclose(pipe);
        r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.err = app::ReadWholeFile(errFile);
        return r;
    }

    boost::property_tree::ptree Json(const std::string& args, const std::string& today = "2026-03-10") const {
        const Result r = Run("--json " + args, today);
        EXPECT_EQ(r.exit, 0) << args << ": " << r.err;
        std::istringstream in(r.out);
        boost::property_tree::ptree tree;
        boost::property_tree::read_json(in, tree);
        return tree;
    }

    void Write(const std::string& name, const std::string& text) const { std::ofstream(m_dir + "/" + name) << text; }

    // Everything a person can read back: a change anywhere shows here.
    std::string Snapshot() const {
        return Run("--json customers").out + Run("--json invoices").out + Run("sets export").out +
               Run("--json groups list").out + Run("--json history").out;
    }

    std::size_t OutboxFiles() const {
        std::size_t n = 0;
        if (!fs::exists(m_dir + "/outbox")) return 0;
        for (const auto& e : fs::directory_iterator(m_dir + "/outbox")) n += e.path().extension() == ".eml" ? 1 : 0;
        return n;
    }

    std::string m_dir;
    std::string m_file;
};

DateType32 Iso(const std::string& text) {
    DateType32 d;
    app::ParseIsoDate(text, d);
    return d;
}

} // namespace

TEST_F(AppEndToEndTest, SampleDueListMatchesTheRulesAndSendingRecordsItOnce) {
    ASSERT_EQ(Run("init --sample").exit, 0);

    // Expected, from the sample's data and the meaning of its rules (5 days
    // before, due date, 7 and 30 after, no history yet): every open invoice
    // of a visible customer in the "All customers" group whose due date is at
    // most 5 days away.
    const DateType32 today = Iso("2026-03-10");
    std::map<int, boost::property_tree::ptree> customers;
    const auto customerList = Json("customers");
    for (const auto& c : customerList.get_child("customers")) customers[c.second.get<int>("id")] = c.second;
    std::set<unsigned long> expected;
    const auto invoiceList = Json("invoices");
    for (const auto& i : invoiceList.get_child("invoices")) {
        if (i.second.get<bool>("paid")) continue;
        int top = i.second.get<int>("customerId");
        while (customers[top].get<int>("parent") != 0) top = customers[top].get<int>("parent");
        if (customers[top].get<bool>("hidden")) continue;
        if (DateMinusDate(Iso(i.second.get<std::string>("dueDate")), today) <= 5) {
            expected.insert(i.second.get<unsigned long>("number"));
        }
    }
    ASSERT_FALSE(expected.empty());

    const Result due = Run("--json due");
    ASSERT_EQ(due.exit, 0) << due.err;
    std::istringstream in(due.out);
    boost::property_tree::ptree list;
    boost::property_tree::read_json(in, list);
    std::set<unsigned long> listed;
    std::size_t statements = 0;
    for (const auto& item : list) {
        if (item.second.get<int>("txnType") == 101) {
            ++statements;
            continue;
        }
        EXPECT_TRUE(listed.insert(item.second.get<unsigned long>("transactionId")).second);
        EXPECT_FALSE(item.second.get<std::string>("subject").empty());
    }
    EXPECT_EQ(listed, expected);

    const Result send = Run("send");
    ASSERT_EQ(send.exit, 0) << send.err;
    std::size_t withEmail = 0;
    for (const auto& item : list) withEmail += item.second.get<std::string>("email") != "null" ? 1 : 0;
    EXPECT_EQ(OutboxFiles(), withEmail);
    EXPECT_EQ(Json("history").get_child("history").size(), withEmail - statements);

    // A rendered message: placeholders filled, headers in place.
    bool checked = false;
    for (const auto& e : fs::directory_iterator(m_dir + "/outbox")) {
        if (e.path().filename().string().rfind("invoice-", 0) != 0) continue;
        const std::string text = app::ReadWholeFile(e.path());
        EXPECT_NE(text.find("\r\nSubject: "), std::string::npos);
        EXPECT_NE(text.find("\r\nTo: "), std::string::npos);
        EXPECT_EQ(text.find("{{"), std::string::npos) << text;
        checked = true;
        break;
    }
    EXPECT_TRUE(checked);

    // The same day again: nothing left to send.
    const Result again = Run("send");
    ASSERT_EQ(again.exit, 0);
    EXPECT_NE(again.out.find("sent 0 invoice reminders and 0 statements"), std::string::npos) << again.out;
    EXPECT_EQ(OutboxFiles(), withEmail);
}

TEST_F(AppEndToEndTest, AnEditedAndImportedSetChangesWhatIsDue) {
    ASSERT_EQ(Run("init --sample").exit, 0);
    const std::size_t before = Json("due").size();
    ASSERT_GT(before, 0u);
    Result exported = Run("sets export 1");
    ASSERT_EQ(exported.exit, 0) << exported.err;
    std::istringstream in(exported.out);
    boost::property_tree::ptree set;
    boost::property_tree::read_json(in, set);
    set.put("status", "false");  // switch the invoice set off
    std::ostringstream edited;
    boost::property_tree::write_json(edited, set);
    Write("set.json", edited.str());
    const Result imported = Run("sets import '" + m_dir + "/set.json'");
    ASSERT_EQ(imported.exit, 0) << imported.err;
    const auto dueAfter = Json("due");
    for (const auto& item : dueAfter) EXPECT_EQ(item.second.get<int>("txnType"), 101);
    EXPECT_LT(Json("due").size(), before);
}

TEST_F(AppEndToEndTest, MalformedInputIsRefusedAndLeavesTheFileAsItWas) {
    ASSERT_EQ(Run("init --sample").exit, 0);
    const std::string before = Snapshot();

    Write("customers.csv", "id,name,parent,email,type,terms,hidden\n900,New Customer,,new@x.test,,,0\n901,,,,,,0\n");
    Result r = Run("import customers '" + m_dir + "/customers.csv'");
    EXPECT_EQ(r.exit, 1);
    EXPECT_NE(r.err.find("customers.csv:3: name: empty"), std::string::npos) << r.err;

    Write("invoices.csv", "number,customer,date,due_date,amount,paid\n5000,1,2026-03-01,2026-04-01,10.00,0\n"
                          "5001,1,2026-03-01,2026-13-01,10.00,0\n");
    r = Run("import invoices '" + m_dir + "/invoices.csv'");
    EXPECT_EQ(r.exit, 1);
    EXPECT_NE(r.err.find("invoices.csv:3: due_date"), std::string::npos) << r.err;

    Write("bad.json", "{\"id\": 0, \"name\": \"x\", ");
    r = Run("sets import '" + m_dir + "/bad.json'");
    EXPECT_EQ(r.exit, 1);
    EXPECT_NE(r.err.find("bad.json:1: not valid JSON"), std::string::npos) << r.err;

    // Valid JSON, but a rule that cannot be read: nothing of the file is saved.
    Write("wrong.json", R"({"sets": [
        {"id": 0, "status": "true", "name": "Fine", "targetGroupId": 1, "targetGroupName": "", "txnType": "Invoice",
         "rules": [{"id": 0, "setId": 0, "criterion": {"days": "3", "DateToCompare": "due date", "schedule": "after"},
                    "template": {"id": -1, "typeId": "INV_TYPE", "body": "b", "subject": "s"}}],
         "statementRules": []},
        {"id": 0, "status": "true", "name": "Broken", "targetGroupId": 1, "targetGroupName": "", "txnType": "Invoice",
         "rules": [{"id": 0, "setId": 0, "criterion": {"days": "3", "DateToCompare": "due date", "schedule": "sideways"},
                    "template": {"id": -1, "typeId": "INV_TYPE", "body": "b", "subject": "s"}}],
         "statementRules": []}]})");
    r = Run("sets import '" + m_dir + "/wrong.json'");
    EXPECT_EQ(r.exit, 1);
    EXPECT_NE(r.err.find("reminder set 2"), std::string::npos) << r.err;

    // A set naming no group is refused by the engine after the first one was saved.
    Write("nogroup.json", R"({"sets": [
        {"id": 0, "status": "true", "name": "Fine", "targetGroupId": 1, "targetGroupName": "", "txnType": "Invoice",
         "rules": [], "statementRules": []},
        {"id": 0, "status": "true", "name": "Orphan", "targetGroupId": 999, "targetGroupName": "", "txnType": "Invoice",
         "rules": [], "statementRules": []}]})");
    r = Run("sets import '" + m_dir + "/nogroup.json'");
    EXPECT_EQ(r.exit, 1);
    EXPECT_NE(r.err.find("nothing was imported"), std::string::npos) << r.err;

    EXPECT_EQ(Snapshot(), before);
    EXPECT_EQ(Run("no-such-command").exit, 2);
}

TEST_F(AppEndToEndTest, SimulatedMonthSendsEachDueReminderExactlyOnce) {
    ASSERT_EQ(Run("init --sample").exit, 0);
    const Result run = Run("run --simulate 30 --answer send");
    ASSERT_EQ(run.exit, 0) << run.err << run.out;
    EXPECT_NE(run.out.find("30 days: "), std::string::npos) << run.out;

    const auto historyTree = Json("history", "2026-04-09");
    const auto& history = historyTree.get_child("history");
    std::set<std::pair<unsigned long, unsigned long>> pairs;
    for (const auto& h : history) {
        EXPECT_TRUE(pairs.insert({h.second.get<unsigned long>("transactionId"), h.second.get<unsigned long>("ruleId")})
                        .second)
            << "recorded twice";
    }
    std::size_t invoiceFiles = 0;
    for (const auto& e : fs::directory_iterator(m_dir + "/outbox")) {
        invoiceFiles += e.path().filename().string().rfind("invoice-", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(invoiceFiles, pairs.size());
    EXPECT_GT(pairs.size(), 0u);
    // The last simulated day's prompt sent everything due that day.
    const Result after = Run("send", "2026-04-08");
    EXPECT_EQ(after.exit, 0) << after.err;
    EXPECT_NE(after.out.find("sent 0 invoice reminders and 0 statements"), std::string::npos) << after.out;
}

namespace {

// An invoice set of one rule over `group`, as `sets import` reads it.
std::string InvoiceSet(const std::string& name, long group, int days, const std::string& schedule) {
    return R"({"id": 0, "status": "true", "name": ")" + name + R"(", "targetGroupId": )" + std::to_string(group) +
           R"(, "targetGroupName": "", "txnType": "Invoice", "rules": [{"id": 0, "setId": 0, "criterion": {"days": ")" +
           std::to_string(days) + R"(", "DateToCompare": "due date", "schedule": ")" + schedule +
           R"("}, "template": {"id": -1, "typeId": "INV_TYPE", "subject": ")" + name +
           R"( {{invoice}}", "body": "b"}}], "statementRules": []})";
}

} // namespace

TEST_F(AppEndToEndTest, OverlappingGroupsGiveAnInvoiceOneReminderADayAndAreNamed) {
    ASSERT_EQ(Run("init --sample").exit, 0);
    // The sample's "All customers" group (1) has a set; a second group holds
    // the same customers, with a set whose rule is due for the same invoices.
    std::string members;
    const auto customers = Json("customers");
    for (const auto& c : customers.get_child("customers")) {
        if (c.second.get<int>("parent") == 0) members += (members.empty() ? "" : ",") + c.second.get<std::string>("id");
    }
    ASSERT_EQ(Run("groups create Overlap --customers " + members).exit, 0);
    Write("overlap.json", InvoiceSet("Overlap set", 2, 1, "after"));
    ASSERT_EQ(Run("sets import '" + m_dir + "/overlap.json'").exit, 0);

    const Result due = Run("due");
    ASSERT_EQ(due.exit, 0) << due.err;
    EXPECT_NE(due.out.find("more than one reminder set"), std::string::npos) << due.out;
    EXPECT_NE(due.out.find("'Overlap set' (#"), std::string::npos) << due.out;
    const auto listed = nlohmann::json::parse(Run("--json due").out);
    bool named = false;
    for (const auto& item : listed) named = named || item["overlappingSets"].size() >= 2;
    EXPECT_TRUE(named) << listed.dump(1);

    // Each day's sends: every invoice at most once that day, however often.
    const char* const perDay = "SELECT sent_on, txn_id, count(*) FROM reminder_sendings GROUP BY 1, 2 HAVING count(*) > 1";
    for (const std::string day : {"2026-03-10", "2026-03-11", "2026-03-20"}) {
        std::size_t sent = 0;
        for (int round = 0; round < 3; ++round) {
            const Result r = Run("--json send", day);
            ASSERT_EQ(r.exit, 0) << day << ": " << r.err;
            const auto summary = nlohmann::json::parse(r.out);
            if (round > 0) {
                EXPECT_EQ(summary["invoiceReminders"], 0) << day << " round " << round;
            }
            sent += summary["invoiceReminders"].get<std::size_t>();
        }
        EXPECT_GT(sent, 0u) << day;
        if (day == "2026-03-10") {
            const Result again = Run("due", day);
            EXPECT_NE(again.out.find("had a reminder today already"), std::string::npos) << again.out;
        }
    }
    const Result check = Run("run --simulate 1 --answer send", "2026-03-20");
    EXPECT_EQ(check.exit, 0) << check.err;
    std::string rows;
    {
        const std::string cmd = "sqlite3 '" + m_file + "' \"" + perDay + "\"";
        FILE* pipe = ::popen(cmd.c_str(), "r");
        char buffer[256];
        for (std::size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) rows.append(buffer, n);
        if (pipe) ::pclose(pipe);
    }
    EXPECT_EQ(rows, "");
    // History and outbox agree: one message per recorded reminder.
    std::size_t invoiceFiles = 0;
    for (const auto& e : fs::directory_iterator(m_dir + "/outbox")) {
        invoiceFiles += e.path().filename().string().rfind("invoice-", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(invoiceFiles, Json("history", "2026-03-20").get_child("history").size());
}

TEST_F(AppEndToEndTest, DueAndSendJsonHaveOneShapeEmptyOrFull) {
    const std::string sample = m_file;
    const std::string empty = m_dir + "/empty.db";
    ASSERT_EQ(Run("init --sample").exit, 0);
    m_file = empty;
    ASSERT_EQ(Run("init").exit, 0);
    struct Case {
        std::string file, args;
        bool expectItems;
    };
    const std::vector<Case> cases = {
        {empty, "due", false},  {sample, "due", true},  {empty, "send --dry-run", false},
        {sample, "send --dry-run", true}, {empty, "send", false}, {sample, "send", true}, {sample, "send", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file + " " + c.args);
        m_file = c.file;
        const Result r = Run("--json " + c.args);
        ASSERT_EQ(r.exit, 0) << r.err;
        nlohmann::json out;
        ASSERT_NO_THROW(out = nlohmann::json::parse(r.out)) << r.out;
        const nlohmann::json& list = c.args == "due" ? out : out["messages"];
        ASSERT_TRUE(list.is_array()) << r.out;
        EXPECT_EQ(!list.empty(), c.expectItems) << r.out;
        if (c.args != "due") {
            for (const char* key : {"invoiceReminders", "statements", "alreadyWritten", "skippedNoEmail", "failed"}) {
                EXPECT_TRUE(out[key].is_number_integer()) << key;
            }
            EXPECT_TRUE(out["skipped"].is_array());
            EXPECT_TRUE(out["notes"].is_array());
            continue;
        }
        bool sawNoEmail = false;
        for (const auto& item : list) {
            EXPECT_TRUE(item["email"].is_null() || item["email"].get<std::string>().find('@') != std::string::npos);
            sawNoEmail = sawNoEmail || item["email"].is_null();
            EXPECT_TRUE(item["overlappingSets"].is_array());
            const bool statement = item["txnType"] == 101;
            EXPECT_EQ(item["invoice"].is_null(), statement);
            EXPECT_EQ(item["dueDate"].is_null(), statement);
        }
        EXPECT_EQ(sawNoEmail, c.expectItems);  // the sample has customers without an address
    }
    m_file = sample;
}

TEST_F(AppEndToEndTest, AddressesThatAreNotOneMailboxAreRefusedWhereTheyEnter) {
    struct Case {
        std::string email;
        std::string why;
    };
    const std::vector<Case> cases = {
        {"a@b@c", "more than one '@'"},
        {"@", "nothing before the '@'"},
        {"foo", "no '@'"},
        {"\"bob@x.test, eve@evil.test\"", "holds a blank"},
        {std::string(1010, 'a') + "@x.test", "longer than 254 characters"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.email.substr(0, 40));
        Write("customers.csv", "id,name,parent,email,type,terms,hidden\n900,Someone,,ok@x.test,,,0\n901,Other,,"
                                   + c.email + ",,,0\n");
        fs::remove(m_file);
        ASSERT_EQ(Run("init").exit, 0);
        const Result imported = Run("import customers '" + m_dir + "/customers.csv'");
        EXPECT_EQ(imported.exit, 1);
        EXPECT_NE(imported.err.find("customers.csv:3: email: not one e-mail address (" + c.why), std::string::npos)
            << imported.err;
        EXPECT_EQ(Json("customers").get_child("customers").size(), 0u);
        fs::remove(m_file);
        const std::string quoted = c.email.find('"') == std::string::npos ? "'" + c.email + "'" : c.email;
        const Result init = Run("init --email " + quoted);
        EXPECT_EQ(init.exit, 1);
        EXPECT_NE(init.err.find("init --email: not one e-mail address (" + c.why), std::string::npos) << init.err;
        EXPECT_FALSE(fs::exists(m_file));
    }
    // A CR/LF inside a quoted field.
    Write("customers.csv", "id,name,parent,email,type,terms,hidden\n900,Someone,,\"ok@x.test\r\nBcc: e@evil.test\",,,0\n");
    ASSERT_EQ(Run("init").exit, 0);
    const Result r = Run("import customers '" + m_dir + "/customers.csv'");
    EXPECT_EQ(r.exit, 1);
    EXPECT_NE(r.err.find("email: not one e-mail address (holds a line break)"), std::string::npos) << r.err;
}

TEST_F(AppEndToEndTest, TwoCompanyFilesInOneFolderNeverTakeEachOthersMessages) {
    ASSERT_EQ(Run("init --sample").exit, 0);
    const std::string first = m_file;
    const std::string second = m_dir + "/other.db";
    // Another company file beside it; a copy, as a user makes one.
    fs::copy_file(first, second);
    std::map<std::string, std::size_t> sentBy;
    for (const std::string& file : {first, second}) {
        m_file = file;
        const Result r = Run("--json send");
        ASSERT_EQ(r.exit, 0) << r.err;
        sentBy[file] = nlohmann::json::parse(r.out)["invoiceReminders"].get<std::size_t>();
        EXPECT_EQ(nlohmann::json::parse(r.out)["alreadyWritten"], 0) << file;
    }
    EXPECT_EQ(sentBy[first], sentBy[second]);
    std::map<std::string, std::size_t> files;
    for (const auto& e : fs::directory_iterator(m_dir + "/outbox")) {
        const std::string name = e.path().filename().string();
        files[name.find(".company-db.") != std::string::npos ? "first" : name.find(".other-db.") != std::string::npos ? "second" : "?"]++;
    }
    EXPECT_EQ(files["?"], 0u);
    EXPECT_EQ(files["first"], files["second"]);

    // A message under this file's name written by another company file is
    // not taken for this one's earlier write: the reminder is not recorded.
    fs::remove(second);
    const std::string third = m_dir + "/third.db";
    m_file = third;
    ASSERT_EQ(Run("init --sample").exit, 0);
    std::size_t planted = 0;
    for (const auto& e : fs::directory_iterator(m_dir + "/outbox")) {
        const std::string name = e.path().filename().string();
        if (name.find(".company-db.") == std::string::npos || name.rfind("invoice-", 0) != 0) continue;
        std::string renamed = name;
        renamed.replace(renamed.find(".company-db."), 12, ".third-db.");
        fs::copy_file(e.path(), m_dir + "/outbox/" + renamed);
        ++planted;
    }
    ASSERT_GT(planted, 0u);
    const Result r = Run("send");
    EXPECT_EQ(r.exit, 1);
    EXPECT_NE(r.err.find("was written for another company file"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("found already written"), std::string::npos) << r.out;
    const Result history = Run("--json history");
    const auto recorded = nlohmann::json::parse(history.out)["history"];
    EXPECT_EQ(recorded.is_array() ? recorded.size() : 0u, sentBy[first] - planted) << history.out;
}

TEST_F(AppEndToEndTest, DueOverOneCustomersManyInvoicesGrowsLinearly) {
    // One customer with n invoices, each due a reminder today; the listing
    // once read the customer's balance over all its invoices per invoice.
    auto seconds = [&](int n) {
        m_file = m_dir + "/many-" + std::to_string(n) + ".db";
        EXPECT_EQ(Run("init").exit, 0);
        Write("c.csv", "id,name,parent,email,type,terms,hidden\n1,Big Customer,,ap@big.test,,,0\n");
        std::string invoices = "number,customer,date,due_date,amount,paid\n";
        for (int i = 1; i <= n; ++i) invoices += std::to_string(1000 + i) + ",1,2026-02-01,2026-03-01,10.00,0\n";
        Write("i.csv", invoices);
        Write("set.json", InvoiceSet("Standard", 1, 7, "after"));
        EXPECT_EQ(Run("import customers '" + m_dir + "/c.csv'").exit, 0);
        EXPECT_EQ(Run("import invoices '" + m_dir + "/i.csv'").exit, 0);
        EXPECT_EQ(Run("groups create Everyone --customers 1").exit, 0);
        EXPECT_EQ(Run("sets import '" + m_dir + "/set.json'").exit, 0);
        double best = 1e9;
        for (int attempt = 0; attempt < 2; ++attempt) {
            const auto start = std::chrono::steady_clock::now();
            const Result r = Run("due");
            best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            EXPECT_NE(r.out.find(std::to_string(n) + " reminders due"), std::string::npos) << r.out.substr(0, 200);
        }
        return best;
    };
    const double small = seconds(500);
    const double large = seconds(2000);
    // Four times the invoices: about four times the time, not sixteen.
    EXPECT_LT(large, 8 * small) << small << " s for 500, " << large << " s for 2000";
}
