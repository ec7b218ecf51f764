// Delivery of the outbox to a real SMTP server: what arrives, what is
// recorded, and what survives the server or the deliverer dying.

#include <gmime/gmime.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/property_tree/json_parser.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "CommandRunner.h"
#include "SmtpServer.h"

namespace fs = std::filesystem;
using testsupport::CommandResult;
using testsupport::SmtpServer;

namespace {

// What a reader of the message sees, through GMime.
struct Parsed {
    std::map<std::string, std::string> headers;
    std::string body;
};

Parsed Parse(const std::string& content) {
    static const bool init = (g_mime_init(), true);
    (void)init;
    Parsed p;
    GMimeStream* stream = g_mime_stream_mem_new_with_buffer(content.data(), content.size());
    GMimeParser* parser = g_mime_parser_new_with_stream(stream);
    g_object_unref(stream);
    GMimeMessage* message = g_mime_parser_construct_message(parser, nullptr);
    g_object_unref(parser);
    if (!message) return p;
    for (const char* name : {"From", "To", "Subject", "Date", "Message-ID", "Content-Type"}) {
        const char* v = g_mime_object_get_header(GMIME_OBJECT(message), name);
        p.headers[name] = v ? v : "";
    }
    GMimeObject* body = g_mime_message_get_mime_part(message);
    if (body && GMIME_IS_TEXT_PART(body)) {
        char* text = g_mime_text_part_get_text(GMIME_TEXT_PART(body));
        p.body = text ? text : "";
        g_free(text);
    }
    g_object_unref(message);
    return p;
}

std::string MessageIdOf(const std::string& content) {
    std::string id = Parse(content).headers["Message-ID"];
    if (id.size() > 2 && id.front() == '<' && id.back() == '>') id = id.substr(1, id.size() - 2);
    return id;
}

class DeliveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_run = std::make_unique<testsupport::CommandRunner>(REMINDERS_BIN);
        m_dir = m_run->Dir();
        fs::create_directories(m_dir + "/store");
        m_server = std::make_unique<SmtpServer>(m_dir + "/store");
    }
    void TearDown() override {
        m_server.reset();
        m_run.reset();
    }

    CommandResult Run(const std::string& args, const std::string& env = "") const {
        return m_run->Run(args, "2026-03-10", env);
    }

    // `reminders` in the background, for killing or racing.
    testsupport::Background Spawn(const std::string& args) const { return {m_run->Line(args), m_dir}; }

    void SetUpMail(const std::string& starttls = "off") const {
        ASSERT_EQ(Run("prefs set smtp-url " + m_server->Url()).exit, 0);
        ASSERT_EQ(Run("prefs set smtp-starttls " + starttls).exit, 0);
    }

    // An empty company and `count` messages queued in its outbox, the nth
    // to rcpt<n>@example.test.
    void Queue(int count) const {
        ASSERT_EQ(Run("init").exit, 0);
        fs::create_directories(m_dir + "/outbox");
        for (int i = 0; i < count; ++i) {
            const std::string n = std::to_string(1000 + i);
            std::ofstream(m_dir + "/outbox/invoice-" + n + "-rule-1.eml", std::ios::binary)
                << "From: Billing <billing@company.test>\r\nTo: Customer " << n << " <rcpt" << n
                << "@example.test>\r\nSubject: Invoice " << n << "\r\nDate: Tue, 10 Mar 2026 08:00:00 +0000\r\n"
                << "Message-ID: <invoice-" << n << "-rule-1@company.test>\r\nMIME-Version: 1.0\r\n"
                << "Content-Type: text/plain; charset=utf-8\r\n\r\nDear customer,\r\n.\r\nInvoice " << n
                << " is due.\r\n";
        }
    }

    // Message state by file name, from `outbox --json`.
    std::map<std::string, boost::property_tree::ptree> States() const {
        const CommandResult r = Run("--json outbox");
        EXPECT_EQ(r.exit, 0) << r.err;
        std::istringstream in(r.out);
        boost::property_tree::ptree tree;
        boost::property_tree::read_json(in, tree);
        std::map<std::string, boost::property_tree::ptree> out;
        for (const auto& m : tree) {
            EXPECT_EQ(out.count(m.second.get<std::string>("message")), 0u);
            out[m.second.get<std::string>("message")] = m.second;
        }
        return out;
    }

    std::map<std::string, int> ReceivedById() const {
        std::map<std::string, int> ids;
        for (const auto& m : m_server->Received()) ++ids[MessageIdOf(m.content)];
        return ids;
    }

    std::unique_ptr<testsupport::CommandRunner> m_run;
    std::string m_dir;
    std::unique_ptr<SmtpServer> m_server;
};

} // namespace

