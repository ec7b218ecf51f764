#include "Host/MessageLoop.h"
#include "HostFixture.h"
#include "Prefs/PrefsTag.h"
#include "TxnReminderTimerUtil.h"

using testsupport::Date;
using testsupport::HostFixture;

namespace {
const char* const kNextDayPref = "invoiceReminderNextPromptLaunchDate";
const char* const kUnableToFetch = "TxnReminder::GetNextLaunchDateFromPrefDb: Unable to fetch next launch date from pref db";
const char* const kStartTimerException = "TxnReminder:: Exception occured in StartTimer API";
const char* const kDelayFetchFailed =
    "TxnReminder::GetInitialDelayInSecondsFromDCE: Unable to fetch initial delay from DCE";
} // namespace

class LaunchScheduleTest : public HostFixture {
protected:
    void Schedule(int type, int promptHour, int weekDay = 2, int monthDate = 1) {
        Ctx().SetPreference(PrefKeys::kScheduleType, std::to_string(type));
        Ctx().SetPreference(PrefKeys::kPromptTime, std::to_string(promptHour));
        Ctx().SetPreference(PrefKeys::kWeekDay, std::to_string(weekDay));
        Ctx().SetPreference(PrefKeys::kMonthDate, std::to_string(monthDate));
    }
    void StoreNextDay(const std::string& text) {
        ASSERT_TRUE(DBPreferences::SetCompanyDBPreference(kNextDayPref, text).Succeeded());
    }
    // The stored next prompt day as the company file holds it.
    std::string StoredNextDay() const {
        return testsupport::QueryText(std::string("SELECT value FROM company_prefs WHERE key = '") + kNextDayPref +
                                      "'");
    }
    // The next prompt day stored by a prompt at this moment.
    std::string NextDayAfterPromptAt(const DateType32& day, int hour, int minute = 0) {
        Ctx().FixClock(day, hour, minute, 0);
        TxnReminderTimerUtil::SetNextLaunchDateToPrefDb();
        return StoredNextDay();
    }
    // A schedule (prompt hour 9), a prompt at a moment, the next day it stores.
    struct Prompt {
        int type, weekDay, monthDate;
        DateType32 today;
        int hour, minute;
        const char* next;
    };
    void ExpectNextDays(std::initializer_list<Prompt> prompts) {
        for (const Prompt& p : prompts) {
            Schedule(p.type, 9, p.weekDay, p.monthDate);
            EXPECT_EQ(NextDayAfterPromptAt(p.today, p.hour, p.minute), p.next)
                << "type " << p.type << " week day " << p.weekDay << " month date " << p.monthDate << " at "
                << p.today << " " << p.hour << ":" << p.minute;
        }
    }
    // Seconds until the armed timer fires; -1 when none is armed.
    long SecondsUntilTimer() const {
        DateAndTime due = 0;
        if (Host::ArmedTimerCount() != 1 || !Host::NextTimerDue(&due)) return -1;
        return static_cast<long>(due - GetMXSystemTime());
    }
};

