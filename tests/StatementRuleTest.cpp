// Statement reminder rule and its criteria: trees, lookup tables, order, and
// the last day on which a rule was due.

#include <algorithm>
#include <stdexcept>

#include "ConfigTreeSupport.h"
#include "Prefs/PrefsTag.h"
#include "StatementReminderRule.h"

using testsupport::ConfigTreeTest;
using testsupport::Date;
using testsupport::Flat;
using testsupport::Json;
using testsupport::Keys;
using testsupport::Tree;

namespace {

Tree CriteriaTree(const char* overdueBy = "0", const char* itemDetails = "false") {
    return Flat({{"dateRange", "previous month"},
                 {"txnStatus", "overdue"},
                 {"overdueBy", overdueBy},
                 {"itemDetails", itemDetails},
                 {"memo", "true"},
                 {"dueDate", "false"},
                 {"custOrJob", "true"}});
}

Tree RuleTree(const char* id, const Tree& criterion, const char* scheduleDay = "15",
              const char* frequency = "every month") {
    Tree t = Flat({{"id", id}, {"setId", "3"}, {"templateId", "-4"}, {"styleId", "12"}});
    t.add_child("criterion", criterion);
    t.put("scheduleDay", scheduleDay);
    t.put("frequency", frequency);
    return t;
}

} // namespace

class StatementRuleTreeTest : public ConfigTreeTest {};

TEST_F(StatementRuleTreeTest, RoundTripsEveryField) {
    StatementReminderRule rule(3, 17);
    rule.SetEmailTemplateId(-4);
    rule.SetStyleTemplateId(12);
    rule.SetScheduleDayWithFrequency(28, 2);
    rule.SetEmailListPrepDate(Date(2026, 3, 5));
    StatementReminderRuleCriteria c;
    c.SetDateRange(10);
    c.SetTxnStatus(1);
    c.SetOverdueBy(-30);
    c.SetIsItemDetailsIncluded(true);
    c.SetIsCustomerJob(true);
    rule.SetRuleCriteria(c);

    Tree t;
    ASSERT_TRUE(rule.GetPtree(t));
    EXPECT_EQ(Json(t), R"({"id":"17","setId":"3","templateId":"-4","styleId":"12","scheduleDay":"28",)"
                       R"("frequency":"every quarter","emailPrepDate":"2026-03-05","criterion":{"dateRange":)"
                       R"("previous fiscal quarter-to-date","txnStatus":"open","overdueBy":"-30","itemDetails":"true",)"
                       R"("memo":"false","dueDate":"false","custOrJob":"true"}})");
    StatementReminderRule back;
    ASSERT_TRUE(back.SetPtree(t));
    Tree again;
    ASSERT_TRUE(back.GetPtree(again));
    EXPECT_EQ(Json(again), Json(t));
    EXPECT_TRUE(Failures().empty());
}

TEST_F(StatementRuleTreeTest, PrepDateIsRequiredOnlyForStoredRules) {
    StatementReminderRule fresh;
    fresh.SetEmailListPrepDate(Date(2026, 1, 1));
    ASSERT_TRUE(fresh.SetPtree(RuleTree("0", CriteriaTree())));
    EXPECT_EQ(fresh.GetEmailListPrepDate(), Date(1970, 1, 1));
    EXPECT_EQ(fresh.GetFrequency(), 1);
    EXPECT_EQ(fresh.GetScheduleDay(), 15);

    StatementReminderRule stored;
    EXPECT_FALSE(stored.SetPtree(RuleTree("5", CriteriaTree())));
    EXPECT_EQ(stored.GetRuleId(), 5u);
    EXPECT_EQ(stored.GetScheduleDay(), 15);  // read before the date
    ExpectFailureFrom("TxnReminder: Error occurred whiled parsing Ptree at StatementReminderRule::SetPtree",
                      "StatementReminderRule", "StatementReminderRule::SetPtree");

    ClearLog();
    Tree badDate = RuleTree("5", CriteriaTree());
    badDate.put("emailPrepDate", "2026/03/05");
    EXPECT_FALSE(stored.SetPtree(badDate));
    badDate.put("emailPrepDate", "2026-03-05");
    EXPECT_TRUE(stored.SetPtree(badDate));
    EXPECT_EQ(stored.GetEmailListPrepDate(), Date(2026, 3, 5));
    EXPECT_EQ(Failures().size(), 1u);
}