TEST_F(DeliveryTest, SendingDeliversTheBatchOverOneConnectionExactlyAsWritten) {
    for (const char* sending : {"send", "run --simulate 2 --answer send"}) {
        SCOPED_TRACE(sending);
        TearDown();
        SetUp();
        ASSERT_EQ(Run("init --sample").exit, 0);
        SetUpMail();
        ASSERT_EQ(Run("prefs set reminders on").exit, 0);
        ASSERT_EQ(Run("prefs set prompt on").exit, 0);
        const CommandResult sent = Run(sending);
        ASSERT_EQ(sent.exit, 0) << sent.out << sent.err;

        std::map<std::string, std::string> written; // by Message-ID
        for (const auto& e : fs::directory_iterator(m_dir + "/outbox")) {
            const std::string content = testsupport::ReadFileText(e.path());
            written[MessageIdOf(content)] = content;
        }
        const auto received = m_server->Received();
        ASSERT_GT(written.size(), 5u);
        ASSERT_EQ(received.size(), written.size());
        // One connection per batch: `run` sends a batch a day.
        EXPECT_EQ(m_server->Connections(), std::string(sending) == "send" ? 1 : 2);
        for (const auto& m : received) {
            const Parsed got = Parse(m.content);
            ASSERT_EQ(written.count(MessageIdOf(m.content)), 1u) << m.content;
            const Parsed want = Parse(written[MessageIdOf(m.content)]);
            EXPECT_EQ(got.headers, want.headers);
            EXPECT_EQ(got.body, want.body);
            EXPECT_FALSE(got.body.empty());
            EXPECT_NE(want.headers.at("To").find(m.recipients), std::string::npos) << "envelope from the To: header";
            EXPECT_NE(want.headers.at("From").find(m.from), std::string::npos);
        }
        for (const auto& [name, s] : States()) {
            EXPECT_EQ(s.get<std::string>("state"), "delivered") << name;
            EXPECT_EQ(s.get<std::string>("reply").substr(0, 3), "250") << name;
        }
        // Delivered stays delivered.
        EXPECT_EQ(Run("deliver --retry-now").exit, 0);
        EXPECT_EQ(m_server->Received().size(), written.size());
    }
}

