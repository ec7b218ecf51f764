// A quarter of simulated days of statement reminders for one company: every
// day the prompt's fast question and the full selection run, the host records
// what it sent, and the whole sequence is checked against a small model of
// what the rules mean. The invoice selection has its differential test, and
// the daily cycle scenarios run it day after day with what the host sent.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "CompanyBuilder.h"
#include "HostFixture.h"
#include "SelectionBuilder.h"
#include "TxnSendableReminderContainer.h"

using namespace testsupport;

namespace {

using Pairs = std::vector<std::pair<unsigned long, unsigned long>>;

class SelectionScenarioTest : public HostFixture {
protected:
    bool RunFast(TxnReminderStatusCode& status) {
        TxnReminderEngine engine(FormViewType_Statement);
        std::vector<TxnSendableReminderContainer> records;
        const bool ok = engine.PrepareReminderListToSendForStmt(status, records, true);
        EXPECT_TRUE(ok);
        EXPECT_LE(records.size(), 1u);
        return !records.empty();
    }
};

// The day a rule last fell due, found by walking back from today.
DateType32 LastDue(short frequency, int day, const DateType32& today) {
    for (int back = 0; back < 200; ++back) {
        const DateType32 d = DateSub(today, back);
        if (frequency == StatementReminderRule::kFrequencyWeekly && DayOfWeek(d) == day) return d;
        if (frequency == StatementReminderRule::kFrequencyMonthly &&
            d.GetDay() == std::min(day, DaysInMonth(d.GetMonth(), d.GetYear())))
            return d;
        if (frequency == StatementReminderRule::kFrequencyQuarterly) {
            // Fiscal quarters from January: day `day` of the quarter.
            const int quarterMonth = (d.GetMonth() - 1) / 3 * 3 + 1;
            if (DateMinusDate(d, DateType32(quarterMonth, 1, d.GetYear())) == day - 1) return d;
        }
    }
    ADD_FAILURE() << "no due day";
    return today;
}

TEST_F(SelectionScenarioTest, StatementRemindersOverAQuarter) {
    std::vector<int> customers;
    for (const char* name : {"Alpha", "Bravo", "Charlie"}) customers.push_back(AddName(name, 0, "c@x.test"));
    const long group = AddPermissionGroup("Statements", customers);
    // Every customer owes something, so the open-transactions rule always
    // has a statement to show.
    for (int customer : customers) AddOpenInvoice(customer, Date(2024, 12, 20));
    const TxnReminderSet set = SaveSet(
        FormViewType_Statement, "Statements", group, {},
        {StatementRule(StatementReminderRule::kFrequencyWeekly, 2),      // Mondays, all transactions
         StatementRule(StatementReminderRule::kFrequencyMonthly, 31),     // month's end, all transactions
         StatementRule(StatementReminderRule::kFrequencyQuarterly, 15, 1)});  // open transactions
    ASSERT_EQ(set.GetStatementReminderRules().size(), 3u);

    struct ModelRule {
        unsigned long id;
        short frequency;
        int day;
        DateType32 period;
        std::map<int, int> stored;  // customer -> status the host stored
    };
    std::vector<ModelRule> rules;
    for (const StatementReminderRule& rule : set.GetStatementReminderRules())
        rules.push_back({rule.GetRuleId(), rule.GetFrequency(), rule.GetScheduleDay(), DateType32(), {}});

    const DateType32 start = Date(2025, 1, 1);
    std::map<unsigned long, int> periodsStarted;
    for (int day = 0; day < 90; ++day) {
        const DateType32 today = DateAdd(start, day);
        Ctx().FixClock(today, 8);

        Pairs expected;  // (customer, rule)
        int clearedToday = 0;
        for (ModelRule& rule : rules) {
            const DateType32 due = LastDue(rule.frequency, rule.day, today);
            if (due != rule.period) {
                rule.period = due;
                rule.stored.clear();
                ++clearedToday;
                ++periodsStarted[rule.id];
            }
            for (int customer : customers) {
                const auto stored = rule.stored.find(customer);
                if (stored != rule.stored.end() && stored->second != ReminderExecutionStatus_Pending) continue;
                if (stored != rule.stored.end()) rule.stored.erase(stored);
                expected.emplace_back(static_cast<unsigned long>(customer), rule.id);
            }
        }

        ClearLog();
        TxnReminderStatusCode fastStatus = TxnReminderStatus_Reset;
        EXPECT_EQ(RunFast(fastStatus), !expected.empty()) << "day " << day;
        EXPECT_EQ(fastStatus, TxnReminderStatus_Success);

        TxnReminderEngine engine(FormViewType_Statement);
        TxnReminderStatusCode status = TxnReminderStatus_Reset;
        std::vector<TxnSendableReminderContainer> records;
        ASSERT_TRUE(engine.PrepareReminderListToSendForStmt(status, records, false)) << "day " << day;
        // A new period clears a rule's rows once, whichever run comes first.
        EXPECT_EQ(static_cast<int>(LinesWith("Entering StatementReminderDBHelper "
                                             "StatementReminderDBHelper::DeleteReminderExecutionDetailsForRule")
                                       .size()),
                  clearedToday)
            << "day " << day;
        Pairs actual;
        for (const auto& r : records) {
            actual.emplace_back(static_cast<unsigned long>(r.GetCustomerId()), r.GetRuleId());
            EXPECT_EQ(r.GetTxnType(), FormViewType_Statement);
            EXPECT_EQ(r.GetTransactionId(), 0u);
            EXPECT_EQ(r.GetTemplateId(), 40);
        }
        EXPECT_EQ(actual, expected) << "day " << day;

        // The host sends them; Bravo's monthly statement fails on odd days
        // and is left pending (status 1), so it is due again the next run.
        for (const auto& r : records) {
            const bool retry = r.GetCustomerId() == customers[1] && r.GetRuleId() == rules[1].id && day % 2 == 1;
            const ReminderExecutionStatus stored = retry ? ReminderExecutionStatus_Pending : ReminderExecutionStatus_Sent;
            ASSERT_TRUE(engine.AddStatementReminderExecutionStatus(r.GetRuleId(), r.GetCustomerId(), stored));
            for (ModelRule& rule : rules) {
                if (rule.id == r.GetRuleId()) rule.stored[r.GetCustomerId()] = stored;
            }
        }
    }
    // Thirteen Mondays (and the week before 1 January), three month ends
    // (and December's), one quarter day (and October's).
    EXPECT_EQ(periodsStarted[rules[0].id], 13 + 1);
    EXPECT_EQ(periodsStarted[rules[1].id], 3 + 1);
    EXPECT_EQ(periodsStarted[rules[2].id], 1 + 1);
}

} // namespace
