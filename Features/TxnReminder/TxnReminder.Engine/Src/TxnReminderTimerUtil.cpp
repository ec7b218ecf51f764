#include "TxnReminderTimerUtil.h"

#include <climits>
#include <stdexcept>

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

} // namespace

TxnReminderTimerUtil::TxnReminderTimerUtil() = default;

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