TEST_F(StatementRuleTreeTest, UnknownFrequencyTextsReadAsWeeklyWithoutGrowingTheTable) {
    StatementReminderRule rule;
    auto written = [&rule] {
        Tree t;
        EXPECT_TRUE(rule.GetPtree(t));
        return t.get<std::string>("frequency");
    };
    ASSERT_TRUE(rule.SetPtree(RuleTree("0", CriteriaTree(), "3", "every mnth")));
    EXPECT_EQ(rule.GetFrequency(), 0);
    EXPECT_EQ(written(), "every week");
    rule.SetScheduleDayWithFrequency(3, 7);
    EXPECT_EQ(written(), "");
    EXPECT_EQ(StatementReminderRule::statementRuleFrequency_map.size(), 3u);
    EXPECT_EQ(StatementReminderRule::statementRuleFrequency_flipMap.size(), 3u);
}

TEST_F(StatementRuleTreeTest, ScheduleDayIsASignedSixteenBitNumber) {
    StatementReminderRule rule;
    ASSERT_TRUE(rule.SetPtree(RuleTree("0", CriteriaTree(), "-1")));
    EXPECT_EQ(rule.GetScheduleDay(), 65535);
    EXPECT_FALSE(rule.SetPtree(RuleTree("0", CriteriaTree(), "32768")));
    EXPECT_FALSE(rule.SetPtree(RuleTree("0", CriteriaTree(), "15th")));
    EXPECT_EQ(Failures().size(), 2u);
}

TEST_F(StatementRuleTreeTest, CriteriaTablesAndFlags) {
    const char* ranges[] = {"all to-date", "current week-to-date", "current month-to-date",
                            "current fiscal quarter-to-date", "current fiscal year-to-current month",
                            "current fiscal year-to-date", "previous week", "previous week-to-date", "previous month",
                            "previous month-to-date", "previous fiscal quarter-to-date", "previous fiscal year-to-date"};
    StatementReminderRuleCriteria c;
    for (short i = 0; i < 12; ++i) {
        Tree t = CriteriaTree("5", "TRUE");
        t.put("dateRange", ranges[i]);
        ASSERT_TRUE(c.SetPtree(t));
        EXPECT_EQ(c.GetDateRange(), i);
        EXPECT_EQ(c.GetDateRangeString(), ranges[i]);
        EXPECT_EQ(c.GetTxnStatus(), 2);
        EXPECT_FALSE(c.GetIsItemDetailsIncluded());  // only the exact lower-case word
        EXPECT_TRUE(c.GetIsMemoIncluded());
    }
    c.SetDateRange(12);
    EXPECT_EQ(c.GetDateRangeString(), "");
    c.SetTxnStatus(-1);
    Tree out;
    ASSERT_TRUE(c.GetPtree(out));
    EXPECT_EQ(out.get<std::string>("dateRange"), "");
    EXPECT_EQ(out.get<std::string>("txnStatus"), "");

    Tree unknown = CriteriaTree();
    unknown.put("dateRange", "Previous Month");
    unknown.put("txnStatus", "closed");
    ASSERT_TRUE(c.SetPtree(unknown));
    EXPECT_EQ(c.GetDateRange(), 0);
    EXPECT_EQ(c.GetTxnStatus(), 0);
    EXPECT_TRUE(Failures().empty());
}

TEST_F(StatementRuleTreeTest, OverdueByKeepsTheLowSixteenBitsAndFailuresKeepEarlierFields) {
    StatementReminderRuleCriteria c;
    ASSERT_TRUE(c.SetPtree(CriteriaTree(" 70000 days")));
    EXPECT_EQ(c.GetOverdueBy(), 4464);

    const std::pair<const char*, const char*> bad[] = {{"soon", "invalid stoi argument"},
                                                       {"2147483648", "stoi argument out of range"}};
    for (const auto& b : bad) {
        ClearLog();
        StatementReminderRuleCriteria fresh;
        EXPECT_FALSE(fresh.SetPtree(CriteriaTree(b.first)));
        EXPECT_EQ(fresh.GetDateRange(), 8);
        EXPECT_EQ(fresh.GetTxnStatus(), 2);
        EXPECT_EQ(fresh.GetOverdueBy(), 0);
        EXPECT_FALSE(fresh.GetIsMemoIncluded());
        ExpectOnlyFailure(
            std::string("TxnReminder: Error occurred whiled parsing JSON at StatementReminderRuleCriteria::SetPtree, "
                        "trace=") + b.second,
            "StatementReminderRuleCriteria", "StatementReminderRuleCriteria::SetPtree");
    }
}

