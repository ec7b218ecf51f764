#include "TxnReminderTimerUtil.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <mutex>
#include <stdexcept>

#include "Config/HostServices.h"
#include "DB/DBManager.h"
#include "InvoiceReminderPrompt.h"
#include "Prefs/PrefsTag.h"
#include "TxnReminderUtil.h"

#define TXNR_SOURCE_FILE TXNR_SRC_DIR "TxnReminderTimerUtil"

namespace {

// The texts of these failures are what callers and logs have always seen,
// whatever the standard library on this platform would word them.
std::string Field(const std::string& text, std::size_t pos, std::size_t count) {
    if (pos > text.size()) throw std::out_of_range("invalid string position");
    return text.substr(pos, count);
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Base-10 integer at the start of the field: leading blanks skipped, an
// optional sign, digits up to the first non-digit; the rest is ignored.
int ReadInt(const std::string& field) {
    std::size_t i = 0;
    while (i < field.size() && IsBlank(field[i])) ++i;
    bool negative = false;
    if (i < field.size() && (field[i] == '+' || field[i] == '-')) negative = field[i++] == '-';
    const std::size_t firstDigit = i;
    long long value = 0;
    for (; i < field.size() && field[i] >= '0' && field[i] <= '9'; ++i) {
        value = value * 10 + (field[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) throw std::out_of_range("stoi argument out of range");
    }
    if (i == firstDigit) throw std::invalid_argument("invalid stoi argument");
    if (negative) value = -value;
    if (value > INT_MAX || value < INT_MIN) throw std::out_of_range("stoi argument out of range");
    return static_cast<int>(value);
}

std::string TwoDigits(int value) { return (value < 10 ? "0" : "") + std::to_string(value); }

const char* const kNextLaunchDatePref = "invoiceReminderNextPromptLaunchDate";
const unsigned long kDefaultInitialDelaySeconds = 600;
// The platform timer takes 32-bit milliseconds; a longer delay is cut to the
// longest the timer can hold instead of wrapping round to a short one.
const unsigned long kMaxTimerDelaySeconds = UINT_MAX / 1000;

// The one armed timer; 0 when none is.
std::uint32_t g_timerId = 0;

SYSTEMTIME LocalNow() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return now;
}

// A file manager the reminder work may use: one is open and not re-indexing.
bool HasUsableFileMgr() {
    DBMgr::IDBFileMgr* fileMgr = DBMgr::DBManager::GetActiveFileMgr();
    return fileMgr != nullptr && fileMgr->GetState() != 1;
}

void KillTimerIfArmed() {
    if (g_timerId == 0) return;
    KillTimer(nullptr, g_timerId);
    g_timerId = 0;
}

} // namespace

TxnReminderTimerUtil::TxnReminderTimerUtil() = default;

// ---------------------------------------------------------------------------
// Launch scheduling.

bool TxnReminderTimerUtil::CanProcessPromptAppMsg() {
    if (!IsServerMode(0) && SystemIsOpen() && !SystemIsClosing() && HasUsableFileMgr()) return true;
    TXNR_MILESTONE("TxnReminder::System is closing or no active file manager and so skip DB operation");
    return false;
}

bool TxnReminderTimerUtil::IsTimerLaunchDateToday() {
    return LocalNow().wHour < PrefGetPrefHandle()->GetPaymentReminderPromptTime();
}

unsigned short TxnReminderTimerUtil::GetLastDayOfTheMonth(unsigned short month, unsigned short year) {
    switch (month) {
    case 2:
        return IsLeapYear(year) ? 29 : 28;
    case 4:
    case 6:
    case 9:
    case 11:
        return 30;
    default:
        return 31;
    }
}

unsigned short TxnReminderTimerUtil::GetIntervalForNextWeeklySchedule(DateType32 today, unsigned short weekDay) {
    const int day = DayOfWeek(today);
    if (day < weekDay) return static_cast<unsigned short>(weekDay - day);
    if (day > weekDay) return static_cast<unsigned short>(weekDay - day + 7);
    return IsTimerLaunchDateToday() ? 0 : 7;
}

unsigned short TxnReminderTimerUtil::GetIntervalForNextMonthlySchedule(DateType32 today, unsigned short monthDate) {
    const int day = today.GetDay();
    const int month = today.GetMonth();
    const int year = today.GetYear();
    const int monthLength = GetLastDayOfTheMonth(static_cast<unsigned short>(month), static_cast<unsigned short>(year));
    if (day < monthDate) {
        // A date the month does not have falls on its last day. When that is
        // today and its prompt hour has come, the next prompt is next month's
        // (as on the chosen date itself), not today's again.
        int target = monthDate;
        if (monthDate > 28 && monthDate > monthLength) target = monthLength;
        if (target > day || IsTimerLaunchDateToday()) return static_cast<unsigned short>(target - day);
    }
    if (day == monthDate && IsTimerLaunchDateToday()) return 0;
    const int nextMonthLength =
        month == 12 ? 31
                    : GetLastDayOfTheMonth(static_cast<unsigned short>(month + 1), static_cast<unsigned short>(year));
    return static_cast<unsigned short>((monthLength - day) + std::min<int>(nextMonthLength, monthDate));
}

unsigned long TxnReminderTimerUtil::GetInitialDelayInSecondsFromDCE() {
    TXNR_MILESTONE("TxnReminder::GetInitialDelayInSecondsFromDCE: Getting initial delay for timer from DCE");
    try {
        std::string value;
        FileSystem::DCE::GetValue2("InvoicePaymentReminders", "InitialDelayInSeconds", value);
        TXNR_MILESTONE("TxnReminder::GetInitialDelayInSecondsFromDCE: Value of initial delay for timer fetched from "
                       "DCE: %s",
                       value.c_str());
        if (value.empty()) return kDefaultInitialDelaySeconds;
        return std::stoul(value, nullptr, 10);
    } catch (...) {
        TXNR_FAILURE("TxnReminder::GetInitialDelayInSecondsFromDCE: Unable to fetch initial delay from DCE");
        return kDefaultInitialDelaySeconds;
    }
}

DateType32 TxnReminderTimerUtil::GetNextLaunchDateFromPrefDb() {
    TXNR_MILESTONE("TxnReminder::GetNextLaunchDateFromPrefDb: Getting next launch date from pref db");
    if (HasUsableFileMgr()) {
        std::string text;
        const Util::Status read = DBPreferences::GetCompanyDBPreference(kNextLaunchDatePref, text);
        if (read.Succeeded() && read.GetStatusCode() != Util::Status::kRecordNotFound) {
            // A damaged or hand-edited day must not stop the daily prompt for
            // good: what cannot be read as a calendar day counts as today, and
            // the next prompt stores a sound one again.
            try {
                const DateType32 stored = StringToDate(text);
                if (stored.IsValid()) return stored;
            } catch (const std::exception&) {
            }
        }
    }
    TXNR_MILESTONE("TxnReminder::GetNextLaunchDateFromPrefDb: Unable to fetch next launch date from pref db");
    return SystemTimeToDate(LocalNow());
}

void TxnReminderTimerUtil::SetNextLaunchDateToPrefDb() {
    try {
        TXNR_MILESTONE("TxnReminder::SetNextLaunchDateToPrefDb: Setting next launch date to pref db");
        const SYSTEMTIME now = LocalNow();
        const DateType32 today = SystemTimeToDate(now);
        PrefsTag* prefs = PrefGetPrefHandle();
        long interval = 0;
        switch (prefs->GetPaymentReminderScheduleType()) {
        case 2:
            interval = GetIntervalForNextWeeklySchedule(today, prefs->GetPaymentReminderWeekDay());
            break;
        case 3:
            interval = GetIntervalForNextMonthlySchedule(today, prefs->GetPaymentReminderMonthDate());
            break;
        default:
            // Daily, and any schedule this engine does not know: keeping
            // today after the hour would bring the prompt back within minutes.
            interval = now.wHour < prefs->GetPaymentReminderPromptTime() ? 0 : 1;
            break;
        }
        const std::string next = DateToString(DateAdd(today, interval));
        if (HasUsableFileMgr() && !DBPreferences::SetCompanyDBPreference(kNextLaunchDatePref, next).Succeeded()) {
            TXNR_FAILURE("TxnReminder::SetNextLaunchDateToPrefDb: Unable to save next launch date to pref db");
        }
    } catch (...) {
        TXNR_FAILURE("TxnReminder:: Exception occured in SetNextLaunchDateToPrefDb API");
    }
}

unsigned long TxnReminderTimerUtil::GetNextLaunchDelayInSeconds() {
    const long promptHour = PrefGetPrefHandle()->GetPaymentReminderPromptTime();
    const DateType32 nextDay = GetNextLaunchDateFromPrefDb();
    const SYSTEMTIME now = LocalNow();
    const DateType32 today = SystemTimeToDate(now);
    const long hour = now.wHour;
    const long minute = now.wMinute;
    const long second = now.wSecond;
    long delay = 0;
    if (today.Compare(nextDay) < 0) {
        TXNR_MILESTONE("TxnReminder::GetNextLaunchDelayInSeconds: Launch date in future");
        const long days = DateMinusDate(nextDay, today);
        delay = ((days * 24 - hour + promptHour) * 60 - minute) * 60 - second;
    } else {
        TXNR_MILESTONE("TxnReminder::GetNextLaunchDelayInSeconds: Launch date today");
        if (promptHour > hour) delay = ((promptHour - hour) * 60 - minute) * 60 - second;
    }
    // Only a prompt hour outside the day could make it negative: prompt now.
    return delay > 0 ? static_cast<unsigned long>(delay) : 0;
}

void TxnReminderTimerUtil::StartTimer() {
    try {
        TXNR_TRACE("TxnReminder::StartTimer: Entering function");
        KillTimerIfArmed();
        // Taken once per process (again after a reset of the process caches).
        static std::mutex guard;
        static unsigned long initialDelay = 0;
        static unsigned takenAt = 0;
        static bool taken = false;
        unsigned long delayFloor = 0;
        {
            const std::lock_guard<std::mutex> lock(guard);
            const unsigned generation = TxnReminderUtil::ProcessCacheGeneration();
            if (!taken || takenAt != generation) {
                initialDelay = GetInitialDelayInSecondsFromDCE();
                takenAt = generation;
                taken = true;
            }
            delayFloor = initialDelay;
        }
        unsigned long delay = std::max(GetNextLaunchDelayInSeconds(), delayFloor);
        delay = std::min(delay, kMaxTimerDelaySeconds);
        TXNR_MILESTONE("TxnReminder::StartTimer: Starting Timer for %lu seconds", delay);
        g_timerId = static_cast<std::uint32_t>(
            SetTimer(nullptr, 0, static_cast<UINT>(delay * 1000), &TxnReminderTimerUtil::OnTimerElapsed));
        if (g_timerId == 0) TXNR_FAILURE("TxnReminder::StartTimer: Unable to start timer");
        TXNR_TRACE("TxnReminder::StartTimer: Exiting function");
    } catch (...) {
        TXNR_FAILURE("TxnReminder:: Exception occured in StartTimer API");
    }
}

void TxnReminderTimerUtil::KillRunningTimerIfAny() { KillTimerIfArmed(); }

void TxnReminderTimerUtil::OnTimerElapsed(HWND, UINT, UINT_PTR, DWORD) {
    TXNR_MILESTONE("TxnReminder::OnTimerElapsed: Timer elapsed");
    KillTimerIfArmed();
    // Belongs to the host's message queue from here on.
    new InvoiceReminderPrompt();
}

// ---------------------------------------------------------------------------
// Date texts.

std::string TxnReminderTimerUtil::DateToString(DateType32 date) {
    return std::to_string(date.GetYear()) + TwoDigits(date.GetMonth()) + TwoDigits(date.GetDay());
}

DateType32 TxnReminderTimerUtil::StringToDate(std::string text) {
    DateType32 date;
    date.SetYear(ReadInt(Field(text, 0, 4)));
    date.SetMonth(ReadInt(Field(text, 4, 2)));
    date.SetDay(ReadInt(Field(text, 6, 2)));
    return date;
}

DateType32 TxnReminderTimerUtil::StatementStringToDate(std::string text) {
    // The separators after the year and the month are skipped unread.
    DateType32 date;
    date.SetYear(ReadInt(Field(text, 0, 4)));
    date.SetMonth(ReadInt(Field(text, 5, 2)));
    date.SetDay(ReadInt(Field(text, 8, 2)));
    return date;
}

DateType32 TxnReminderTimerUtil::SystemTimeToDate(SYSTEMTIME systemTime) {
    DateType32 date;
    date.SetDay(systemTime.wDay);
    date.SetMonth(systemTime.wMonth);
    date.SetYear(systemTime.wYear);
    return date;
}
