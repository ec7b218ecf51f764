#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

#include "Host/DefaultTracker.h"
#include "Host/MessageLoop.h"
#include "HostFixture.h"
#include "InvoiceReminderPrompt.h"
#include "Platform/WinApi.h"
#include "Prefs/PrefsTag.h"
#include "TxnReminderTimer.h"
#include "TxnReminderTimerUtil.h"

using testsupport::Date;
using testsupport::HostFixture;

// The prompt module half of the prompt message, which needs no due reminder.
class InvoiceReminderPromptTestAccess {
public:
    static void LaunchPrompt() { InvoiceReminderPrompt::LaunchPrompt(); }
};

namespace {
const char* const kElapsed = "TxnReminder::OnTimerElapsed: Timer elapsed";
const char* const kLaunching = "TxnReminder::InvoiceReminderPrompt::ProcessMsg: Launching prompt";
const char* const kSkipping = "TxnReminder::TxnReminderTimer: ProcessMsg :: Skipping timer";
const char* const kNoActiveRules =
    "txnReminder::TxnReminderTimer: ProcessMsg :: Skipping timer as No Reminder Rules are active";
const char* const kHostNotReady = "TxnReminder::System is closing or no active file manager and so skip DB operation";
const char* const kEventPrefix = "EventSource=InvoicePaymentReminders,EventId=";

DateAndTime At(const DateType32& day, int hour, int minute = 0) { return MakeDateAndTime(day, hour, minute, 0); }
} // namespace

class DailyCycleTest : public HostFixture {
protected:
    void SetUp() override {
        HostFixture::SetUp();
        Ctx().SetPreference(PrefKeys::kState, "1");
        Ctx().SetPreference(PrefKeys::kPromptTime, "9");
        // One ordered trace of what the prompt does: commands, one-time
        // messages, telemetry and the prompt's own log lines.
        Ctx().AddLogSink([this](const Util::LogRecord& r) {
            if (r.message == kElapsed) m_fired.push_back(GetMXSystemTime());
            if (r.message.find("ProcessMsg:") != std::string::npos) m_trace.push_back("log:" + r.message);
        });
        // The prompt's own events; listing the sets reports statistics too.
        Ctx().AddTelemetrySink([this](int, const std::string& text) {
            if (text.find("ButtonClicked") != std::string::npos) m_trace.push_back("event:" + text);
        });
        Host::RegisterCommand("mxw:send_txnreminders", [this](const CArguments& args) {
            m_trace.push_back(std::string("command:sendWithoutPreview=") +
                              (args.GetBool("sendWithoutPreview") ? "true" : "false"));
        });
        Host::SetMessageSink([this](int id, const std::string&) { m_trace.push_back("message:" + std::to_string(id)); });
        Host::SetModuleFolder(REMINDERS_MODULE_DIR);
        // The prompt module asks a terminal when it has one; here it must
        // take its answer from the environment.
        ASSERT_NE(std::freopen("/dev/null", "r", stdin), nullptr);
    }
    void TearDown() override {
        ::unsetenv("REMINDERS_PROMPT_ANSWER");
        HostFixture::TearDown();
    }

    static void PostStart() {
        new TxnReminderTimer();
        Host::ProcessPendingMessages();
    }
    static bool ModuleStillLoaded(const char* folder) {
        const std::string path = std::string(folder) + "/libFeaturesBridge.so";
        void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (handle) ::dlclose(handle);
        return handle != nullptr;
    }
    std::string StoredNextDay() const {
        return testsupport::QueryText(
            "SELECT value FROM company_prefs WHERE key = 'invoiceReminderNextPromptLaunchDate'");
    }
    DateAndTime TimerDue() const {
        DateAndTime due = -1;
        Host::NextTimerDue(&due);
        return due;
    }

    std::vector<DateAndTime> m_fired;
    std::vector<std::string> m_trace;
};

// --- the start message ---------------------------------------------------------

TEST_F(DailyCycleTest, StartIsSkippedWhenThePromptSwitchIsOff) {
    Ctx().SetFeatureSwitch("PaymentReminders", "show_prompt_dialog", false);
    PostStart();
    EXPECT_TRUE(HasLine(0, 6, "TxnReminder::StartInvoiceReminderTimer: Feature not enabled"));
    EXPECT_EQ(Host::ArmedTimerCount(), 0);
}