TEST_F(StatementRuleTreeTest, FailingCriteriaIsReportedByTheRuleAfterItsOwnLine) {
    StatementReminderRule rule;
    Tree criteria = CriteriaTree();
    criteria.erase("custOrJob");
    EXPECT_FALSE(rule.SetPtree(RuleTree("9", criteria)));
    EXPECT_EQ(rule.GetRuleId(), 9u);
    EXPECT_EQ(rule.GetStyleTemplateId(), 12);
    EXPECT_EQ(rule.GetRuleCriteria().GetDateRange(), 0);
    EXPECT_EQ(rule.GetScheduleDay(), 0);
    EXPECT_EQ(Failures(),
              (std::vector<std::string>{"TxnReminder: Error occurred whiled parsing JSON at "
                                        "StatementReminderRuleCriteria::SetPtree, trace=No such node (custOrJob)",
                                        "TxnReminder: Error occurred whiled parsing Ptree at "
                                        "TxnReminderRuleCriteria::SetPtree"}));
    EXPECT_EQ(m_log.back().file, testsupport::SourceOf("StatementReminderRule"));
}

TEST(StatementRuleOrderTest, ByRuleIdAsUnsignedThirtyTwoBitNumbers) {
    std::vector<StatementReminderRule> rules = {StatementReminderRule(1, 0xFFFFFFFFul), StatementReminderRule(1, 2),
                                                StatementReminderRule(1, 0x100000001ul)};
    std::sort(rules.begin(), rules.end());
    EXPECT_EQ(rules[0].GetRuleId(), 1u);
    EXPECT_EQ(rules[1].GetRuleId(), 2u);
    EXPECT_EQ(rules[2].GetRuleId(), 0xFFFFFFFFu);
}

// --- last trigger date -------------------------------------------------------------

namespace {

// A calendar of its own, so that the expectations do not lean on the host's
// date arithmetic.
struct Ymd {
    int y, m, d;
};

bool Leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
int MonthDays(int y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && Leap(y) ? 29 : days[m - 1];
}
Ymd Next(Ymd x) {
    if (x.d < MonthDays(x.y, x.m)) return {x.y, x.m, x.d + 1};
    if (x.m < 12) return {x.y, x.m + 1, 1};
    return {x.y + 1, 1, 1};
}
// 1 = Sunday (Sakamoto).
int Weekday(Ymd x) {
    static const int t[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    const int y = x.m < 3 ? x.y - 1 : x.y;
    return (y + y / 4 - y / 100 + y / 400 + t[x.m - 1] + x.d) % 7 + 1;
}

// Every day from a start to an end with what the schedules need to know
// of it, computed once so that the walk back stays cheap.
struct DayFacts {
    Ymd ymd;
    int weekday;
    int monthLength;
    int quarterOffset;  // days since the fiscal quarter began
    int quarterLength;
};

std::vector<DayFacts> Calendar(Ymd from, Ymd to, int fiscalFirst) {
    std::vector<DayFacts> days;
    for (Ymd x = from;; x = Next(x)) {
        int qm = x.m - (x.m - fiscalFirst + 12) % 3;
        int qy = x.y;
        if (qm < 1) {
            qm += 12;
            qy -= 1;
        }
        int offset = 0, length = 0;
        for (int i = 0, m = qm, y = qy; i < 3; ++i) {
            if (m == x.m && y == x.y) offset = length + x.d - 1;
            length += MonthDays(y, m);
            if (++m > 12) {
                m = 1;
                ++y;
            }
        }
        days.push_back({x, Weekday(x), MonthDays(x.y, x.m), offset, length});
        if (x.y == to.y && x.m == to.m && x.d == to.d) break;
    }
    return days;
}

// Is the day one on which the rule falls due? A day beyond the period's
// length means the period's last day.
bool IsDue(const DayFacts& f, int frequency, int day) {
    switch (frequency) {
    case 0:
        return f.weekday == day;
    case 1:
        return f.ymd.d == std::min(day, f.monthLength);
    default:
        return f.quarterOffset == std::min(day - 1, f.quarterLength - 1);
    }
}

// Walks back one day at a time from today to the latest due day.
Ymd LatestDue(const std::vector<DayFacts>& days, std::size_t today, int frequency, int day) {
    std::size_t i = today;
    while (!IsDue(days[i], frequency, day)) {
        if (i == 0) throw std::logic_error("calendar starts too late");
        --i;
    }
    return days[i].ymd;
}

DateType32 ToDate(Ymd x) { return Date(x.y, x.m, x.d); }

} // namespace

class LastTriggerDateTest : public ConfigTreeTest {
protected:
    void SetUp() override {
        ConfigTreeTest::SetUp();
        // Preferences in memory: the sweep below reads the fiscal month often.
        Ctx().CloseCompanyFile();
    }
    DateType32 Last(int frequency, int day, DateType32 today, int fiscalFirst = 1) {
        Ctx().FixClock(today, 10);
        Ctx().SetPreference(PrefKeys::kFiscalBegin, std::to_string(fiscalFirst));
        StatementReminderRule rule;
        rule.SetScheduleDayWithFrequency(static_cast<unsigned short>(day), static_cast<short>(frequency));
        return rule.GetLastTriggerDate();
    }
};

// What the day-by-day walk back below does not reach.
TEST_F(LastTriggerDateTest, OddFiscalMonthsAndFrequencies) {
    const DateType32 wed = Date(2026, 3, 11);
    const struct {
        int frequency, day;
        DateType32 today;
        int fiscal;
        DateType32 want;
    } cases[] = {
        // A fiscal month outside 1..12 counts as January.
        {2, 10, Date(2026, 2, 15), 0, Date(2026, 1, 10)}, {2, 10, Date(2026, 2, 15), 13, Date(2026, 1, 10)},
        // Any other frequency: today.
        {7, 3, wed, 1, wed}, {-1, 3, wed, 1, wed},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Last(c.frequency, c.day, c.today, c.fiscal), c.want)
            << c.frequency << " " << c.day << " " << c.today << " fiscal " << c.fiscal;
    }
}

