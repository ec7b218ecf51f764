// Runs the built `reminders` command on temporary company files, as a person
// would, and checks what it prints and leaves behind.

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <tuple>

#include "CommandRunner.h"
#include "Csv.h"
#include "Date/DateType32.h"

namespace fs = std::filesystem;
using nlohmann::json;
using testsupport::CommandResult;

namespace {

class AppEndToEndTest : public ::testing::Test {
protected:
    CommandResult Run(const std::string& args, const std::string& today = "2026-03-10") const {
        return m_run.Run(args, today);
    }
    json Json(const std::string& args, const std::string& today = "2026-03-10") const {
        const CommandResult r = Run("--json " + args, today);
        EXPECT_EQ(r.exit, 0) << args << ": " << r.err;
        return json::parse(r.out, nullptr, false);
    }
    void Write(const std::string& name, const std::string& text) const { m_run.Write(name, text); }
    std::string Path(const std::string& name) const { return "'" + m_run.Dir() + "/" + name + "'"; }

    // Everything a person can read back: a change anywhere shows here.
    std::string Snapshot() const {
        return Run("--json customers").out + Run("--json invoices").out + Run("sets export").out +
               Run("--json groups list").out + Run("--json history").out;
    }

    testsupport::CommandRunner m_run{REMINDERS_BIN};
};

// A number however the output spells it (some lists write ids as text).
unsigned long Number(const json& value) {
    return value.is_string() ? std::stoul(value.get<std::string>()) : value.get<unsigned long>();
}

DateType32 Iso(const std::string& text) {
    DateType32 d;
    app::ParseIsoDate(text, d);
    return d;
}

// An invoice set of one rule over `group`, as `sets import` reads it.
std::string InvoiceSet(const std::string& name, long group, int days, const std::string& schedule) {
    return R"({"id": 0, "status": "true", "name": ")" + name + R"(", "targetGroupId": )" + std::to_string(group) +
           R"(, "targetGroupName": "", "txnType": "Invoice", "rules": [{"id": 0, "setId": 0, "criterion": {"days": ")" +
           std::to_string(days) + R"(", "DateToCompare": "due date", "schedule": ")" + schedule +
           R"("}, "template": {"id": -1, "typeId": "INV_TYPE", "subject": ")" + name +
           R"( {{invoice}}", "body": "b"}}], "statementRules": []})";
}

} // namespace

TEST_F(AppEndToEndTest, SampleDueListMatchesTheRulesAndSendingRecordsItOnce) {
    ASSERT_EQ(Run("init --sample").exit, 0);

    // Expected, from the sample's data and the meaning of its rules (5 days
    // before, due date, 7 and 30 after, no history yet): every open invoice
    // of a visible customer in the "All customers" group whose due date is at
    // most 5 days away.
    const DateType32 today = Iso("2026-03-10");
    std::map<int, json> customers;
    const json customerList = Json("customers"), invoiceList = Json("invoices");
    for (const auto& c : customerList["customers"]) customers[c["id"].get<int>()] = c;
    std::set<unsigned long> expected;
    for (const auto& i : invoiceList["invoices"]) {
        if (i["paid"].get<bool>()) continue;
        int top = i["customerId"];
        while (customers[top]["parent"] != 0) top = customers[top]["parent"];
        if (customers[top]["hidden"].get<bool>()) continue;
        if (DateMinusDate(Iso(i["dueDate"].get<std::string>()), today) <= 5) expected.insert(Number(i["number"]));
    }
    ASSERT_FALSE(expected.empty());

    const json list = Json("due");
    std::set<unsigned long> listed;
    std::size_t statements = 0, withEmail = 0;
    for (const auto& item : list) {
        withEmail += item["email"].is_null() ? 0 : 1;
        if (item["txnType"] == 101) {
            ++statements;
            continue;
        }
        EXPECT_TRUE(listed.insert(Number(item["transactionId"])).second);
        EXPECT_FALSE(item["subject"].get<std::string>().empty());
    }
    EXPECT_EQ(listed, expected);

    const CommandResult send = Run("send");
    ASSERT_EQ(send.exit, 0) << send.err;
    EXPECT_EQ(m_run.OutboxFiles(), withEmail);
    EXPECT_EQ(Json("history")["history"].size(), withEmail - statements);

    // Rendered messages: placeholders filled, headers in place.
    for (const auto& e : fs::directory_iterator(m_run.Dir() + "/outbox")) {
        const std::string text = app::ReadWholeFile(e.path());
        EXPECT_TRUE(text.find("\r\nSubject: ") != std::string::npos && text.find("\r\nTo: ") != std::string::npos &&
                    text.find("{{") == std::string::npos) << text;
    }

    // The same day again: nothing left to send.
    const CommandResult again = Run("send");
    ASSERT_EQ(again.exit, 0);
    EXPECT_NE(again.out.find("sent 0 invoice reminders and 0 statements"), std::string::npos) << again.out;
    EXPECT_EQ(m_run.OutboxFiles(), withEmail);
}

