// The `reminders` command on a real PostgreSQL server that fails under it: the
// server stopped while a send records, the connection cut while sets are
// saved, two senders on two connections, and a company copied between a file
// and a server. Each reminder ends recorded once, a failed save leaves the
// stored sets as they were, and no password is ever printed.

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "CommandRunner.h"
#include "PgServer.h"

namespace fs = std::filesystem;

namespace {

using testsupport::Background;
using testsupport::CommandResult;
using testsupport::PgServer;

const char* const kPassword = "Wh1sper-Not";
const char* const kSendState =
    "SELECT txn_id, rule_id, status, count(*) FROM reminder_history GROUP BY txn_id, rule_id, status "
    "ORDER BY txn_id, rule_id";
const char* const kStatementState = "SELECT rule_id, customer_id, status FROM stmt_reminder_status ORDER BY 1, 2";

class PostgresStoreTest : public ::testing::Test {
protected:
    // Some cases stop the server: each process has a server of its own,
    // never the one other suites share.
    static void SetUpTestSuite() { s_server = std::make_unique<PgServer>(); }
    static void TearDownTestSuite() { s_server.reset(); }

    void SetUp() override {
        char pattern[] = "/tmp/reminders-pgstore-XXXXXX";
        m_dir = ::mkdtemp(pattern);
        if (!s_server->Running()) s_server->Start();
    }
    void TearDown() override { fs::remove_all(m_dir); }

    static PgServer& Server() { return *s_server; }
    // The server's own database, for what a second connection does.
    static std::string Admin(const std::string& sql) { return testsupport::Sql(Server().Url("postgres"), sql); }

    // A location with the password in it, as a user might type it: the
    // server trusts the tests, so the password is carried but never needed.
    static std::string Url(const std::string& database) { return Server().Url(database, kPassword); }

    std::string Line(const std::string& location, const std::string& args, const std::string& today = "2026-03-10") const {
        // Run from the test's folder: a company on a server keeps its log where the program runs.
        return "env -C '" + m_dir + "' " + REMINDERS_BIN + " --file '" + location + "' --today " + today + " " + args;
    }
    CommandResult Run(const std::string& location, const std::string& args) const {
        return Background(Line(location, args), m_dir).Wait();
    }

    // The sample company in database `name`, made once per process and
    // copied from then on (the server copies a database whole).
    std::string Sample(const std::string& name) {
        static bool made = false;
        if (!made) {
            Admin("DROP DATABASE IF EXISTS pristine");
            Admin("CREATE DATABASE pristine");
            const CommandResult init = Run(Url("pristine"), "init --sample");
            EXPECT_EQ(init.exit, 0) << init.err;
            made = init.exit == 0;
        }
        Admin("DROP DATABASE IF EXISTS " + name + " WITH (FORCE)");
        EXPECT_EQ(Admin("CREATE DATABASE " + name + " TEMPLATE pristine"), "");
        return Url(name);
    }

    // The outbox of one "machine": a folder of its own.
    std::string Outbox(const std::string& name) const { return m_dir + "/" + name; }
    // The reminders an outbox holds, by name without the company's own part
    // (each database here has a name of its own).
    static std::set<std::string> Messages(const std::string& outbox) {
        std::set<std::string> names;
        if (!fs::exists(outbox)) return names;
        for (const auto& e : fs::directory_iterator(outbox)) {
            const std::string name = e.path().filename().string();
            if (e.path().extension() == ".eml") names.insert(name.substr(0, name.find('.')));
        }
        return names;
    }
    static std::string SendState(const std::string& location) {
        return testsupport::Sql(location, kSendState) + testsupport::Sql(location, kStatementState);
    }

