// The forecast against what the daily cycle really does: the same company,
// copied, run through `run --simulate` answering every prompt with "send".

#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "CommandRunner.h"
#include "Date/DateType32.h"
#include "GenerateCompany.h"
#include "HostFixture.h"

namespace {
using Json = nlohmann::json;

std::string Bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return in ? text.str() : std::string("(absent)");
}

Json Parse(const testsupport::CommandResult& r) {
    EXPECT_EQ(r.exit, 0) << r.err;
    const Json json = Json::parse(r.out, nullptr, false);
    EXPECT_FALSE(json.is_discarded()) << r.out;
    return json.is_discarded() ? Json::object() : json;
}

bench::CompanyShape Small(std::uint32_t seed) {
    bench::CompanyShape shape;
    shape.seed = seed;
    shape.customers = 4 + static_cast<int>(seed % 9);
    shape.jobs = static_cast<int>(seed % 4);
    shape.openInvoices = 15 + static_cast<int>(seed * 7 % 40);
    shape.paidInvoices = 3;
    shape.groups = 1 + static_cast<int>(seed % 3);
    shape.groupSize = shape.customers;
    shape.invoiceSets = 1 + static_cast<int>(seed % 3);
    shape.statementSets = seed % 2;
    shape.history = static_cast<int>(seed % 10);
    shape.noEmailShare = 0.15;
    shape.dueSpanDays = 320;  // due dates from 300 days back to 20 ahead
    return shape;
}

// Leaves writes in the write-ahead log, as a program stopped before closing would.
void WriteIntoLog(const std::string& path) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    ASSERT_EQ(sqlite3_exec(db, "INSERT INTO company_prefs(key, value) VALUES('note', 'in the log only')", nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
}

class ForecastTest : public testsupport::HostFixture {
protected:
    // A generated company in the runner's folder, with the prompt on.
    void Make(testsupport::CommandRunner& company, std::uint32_t seed, const std::string& schedule) {
        ASSERT_NO_THROW(bench::GenerateCompany(company.File(), Small(seed), false));
        Ctx().CloseCompanyFile();
        ASSERT_EQ(company.Run("prefs set prompt on").exit, 0);
        if (schedule != "daily") {
            ASSERT_EQ(company.Run("prefs set schedule weekly").exit, 0);
            ASSERT_EQ(company.Run("prefs set week-day " + schedule).exit, 0);
        }
    }
};

TEST_F(ForecastTest, EachDayIsWhatTheSimulatedCycleRecordsAndTheFileStaysUntouched) {
    struct Case {
        std::uint32_t seed;
        std::string schedule;  // daily, or the week day of a weekly schedule
        int days;
        bool logLeftBehind;    // the file comes with unfolded writes in its log
    };
    const Case cases[] = {
        {1, "daily", 14, false},  {2, "daily", 9, true},      {3, "wednesday", 16, false},
        {4, "daily", 21, false},  {5, "saturday", 12, true},  {6, "daily", 14, false},
        {7, "monday", 20, false}, {8, "daily", 3, false},
    };
    const std::string today = "2026-06-15";
    int invoicesSeen = 0, statementsSeen = 0, waitingDays = 0, skippedSeen = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE("seed " + std::to_string(c.seed) + ", " + c.schedule);
        testsupport::CommandRunner company(REMINDERS_BIN);
        Make(company, c.seed, c.schedule);
        const std::string copy = company.Dir() + "/simulated.db";
        std::filesystem::copy_file(company.File(), copy);
        if (c.logLeftBehind) WriteIntoLog(company.File());
        const std::string bytes = Bytes(company.File()), log = Bytes(company.File() + "-wal");

        const Json forecast = Parse(company.Run("--json forecast --days " + std::to_string(c.days), today));
        EXPECT_EQ(Bytes(company.File()), bytes);
        EXPECT_EQ(Bytes(company.File() + "-wal"), log);

        testsupport::CommandRunner simulated(REMINDERS_BIN);
        std::filesystem::copy_file(copy, simulated.File());
        const Json run = Parse(simulated.Run("--json run --simulate " + std::to_string(c.days) + " --answer send --outbox '" +
                                                 simulated.Dir() + "/outbox'",
                                             today, "REMINDERS_MODULE_DIR='" REMINDERS_MODULE_DIR "'"));
        ASSERT_EQ(forecast["days"].size(), static_cast<std::size_t>(c.days));
        ASSERT_EQ(run["days"].size(), static_cast<std::size_t>(c.days));

        // (invoice, rule, day) of every invoice reminder the cycle recorded.
        std::multiset<std::string> recorded, forecastSent;
        std::istringstream rows(simulated.Sql("SELECT txn_id, rule_id, sent_on FROM reminder_sendings WHERE sent_on >= " +
                                              std::to_string(DateToDayNumber(DateType32(6, 15, 2026)))));
        for (std::string row; std::getline(rows, row);) recorded.insert(row);
        for (int k = 0; k < c.days; ++k) {
            const Json& day = forecast["days"][k];
            const Json& actual = run["days"][k];
            SCOPED_TRACE(day["date"].get<std::string>());
            EXPECT_EQ(day["date"], actual["date"]);
            int invoices = 0, statements = 0;
            for (const Json& item : day["reminders"]) {
                if (!item["sent"].get<bool>()) {
                    skippedSeen += day["prompt"].get<bool>();
                    continue;
                }
                if (item["invoice"].is_null()) {
                    ++statements;
                    continue;
                }
                ++invoices;
                forecastSent.insert(std::to_string(item["transactionId"].get<unsigned long>()) + "|" +
                                    std::to_string(item["ruleId"].get<unsigned long>()) + "|" +
                                    std::to_string(DateToDayNumber(DateAdd(DateType32(6, 15, 2026), k))));
            }
            EXPECT_EQ(invoices, actual["invoiceReminders"].get<int>());
            EXPECT_EQ(statements, actual["statements"].get<int>());
            // A day the cycle does not prompt sends nothing, whatever waits.
            if (!day["prompt"].get<bool>()) {
                EXPECT_EQ(invoices + statements, 0);
                waitingDays += !day["reminders"].empty();
            }
            invoicesSeen += invoices;
            statementsSeen += statements;
        }
        EXPECT_EQ(forecastSent, recorded);
    }
    // The table must reach what it is meant to compare.
    EXPECT_GT(invoicesSeen, 20);
    EXPECT_GT(statementsSeen, 0);
    EXPECT_GT(waitingDays, 0);
    EXPECT_GT(skippedSeen, 0);
}

