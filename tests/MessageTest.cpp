// Messages as a mail program reads them: whatever the customer's name, the
// subject or the body hold, a message has exactly one recipient, the
// customer's address, no defects, the true instant in its Date header and no
// line a mail server would refuse. Read back by Python's email package.

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "Message.h"

namespace fs = std::filesystem;

namespace {

// Sets TZ for the scope, as a user in that zone would run the program.
struct ZoneScope {
    explicit ZoneScope(const char* zone) : old(std::getenv("TZ") ? std::getenv("TZ") : "") {
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ZoneScope() {
        old.empty() ? ::unsetenv("TZ") : ::setenv("TZ", old.c_str(), 1);
        ::tzset();
    }
    std::string old;
};

nlohmann::json ReadBack(const std::vector<std::string>& files) {
    std::string command = std::string("python3 '") + REMINDERS_MESSAGE_CHECK + "'";
    for (const auto& f : files) command += " '" + f + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string out;
    char buffer[4096];
    for (std::size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    const int status = pipe ? ::pclose(pipe) : -1;
    EXPECT_EQ(status, 0) << out;
    return nlohmann::json::parse(out);
}

// 2026-03-10 09:05:00 as the host clock counts it (wall time as seconds).
constexpr long long kWall = 1773133500LL;

} // namespace

TEST(MessageTest, HostileNamesSubjectsAndBodiesGiveOneRecipientAndNoDefects) {
    struct Case {
        std::string name;     // the customer's display name
        std::string subject;
        std::string body;
        std::string expectedName;  // as a mail program shows it
    };
    const std::string longLine(32000, 'x');
    std::string longWords;
    for (int i = 0; i < 3000; ++i) longWords += "word" + std::to_string(i) + " ";
    const std::vector<Case> cases = {
        {"attacker@evil.test, Bob", "Invoice 1001", "Hello", "attacker@evil.test, Bob"},
        {"<bcc@evil.test>", "Invoice 1001", "Hello", "<bcc@evil.test>"},
        {"Granite Peak Builders:Riverside Lofts", "Invoice 1001", "Hello", "Granite Peak Builders:Riverside Lofts"},
        {"O'Brien \"The Boss\" (CEO); x@y.test", "Invoice; 1001 (late)", "Hello", "O'Brien \"The Boss\" (CEO); x@y.test"},
        {"Évora Café Müller — Zürich", "Rappel : facture échue ✓", "Dear Évora,\nvous devez 12,00 €.\n",
         "Évora Café Müller — Zürich"},
        {"Evil\r\nBcc: victim@evil.test", "Subject\r\nBcc: victim@evil.test", "Hello", "Evil  Bcc: victim@evil.test"},
        // Looks like an encoded word: read back as written, not decoded.
        {"=?UTF-8?Q?bcc=40evil.test?=", "=?UTF-8?Q?x?=", "Hello", "= ?UTF-8?Q?bcc=40evil.test?="},
        {"Plain Name", "A very long subject " + std::string(200, 's') + " that must be folded somewhere", longLine,
         "Plain Name"},
        {"Long Words", "Words", longWords + "\n" + longWords, "Long Words"},
        {"", "No name", "line with trailing blanks   \n.\nFrom the start\n", ""},
    };

    char pattern[] = "/tmp/reminders-message-XXXXXX";
    const std::string dir = ::mkdtemp(pattern);
    std::vector<std::string> files;
    {
        const ZoneScope zone("Pacific/Kiritimati");
        for (std::size_t i = 0; i < cases.size(); ++i) {
            const std::string text = app::BuildMessage({"Lakeside Supply Co., Ltd. \"Billing\"", "billing@lakeside.test",
                cases[i].name, "ap@customer.test", cases[i].subject, cases[i].body,
                "invoice-1001-rule-" + std::to_string(i) + ".0123abcd@lakeside.test", "0123abcd", kWall});
            EXPECT_EQ(app::CompanyKeyOf(text), "0123abcd");
            files.push_back(dir + "/" + std::to_string(i) + ".eml");
            std::ofstream(files.back(), std::ios::binary) << text;
        }
    }
    const nlohmann::json got = ReadBack(files);
    ASSERT_EQ(got.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(std::to_string(i) + ": " + cases[i].name);
        const auto& r = got[i];
        EXPECT_TRUE(r["defects"].empty()) << r["defects"].dump();
        ASSERT_EQ(r["to"].size(), 1u) << r["to"].dump();
        EXPECT_EQ(r["to"][0]["address"], "ap@customer.test");
        EXPECT_EQ(r["to"][0]["name"], cases[i].expectedName);
        ASSERT_EQ(r["from"].size(), 1u);
        EXPECT_EQ(r["from"][0]["address"], "billing@lakeside.test");
        EXPECT_EQ(r["from"][0]["name"], "Lakeside Supply Co., Ltd. \"Billing\"");
        std::string subject = cases[i].subject;
        for (char& c : subject) c = c == '\r' || c == '\n' ? ' ' : c;
        if (subject.rfind("=?", 0) == 0) subject.insert(1, " ");
        EXPECT_EQ(r["subject"], subject);
        std::string body = cases[i].body;
        if (body.empty() || body.back() != '\n') body += '\n';
        // Compared whole, shown only in length: some bodies are 32,000 characters.
        EXPECT_TRUE(r["body"] == body) << r["body"].dump().size() << " characters read back";
        // 09:05 on the clock in a zone 14 hours ahead is 19:05 UTC the day before.
        EXPECT_EQ(r["date"], 1773083100.0);
        EXPECT_LE(r["longestLine"].get<int>(), 998);
        EXPECT_EQ(r["bareLineFeeds"], 0);
    }
    fs::remove_all(dir);
}

TEST(MessageTest, OnlyOnePlausibleMailboxIsAnAddress) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"ap@acme.test", true}, {"first.last+tag@mail.acme-supplies.test", true}, {"o'brien@acme.test", true},
        {"a@b@c", false}, {"@", false}, {"foo", false}, {"@acme.test", false}, {"ap@", false}, {"ap@acme", false},
        {"ap@acme.test\r\nBcc: x@evil.test", false}, {"ap@acme.test\n", false}, {"ap @acme.test", false},
        {"Bob <ap@acme.test>", false}, {"ap@acme.test, x@evil.test", false}, {"\"quoted\"@acme.test", false},
        {"ap..x@acme.test", false}, {".ap@acme.test", false}, {"ap@-acme.test", false}, {"ap@acme..test", false},
        {"ap@acme.test.", false}, {"é@acme.test", false},
        // Lengths: 64 in the local part, 63 in a label, 254 in all.
        {std::string(64, 'a') + "@acme.test", true}, {std::string(65, 'a') + "@acme.test", false},
        {"a@" + std::string(63, 'b') + "." + std::string(63, 'c') + "." + std::string(63, 'd') + ".test", true},
        {"a@" + std::string(1000, 'b') + ".test", false}, {std::string(1010, 'a'), false},
    };
    for (const auto& [address, plausible] : cases) {
        std::string why;
        EXPECT_EQ(app::IsPlausibleMailbox(address, why), plausible) << address << ": " << why;
        EXPECT_EQ(why.empty(), plausible) << address;
    }
    EXPECT_THROW(app::BuildMessage({"", "billing@lakeside.test", "", "a@b@c", "", "", "", "", 0}), std::runtime_error);
}