    std::string m_dir;
    static std::unique_ptr<PgServer> s_server;
};

std::unique_ptr<PgServer> PostgresStoreTest::s_server;

enum class Fault { StopServer, CutConnection };

// Makes the nth row written to `table` at `location` wait inside the server,
// so that a fault can strike at exactly that row.
void HoldRow(const std::string& location, const std::string& table, int nth) {
    const std::string sql =
        "CREATE SEQUENCE fault_rows;"
        "CREATE FUNCTION fault_hold() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
        "IF nextval('fault_rows') = " +
        std::to_string(nth) +
        " THEN PERFORM pg_sleep(60); END IF; RETURN NEW; END $$;"
        "CREATE TRIGGER fault_hold BEFORE INSERT ON " +
        table + " FOR EACH ROW EXECUTE FUNCTION fault_hold()";
    ASSERT_EQ(testsupport::Sql(location, sql), "");
}

// A fault struck while the command wrote: it fails and says so (or, for a
// cut connection, makes it again and finishes), prints no password, and
// what it had recorded stays recorded exactly once; the command run again
// after the server is back finishes the rest.
TEST_F(PostgresStoreTest, AFaultWhileWritingLosesNothingAndRecordsNothingTwice) {
    const std::string setFile = m_dir + "/sets.json";
    std::ofstream(setFile) << R"({"sets": [
      {"id": 0, "status": "true", "name": "Fault A", "targetGroupId": 1, "targetGroupName": "", "txnType": "Invoice",
       "rules": [
         {"id": 0, "setId": 0, "criterion": {"days": "2", "DateToCompare": "due date", "schedule": "before"},
          "template": {"id": -1, "typeId": "INV_TYPE", "subject": "A1 {{invoice}}", "body": "a1"}},
         {"id": 0, "setId": 0, "criterion": {"days": "9", "DateToCompare": "due date", "schedule": "after"},
          "template": {"id": -1, "typeId": "INV_TYPE", "subject": "A2 {{invoice}}", "body": "a2"}},
         {"id": 0, "setId": 0, "criterion": {"days": "19", "DateToCompare": "due date", "schedule": "after"},
          "template": {"id": -1, "typeId": "INV_TYPE", "subject": "A3 {{invoice}}", "body": "a3"}}],
       "statementRules": []}]})";
    struct Case {
        const char* name;
        std::string command;
        const char* table;  // where the fault strikes
        int nth;            // at which row written there
        Fault fault;
        bool allOrNothing;  // the command's writes are one unit
    };
    const Case cases[] = {
        {"send, server stopped at the first record", "send", "reminder_history", 1, Fault::StopServer, false},
        {"send, server stopped half-way", "send", "reminder_history", 10, Fault::StopServer, false},
        {"send, connection cut at the last invoice", "send", "reminder_history", 20, Fault::CutConnection, false},
        {"set import, connection cut at the second rule", "sets import " + setFile, "reminder_rules", 2,
         Fault::CutConnection, true},
        {"set import, server stopped at the last rule", "sets import " + setFile, "reminder_rules", 3,
         Fault::StopServer, true},
    };
    // What the command leaves when nothing strikes.
    auto state = [this](const std::string& location, const std::string& outbox) {
        std::string text = Run(location, "sets export").out + SendState(location);
        for (const auto& name : Messages(outbox)) text += name + "\n";
        return text;
    };
    int serial = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string withOutbox = c.command + (c.command == "send" ? " --outbox " + Outbox("ref") : "");
        const std::string reference = Sample("reference");
        fs::remove_all(Outbox("ref"));
        const std::string before = state(reference, Outbox("ref"));
        ASSERT_EQ(Run(reference, withOutbox).exit, 0);
        const std::string after = state(reference, Outbox("ref"));
        ASSERT_NE(after, before);

        const std::string db = "faulted_" + std::to_string(++serial);
        const std::string location = Sample(db);
        HoldRow(location, c.table, c.nth);
        const std::string outbox = Outbox(db);
        const Background command(Line(location, c.command + (c.command == "send" ? " --outbox " + outbox : "")), m_dir);
        std::string held;
        for (int i = 0; i < 400 && held.empty(); ++i) {
            held = Admin("SELECT pid FROM pg_stat_activity WHERE datname = '" + db + "' AND wait_event = 'PgSleep'");
            if (held.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ASSERT_FALSE(held.empty()) << "the command never wrote row " << c.nth << " of " << c.table;
        if (c.fault == Fault::StopServer) {
            Server().Kill();
        } else {
            EXPECT_EQ(Admin("SELECT pg_terminate_backend(" + held.substr(0, held.find('\n')) + ")"), "t\n");
        }
        const CommandResult struck = command.Wait();
        EXPECT_EQ(struck.err.find(kPassword), std::string::npos) << struck.err;
        EXPECT_EQ(struck.out.find(kPassword), std::string::npos) << struck.out;
        if (!Server().Running()) Server().Start();
        ASSERT_EQ(testsupport::Sql(location, "DROP TRIGGER fault_hold ON " + std::string(c.table) +
                                                 "; DROP FUNCTION fault_hold(); DROP SEQUENCE fault_rows"),
                  "");

        const std::string mid = state(location, outbox);
        // A cut connection may be made again and the unit it undid done
        // again; what counts is that success is only ever reported for all.
        if (struck.exit == 0) {
            EXPECT_EQ(c.fault, Fault::CutConnection) << struck.out;
            EXPECT_EQ(mid, after) << "reported done, but not all of it is there";
        } else {
            EXPECT_NE(struck.err, "");
        }
        if (c.allOrNothing) {
            EXPECT_EQ(mid, before);
        }
        // No reminder recorded twice, even half-way.
        EXPECT_EQ(testsupport::Sql(location, "SELECT count(*) FROM (SELECT txn_id, rule_id FROM reminder_history "
                                             "GROUP BY txn_id, rule_id HAVING count(*) > 1) AS twice"),
                  "0\n");
        if (c.command == "send") {
            const CommandResult again = Run(location, c.command + " --outbox " + outbox);
            EXPECT_EQ(again.exit, 0) << again.err;
            EXPECT_EQ(SendState(location), SendState(reference));
            EXPECT_EQ(Messages(outbox), Messages(Outbox("ref")));
        }
        if (HasFailure()) return;
    }
}