TEST_F(DailyCycleTest, StartIsSkippedByTheHostThePreferencesOrMissingRights) {
    const char* const permissionCheck = "TxnReminder::Entering TxnReminderEngine::HasSendReminderPermission";
    const struct {
        void (*arrange)(Host::HostContext&);
        std::vector<const char*> present, absent;
    } cases[] = {
        {[](Host::HostContext& c) { c.Flags().closing = true; }, {kHostNotReady}, {kSkipping}},
        {[](Host::HostContext& c) { c.SetPreference(PrefKeys::kState, "0"); }, {kSkipping}, {permissionCheck}},
        {[](Host::HostContext& c) { c.SetPreference(PrefKeys::kPrompt, "0"); }, {kSkipping}, {permissionCheck}},
        {[](Host::HostContext& c) { c.SetPreference(PrefKeys::kIsSample, "1"); }, {kSkipping}, {permissionCheck}},
        {[](Host::HostContext& c) { c.SetPreference(PrefKeys::kAccountantCopy, "2"); }, {kSkipping}, {permissionCheck}},
        // Without any right it stops silently; with the statement right alone
        // the statement side still decides.
        {[](Host::HostContext& c) {
             c.SetPermission(1, 2, false);
             c.SetPermission(7, 3, false);
         },
         {"TxnReminder:: No permission to send reminder email for invoices",
          "TxnReminder:: No permission to send reminder email for statement"},
         {kNoActiveRules}},
        {[](Host::HostContext& c) { c.SetPermission(1, 3, false); }, {kNoActiveRules}, {}},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        ClearLog();
        Ctx().Flags().closing = false;
        Ctx().SetPreference(PrefKeys::kState, "1");
        Ctx().SetPreference(PrefKeys::kPrompt, "1");
        Ctx().SetPreference(PrefKeys::kIsSample, "0");
        Ctx().SetPreference(PrefKeys::kAccountantCopy, "0");
        Ctx().SetPermission(1, 2, true);
        Ctx().SetPermission(1, 3, true);
        Ctx().SetPermission(7, 3, true);
        cases[i].arrange(Ctx());
        PostStart();
        for (const char* line : cases[i].present) EXPECT_TRUE(HasLine(0, 6, line)) << line;
        for (const char* line : cases[i].absent) EXPECT_FALSE(HasLine(line)) << line;
        EXPECT_EQ(Host::ArmedTimerCount(), 0);
    }
}

TEST_F(DailyCycleTest, StartWithoutActiveRulesConsultsBothViewsAndSkips) {
    PostStart();
    EXPECT_EQ(CountLines("TxnReminder::Entering TxnReminderEngine::HasSendReminderPermission"), 2);
    EXPECT_TRUE(HasLine(0, 6, kNoActiveRules));
    EXPECT_FALSE(HasLine("TxnReminder::TxnReminderTimer: ProcessMsg ::Timer trigger checks passed. Initiating timer"));
    EXPECT_EQ(Host::ArmedTimerCount(), 0);
}

TEST_F(DailyCycleTest, FailedStartCheckLeavesAnArmedTimerAlone) {
    TxnReminderTimerUtil::StartTimer();
    const DateAndTime due = TimerDue();
    ASSERT_EQ(Host::ArmedTimerCount(), 1);
    Ctx().SetPreference(PrefKeys::kState, "0");
    PostStart();
    EXPECT_TRUE(HasLine(kSkipping));
    EXPECT_EQ(Host::ArmedTimerCount(), 1);
    EXPECT_EQ(TimerDue(), due);
}

// --- the prompt message without anything due --------------------------------

