// The daily prompt cycle end to end over a company with due reminders: a
// customer in a permission group, an active invoice reminder set for that
// group, and overdue invoices. Two weeks of each schedule run on the
// simulated clock; the user's answers drive the host command, the one-time
// message and the telemetry, and the "host" records what it sent so that the
// next prompt only comes when something new is due.

#include <cstdio>
#include <cstdlib>
#include <map>
#include <stdexcept>

#include "Host/MessageLoop.h"
#include "CompanyBuilder.h"
#include "HostFixture.h"
#include "ReminderSetBuilders.h"
#include "Prefs/PrefsTag.h"
#include "Records/Groups.h"
#include "Records/Names.h"
#include "Records/Transactions.h"
#include "TxnReminderEngine.h"
#include "TxnReminderSet.h"
#include "TxnReminderTimer.h"

using testsupport::Date;
using testsupport::HostFixture;

namespace {
const char* const kLaunching = "TxnReminder::InvoiceReminderPrompt::ProcessMsg: Launching prompt";
const char* const kEventPrefix = "EventSource=InvoicePaymentReminders,EventId=";

DateAndTime At(const DateType32& day, int hour) { return MakeDateAndTime(day, hour, 0, 0); }

struct Invoice {
    unsigned long txnId;
    DateType32 due;
};
} // namespace

class DailyCycleScenarioTest : public HostFixture {
protected:
    void SetUp() override {
        HostFixture::SetUp();
        Ctx().SetPreference(PrefKeys::kState, "1");
        Ctx().SetPreference(PrefKeys::kPromptTime, "9");
        Host::SetModuleFolder(REMINDERS_MODULE_DIR);
        // The prompt module asks a terminal when it has one; here it must
        // take its answer from the environment.
        ASSERT_NE(std::freopen("/dev/null", "r", stdin), nullptr);
        Ctx().AddLogSink([this](const Util::LogRecord& r) {
            if (r.message == "TxnReminder::OnTimerElapsed: Timer elapsed") m_fired.push_back(GetMXSystemTime());
            if (r.message == kLaunching) m_prompted.push_back(GetMXSystemTime());
        });
        Host::SetMessageSink([this](int id, const std::string&) { m_laterMessages.push_back(id); });
        // The host's sending: every reminder whose rule has fallen due is sent
        // and recorded, as the send screens do.
        Host::RegisterCommand("mxw:send_txnreminders", [this](const CArguments& args) {
            m_commands.push_back(args.GetBool("sendWithoutPreview"));
            if (m_commandThrows) throw std::runtime_error("send screen failed");
            RecordSentReminders();
        });

        Host::CustomerData customer;
        customer.name = "Harbour Supplies";
        customer.email = "accounts@harbour.test";
        ASSERT_TRUE(Host::AddCustomer(customer, m_customer).Succeeded());
        ASSERT_TRUE(Host::CreateCustomerGroup("Slow payers", "", {m_customer}, m_groupId).Succeeded());
    }
    void TearDown() override {
        ::unsetenv("REMINDERS_PROMPT_ANSWER");
        HostFixture::TearDown();
    }

    void AddOverdueInvoice(const DateType32& due) { m_invoices.push_back({testsupport::AddOpenInvoice(m_customer, due), due}); }

    // One active invoice set for the group with "so many days after the due
    // date" rules, saved through the engine as the setup screens save it.
    void AddReminderSet(const std::vector<int>& daysAfterDue) {
        std::vector<TxnReminderRule> rules;
        for (int days : daysAfterDue) rules.push_back(testsupport::InvoiceRule(days, 2, "Payment reminder", "Overdue."));
        TxnReminderSet set = testsupport::InvoiceSet("Friendly nudges", m_groupId, rules);
        TxnReminderEngine engine(FormViewType_Invoice);
        TxnReminderStatusCode status = TxnReminderStatus_Reset;
        ASSERT_TRUE(engine.AddOrUpdateReminderSet(status, set)) << status;

        std::vector<TxnReminderSet> sets;
        ASSERT_TRUE(engine.GetAllReminderSets(status, sets)) << status;
        ASSERT_EQ(sets.size(), 1u);
        for (auto rule : sets[0].GetReminderRules()) {
            m_ruleIdByDays[rule.GetRuleCriteria().GetDays()] = rule.GetRuleId();
        }
        ASSERT_EQ(m_ruleIdByDays.size(), daysAfterDue.size());
    }