TEST_F(DeliveryTest, ServerRepliesDecideWhatIsRetried) {
    struct Case {
        const char* name;
        const char* control; // for rcpt1001@example.test
        const char* retryLimit;
        const char* firstState;
        const char* firstReply;  // start of the recorded reply
        const char* secondState; // after `deliver --retry-now`
        int received;            // copies of the message that arrived in the end
    };
    const Case cases[] = {
        {"451 once", R"({"defer": ["rcpt1001@example.test"], "once": true})", "5", "deferred", "451", "delivered", 1},
        {"550", R"({"reject": ["rcpt1001@example.test"]})", "5", "failed", "550", "failed", 0},
        {"cut in DATA", R"({"drop": ["rcpt1001@example.test"], "once": true})", "5", "deferred", "no reply",
         "delivered", 1},
        {"451 past the limit", R"({"defer": ["rcpt1001@example.test"]})", "2", "deferred", "451", "failed", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        Queue(3);
        SetUpMail();
        ASSERT_EQ(Run(std::string("prefs set smtp-retry-limit ") + c.retryLimit).exit, 0);
        m_server->Control(c.control);

        const CommandResult first = Run("deliver");
        EXPECT_EQ(first.exit, 1);
        EXPECT_NE(first.err.find("1 message not delivered"), std::string::npos) << first.err;
        auto states = States();
        const auto& refused = states["invoice-1001-rule-1.eml"];
        EXPECT_EQ(refused.get<std::string>("state"), c.firstState);
        EXPECT_EQ(refused.get<std::string>("reply").rfind(c.firstReply, 0), 0u) << refused.get<std::string>("reply");
        for (const char* other : {"invoice-1000-rule-1.eml", "invoice-1002-rule-1.eml"}) {
            EXPECT_EQ(states[other].get<std::string>("state"), "delivered") << other;
        }
        // A deferred message waits for its time unless told otherwise.
        EXPECT_NE(Run("deliver").out.find(std::string(c.firstState) == "deferred" ? "wait for a later try" : "Nothing"),
                  std::string::npos);

        Run("deliver --retry-now");
        const auto retried = States().at("invoice-1001-rule-1.eml");
        EXPECT_EQ(retried.get<std::string>("state"), c.secondState);
        EXPECT_EQ(retried.get<int>("attempts"), std::string(c.firstState) == "failed" ? 1 : 2)
            << "a permanent failure is not retried";
        auto ids = ReceivedById();
        EXPECT_EQ(ids["invoice-1001-rule-1@company.test"], c.received);
        EXPECT_EQ(ids["invoice-1000-rule-1@company.test"], 1);
        EXPECT_EQ(ids["invoice-1002-rule-1@company.test"], 1);
    }
}

TEST_F(DeliveryTest, ServerKilledMidBatchLosesNothing) {
    Queue(12);
    SetUpMail();
    m_server->Control(R"({"delay": 0.1})");
    const testsupport::Background deliver = Spawn("deliver");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (m_server->Received().size() < 4 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    m_server->Kill();
    const std::size_t receivedBeforeKill = m_server->Received().size();
    EXPECT_EQ(deliver.Wait().exit, 1);

    const auto arrived = ReceivedById();
    int delivered = 0;
    for (const auto& [name, s] : States()) {
        const std::string state = s.get<std::string>("state");
        EXPECT_TRUE(state == "delivered" || state == "deferred" || state == "queued") << name << ": " << state;
        if (state == "delivered") {
            ++delivered;
            EXPECT_EQ(arrived.count(s.get<std::string>("messageId")), 1u) << name << " recorded but never received";
        }
    }
    // The last one the server took may have gone unanswered.
    EXPECT_GE(delivered + 1, static_cast<int>(receivedBeforeKill));
    EXPECT_LT(delivered, 12);

    m_server->Control("{}");
    m_server->Start();
    ASSERT_EQ(Run("prefs set smtp-url " + m_server->Url()).exit, 0);
    const CommandResult again = Run("deliver --retry-now");
    EXPECT_EQ(again.exit, 0) << again.out << again.err;
    const auto all = ReceivedById();
    EXPECT_EQ(all.size(), 12u);
    for (const auto& [name, s] : States()) EXPECT_EQ(s.get<std::string>("state"), "delivered") << name;
}

TEST_F(DeliveryTest, DeliverKilledAtRandomInstantsReceivesEachAtLeastOnceRecordsEachOnce) {
    const int kMessages = 15;
    Queue(kMessages);
    SetUpMail();
    m_server->Control(R"({"delay": 0.01})");
    std::mt19937 random(20260310);
    int kills = 0;
    for (int round = 0; round < 25; ++round) {
        const testsupport::Background deliver = Spawn("deliver");
        std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 120)(random)));
        if (::kill(deliver.Pid(), SIGKILL) == 0) ++kills;
        deliver.Wait();
    }
    const CommandResult last = Run("deliver --retry-now");
    ASSERT_EQ(last.exit, 0) << last.out << last.err;

    const auto states = States();
    ASSERT_EQ(states.size(), static_cast<std::size_t>(kMessages));
    const auto arrived = ReceivedById();
    int duplicates = 0;
    for (const auto& [name, s] : states) {
        EXPECT_EQ(s.get<std::string>("state"), "delivered") << name;
        ASSERT_EQ(arrived.count(s.get<std::string>("messageId")), 1u) << name;
        duplicates += arrived.at(s.get<std::string>("messageId")) - 1;
    }
    EXPECT_EQ(arrived.size(), static_cast<std::size_t>(kMessages)) << "a copy under another Message-ID";
    // A copy only for a kill between the server's acceptance and the record.
    EXPECT_LE(duplicates, kills);
    std::printf("[ info ] %d kills, %d messages received twice\n", kills, duplicates);
}

TEST_F(DeliveryTest, TwoDeliversAtOnceNeverSendAMessageTwice) {
    Queue(10);
    SetUpMail();
    m_server->Control(R"({"delay": 0.03})");
    const testsupport::Background a = Spawn("deliver"), b = Spawn("deliver");
    EXPECT_EQ(a.Wait().exit, 0);
    EXPECT_EQ(b.Wait().exit, 0);
    const auto arrived = ReceivedById();
    EXPECT_EQ(arrived.size(), 10u);
    for (const auto& [id, n] : arrived) EXPECT_EQ(n, 1) << id;
}