TEST_F(LaunchScheduleTest, NextDayFollowsTheScheduleOnceThePromptHourHasCome) {
    const DateType32 tue = Date(2026, 3, 10);  // week day 3
    ExpectNextDays({
        // Daily.
        {1, 2, 1, tue, 8, 30, "20260310"}, {1, 2, 1, tue, 9, 0, "20260311"}, {1, 2, 1, tue, 9, 15, "20260311"},
        {1, 2, 1, Date(2026, 12, 31), 23, 59, "20270101"},
        // Weekly: to the chosen week day, or a week on from it once the hour has come.
        {2, 1, 1, tue, 10, 0, "20260315"}, {2, 2, 1, tue, 10, 0, "20260316"}, {2, 5, 1, tue, 10, 0, "20260312"},
        {2, 7, 1, tue, 8, 0, "20260314"}, {2, 3, 1, tue, 8, 0, "20260310"}, {2, 3, 1, tue, 9, 0, "20260317"},
        // Monthly: a date beyond the month's length means its last day.
        {3, 2, 31, Date(2026, 1, 31), 10, 0, "20260228"}, {3, 2, 31, Date(2024, 1, 31), 10, 0, "20240229"},
        {3, 2, 31, Date(2026, 4, 15), 10, 0, "20260430"}, {3, 2, 31, Date(2026, 4, 30), 8, 0, "20260430"},
        {3, 2, 30, Date(2026, 2, 10), 10, 0, "20260228"}, {3, 2, 10, Date(2026, 3, 15), 10, 0, "20260410"},
        {3, 2, 10, Date(2026, 12, 15), 10, 0, "20270110"}, {3, 2, 31, Date(2026, 12, 31), 10, 0, "20270131"},
        {3, 2, 10, tue, 8, 0, "20260310"}, {3, 2, 10, tue, 10, 0, "20260410"},
        {3, 2, 30, Date(2026, 1, 30), 10, 0, "20260228"},
        // On the last day of a month shorter than the chosen date, the prompt
        // of that day used to set the next day to the same day again, so the
        // timer came back every few minutes until midnight.
        {3, 2, 31, Date(2026, 4, 30), 9, 0, "20260531"}, {3, 2, 31, Date(2026, 2, 28), 9, 10, "20260331"},
        {3, 2, 30, Date(2026, 2, 28), 15, 0, "20260330"}, {3, 2, 30, Date(2024, 2, 29), 15, 0, "20240330"},
        // A schedule type the host does not know used to keep the next day at
        // today, so every prompt after the hour was followed by another.
        {7, 2, 1, tue, 8, 0, "20260310"}, {7, 2, 1, tue, 9, 0, "20260311"}, {0, 2, 1, tue, 22, 0, "20260311"},
    });
    EXPECT_TRUE(HasLine(0, 6, "TxnReminder::SetNextLaunchDateToPrefDb: Setting next launch date to pref db"));
}

TEST_F(LaunchScheduleTest, DelayRunsToThePromptHourOfTheStoredDay) {
    Schedule(1, 9);
    const char* future = "TxnReminder::GetNextLaunchDelayInSeconds: Launch date in future";
    const char* today = "TxnReminder::GetNextLaunchDelayInSeconds: Launch date today";
    const struct {
        const char* stored;
        int hour, minute, second;
        unsigned long delay;
        const char* line;
    } cases[] = {
        {"20260313", 14, 20, 30, 239970, future},
        {"20260301", 7, 59, 59, 3601, today},  // a day in the past counts as today
        {"20260310", 10, 0, 0, 0, today},      // today with the hour come: now
        {"20260310", 9, 0, 0, 0, today},
    };
    for (const auto& c : cases) {
        ClearLog();
        StoreNextDay(c.stored);
        Ctx().FixClock(Date(2026, 3, 10), c.hour, c.minute, c.second);
        EXPECT_EQ(TxnReminderTimerUtil::GetNextLaunchDelayInSeconds(), c.delay) << c.stored << " " << c.hour;
        EXPECT_TRUE(HasLine(0, 6, c.line)) << c.stored << " " << c.hour;
        EXPECT_FALSE(HasLine(kUnableToFetch));
    }
}

TEST_F(LaunchScheduleTest, TimerIsNeverArmedSoonerThanTheInitialDelay) {
    Schedule(1, 9);
    StoreNextDay("20260310");
    Ctx().FixClock(Date(2026, 3, 10), 10, 0, 0);
    TxnReminderTimerUtil::StartTimer();
    EXPECT_EQ(SecondsUntilTimer(), 600);
    EXPECT_TRUE(HasLine(0, 6, "TxnReminder::StartTimer: Starting Timer for 600 seconds"));

    // Re-arming replaces the timer; disarming removes it.
    Ctx().FixClock(Date(2026, 3, 10), 8, 0, 0);
    TxnReminderTimerUtil::StartTimer();
    EXPECT_EQ(SecondsUntilTimer(), 3600);
    TxnReminderTimerUtil::KillRunningTimerIfAny();
    EXPECT_EQ(Host::ArmedTimerCount(), 0);
    TxnReminderTimerUtil::KillRunningTimerIfAny();
    EXPECT_EQ(Host::ArmedTimerCount(), 0);
}