// Programs on several machines (each with an outbox of its own) send from
// one company at once: the server lets one at a time through, so each
// reminder is written on one machine and recorded once.
TEST_F(PostgresStoreTest, SendersOnSeveralConnectionsSendEachReminderOnce) {
    const std::string reference = Sample("reference");
    ASSERT_EQ(Run(reference, "send --outbox " + Outbox("ref")).exit, 0);
    const std::set<std::string> expected = Messages(Outbox("ref"));
    ASSERT_FALSE(expected.empty());
    struct Case {
        int senders;
        int repetitions;
    };
    for (const Case c : {Case{2, 6}, Case{3, 3}}) {
        for (int rep = 0; rep < c.repetitions; ++rep) {
            SCOPED_TRACE(std::to_string(c.senders) + " senders, repetition " + std::to_string(rep));
            const std::string location = Sample("together");
            std::vector<std::unique_ptr<Background>> senders;
            for (int s = 0; s < c.senders; ++s) {
                fs::remove_all(Outbox("machine" + std::to_string(s)));
                senders.push_back(std::make_unique<Background>(
                    Line(location, "send --outbox " + Outbox("machine" + std::to_string(s))), m_dir));
            }
            std::set<std::string> all;
            for (int s = 0; s < c.senders; ++s) {
                const CommandResult r = senders[s]->Wait();
                ASSERT_EQ(r.exit, 0) << r.err;
                for (const auto& name : Messages(Outbox("machine" + std::to_string(s))))
                    EXPECT_TRUE(all.insert(name).second) << name << " sent twice";
            }
            EXPECT_EQ(all, expected);
            EXPECT_EQ(SendState(location), SendState(reference));
            if (HasFailure()) return;
        }
    }
}