TEST_F(DeliveryTest, UnworkableSettingsAreRefusedAndKeepTheQueue) {
    struct Case {
        const char* name;
        std::vector<std::string> settings; // `prefs set`s; all but the last must succeed
        int lastExit;
        mode_t modeAfter; // of the password file before delivering, 0: as it was
        std::string env;
        const char* error; // in the error of the last setting, or of `deliver`
        bool delivers;     // a refused setting leaves the earlier ones working
    };
    const std::string kFile = "PASSWORD_FILE";
    const std::vector<std::string> login{"smtp-user alice", "smtp-password-file " + kFile};
    const Case cases[] = {
        {"STARTTLS required of a server without it", {"smtp-starttls required"}, 0, 0, "", "does not offer STARTTLS", false},
        {"password file others may read", login, 1, 0, "", "chmod 600", false},
        {"password file opened up after it was set", login, 0, 0604, "", "chmod 600", false},
        {"private password file", login, 0, 0, "", "", true},
        {"login inside the URL", {"smtp-url smtp://alice:pw@127.0.0.1:25"}, 1, 0, "", "must not carry a login", true},
        {"user without a password", {"smtp-user alice"}, 0, 0, "", "no password", false},
        {"login refused", {"smtp-user alice"}, 0, 0, "REMINDERS_SMTP_PASSWORD=wrong", "refused the login", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        Queue(2);
        SetUpMail();
        m_server->Control(R"({"password": "right"})");
        const std::string file = m_dir + "/password";
        std::ofstream(file) << "right\n";
        ::chmod(file.c_str(), std::string(c.name).find("others may read") != std::string::npos ? 0640 : 0600);
        CommandResult set;
        for (std::size_t i = 0; i < c.settings.size(); ++i) {
            std::string setting = c.settings[i];
            if (setting.find(kFile) != std::string::npos) setting.replace(setting.find(kFile), kFile.size(), file);
            set = Run("prefs set " + setting);
            EXPECT_EQ(set.exit, i + 1 == c.settings.size() ? c.lastExit : 0) << setting << ": " << set.err;
        }
        if (c.modeAfter) ::chmod(file.c_str(), c.modeAfter);
        const CommandResult deliver = Run("deliver", c.env);
        EXPECT_EQ(deliver.exit, c.delivers ? 0 : 1) << deliver.err;
        const std::string errors = set.err + deliver.err;
        EXPECT_NE(errors.find(c.error), std::string::npos) << errors;
        EXPECT_EQ(m_server->Received().size(), c.delivers ? 2u : 0u);
        for (const auto& [name, s] : States()) {
            EXPECT_EQ(s.get<std::string>("state"), c.delivers ? "delivered" : "queued") << name;
        }
    }
}

TEST_F(DeliveryTest, PasswordAppearsInNoOutputAndNoFile) {
    const std::string password = "Pw-7f3c1e9a";
    Queue(2);
    SetUpMail();
    m_server->Control(R"({"password": ")" + password + R"("})");
    ASSERT_EQ(Run("prefs set smtp-user alice").exit, 0);
    std::string seen;
    const CommandResult ok = Run("deliver", "REMINDERS_SMTP_PASSWORD=" + password);
    EXPECT_EQ(ok.exit, 0) << ok.err;
    EXPECT_EQ(m_server->Received().size(), 2u) << "the password was used";
    // A refused login is reported without it too.
    m_server->Control(R"({"password": "other"})");
    std::ofstream(m_dir + "/outbox/late.eml") << "From: billing@company.test\r\nTo: x@example.test\r\n\r\nhi\r\n";
    const CommandResult refused = Run("deliver", "REMINDERS_SMTP_PASSWORD=" + password);
    EXPECT_EQ(refused.exit, 1);
    seen += ok.out + ok.err + refused.out + refused.err;
    for (const char* args : {"prefs show", "--json prefs show", "outbox", "--json outbox", "log", "stats"}) {
        const CommandResult r = Run(args, "REMINDERS_SMTP_PASSWORD=" + password);
        seen += r.out + r.err;
    }
    for (const auto& e : fs::recursive_directory_iterator(m_dir)) {
        if (e.is_regular_file() && e.path().parent_path() != m_dir + "/store") seen += testsupport::ReadFileText(e.path());
    }
    EXPECT_EQ(seen.find(password), std::string::npos);
    EXPECT_NE(seen.find("refused the login"), std::string::npos);
}
