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

#include "CompanyBuilder.h"
#include "Host/MessageLoop.h"
#include "HostFixture.h"
#include "Prefs/PrefsTag.h"
#include "SelectionBuilder.h"
#include "TxnReminderTimer.h"

using namespace testsupport;

namespace {
const char* const kLaunching = "TxnReminder::InvoiceReminderPrompt::ProcessMsg: Launching prompt";
const char* const kEventPrefix = "EventSource=InvoicePaymentReminders,EventId=";
const char* const kNoModule = "TxnReminder::TxnReminderPrompt: Unable to fetch featuresbridge instance";

DateAndTime At(const DateType32& day, int hour = 9) { return MakeDateAndTime(day, hour, 0, 0); }
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
            TxnReminderEngine engine(FormViewType_Invoice);
            for (const auto& [txnId, due] : m_invoices) {
                for (const auto& [days, ruleId] : m_ruleIdByDays) {
                    if (DateAdd(due, days) > GetSystemDate()) continue;
                    EXPECT_TRUE(engine.SaveReminderExecutionHistory(txnId, ruleId, TxnReminderExecutionStatus_Sent));
                }
            }
        });
        m_customer = AddName("Harbour Supplies", 0, "accounts@harbour.test");
    }
    void TearDown() override {
        ::unsetenv("REMINDERS_PROMPT_ANSWER");
        HostFixture::TearDown();
    }

    // An active set of "so many days after the due date" rules, the invoices,
    // and the start message the host posts: its checks pass, the timer is armed.
    void Start(const std::vector<int>& daysAfterDue, const std::vector<DateType32>& dues) {
        std::vector<TxnReminderRule> rules;
        for (int days : daysAfterDue) rules.push_back(After(days));
        const TxnReminderSet set = SaveSet(FormViewType_Invoice, "Friendly nudges",
                                           AddPermissionGroup("Slow payers", {m_customer}), rules);
        for (const TxnReminderRule& rule : set.GetReminderRules())
            m_ruleIdByDays[rule.GetRuleCriteria().GetDays()] = rule.GetRuleId();
        ASSERT_EQ(m_ruleIdByDays.size(), daysAfterDue.size());
        for (const DateType32& due : dues) m_invoices.emplace_back(AddOpenInvoice(m_customer, due), due);

        Ctx().FixClock(Date(2026, 3, 10), 8, 0, 0);
        new TxnReminderTimer();
        Host::ProcessPendingMessages();
        EXPECT_TRUE(HasLine(0, 6, "TxnReminder::TxnReminderTimer: ProcessMsg ::Timer trigger checks passed. "
                                  "Initiating timer"));
        EXPECT_EQ(Host::ArmedTimerCount(), 1);
    }
    // One day of the cycle, with the user's answer should the prompt appear;
    // after it the timer is armed again.
    void RunDay(const std::string& answer) {
        ::setenv("REMINDERS_PROMPT_ANSWER", answer.c_str(), 1);
        Host::AdvanceAndRun(86400);
        EXPECT_EQ(Host::ArmedTimerCount(), 1) << "on " << GetSystemDate();
    }
    std::vector<std::string> PromptEvents() const {
        std::vector<std::string> out;
        for (const auto& [kind, text] : m_events) {
            if (text.rfind(kEventPrefix, 0) == 0 && text.find("ButtonClicked") != std::string::npos)
                out.push_back(text.substr(std::string(kEventPrefix).size()));
        }
        return out;
    }

    int m_customer = 0;
    std::vector<std::pair<unsigned long, DateType32>> m_invoices;
    std::map<int, unsigned long> m_ruleIdByDays;
    std::vector<DateAndTime> m_fired, m_prompted;
    std::vector<bool> m_commands;
    std::vector<int> m_laterMessages;
    bool m_commandThrows = false;
};

// Each schedule from Tuesday 10 March: the timer fires on the scheduled days
// only (and the first), and the prompt shows only when something new is due.
struct ScheduleRow {
    const char *name, *type, *weekDay, *monthDate;
    std::vector<int> ruleDays;
    std::vector<DateType32> dues;
    std::string answers;  // one a day: l(ater), r(eview) or s(end)
    std::vector<DateType32> fired, prompted;  // at the prompt hour
    std::vector<bool> commands;  // sendWithoutPreview of each
    std::vector<std::string> events;
    const char* nextDay;
};