    void RecordSentReminders() {
        TxnReminderEngine engine(FormViewType_Invoice);
        const DateType32 today = GetSystemDate();
        for (const Invoice& invoice : m_invoices) {
            for (const auto& [days, ruleId] : m_ruleIdByDays) {
                if (DateAdd(invoice.due, days) <= today) {
                    EXPECT_TRUE(engine.SaveReminderExecutionHistory(invoice.txnId, ruleId,
                                                                    TxnReminderExecutionStatus_Sent));
                }
            }
        }
    }

    // The host posts the start message; the checks pass and the timer is armed.
    void Start(const DateType32& day) {
        Ctx().FixClock(day, 8, 0, 0);
        new TxnReminderTimer();
        Host::ProcessPendingMessages();
        EXPECT_TRUE(HasLine(0, 6, "TxnReminder::TxnReminderTimer: ProcessMsg ::Timer trigger checks passed. "
                                  "Initiating timer"));
        EXPECT_EQ(Host::ArmedTimerCount(), 1);
    }
    // One day of the cycle, with the user's answer should the prompt appear;
    // after it the timer is armed again.
    void RunDay(const char* answer) {
        ::setenv("REMINDERS_PROMPT_ANSWER", answer, 1);
        Host::AdvanceAndRun(86400);
        EXPECT_EQ(Host::ArmedTimerCount(), 1) << "on " << GetSystemDate();
    }
    std::vector<std::string> PromptEvents() const {
        std::vector<std::string> out;
        for (const auto& [kind, text] : m_events) {
            if (text.rfind(kEventPrefix, 0) == 0 && text.find("ButtonClicked") != std::string::npos) {
                out.push_back(text.substr(std::string(kEventPrefix).size()));
            }
        }
        return out;
    }

    int m_customer = 0;
    long m_groupId = 0;
    std::vector<Invoice> m_invoices;
    std::map<int, unsigned long> m_ruleIdByDays;
    std::vector<DateAndTime> m_fired;
    std::vector<DateAndTime> m_prompted;
    std::vector<bool> m_commands;
    std::vector<int> m_laterMessages;
    bool m_commandThrows = false;
};

TEST_F(DailyCycleScenarioTest, DailyPromptComesOnlyWhenAReminderIsDue) {
    AddReminderSet({5, 12});
    AddOverdueInvoice(Date(2026, 3, 1));  // 5 days after: 6 March; 12 days after: 13 March
    Start(Date(2026, 3, 10));

    RunDay("later");   // 10 March: due, left for later
    RunDay("review");  // 11 March: still due; reviewed and sent
    RunDay("send");    // 12 March: nothing new
    RunDay("send");    // 13 March: the 12-day reminder; sent at once
    for (int d = 0; d < 10; ++d) RunDay("send");

    std::vector<DateAndTime> everyDay;
    for (int d = 0; d < 14; ++d) everyDay.push_back(At(DateAdd(Date(2026, 3, 10), d), 9));
    EXPECT_EQ(m_fired, everyDay);
    EXPECT_EQ(m_prompted, (std::vector<DateAndTime>{At(Date(2026, 3, 10), 9), At(Date(2026, 3, 11), 9),
                                                    At(Date(2026, 3, 13), 9)}));
    EXPECT_EQ(m_commands, (std::vector<bool>{false, true}));
    EXPECT_EQ(m_laterMessages, std::vector<int>{2641});
    EXPECT_EQ(PromptEvents(),
              (std::vector<std::string>{"LaterButtonClicked", "ReviewButtonClicked", "SendNowButtonClicked"}));
    EXPECT_TRUE(HasLine(0, 6, "TxnReminder::InvoiceReminderPrompt::ProcessMsg: Close Button Clicked"));
    EXPECT_TRUE(HasLine(0, 6, "TxnReminder::InvoiceReminderPrompt::ProcessMsg: Review button Clicked"));
    EXPECT_TRUE(HasLine(0, 6, "TxnReminder::InvoiceReminderPrompt::ProcessMsg: Send Now button Clicked"));
}