TEST_F(DailyCycleTest, TimerFiresAtThePromptHourAndTheCycleRearms) {
    TxnReminderTimerUtil::StartTimer();  // 08:00: one hour to go
    EXPECT_EQ(TimerDue(), At(Date(2026, 3, 10), 9));
    Host::AdvanceAndRun(3599);
    EXPECT_TRUE(m_fired.empty());
    Host::AdvanceAndRun(1);
    EXPECT_EQ(m_fired, std::vector<DateAndTime>{At(Date(2026, 3, 10), 9)});
    EXPECT_TRUE(HasLine(0, 6, kElapsed));
    EXPECT_EQ(Host::PendingMessageCount(), 0);

    // Nothing was due: no prompt, but the next day is stored and the timer
    // armed for it.
    EXPECT_FALSE(HasLine(kLaunching));
    EXPECT_TRUE(m_trace.empty());
    EXPECT_EQ(StoredNextDay(), "20260311");
    EXPECT_EQ(Host::ArmedTimerCount(), 1);
    EXPECT_EQ(TimerDue(), At(Date(2026, 3, 11), 9));
}

TEST_F(DailyCycleTest, PromptWhileTheHostIsNotReadyEndsTheCycle) {
    TxnReminderTimerUtil::StartTimer();
    Ctx().Flags().closing = true;
    Host::AdvanceAndRun(3600);
    EXPECT_EQ(m_fired.size(), 1u);
    EXPECT_TRUE(HasLine(kHostNotReady));
    EXPECT_EQ(StoredNextDay(), "");
    EXPECT_EQ(Host::ArmedTimerCount(), 0);
}

TEST_F(DailyCycleTest, CloseNotificationDisarmsTheTimer) {
    TxnReminderTimerUtil::StartTimer();
    ASSERT_EQ(Host::ArmedTimerCount(), 1);
    Host::NotifyCloseSystem();
    EXPECT_EQ(Host::ArmedTimerCount(), 0);
    Host::AdvanceAndRun(3 * 86400);
    EXPECT_TRUE(m_fired.empty());
    // Nothing armed: the notification is harmless.
    Host::NotifyCloseSystem();
    EXPECT_EQ(Host::ArmedTimerCount(), 0);
}

// Each schedule from a first start: the timer fires at the prompt hour of
// the first day (nothing stored yet), or the initial delay after a late
// start, and then on the scheduled days only.
TEST_F(DailyCycleTest, TimerFiresOnTheScheduledDaysOnly) {
    const DateType32 tue = Date(2026, 3, 10);
    const struct {
        const char *type, *weekDay, *monthDate;
        DateType32 start;
        int hour, days;
        std::vector<DateAndTime> fired;
        DateAndTime next;
    } cases[] = {
        {"1", "2", "1", tue, 8, 14, {}, At(Date(2026, 3, 24), 9)},
        {"2", "5", "1", tue, 8, 14, {At(tue, 9), At(Date(2026, 3, 12), 9), At(Date(2026, 3, 19), 9)},
         At(Date(2026, 3, 26), 9)},
        {"3", "2", "31", Date(2026, 4, 25), 8, 14, {At(Date(2026, 4, 25), 9), At(Date(2026, 4, 30), 9)},
         At(Date(2026, 5, 31), 9)},
        {"1", "2", "1", tue, 11, 2, {At(tue, 11, 10), At(Date(2026, 3, 11), 9), At(Date(2026, 3, 12), 9)},
         At(Date(2026, 3, 13), 9)},
    };
    for (auto c : cases) {
        SCOPED_TRACE(c.start);
        if (c.fired.empty()) {
            for (int d = 0; d < c.days; ++d) c.fired.push_back(At(DateAdd(c.start, d), 9));
        }
        TxnReminderTimerUtil::KillRunningTimerIfAny();
        ASSERT_TRUE(DBPreferences::SetCompanyDBPreference("invoiceReminderNextPromptLaunchDate", "").Succeeded());
        Ctx().SetPreference(PrefKeys::kScheduleType, c.type);
        Ctx().SetPreference(PrefKeys::kWeekDay, c.weekDay);
        Ctx().SetPreference(PrefKeys::kMonthDate, c.monthDate);
        Ctx().FixClock(c.start, c.hour, 0, 0);
        m_fired.clear();
        TxnReminderTimerUtil::StartTimer();
        Host::AdvanceAndRun(c.days * 86400);
        EXPECT_EQ(m_fired, c.fired);
        EXPECT_EQ(Host::ArmedTimerCount(), 1);
        EXPECT_EQ(TimerDue(), c.next);
    }
    EXPECT_FALSE(HasLine("TxnReminder:: Exception occured in StartTimer API"));
}