// What went out when, by (invoice, rule), from a forecast's JSON.
std::map<std::pair<unsigned long, unsigned long>, std::string> SentOn(const Json& forecast) {
    std::map<std::pair<unsigned long, unsigned long>, std::string> out;
    for (const Json& day : forecast["days"]) {
        for (const Json& item : day["reminders"]) {
            if (item["sent"].get<bool>() && !item["invoice"].is_null()) {
                out[{item["transactionId"].get<unsigned long>(), item["ruleId"].get<unsigned long>()}] = day["date"];
            }
        }
    }
    return out;
}

// Rules moved later by a few days: each reminder that the forecast of the
// saved set has on another day than the stored one shows as moved (not as
// removed and added again), and nothing is saved.
TEST_F(ForecastTest, ASetFileThatShiftsRulesShowsTheirRemindersAsMoved) {
    struct Case {
        std::uint32_t seed;
        int shift;  // days added to every "after" rule of the first invoice set
    };
    const Case cases[] = {{11, 2}, {12, 3}, {13, 1}, {14, 5}};
    const std::string days = "20", today = "2026-06-15";
    int movedSeen = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE("seed " + std::to_string(c.seed));
        testsupport::CommandRunner company(REMINDERS_BIN);
        Make(company, c.seed, "daily");
        const Json sets = Parse(company.Run("sets export"))["sets"];
        Json edited;
        for (const Json& set : sets) {
            if (set["txnType"] != "Invoice" || set["rules"].empty()) continue;
            edited = set;
            break;
        }
        ASSERT_FALSE(edited.is_null());
        for (Json& rule : edited["rules"]) {
            if (rule["criterion"]["schedule"] != "after") continue;
            rule["criterion"]["days"] = std::to_string(std::stoi(rule["criterion"]["days"].get<std::string>()) + c.shift);
        }
        const std::string file = company.Dir() + "/edited.json";
        company.Write("edited.json", edited.dump());
        const std::string bytes = Bytes(company.File());
        const Json diff = Parse(company.Run("--json sets diff '" + file + "' --days " + days, today));
        EXPECT_EQ(Bytes(company.File()), bytes);
        EXPECT_EQ(Parse(company.Run("sets export"))["sets"], sets);

        // The same two forecasts made the long way: the set saved for real in a copy.
        testsupport::CommandRunner saved(REMINDERS_BIN);
        std::filesystem::copy_file(company.File(), saved.File());
        ASSERT_EQ(saved.Run("sets import '" + file + "'").exit, 0);
        const auto before = SentOn(Parse(company.Run("--json forecast --days " + days, today)));
        const auto after = SentOn(Parse(saved.Run("--json forecast --days " + days, today)));

        std::map<std::pair<unsigned long, unsigned long>, const Json*> reported;
        for (const Json& change : diff["changes"]) {
            const Json& side = change["before"].is_null() ? change["after"] : change["before"];
            if (side["invoice"].is_null()) continue;
            const std::pair<unsigned long, unsigned long> key{side["transactionId"].get<unsigned long>(),
                                                              side["ruleId"].get<unsigned long>()};
            const bool inBoth = before.count(key) && after.count(key);
            if (change["change"] == "moved" && change["before"]["ruleId"] == change["after"]["ruleId"]) {
                reported[key] = &change;
            } else {
                // Added or removed only what one forecast lacks.
                EXPECT_TRUE(change["change"] == "moved" || change["change"] == "changed" || !inBoth) << change.dump();
            }
        }
        for (const auto& [key, date] : before) {
            const auto moved = after.find(key);
            if (moved == after.end() || moved->second == date) continue;
            ++movedSeen;
            const auto shown = reported.find(key);
            ASSERT_NE(shown, reported.end()) << "invoice " << key.first << " rule " << key.second;
            EXPECT_EQ((*shown->second)["before"]["date"], date);
            EXPECT_EQ((*shown->second)["after"]["date"], moved->second);
        }
    }
    EXPECT_GT(movedSeen, 5);
}

} // namespace
