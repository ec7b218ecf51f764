#pragma once

#include <string>

#include "Date/DateType32.h"
#include "Platform/WinApi.h"
#include "TxnReminderDefines.h"

// Dates as the prompt schedule and the statement rules keep them as text:
// the compact form "20240305" and the statement form "2024-03-05" (any
// separators). The parsers check no more than reading the numbers needs and
// throw std::out_of_range ("invalid string position", "stoi argument out of
// range") or std::invalid_argument ("invalid stoi argument").
class TXNREMINDER_API TxnReminderTimerUtil {
public:
    static std::string DateToString(DateType32 date);
    static DateType32 StringToDate(std::string text);
    static DateType32 StatementStringToDate(std::string text);
    static DateType32 SystemTimeToDate(SYSTEMTIME systemTime);

private:
    TxnReminderTimerUtil();
};