std::vector<DateType32> Days(int from, int to) {
    std::vector<DateType32> days;
    for (int d = from; d <= to; ++d) days.push_back(Date(2026, 3, d));
    return days;
}

const ScheduleRow kSchedules[] = {
    // Due on 6 and 13 March: left for later, reviewed the next day, then
    // nothing new until the 12-day reminder, sent at once.
    {"Daily", "1", "2", "1", {5, 12}, {Date(2026, 3, 1)}, "lrssssssssssss", Days(10, 23),
     {Date(2026, 3, 10), Date(2026, 3, 11), Date(2026, 3, 13)}, {false, true},
     {"LaterButtonClicked", "ReviewButtonClicked", "SendNowButtonClicked"}, "20260324"},
    // Thursdays; the second invoice falls due on 19 March.
    {"Weekly", "2", "5", "1", {5}, {Date(2026, 3, 1), Date(2026, 3, 14)}, "lssssssssrssss",
     {Date(2026, 3, 10), Date(2026, 3, 12), Date(2026, 3, 19)},
     {Date(2026, 3, 10), Date(2026, 3, 12), Date(2026, 3, 19)}, {true, false},
     {"LaterButtonClicked", "SendNowButtonClicked", "ReviewButtonClicked"}, "20260326"},
    // The 20th; the host's message shows once per company file, the choice is
    // counted each time.
    {"Monthly", "3", "2", "20", {5}, {Date(2026, 3, 1)}, "llllllllllllll", {Date(2026, 3, 10), Date(2026, 3, 20)},
     {Date(2026, 3, 10), Date(2026, 3, 20)}, {}, {"LaterButtonClicked", "LaterButtonClicked"}, "20260420"},
};

class DailyCycleScheduleTest : public DailyCycleScenarioTest, public ::testing::WithParamInterface<ScheduleRow> {};

TEST_P(DailyCycleScheduleTest, PromptComesOnScheduledDaysOnlyWhenAReminderIsDue) {
    const ScheduleRow& row = GetParam();
    Ctx().SetPreference(PrefKeys::kScheduleType, row.type);
    Ctx().SetPreference(PrefKeys::kWeekDay, row.weekDay);
    Ctx().SetPreference(PrefKeys::kMonthDate, row.monthDate);
    Start(row.ruleDays, row.dues);
    for (char answer : row.answers) RunDay(std::string(1, answer));
    const auto at9 = [](const std::vector<DateType32>& days) {
        std::vector<DateAndTime> out;
        for (const DateType32& d : days) out.push_back(At(d));
        return out;
    };
    EXPECT_EQ(m_fired, at9(row.fired));
    EXPECT_EQ(m_prompted, at9(row.prompted));
    EXPECT_EQ(m_commands, row.commands);
    EXPECT_EQ(m_laterMessages, std::vector<int>{2641});
    EXPECT_EQ(PromptEvents(), row.events);
    EXPECT_EQ(QueryText("SELECT value FROM company_prefs WHERE key = 'invoiceReminderNextPromptLaunchDate'"),
              row.nextDay);
}

INSTANTIATE_TEST_SUITE_P(Schedules, DailyCycleScheduleTest, ::testing::ValuesIn(kSchedules),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DailyCycleScenarioTest, PromptModuleTroubleStillRearmsTheTimer) {
    Start({5}, {Date(2026, 3, 1)});

    Host::SetModuleFolder(Dir());  // 10 March: no module
    RunDay("send");
    EXPECT_TRUE(HasLine(4, 5, kNoModule));

    Host::SetModuleFolder(REMINDERS_NOEXPORT_MODULE_DIR);  // 11 March: module without the prompt
    ClearLog();
    RunDay("send");
    EXPECT_FALSE(HasLine(kLaunching));
    EXPECT_FALSE(HasLine(kNoModule));

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
    Start({5}, {Date(2026, 3, 1)});
    RunDay("later");
    ASSERT_EQ(m_prompted.size(), 1u);
    Host::NotifyCloseSystem();
    EXPECT_EQ(Host::ArmedTimerCount(), 0);
    Host::AdvanceAndRun(7 * 86400);
    EXPECT_EQ(m_fired.size(), 1u);
    EXPECT_EQ(m_prompted.size(), 1u);
}