TEST_F(AppEndToEndTest, MalformedInputChangesNothingAndAWellFormedSetChangesWhatIsDue) {
    ASSERT_EQ(Run("init --sample").exit, 0);
    const std::string before = Snapshot();
    const std::string fine = R"({"id": 0, "status": "true", "name": "Fine", "targetGroupId": 1, "targetGroupName": "",
        "txnType": "Invoice", "rules": [{"id": 0, "setId": 0, "criterion": {"days": "3", "DateToCompare": "due date",
        "schedule": "after"}, "template": {"id": -1, "typeId": "INV_TYPE", "body": "b", "subject": "s"}}],
        "statementRules": []})";
    struct Case {
        std::string file, command, text, error;
    };
    const Case cases[] = {
        {"customers.csv", "import customers",
         "id,name,parent,email,type,terms,hidden\n900,New Customer,,new@x.test,,,0\n901,,,,,,0\n",
         "customers.csv:3: name: empty"},
        {"invoices.csv", "import invoices",
         "number,customer,date,due_date,amount,paid\n5000,1,2026-03-01,2026-04-01,10.00,0\n"
         "5001,1,2026-03-01,2026-13-01,10.00,0\n",
         "invoices.csv:3: due_date"},
        {"bad.json", "sets import", "{\"id\": 0, \"name\": \"x\", ", "bad.json:1: not valid JSON"},
        // Valid JSON, but the second set's rule cannot be read: the first is not saved either.
        {"wrong.json", "sets import", "{\"sets\": [" + fine + "," + InvoiceSet("Broken", 1, 3, "sideways") + "]}",
         "reminder set 2"},
        // A set naming no group is refused by the engine after the first one was saved.
        {"nogroup.json", "sets import", "{\"sets\": [" + fine + "," + InvoiceSet("Orphan", 999, 3, "after") + "]}",
         "nothing was imported"},
    };
    for (const Case& c : cases) {
        Write(c.file, c.text);
        const CommandResult r = Run(c.command + " " + Path(c.file));
        EXPECT_EQ(r.exit, 1) << c.file;
        EXPECT_NE(r.err.find(c.error), std::string::npos) << c.file << ": " << r.err;
    }
    EXPECT_EQ(Snapshot(), before);
    EXPECT_EQ(Run("no-such-command").exit, 2);

    // A well-formed edit does change what is due: the invoice set switched off.
    const std::size_t due = Json("due").size();
    json set = json::parse(Run("sets export 1").out);
    set["status"] = "false";
    Write("set.json", set.dump());
    ASSERT_EQ(Run("sets import " + Path("set.json")).exit, 0);
    const json dueAfter = Json("due");
    for (const auto& item : dueAfter) EXPECT_EQ(item["txnType"], 101);
    EXPECT_LT(dueAfter.size(), due);
}

TEST_F(AppEndToEndTest, SimulatedMonthSendsEachDueReminderExactlyOnce) {
    ASSERT_EQ(Run("init --sample").exit, 0);
    const CommandResult run = Run("run --simulate 30 --answer send");
    ASSERT_EQ(run.exit, 0) << run.err << run.out;
    EXPECT_NE(run.out.find("30 days: "), std::string::npos) << run.out;

    std::set<std::pair<unsigned long, unsigned long>> pairs;
    const json history = Json("history", "2026-04-09");
    for (const auto& h : history["history"]) {
        EXPECT_TRUE(pairs.insert({Number(h["transactionId"]), Number(h["ruleId"])}).second)
            << "recorded twice";
    }
    EXPECT_EQ(m_run.OutboxFiles("invoice-"), pairs.size());
    EXPECT_GT(pairs.size(), 0u);
    // The last simulated day's prompt sent everything due that day.
    const CommandResult after = Run("send", "2026-04-08");
    EXPECT_EQ(after.exit, 0) << after.err;
    EXPECT_NE(after.out.find("sent 0 invoice reminders and 0 statements"), std::string::npos) << after.out;
}

