// A quarter of simulated days for one company: every day the prompt's fast
// question and the full selection run, the host records what it sent, and
// the whole sequence is checked against a small model of what the rules mean.

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
    bool RunFast(FormViewType view, TxnReminderStatusCode& status) {
        TxnReminderEngine engine(view);
        std::vector<TxnSendableReminderContainer> records;
        bool duplicate = false;
        const bool ok = view == FormViewType_Invoice
                            ? engine.PrepareReminderListToSend(status, records, duplicate, true)
                            : engine.PrepareReminderListToSendForStmt(status, records, true);
        EXPECT_TRUE(ok);
        EXPECT_LE(records.size(), 1u);
        return !records.empty();
    }
};

// --- invoices ------------------------------------------------------------------------

// One invoice as the model sees it: due date, whether its customer is
// addressed and reachable, and the latest rule (by position in due order)
// already sent.
struct ModelInvoice {
    unsigned long id = 0;
    DateType32 due;
    bool addressed = true;
    bool hasEmail = true;
    bool paid = false;
    int lastSent = -1;
};

TEST_F(SelectionScenarioTest, InvoiceRemindersOverAQuarter) {
    const int acme = AddName("Acme", 0, "acme@x.test");
    const int site = AddName("Site", acme);  // inherits Acme's address
    const int beta = AddName("Beta", 0);     // no address anywhere
    const int gamma = AddName("Gamma", 0, "gamma@x.test");
    const long group = AddPermissionGroup("Main", {acme, beta});
    const TxnReminderSet set = SaveSet(FormViewType_Invoice, "Standard", group, {After(20), Before(3), After(5)});

    // The rules in the order they fall due, as offsets from the due date.
    std::vector<std::pair<long, unsigned long>> rules;
    for (const TxnReminderRule& rule : set.GetReminderRules()) {
        const long days = rule.GetRuleCriteria().GetDays();
        rules.emplace_back(rule.GetRuleCriteria().GetSchedule() == 1 ? -days : days, rule.GetRuleId());
    }
    std::sort(rules.begin(), rules.end());
    ASSERT_EQ(rules.size(), 3u);

    const DateType32 start = Date(2025, 1, 1);
    Ctx().FixClock(start, 8);
    std::vector<ModelInvoice> model;
    const auto add = [&](int customer, const DateType32& due, bool addressed, bool hasEmail) {
        ModelInvoice m;
        m.id = AddOpenInvoice(customer, due);
        m.due = due;
        m.addressed = addressed;
        m.hasEmail = hasEmail;
        model.push_back(m);
        return m.id;
    };
    add(site, DateAdd(start, 2), true, true);
    add(site, DateSub(start, 10), true, true);  // its earlier rules were never sent
    add(beta, DateAdd(start, 30), true, false);
    const unsigned long paidLater = add(acme, DateAdd(start, 50), true, true);
    add(gamma, DateAdd(start, 1), false, true);

    int remindersSent = 0;
    for (int day = 0; day < 90; ++day) {
        const DateType32 today = DateAdd(start, day);
        Ctx().FixClock(today, 8);
        if (day == 40) add(beta, DateSub(today, 25), true, false);
        if (day == 55) {
            ASSERT_TRUE(Host::MarkInvoicePaid(paidLater, today).Succeeded());
            for (auto& m : model) m.paid = m.paid || m.id == paidLater;
        }
        // The host does not run on Sundays: those days' rules are missed.
        if (DayOfWeek(today) == 1) continue;

        Pairs expected;
        bool expectNoEmail = false;
        for (ModelInvoice& m : model) {
            if (m.paid || !m.addressed) continue;
            int latest = -1;
            for (int k = 0; k < static_cast<int>(rules.size()); ++k) {
                if (DateAdd(m.due, rules[k].first) <= today) latest = k;
            }
            if (latest > m.lastSent) {
                expected.emplace_back(m.id, rules[latest].second);
                expectNoEmail = expectNoEmail || !m.hasEmail;
                m.lastSent = latest;
            }
        }

        TxnReminderStatusCode fastStatus = TxnReminderStatus_Reset;
        EXPECT_EQ(RunFast(FormViewType_Invoice, fastStatus), !expected.empty()) << "day " << day;

        TxnReminderEngine engine(FormViewType_Invoice);
        TxnReminderStatusCode status = TxnReminderStatus_Reset;
        std::vector<TxnSendableReminderContainer> records;
        bool duplicate = false;
        ASSERT_TRUE(engine.PrepareReminderListToSend(status, records, duplicate, false)) << "day " << day;
        Pairs actual;
        for (const auto& r : records) actual.emplace_back(r.GetTransactionId(), r.GetRuleId());
        EXPECT_EQ(actual, expected) << "day " << day;
        EXPECT_EQ(status, expectNoEmail ? TxnReminderStatus_NoEmail : TxnReminderStatus_Success) << "day " << day;
        EXPECT_FALSE(duplicate);
        for (const auto& r : records) {
            ASSERT_TRUE(engine.SaveReminderExecutionHistory(r.GetTransactionId(), r.GetRuleId(),
                                                            TxnReminderExecutionStatus_Sent));
            ++remindersSent;
        }
    }
    EXPECT_GE(remindersSent, 8);
}

// --- statements -----------------------------------------------------------------------

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
        EXPECT_EQ(RunFast(FormViewType_Statement, fastStatus), !expected.empty()) << "day " << day;
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
