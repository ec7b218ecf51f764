// Runs the built `reminders` command on temporary company files, as a person
// would, and checks what it prints and leaves behind.

#include <sys/wait.h>
#include <unistd.h>

#include <boost/property_tree/json_parser.hpp>
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
    for (const auto& item : list) withEmail += item.second.get<std::string>("email") != "no e-mail" ? 1 : 0;
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