TEST_F(LaunchScheduleTest, InitialDelayFallsBackTo600) {
    const struct {
        const char* remote;
        unsigned long delay;
        bool failure;
    } cases[] = {{"", 600, false}, {"120", 120, false}, {"  +45 seconds", 45, false}, {"abc", 600, true},
                 {"99999999999999999999999", 600, true}};
    for (const auto& c : cases) {
        ClearLog();
        Ctx().SetRemoteConfig("InvoicePaymentReminders", "InitialDelayInSeconds", c.remote);
        EXPECT_EQ(TxnReminderTimerUtil::GetInitialDelayInSecondsFromDCE(), c.delay) << c.remote;
        EXPECT_EQ(HasLine(4, 5, kDelayFetchFailed), c.failure) << c.remote;
        EXPECT_TRUE(HasLine(0, 6,
                            std::string("TxnReminder::GetInitialDelayInSecondsFromDCE: Value of initial delay for "
                                        "timer fetched from DCE: ") +
                                c.remote));
    }
    ClearLog();
    Ctx().ArmFault("DCE.GetValue2", Host::FaultKind::Throw);
    EXPECT_EQ(TxnReminderTimerUtil::GetInitialDelayInSecondsFromDCE(), 600ul);
    EXPECT_TRUE(HasLine(4, 5, kDelayFetchFailed));
    EXPECT_TRUE(
        HasLine(0, 6, "TxnReminder::GetInitialDelayInSecondsFromDCE: Getting initial delay for timer from DCE"));
}

TEST_F(LaunchScheduleTest, InitialDelayIsReadOncePerProcess) {
    Schedule(1, 9);
    Ctx().SetRemoteConfig("InvoicePaymentReminders", "InitialDelayInSeconds", "900");
    Ctx().FixClock(Date(2026, 3, 10), 8, 59, 0);
    TxnReminderTimerUtil::StartTimer();
    EXPECT_EQ(SecondsUntilTimer(), 900);
    Ctx().SetRemoteConfig("InvoicePaymentReminders", "InitialDelayInSeconds", "30");
    TxnReminderTimerUtil::StartTimer();
    EXPECT_EQ(SecondsUntilTimer(), 900);
    EXPECT_EQ(CountLines("TxnReminder::GetInitialDelayInSecondsFromDCE: Getting initial delay for timer from DCE"),
              1);
}

// A damaged or hand-edited next day used to make every StartTimer throw, so
// the daily prompt stopped for good with nothing but a log line.
TEST_F(LaunchScheduleTest, StoredNextDayThatCannotBeReadCountsAsToday) {
    Schedule(1, 9);
    for (const char* stored : {"", "garbage", "2026", "202603", "20261340", "2026-03-12", "20260230"}) {
        ClearLog();
        StoreNextDay(stored);
        Ctx().FixClock(Date(2026, 3, 10), 8, 0, 0);
        TxnReminderTimerUtil::StartTimer();
        EXPECT_EQ(SecondsUntilTimer(), 3600) << stored;
        EXPECT_TRUE(HasLine(0, 6, kUnableToFetch)) << stored;
        EXPECT_FALSE(HasLine(kStartTimerException)) << stored;
        // Reading never rewrites it; the next prompt stores a sound day.
        EXPECT_EQ(StoredNextDay(), stored);
        EXPECT_EQ(NextDayAfterPromptAt(Date(2026, 3, 10), 9), "20260311");
    }
}

// delay * 1000 milliseconds beyond 32 bits used to wrap round to a much
// shorter timer; so did a stored day years ahead.
TEST_F(LaunchScheduleTest, LongDelaysAreCutToTheLongestTimerNotWrapped) {
    Schedule(1, 9);
    Ctx().SetRemoteConfig("InvoicePaymentReminders", "InitialDelayInSeconds", "5000000");
    TxnReminderTimerUtil::StartTimer();
    EXPECT_EQ(SecondsUntilTimer(), 4294967);
    EXPECT_TRUE(HasLine(0, 6, "TxnReminder::StartTimer: Starting Timer for 4294967 seconds"));

    StoreNextDay("20300310");
    Ctx().FixClock(Date(2026, 3, 10), 9, 0, 0);
    EXPECT_EQ(TxnReminderTimerUtil::GetNextLaunchDelayInSeconds(),
              static_cast<unsigned long>(DateMinusDate(Date(2030, 3, 10), Date(2026, 3, 10))) * 86400ul);
    TxnReminderTimerUtil::StartTimer();
    EXPECT_EQ(SecondsUntilTimer(), 4294967);
}