TEST_F(DailyCycleScenarioTest, WeeklyPromptComesOnTheWeekDayOnly) {
    Ctx().SetPreference(PrefKeys::kScheduleType, "2");
    Ctx().SetPreference(PrefKeys::kWeekDay, "5");  // Thursday
    AddReminderSet({5});
    AddOverdueInvoice(Date(2026, 3, 1));   // due since 6 March
    AddOverdueInvoice(Date(2026, 3, 14));  // due from 19 March
    Start(Date(2026, 3, 10));              // a Tuesday

    RunDay("later");                           // Tuesday 10: the first prompt
    RunDay("send");                            // Wednesday 11: no timer
    RunDay("send");                            // Thursday 12: sent
    for (int d = 0; d < 6; ++d) RunDay("send");  // 13 to 18
    RunDay("review");                          // Thursday 19: the second invoice
    for (int d = 0; d < 4; ++d) RunDay("send");

    const std::vector<DateAndTime> prompts{At(Date(2026, 3, 10), 9), At(Date(2026, 3, 12), 9),
                                           At(Date(2026, 3, 19), 9)};
    EXPECT_EQ(m_fired, prompts);
    EXPECT_EQ(m_prompted, prompts);
    EXPECT_EQ(m_commands, (std::vector<bool>{true, false}));
    EXPECT_EQ(PromptEvents(),
              (std::vector<std::string>{"LaterButtonClicked", "SendNowButtonClicked", "ReviewButtonClicked"}));
}

TEST_F(DailyCycleScenarioTest, MonthlyPromptComesOnTheMonthDate) {
    Ctx().SetPreference(PrefKeys::kScheduleType, "3");
    Ctx().SetPreference(PrefKeys::kMonthDate, "20");
    AddReminderSet({5});
    AddOverdueInvoice(Date(2026, 3, 1));
    Start(Date(2026, 3, 10));
    for (int d = 0; d < 14; ++d) RunDay("later");

    const std::vector<DateAndTime> prompts{At(Date(2026, 3, 10), 9), At(Date(2026, 3, 20), 9)};
    EXPECT_EQ(m_fired, prompts);
    EXPECT_EQ(m_prompted, prompts);
    EXPECT_TRUE(m_commands.empty());
    // The host shows its message once per company file; the choice is
    // counted each time.
    EXPECT_EQ(m_laterMessages, std::vector<int>{2641});
    EXPECT_EQ(PromptEvents(), (std::vector<std::string>{"LaterButtonClicked", "LaterButtonClicked"}));
    EXPECT_EQ(testsupport::QueryText(
                  "SELECT value FROM company_prefs WHERE key = 'invoiceReminderNextPromptLaunchDate'"),
              "20260420");
}

TEST_F(DailyCycleScenarioTest, PromptModuleTroubleStillRearmsTheTimer) {
    AddReminderSet({5});
    AddOverdueInvoice(Date(2026, 3, 1));
    Start(Date(2026, 3, 10));

    Host::SetModuleFolder(Dir());  // 10 March: no module
    RunDay("send");
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder::TxnReminderPrompt: Unable to fetch featuresbridge instance"));

    Host::SetModuleFolder(REMINDERS_NOEXPORT_MODULE_DIR);  // 11 March: module without the prompt
    ClearLog();
    RunDay("send");
    EXPECT_FALSE(HasLine(kLaunching));
    EXPECT_FALSE(HasLine("TxnReminder::TxnReminderPrompt: Unable to fetch featuresbridge instance"));

    Host::SetModuleFolder(REMINDERS_MODULE_DIR);  // 12 March: an answer the prompt does not offer
    RunDay("3");
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder::TxnReminderPrompt::ProcessMsg: Invalid action performed on prompt"));

    m_commandThrows = true;  // 13 March: the send screen fails
    RunDay("send");
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder::TxnReminderPrompt: Exception in launching prompt"));

    m_commandThrows = false;  // 14 March: all well again
    RunDay("send");
    EXPECT_EQ(m_fired.size(), 5u);
    EXPECT_EQ(m_commands, (std::vector<bool>{true, true}));
    EXPECT_EQ(PromptEvents(), std::vector<std::string>{"SendNowButtonClicked"});
}

TEST_F(DailyCycleScenarioTest, CloseNotificationStopsARunningCycle) {
    AddReminderSet({5});
    AddOverdueInvoice(Date(2026, 3, 1));
    Start(Date(2026, 3, 10));
    RunDay("later");
    ASSERT_EQ(m_prompted.size(), 1u);
    Host::NotifyCloseSystem();
    EXPECT_EQ(Host::ArmedTimerCount(), 0);
    Host::AdvanceAndRun(7 * 86400);
    EXPECT_EQ(m_fired.size(), 1u);
    EXPECT_EQ(m_prompted.size(), 1u);
}