// A sender's lock ends with the session that holds it while a batch of its
// records waits to commit (its connection cut on the server): the batch
// never commits, then or later, and a second sender, waiting all along or
// coming afterwards, records every reminder exactly once.
TEST_F(PostgresStoreTest, ASenderWhoseLockEndsBeforeItsBatchCommitsRecordsNoneOfIt) {
    const std::string reference = Sample("reference");
    ASSERT_EQ(Run(reference, "send --outbox " + Outbox("ref")).exit, 0);
    const std::set<std::string> expected = Messages(Outbox("ref"));
    ASSERT_FALSE(expected.empty());
    constexpr long long kGate = 4242;  // the advisory lock that holds the batch
    struct Case {
        const char* name;
        int nth;            // the record held
        bool secondWaits;   // the second sender waits for the lock meanwhile
    };
    const Case cases[] = {
        {"held at the first record, a second sender waiting", 1, true},
        {"held half-way, a second sender afterwards", 10, false},
    };
    int serial = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string db = "lost_" + std::to_string(++serial);
        const std::string location = Sample(db);
        fs::remove_all(Outbox(db + "_first"));
        fs::remove_all(Outbox(db + "_second"));
        std::unique_ptr<PGconn, decltype(&PQfinish)> gate(PQconnectdb(Server().Conninfo(db).c_str()), &PQfinish);
        ASSERT_EQ(PQstatus(gate.get()), CONNECTION_OK);
        PQclear(PQexec(gate.get(), ("SELECT pg_advisory_lock(" + std::to_string(kGate) + ")").c_str()));
        ASSERT_EQ(testsupport::Sql(location,
                                   "CREATE SEQUENCE gate_rows;"
                                   "CREATE FUNCTION gate_hold() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
                                   "IF nextval('gate_rows') = " + std::to_string(c.nth) +
                                       " THEN PERFORM pg_advisory_lock(" + std::to_string(kGate) +
                                       "); PERFORM pg_advisory_unlock(" + std::to_string(kGate) +
                                       "); END IF; RETURN NEW; END $$;"
                                       "CREATE TRIGGER gate_hold BEFORE INSERT ON reminder_history "
                                       "FOR EACH ROW EXECUTE FUNCTION gate_hold()"),
                  "");
        const Background first(Line(location, "send --outbox " + Outbox(db + "_first")), m_dir);
        std::string held;
        for (int i = 0; i < 400 && held.empty(); ++i) {
            held = Admin("SELECT pid FROM pg_stat_activity WHERE datname = '" + db +
                         "' AND wait_event_type = 'Lock' AND wait_event = 'advisory'");
            if (held.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ASSERT_FALSE(held.empty()) << "the first sender never wrote record " << c.nth;
        const std::string recordedBefore = testsupport::Sql(location, "SELECT count(*) FROM reminder_history");
        std::unique_ptr<Background> second;
        if (c.secondWaits) second = std::make_unique<Background>(Line(location, "send --outbox " + Outbox(db + "_second")), m_dir);
        // The send lock's session ends, wherever the program holds it.
        EXPECT_EQ(Admin("SELECT count(pg_terminate_backend(pid)) FROM pg_locks WHERE locktype = 'advisory' AND granted "
                        "AND database = (SELECT oid FROM pg_database WHERE datname = '" + db +
                        "') AND NOT (classid = 0 AND objid = " + std::to_string(kGate) + ")"),
                  "1\n");
        // The batch, if it still lives anywhere, may go on.
        gate.reset();
        const CommandResult lost = first.Wait();
        EXPECT_NE(lost.exit, 0) << lost.out;
        EXPECT_NE(lost.err, "");
        EXPECT_EQ(lost.err.find(kPassword), std::string::npos) << lost.err;
        if (!second) {
            EXPECT_EQ(testsupport::Sql(location, "SELECT count(*) FROM reminder_history"), recordedBefore)
                << "records committed after the lock was gone";
            second = std::make_unique<Background>(Line(location, "send --outbox " + Outbox(db + "_second")), m_dir);
        }
        const CommandResult after = second->Wait();
        EXPECT_EQ(after.exit, 0) << after.err;
        EXPECT_EQ(testsupport::Sql(location, "DROP TRIGGER gate_hold ON reminder_history; DROP FUNCTION gate_hold(); "
                                             "DROP SEQUENCE gate_rows"),
                  "");
        EXPECT_EQ(SendState(location), SendState(reference));
        // Everything the first sender did not record, the second one sent,
        // and the first one took its own copy of it back out of its outbox.
        const std::set<std::string> sent = Messages(Outbox(db + "_second"));
        EXPECT_EQ(sent, expected);
        for (const std::string& message : Messages(Outbox(db + "_first"))) {
            EXPECT_EQ(sent.count(message), 0u) << message << " is in both outboxes";
        }
        if (HasFailure()) return;
    }
}

// A company copied between a file and a server, either way: the copy reads
// back as the original, a destination that already holds a company is
// refused and left as it was, a copy cut short leaves no half company
// behind, and the password is never printed.
TEST_F(PostgresStoreTest, CopyMovesAWholeCompanyEitherWayOrNothing) {
    const std::string file = m_dir + "/company.db";
    ASSERT_EQ(Run(file, "init --sample").exit, 0);
    ASSERT_EQ(Run(file, "send --outbox " + Outbox("sent")).exit, 0);  // history and statement records too
    auto view = [this](const std::string& location) {
        return Run(location, "--json customers").out + Run(location, "--json invoices").out +
               Run(location, "sets export").out + Run(location, "--json groups list").out +
               Run(location, "prefs show").out + SendState(location);
    };
    const std::string original = view(file);
    ASSERT_NE(original.find("Standard payment reminders"), std::string::npos);

    enum class Strike { Nothing, CutWhileWriting, StopWhileReading };
    struct Case {
        const char* name;
        std::string from, to;
        bool toExists;  // the destination holds a company before
        Strike strike;
        int exit;
        const char* says;  // on standard output when it worked, else on standard error
    };
    const std::string onServer = Url("copied");
    const Case cases[] = {
        {"file to server", file, onServer, false, Strike::Nothing, 0, "copied"},
        {"server to file", onServer, m_dir + "/back.db", false, Strike::Nothing, 0, "copied"},
        {"onto a company on a server", file, onServer, true, Strike::Nothing, 1, "not empty"},
        {"onto a company file", onServer, m_dir + "/back.db", true, Strike::Nothing, 1, "not empty"},
        {"file to server, connection cut while writing", file, Url("cut"), false, Strike::CutWhileWriting, 1, ""},
        {"server to file, server stopped while reading", onServer, m_dir + "/never.db", false,
         Strike::StopWhileReading, 1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const bool toServer = testsupport::IsServerLocation(c.to);
        const std::string toDb = toServer ? c.to.substr(c.to.rfind('/') + 1) : "";
        if (toServer && !c.toExists) {
            Admin("DROP DATABASE IF EXISTS " + toDb + " WITH (FORCE)");
            Admin("CREATE DATABASE " + toDb);
        }
        const std::string before = c.toExists ? view(c.to) : "";
        const std::string beforeBytes = !toServer && c.toExists ? testsupport::ReadFileText(c.to) : "";

        std::unique_ptr<Background> copy;
        std::string waitingOn;
        PGconn* holder = nullptr;
        if (c.strike == Strike::CutWhileWriting) {
            // The tables do not exist before the copy makes them: hold the
            // tenth invoice from the moment its table appears.
            ASSERT_EQ(testsupport::Sql(c.to,
                                       "CREATE SEQUENCE fault_rows;"
                                       "CREATE FUNCTION fault_hold() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
                                       "IF nextval('fault_rows') = 10 THEN PERFORM pg_sleep(60); END IF; "
                                       "RETURN NEW; END $$;"
                                       "CREATE FUNCTION fault_attach() RETURNS event_trigger LANGUAGE plpgsql AS $$ "
                                       "BEGIN IF to_regclass('invoices') IS NOT NULL AND NOT EXISTS "
                                       "(SELECT 1 FROM pg_trigger WHERE tgname = 'fault_hold') THEN "
                                       "CREATE TRIGGER fault_hold BEFORE INSERT ON invoices FOR EACH ROW "
                                       "EXECUTE FUNCTION fault_hold(); END IF; END $$;"
                                       "CREATE EVENT TRIGGER fault_attach ON ddl_command_end "
                                       "EXECUTE FUNCTION fault_attach()"),
                      "");
            waitingOn = "wait_event = 'PgSleep'";
        } else if (c.strike == Strike::StopWhileReading) {
            // A second connection holds the invoices until the server goes.
            holder = PQconnectdb(c.from.c_str());
            PQclear(PQexec(holder, "BEGIN; LOCK TABLE invoices IN ACCESS EXCLUSIVE MODE"));
            waitingOn = "wait_event_type = 'Lock'";
        }
        copy = std::make_unique<Background>(Line(c.from, "copy --to '" + c.to + "'"), m_dir);
        if (!waitingOn.empty()) {
            const std::string db = toServer && c.strike == Strike::CutWhileWriting ? toDb : "copied";
            std::string held;
            for (int i = 0; i < 400 && held.empty(); ++i) {
                held = Admin("SELECT pid FROM pg_stat_activity WHERE datname = '" + db + "' AND " + waitingOn);
                if (held.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            EXPECT_FALSE(held.empty()) << "the copy never reached the point of the fault";
            if (c.strike == Strike::CutWhileWriting) {
                Admin("SELECT pg_terminate_backend(" + held.substr(0, held.find('\n')) + ")");
            } else {
                Server().Kill();
            }
        }
        const CommandResult r = copy->Wait();
        if (holder) PQfinish(holder);
        if (!Server().Running()) Server().Start();

        EXPECT_EQ(r.exit, c.exit) << r.out << r.err;
        EXPECT_NE((c.exit == 0 ? r.out : r.err).find(c.says), std::string::npos) << r.out << r.err;
        EXPECT_EQ(r.out.find(kPassword), std::string::npos) << r.out;
        EXPECT_EQ(r.err.find(kPassword), std::string::npos) << r.err;
        if (c.exit == 0) {
            EXPECT_EQ(view(c.to), original);
        } else if (c.toExists) {
            // Bytes first: reading a company through the command records telemetry.
            if (!toServer) {
                EXPECT_EQ(testsupport::ReadFileText(c.to), beforeBytes);
            }
            EXPECT_EQ(view(c.to), before);
        } else if (toServer) {
            // Nothing of it stayed: the same copy, unhindered, is taken.
            EXPECT_EQ(testsupport::Sql(c.to, "DROP EVENT TRIGGER fault_attach; DROP TRIGGER IF EXISTS fault_hold ON "
                                             "invoices; DROP FUNCTION fault_hold(), fault_attach()"),
                      "");
            const CommandResult again = Run(c.from, "copy --to '" + c.to + "'");
            EXPECT_EQ(again.exit, 0) << again.err;
            EXPECT_EQ(view(c.to), original);
        } else {
            EXPECT_FALSE(fs::exists(c.to)) << "a half company file was left behind";
        }
        if (HasFailure()) return;
    }
}

} // namespace
