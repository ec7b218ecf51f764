#pragma once

#include <string>

#include "Date/DateType32.h"
#include "Platform/WinApi.h"
#include "TxnReminderDefines.h"

// The daily prompt's schedule and its one platform timer, plus the date
// texts the schedule and the statement rules keep.
//
// The next prompt day lives in the company file (preference
// "invoiceReminderNextPromptLaunchDate", compact date text) and only moves
// forward after a prompt. The timer is armed for the prompt hour of that day,
// never sooner than the initial delay, and fires once.
//
// Date texts: the compact form "20240305" and the statement form "2024-03-05"
// (any separators). The parsers check no more than reading the numbers needs
// and throw std::out_of_range ("invalid string position", "stoi argument out
// of range") or std::invalid_argument ("invalid stoi argument").
class TXNREMINDER_API TxnReminderTimerUtil {
public:
    // Whether the host may prompt and touch the company file now.
    static bool CanProcessPromptAppMsg();
    // Shortest delay of any timer, from remote configuration; 600 by default.
    static unsigned long GetInitialDelayInSecondsFromDCE();
    // The stored next prompt day; today when there is none or it cannot be read.
    static DateType32 GetNextLaunchDateFromPrefDb();
    // Computes the next prompt day by the user's schedule and stores it.
    static void SetNextLaunchDateToPrefDb();
    // Seconds from now to the prompt hour of the stored next prompt day.
    static unsigned long GetNextLaunchDelayInSeconds();
    // (Re)arms the one timer.
    static void StartTimer();
    static void KillRunningTimerIfAny();
    // Timer callback: disarms the timer and queues the prompt message.
    static void OnTimerElapsed(HWND window, UINT message, UINT_PTR timerId, DWORD tickCount);

    static std::string DateToString(DateType32 date);
    static DateType32 StringToDate(std::string text);
    static DateType32 StatementStringToDate(std::string text);
    static DateType32 SystemTimeToDate(SYSTEMTIME systemTime);

private:
    TxnReminderTimerUtil();

    // Days from today to the next prompt day of a weekly or monthly schedule.
    static unsigned short GetIntervalForNextWeeklySchedule(DateType32 today, unsigned short weekDay);
    static unsigned short GetIntervalForNextMonthlySchedule(DateType32 today, unsigned short monthDate);
    static unsigned short GetLastDayOfTheMonth(unsigned short month, unsigned short year);
    // True while today's prompt hour is still to come.
    static bool IsTimerLaunchDateToday();
};