// --- the prompt module ------------------------------------------------------------

TEST_F(DailyCycleTest, EachAnswerTakesItsActionThenItsEventThenItsLine) {
    struct Case {
        const char* answer;
        std::vector<std::string> trace;
    } cases[] = {
        {"review",
         {"log:" + std::string(kLaunching), "command:sendWithoutPreview=false",
          "event:" + std::string(kEventPrefix) + "ReviewButtonClicked",
          "log:TxnReminder::InvoiceReminderPrompt::ProcessMsg: Review button Clicked"}},
        {"send",
         {"log:" + std::string(kLaunching), "command:sendWithoutPreview=true",
          "event:" + std::string(kEventPrefix) + "SendNowButtonClicked",
          "log:TxnReminder::InvoiceReminderPrompt::ProcessMsg: Send Now button Clicked"}},
        {"later",
         {"log:" + std::string(kLaunching), "message:2641", "event:" + std::string(kEventPrefix) + "LaterButtonClicked",
          "log:TxnReminder::InvoiceReminderPrompt::ProcessMsg: Close Button Clicked"}},
        {"3",
         {"log:" + std::string(kLaunching),
          "log:TxnReminder::TxnReminderPrompt::ProcessMsg: Invalid action performed on prompt"}},
        {"-1",
         {"log:" + std::string(kLaunching),
          "log:TxnReminder::TxnReminderPrompt::ProcessMsg: Invalid action performed on prompt"}},
    };
    // The release check below can see a loaded module.
    HMODULE probe = LoadLibraryA("FeaturesBridge.DLL");
    ASSERT_TRUE(ModuleStillLoaded(REMINDERS_MODULE_DIR));
    FreeLibrary(probe);

    for (const Case& c : cases) {
        m_trace.clear();
        ::setenv("REMINDERS_PROMPT_ANSWER", c.answer, 1);
        InvoiceReminderPromptTestAccess::LaunchPrompt();
        EXPECT_EQ(m_trace, c.trace) << c.answer;
        EXPECT_FALSE(ModuleStillLoaded(REMINDERS_MODULE_DIR)) << c.answer;
    }
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder::TxnReminderPrompt::ProcessMsg: Invalid action performed on prompt"));
    EXPECT_TRUE(HasLine(0, 6, kLaunching));
}

TEST_F(DailyCycleTest, MissingModuleIsLoggedAndNothingElseHappens) {
    Host::SetModuleFolder(Dir());
    InvoiceReminderPromptTestAccess::LaunchPrompt();
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder::TxnReminderPrompt: Unable to fetch featuresbridge instance"));
    EXPECT_TRUE(m_trace.empty());

    ClearLog();
    Host::SetModuleFolder(REMINDERS_MODULE_DIR);
    Ctx().ArmFault("LoadLibraryA", Host::FaultKind::Fail);
    InvoiceReminderPromptTestAccess::LaunchPrompt();
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder::TxnReminderPrompt: Unable to fetch featuresbridge instance"));
}

TEST_F(DailyCycleTest, ModuleWithoutThePromptIsReleasedSilently) {
    Host::SetModuleFolder(REMINDERS_NOEXPORT_MODULE_DIR);
    ::setenv("REMINDERS_PROMPT_ANSWER", "send", 1);
    InvoiceReminderPromptTestAccess::LaunchPrompt();
    EXPECT_TRUE(m_log.empty());
    EXPECT_TRUE(m_trace.empty());
    EXPECT_FALSE(ModuleStillLoaded(REMINDERS_NOEXPORT_MODULE_DIR));
}

TEST_F(DailyCycleTest, FailureAfterTheAnswerReleasesTheModuleAndPropagates) {
    // No tracking service: the event cannot be sent.
    Host::UnregisterDefaultTracker();
    ::setenv("REMINDERS_PROMPT_ANSWER", "send", 1);
    EXPECT_THROW(InvoiceReminderPromptTestAccess::LaunchPrompt(), std::exception);
    EXPECT_EQ(m_trace, (std::vector<std::string>{"log:" + std::string(kLaunching), "command:sendWithoutPreview=true"}));
    EXPECT_FALSE(ModuleStillLoaded(REMINDERS_MODULE_DIR));
}