TEST_F(LaunchScheduleTest, OnlyAnOpenIdleCompanyFileIsPromptedForOrTouched) {
    EXPECT_TRUE(TxnReminderTimerUtil::CanProcessPromptAppMsg());
    EXPECT_TRUE(m_log.empty());
    const char* skip = "TxnReminder::System is closing or no active file manager and so skip DB operation";
    using F = Host::SystemFlags;
    const std::pair<bool F::*, bool> notIdle[] = {{&F::serverMode, true}, {&F::open, false}, {&F::closing, true}};
    for (const auto& [flag, value] : notIdle) {
        Ctx().Flags().*flag = value;
        EXPECT_FALSE(TxnReminderTimerUtil::CanProcessPromptAppMsg());
        Ctx().Flags().*flag = !value;
    }
    Ctx().SetFileManagerState(1);
    EXPECT_FALSE(TxnReminderTimerUtil::CanProcessPromptAppMsg());
    EXPECT_EQ(CountLines(skip), 4);
    EXPECT_TRUE(HasLine(0, 6, skip));

    // While the file is re-indexed the stored day is neither read nor written.
    Schedule(1, 9);
    StoreNextDay("20260313");
    Ctx().FixClock(Date(2026, 3, 10), 8, 0, 0);
    EXPECT_EQ(TxnReminderTimerUtil::GetNextLaunchDateFromPrefDb(), Date(2026, 3, 10));
    EXPECT_TRUE(HasLine(0, 6, kUnableToFetch));
    Ctx().FixClock(Date(2026, 3, 10), 10, 0, 0);
    TxnReminderTimerUtil::SetNextLaunchDateToPrefDb();
    EXPECT_EQ(StoredNextDay(), "20260313");
    Ctx().SetFileManagerState(0);
    EXPECT_EQ(TxnReminderTimerUtil::GetNextLaunchDateFromPrefDb(), Date(2026, 3, 13));

    Ctx().CloseCompanyFile();
    EXPECT_FALSE(TxnReminderTimerUtil::CanProcessPromptAppMsg());
    TxnReminderTimerUtil::SetNextLaunchDateToPrefDb();
    EXPECT_FALSE(HasLine("TxnReminder::SetNextLaunchDateToPrefDb: Unable to save next launch date to pref db"));
}

TEST_F(LaunchScheduleTest, StoreFailuresAreLogged) {
    Ctx().ArmFault("DBPreferences.Set", Host::FaultKind::Fail);
    TxnReminderTimerUtil::SetNextLaunchDateToPrefDb();
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder::SetNextLaunchDateToPrefDb: Unable to save next launch date to pref db"));
    EXPECT_EQ(StoredNextDay(), "");

    Ctx().ArmFault("DBPreferences.Set", Host::FaultKind::Throw);
    TxnReminderTimerUtil::SetNextLaunchDateToPrefDb();
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:: Exception occured in SetNextLaunchDateToPrefDb API"));
}

TEST_F(LaunchScheduleTest, FailedReadWhileArmingLeavesNoTimer) {
    Schedule(1, 9);
    TxnReminderTimerUtil::StartTimer();
    ASSERT_EQ(Host::ArmedTimerCount(), 1);
    Ctx().ArmFault("DBPreferences.Get", Host::FaultKind::Throw);
    TxnReminderTimerUtil::StartTimer();
    EXPECT_EQ(Host::ArmedTimerCount(), 0);
    EXPECT_TRUE(HasLine(4, 5, kStartTimerException));

    // A failed read without a throw is no stored day: today.
    ClearLog();
    Ctx().ArmFault("DBPreferences.Get", Host::FaultKind::Fail);
    TxnReminderTimerUtil::StartTimer();
    EXPECT_EQ(SecondsUntilTimer(), 3600);
    EXPECT_TRUE(HasLine(0, 6, kUnableToFetch));
}

TEST_F(LaunchScheduleTest, PlatformTimerRefusalIsLogged) {
    Ctx().ArmFault("SetTimer", Host::FaultKind::Fail);
    TxnReminderTimerUtil::StartTimer();
    EXPECT_EQ(Host::ArmedTimerCount(), 0);
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder::StartTimer: Unable to start timer"));
    EXPECT_FALSE(HasLine(kStartTimerException));
}
