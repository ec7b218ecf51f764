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

// Each start that must not arm the timer, with the lines that say why and
// those of checks it must not reach.
struct SkippedStart {
    const char* name;
    void (*arrange)(Host::HostContext&);
    std::vector<const char*> present, absent;
};
const char* const kPermissionAsked = "TxnReminder::Entering TxnReminderEngine::HasSendReminderPermission";
const SkippedStart kSkippedStarts[] = {
    {"PromptSwitchOff", [](Host::HostContext& c) { c.SetFeatureSwitch("PaymentReminders", "show_prompt_dialog", false); },
     {"TxnReminder::StartInvoiceReminderTimer: Feature not enabled"}, {kPermissionAsked}},
    {"HostNotReady", [](Host::HostContext& c) { c.Flags().closing = true; }, {kHostNotReady}, {kSkipping}},
    {"StateOff", [](Host::HostContext& c) { c.SetPreference(PrefKeys::kState, "0"); }, {kSkipping}, {kPermissionAsked}},
    {"PromptOff", [](Host::HostContext& c) { c.SetPreference(PrefKeys::kPrompt, "0"); }, {kSkipping}, {kPermissionAsked}},
    {"SampleFile", [](Host::HostContext& c) { c.SetPreference(PrefKeys::kIsSample, "1"); }, {kSkipping},
     {kPermissionAsked}},
    {"AccountantCopy", [](Host::HostContext& c) { c.SetPreference(PrefKeys::kAccountantCopy, "2"); }, {kSkipping},
     {kPermissionAsked}},
    // Without any right it stops silently.
    {"NoRight",
     [](Host::HostContext& c) {
         c.SetPermission(1, 2, false);
         c.SetPermission(7, 3, false);
     },
     {"TxnReminder:: No permission to send reminder email for invoices",
      "TxnReminder:: No permission to send reminder email for statement"},
     {kNoActiveRules}},
    {"NoActiveRule", [](Host::HostContext&) {}, {kNoActiveRules},
     {"TxnReminder::TxnReminderTimer: ProcessMsg ::Timer trigger checks passed. Initiating timer"}},
    // The invoice side denied: the statement side alone still decides.
    {"InvoiceRightDenied", [](Host::HostContext& c) { c.SetPermission(1, 3, false); }, {kNoActiveRules}, {}},
};

class DailyCycleStartTest : public DailyCycleTest, public ::testing::WithParamInterface<SkippedStart> {};

TEST_P(DailyCycleStartTest, StartIsSkipped) {
    GetParam().arrange(Ctx());
    PostStart();
    for (const char* line : GetParam().present) EXPECT_TRUE(HasLine(0, 6, line)) << line;
    for (const char* line : GetParam().absent) EXPECT_FALSE(HasLine(line)) << line;
    EXPECT_EQ(Host::ArmedTimerCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Skips, DailyCycleStartTest, ::testing::ValuesIn(kSkippedStarts),
                         [](const auto& info) { return std::string(info.param.name); });

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

TEST_F(DailyCycleTest, PromptWhileTheHostIsNotReadyEndsTheCycle) {
    TxnReminderTimerUtil::StartTimer();
    Ctx().Flags().closing = true;
    Host::AdvanceAndRun(3600);
    EXPECT_EQ(m_fired.size(), 1u);
    EXPECT_TRUE(HasLine(kHostNotReady));
    EXPECT_EQ(StoredNextDay(), "");
    EXPECT_EQ(Host::ArmedTimerCount(), 0);
}

// The timer fires at the prompt hour of the first day (nothing stored yet)
// and of the scheduled days only; the cycle scenarios run each schedule with
// reminders due.
TEST_F(DailyCycleTest, MonthlyFiresOnceOnTheLastDayOfAShortMonth) {
    Ctx().SetPreference(PrefKeys::kScheduleType, "3");
    Ctx().SetPreference(PrefKeys::kMonthDate, "31");
    Ctx().FixClock(Date(2026, 4, 25), 8, 0, 0);
    TxnReminderTimerUtil::StartTimer();
    Host::AdvanceAndRun(14 * 86400);
    EXPECT_EQ(m_fired, (std::vector<DateAndTime>{At(Date(2026, 4, 25), 9), At(Date(2026, 4, 30), 9)}));
    EXPECT_EQ(TimerDue(), At(Date(2026, 5, 31), 9));
    EXPECT_FALSE(HasLine("TxnReminder:: Exception occured in StartTimer API"));
}

TEST_F(DailyCycleTest, LateFirstStartWaitsTheInitialDelay) {
    Ctx().FixClock(Date(2026, 3, 10), 11, 0, 0);
    TxnReminderTimerUtil::StartTimer();
    EXPECT_EQ(TimerDue(), At(Date(2026, 3, 10), 11, 10));
    Host::AdvanceAndRun(2 * 86400);
    EXPECT_EQ(m_fired, (std::vector<DateAndTime>{At(Date(2026, 3, 10), 11, 10), At(Date(2026, 3, 11), 9),
                                                 At(Date(2026, 3, 12), 9)}));
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

// A module missing or refused is logged; one without the prompt is released
// without a word. Either way nothing else happens.
TEST_F(DailyCycleTest, PromptModuleThatCannotPromptDoesNothing) {
    const char* const noModule = "TxnReminder::TxnReminderPrompt: Unable to fetch featuresbridge instance";
    const struct {
        std::string folder;
        const char* fault;
        const char* line;
    } rows[] = {{Dir(), nullptr, noModule},
                {REMINDERS_MODULE_DIR, "LoadLibraryA", noModule},
                {REMINDERS_NOEXPORT_MODULE_DIR, nullptr, nullptr}};
    ::setenv("REMINDERS_PROMPT_ANSWER", "send", 1);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.folder);
        ClearLog();
        Host::SetModuleFolder(row.folder);
        if (row.fault) Ctx().ArmFault(row.fault, Host::FaultKind::Fail);
        InvoiceReminderPromptTestAccess::LaunchPrompt();
        EXPECT_EQ(Messages(), row.line ? std::vector<std::string>{row.line} : std::vector<std::string>{});
        EXPECT_TRUE(!row.line || HasLine(4, 5, row.line));
        EXPECT_TRUE(m_trace.empty());
        EXPECT_FALSE(ModuleStillLoaded(row.folder.c_str()));
    }
}

TEST_F(DailyCycleTest, FailureAfterTheAnswerReleasesTheModuleAndPropagates) {
    // No tracking service: the event cannot be sent.
    Host::UnregisterDefaultTracker();
    ::setenv("REMINDERS_PROMPT_ANSWER", "send", 1);
    EXPECT_THROW(InvoiceReminderPromptTestAccess::LaunchPrompt(), std::exception);
    EXPECT_EQ(m_trace, (std::vector<std::string>{"log:" + std::string(kLaunching), "command:sendWithoutPreview=true"}));
    EXPECT_FALSE(ModuleStillLoaded(REMINDERS_MODULE_DIR));
}