// The listing quotes each customer's name and address once and copies it for
// the customer's other reminders: whatever a name holds, every reminder must
// read back as the customer list spells it, jobs under their customer too.
TEST_F(AppEndToEndTest, ListedNamesAndAddressesReadBackWhateverTheyHold) {
    ASSERT_EQ(Run("init --sample").exit, 0);
    Write("odd.csv", "id,name,parent,email,type,terms,hidden\n900,\"Say \"\"Hi\"\" Ltd\",,quote@x.test,,,0\n"
                     "901,Back\\slash,,b@x.test,,,0\n902,Caf\xC3\xA9 \xC3\x9Cmlaut,,e@x.test,,,0\n"
                     "903,\"Tab\there\",,,,,0\n904,Job A,900,,,,0\n");
    Write("odd-invoices.csv", "number,customer,date,due_date,amount,paid\n"
                              "7001,900,2026-03-01,2026-03-10,10.00,0\n7002,900,2026-03-01,2026-03-10,11.00,0\n"
                              "7003,901,2026-03-01,2026-03-10,12.00,0\n7004,902,2026-03-01,2026-03-10,13.00,0\n"
                              "7005,903,2026-03-01,2026-03-10,14.00,0\n7006,904,2026-03-01,2026-03-10,15.00,0\n"
                              "7007,900,2026-03-01,2026-03-10,16.00,0\n");
    ASSERT_EQ(Run("import customers " + Path("odd.csv")).exit, 0);
    ASSERT_EQ(Run("import invoices " + Path("odd-invoices.csv")).exit, 0);
    ASSERT_EQ(Run("groups create Odd --customers 900,901,902,903").exit, 0);
    long group = 0;
    const json groups = Json("groups list");
    for (const auto& g : groups["groups"]) {
        if (g["name"] == "Odd") group = static_cast<long>(Number(g["id"]));
    }
    ASSERT_GT(group, 0);
    Write("odd.json", InvoiceSet("Odd names", group, 0, "after"));
    ASSERT_EQ(Run("sets import " + Path("odd.json")).exit, 0);

    const std::string quoted = "Say \"Hi\" Ltd";
    const std::map<unsigned long, std::pair<std::string, json>> expected = {
        {7001, {quoted, "quote@x.test"}},          {7002, {quoted, "quote@x.test"}},
        {7003, {"Back\\slash", "b@x.test"}},       {7004, {"Caf\xC3\xA9 \xC3\x9Cmlaut", "e@x.test"}},
        {7005, {"Tab\there", nullptr}},            {7006, {quoted + ":Job A", "quote@x.test"}},
        {7007, {quoted, "quote@x.test"}},
    };
    const CommandResult listed = Run("--json due");
    ASSERT_EQ(listed.exit, 0) << listed.err;
    const json list = json::parse(listed.out, nullptr, false);
    ASSERT_FALSE(list.is_discarded()) << listed.out;
    std::map<unsigned long, std::pair<std::string, json>> found;
    for (const auto& item : list) {
        if (item["invoice"].is_null() || Number(item["invoice"]) < 7001) continue;
        found[Number(item["invoice"])] = {item["customer"].get<std::string>(), item["email"]};
    }
    EXPECT_EQ(found, expected);

    // The table keeps its columns straight whatever the names hold: each
    // address starts under the header's, counted in characters.
    const auto characters = [](const std::string& text, std::size_t bytes) {
        std::size_t n = 0;
        for (std::size_t i = 0; i < bytes && i < text.size(); ++i) n += (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
        return n;
    };
    const CommandResult table = Run("due");
    ASSERT_EQ(table.exit, 0) << table.err;
    std::istringstream lines(table.out);
    std::string line;
    std::getline(lines, line);
    const std::size_t column = characters(line, line.find("e-mail"));
    std::size_t checked = 0;
    while (std::getline(lines, line)) {
        for (const auto& [invoice, customer] : expected) {
            if (line.rfind(std::to_string(invoice) + " ", 0) != 0) continue;
            const std::string address = customer.second.is_null() ? "no e-mail" : customer.second.get<std::string>();
            EXPECT_EQ(characters(line, line.find("  " + address) + 2), column) << line;
            ++checked;
        }
    }
    EXPECT_EQ(checked, expected.size());
}

TEST_F(AppEndToEndTest, OverlappingGroupsGiveAnInvoiceOneReminderADayAndAreNamed) {
    ASSERT_EQ(Run("init --sample").exit, 0);
    // The sample's "All customers" group (1) has a set; a second group holds
    // the same customers, with a set whose rule is due for the same invoices.
    std::string members;
    const json customers = Json("customers");
    for (const auto& c : customers["customers"]) {
        if (c["parent"] == 0) members += (members.empty() ? "" : ",") + std::to_string(c["id"].get<int>());
    }
    ASSERT_EQ(Run("groups create Overlap --customers " + members).exit, 0);
    Write("overlap.json", InvoiceSet("Overlap set", 2, 1, "after"));
    ASSERT_EQ(Run("sets import " + Path("overlap.json")).exit, 0);

    const CommandResult due = Run("due");
    ASSERT_EQ(due.exit, 0) << due.err;
    EXPECT_NE(due.out.find("more than one reminder set"), std::string::npos) << due.out;
    EXPECT_NE(due.out.find("'Overlap set' (#"), std::string::npos) << due.out;
    bool named = false;
    for (const auto& item : Json("due")) named = named || item["overlappingSets"].size() >= 2;
    EXPECT_TRUE(named);

    // Each day's sends: every invoice at most once that day, however often.
    for (const char* day : {"2026-03-10", "2026-03-11", "2026-03-20"}) {
        EXPECT_GT(Json("send", day)["invoiceReminders"].get<std::size_t>(), 0u) << day;
        for (int round = 1; round < 3; ++round) EXPECT_EQ(Json("send", day)["invoiceReminders"], 0) << day << " " << round;
    }
    EXPECT_NE(Run("due", "2026-03-20").out.find("had a reminder today already"), std::string::npos);
    EXPECT_EQ(Run("run --simulate 1 --answer send", "2026-03-20").exit, 0);
    EXPECT_EQ(m_run.Sql("SELECT sent_on, txn_id, count(*) FROM reminder_sendings GROUP BY 1, 2 HAVING count(*) > 1"),
              "");
    // History and outbox agree: one message per recorded reminder.
    EXPECT_EQ(m_run.OutboxFiles("invoice-"), Json("history", "2026-03-20")["history"].size());
}

// What each item of the listing holds is checked where the listing is
// printed; here, that an empty company gives empty lists, not nothing.
TEST_F(AppEndToEndTest, DueAndSendJsonHaveOneShapeEmptyOrFull) {
    const std::string sample = m_run.File(), empty = m_run.Dir() + "/empty.db";
    ASSERT_EQ(Run("init --sample").exit, 0);
    m_run.UseFile(empty);
    ASSERT_EQ(Run("init").exit, 0);
    const std::tuple<std::string, std::string, bool> cases[] = {
        {empty, "due", false},  {sample, "due", true},  {empty, "send --dry-run", false},
        {sample, "send --dry-run", true}, {empty, "send", false}, {sample, "send", true}, {sample, "send", false},
    };
    for (const auto& [file, args, items] : cases) {
        SCOPED_TRACE(file + " " + args);
        m_run.UseFile(file);
        const json out = Json(args);
        const json& list = args == "due" ? out : out["messages"];
        ASSERT_TRUE(list.is_array()) << out;
        EXPECT_EQ(!list.empty(), items) << out;
        if (args == "due") continue;
        for (const char* key : {"invoiceReminders", "statements", "alreadyWritten", "skippedNoEmail", "failed"}) {
            EXPECT_TRUE(out[key].is_number_integer()) << key;
        }
        EXPECT_TRUE(out["skipped"].is_array() && out["notes"].is_array()) << out;
    }
}

// Which texts are one mailbox is decided in one place, with its own table
// of cases, and the customer importer is checked on its own; here, the
// company's own address given to `init` is refused before a file is made.
TEST_F(AppEndToEndTest, AnInitAddressThatIsNotOneMailboxMakesNoFile) {
    const std::pair<std::string, std::string> cases[] = {
        {"a@b@c", "more than one '@'"},
        {"'bob@x.test, eve@evil.test'", "holds a blank"},
        {std::string(1010, 'a') + "@x.test", "longer than 254 characters"},
    };
    for (const auto& [address, why] : cases) {
        const CommandResult init = Run("init --email " + address);
        EXPECT_EQ(init.exit, 1) << address;
        EXPECT_NE(init.err.find("init --email: not one e-mail address (" + why), std::string::npos) << init.err;
        EXPECT_FALSE(fs::exists(m_run.File()));
    }
}

TEST_F(AppEndToEndTest, TwoCompanyFilesInOneFolderNeverTakeEachOthersMessages) {
    if (testsupport::UsePostgres()) GTEST_SKIP() << "two company files in one folder";
    ASSERT_EQ(Run("init --sample").exit, 0);
    const std::string first = m_run.File();
    const std::string second = m_run.Dir() + "/other.db";
    const std::string outbox = m_run.Dir() + "/outbox";
    // Another company file beside it; a copy, as a user makes one.
    fs::copy_file(first, second);
    std::map<std::string, std::size_t> sentBy;
    for (const std::string& file : {first, second}) {
        m_run.UseFile(file);
        const json r = Json("send");
        sentBy[file] = r["invoiceReminders"].get<std::size_t>();
        EXPECT_EQ(r["alreadyWritten"], 0) << file;
    }
    EXPECT_EQ(sentBy[first], sentBy[second]);
    std::map<std::string, std::size_t> files;
    for (const auto& e : fs::directory_iterator(outbox)) {
        const std::string name = e.path().filename().string();
        files[name.find(".company-db.") != std::string::npos ? "first" : name.find(".other-db.") != std::string::npos ? "second" : "?"]++;
    }
    EXPECT_EQ(files["?"], 0u);
    EXPECT_EQ(files["first"], files["second"]);

    // A message under this file's name written by another company file is
    // not taken for this one's earlier write: the reminder is not recorded.
    fs::remove(second);
    m_run.UseFile(m_run.Dir() + "/third.db");
    ASSERT_EQ(Run("init --sample").exit, 0);
    std::size_t planted = 0;
    for (const auto& e : fs::directory_iterator(outbox)) {
        std::string name = e.path().filename().string();
        if (name.find(".company-db.") == std::string::npos || name.rfind("invoice-", 0) != 0) continue;
        name.replace(name.find(".company-db."), 12, ".third-db.");
        fs::copy_file(e.path(), outbox + "/" + name);
        ++planted;
    }
    ASSERT_GT(planted, 0u);
    const CommandResult r = Run("send");
    EXPECT_EQ(r.exit, 1);
    EXPECT_NE(r.err.find("was written for another company file"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("found already written"), std::string::npos) << r.out;
    const json recorded = Json("history")["history"];
    EXPECT_EQ(recorded.is_array() ? recorded.size() : 0u, sentBy[first] - planted);
}

TEST_F(AppEndToEndTest, DueOverOneCustomersManyInvoicesGrowsLinearly) {
    // One customer with n invoices, each due a reminder today; the listing
    // once read the customer's balance over all its invoices per invoice.
    auto seconds = [&](int n) {
        m_run.UseFile(m_run.Dir() + "/many-" + std::to_string(n) + ".db");
        EXPECT_EQ(Run("init").exit, 0);
        Write("c.csv", "id,name,parent,email,type,terms,hidden\n1,Big Customer,,ap@big.test,,,0\n");
        std::string invoices = "number,customer,date,due_date,amount,paid\n";
        for (int i = 1; i <= n; ++i) invoices += std::to_string(1000 + i) + ",1,2026-02-01,2026-03-01,10.00,0\n";
        Write("i.csv", invoices);
        Write("set.json", InvoiceSet("Standard", 1, 7, "after"));
        for (const std::string& step : {"import customers " + Path("c.csv"), "import invoices " + Path("i.csv"),
                                       std::string("groups create Everyone --customers 1"), "sets import " + Path("set.json")}) {
            EXPECT_EQ(Run(step).exit, 0) << step;
        }
        double best = 1e9;
        for (int attempt = 0; attempt < 2; ++attempt) {
            const auto start = std::chrono::steady_clock::now();
            const CommandResult r = Run("due");
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