TEST_F(LastTriggerDateTest, NeverLaterThanTodayForDaysBeyondThePeriod) {
    for (Ymd today{2025, 12, 20}; today.y == 2025 || today.m == 1; today = Next(today)) {
        const DateType32 now = ToDate(today);
        for (const int day : {0, 8, 14, 40, 100, 130, 400, 65535}) {
            for (const int frequency : {0, 1, 2}) {
                EXPECT_LE(Last(frequency, day, now), now) << frequency << " " << day;
            }
        }
    }
}

TEST_F(LastTriggerDateTest, MatchesADayByDayWalkBackOverFourYears) {
    // 2023..2026 holds a leap year, month ends of every length and three
    // year boundaries; every schedule day and fiscal start month. The
    // calendar starts early enough for the walk back from 1 January 2023.
    const Ymd from{2022, 6, 1}, first{2023, 1, 1}, last{2026, 12, 31};
    int checked = 0;
    for (int fiscal = 1; fiscal <= 12; ++fiscal) {
        Ctx().SetPreference(PrefKeys::kFiscalBegin, std::to_string(fiscal));
        const std::vector<DayFacts> days = Calendar(from, last, fiscal);
        for (std::size_t t = 0; t < days.size(); ++t) {
            const Ymd today = days[t].ymd;
            if (today.y < first.y) continue;
            Ctx().FixClock(ToDate(today), 12);
            for (int frequency = 0; frequency <= 2; ++frequency) {
                const int lastDay = frequency == 0 ? 7 : frequency == 1 ? 31 : 92;
                for (int day = 1; day <= lastDay; ++day) {
                    StatementReminderRule rule;
                    rule.SetScheduleDayWithFrequency(static_cast<unsigned short>(day), static_cast<short>(frequency));
                    const DateType32 want = ToDate(LatestDue(days, t, frequency, day));
                    const DateType32 got = rule.GetLastTriggerDate();
                    if (got != want) {
                        ADD_FAILURE() << "today " << ToDate(today) << " frequency " << frequency << " day " << day
                                      << " fiscal " << fiscal << ": got " << got << ", want " << want;
                        return;
                    }
                    ++checked;
                }
            }
        }
    }
    EXPECT_EQ(checked, 12 * 1461 * (7 + 31 + 92));
}
