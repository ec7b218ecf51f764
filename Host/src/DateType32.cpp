#include "Date/DateType32.h"

#include <istream>
#include <ostream>

#include "Host/HostContext.h"
#include "Platform/WinApi.h"

namespace {
// Civil-date to day-count conversion for the proleptic Gregorian calendar.
long DaysFromCivil(long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long>(doe) - 719468;
}

void CivilFromDays(long z, long& y, unsigned& m, unsigned& d) {
    z += 719468;
    const long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<long>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp + (mp < 10 ? 3 : -9);
    y += m <= 2;
}
} // namespace

void DateType32::Set(int month, int day, int year) {
    m_value = (static_cast<std::uint32_t>(year & 0xFFFF) << 16) | (static_cast<std::uint32_t>(month & 0xFF) << 8) |
              static_cast<std::uint32_t>(day & 0xFF);
}
void DateType32::SetYear(int year) { Set(GetMonth(), GetDay(), year); }
void DateType32::SetMonth(int month) { Set(month, GetDay(), GetYear()); }
void DateType32::SetDay(int day) { Set(GetMonth(), day, GetYear()); }

bool DateType32::IsValid() const {
    const int m = GetMonth();
    return GetYear() > 0 && m >= 1 && m <= 12 && GetDay() >= 1 && GetDay() <= DaysInMonth(m, GetYear());
}

int DateType32::Compare(const DateType32& other) const {
    return m_value < other.m_value ? -1 : (m_value > other.m_value ? 1 : 0);
}

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int month, int year) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) return 31;
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

long DateToDayNumber(const DateType32& date) {
    // Out-of-range fields are carried over rather than rejected, so that the
    // arithmetic of a date the user typed never fails.
    int month = date.GetMonth();
    long year = date.GetYear();
    if (month < 1) month = 1;
    year += (month - 1) / 12;
    month = (month - 1) % 12 + 1;
    return DaysFromCivil(year, static_cast<unsigned>(month), 1) + date.GetDay() - 1;
}

DateType32 DayNumberToDate(long dayNumber) {
    long y;
    unsigned m, d;
    CivilFromDays(dayNumber, y, m, d);
    return DateType32(static_cast<int>(m), static_cast<int>(d), static_cast<int>(y));
}

DateType32 DateAdd(const DateType32& date, long days) { return DayNumberToDate(DateToDayNumber(date) + days); }
DateType32 DateSub(const DateType32& date, long days) { return DayNumberToDate(DateToDayNumber(date) - days); }
long DateMinusDate(const DateType32& a, const DateType32& b) { return DateToDayNumber(a) - DateToDayNumber(b); }

int DayOfWeek(const DateType32& date) {
    // 1970-01-01 was a Thursday (5 when Sunday is 1).
    const long n = DateToDayNumber(date);
    const long w = ((n % 7) + 7 + 4) % 7;  // 0 = Sunday
    return static_cast<int>(w) + 1;
}

DateAndTime MakeDateAndTime(const DateType32& date, int hour, int minute, int second) {
    return static_cast<DateAndTime>(DateToDayNumber(date)) * 86400 + hour * 3600 + minute * 60 + second;
}

DateType32 DateAndTimeToDate(DateAndTime moment) {
    long days = static_cast<long>(moment / 86400);
    if (moment % 86400 < 0) --days;
    return DayNumberToDate(days);
}

DateAndTime GetMXSystemTime() { return Host::HostContext::Get().Now(); }
DateType32 GetSystemDate() { return DateAndTimeToDate(GetMXSystemTime()); }

void GetLocalTime(SYSTEMTIME* out) {
    const DateAndTime now = GetMXSystemTime();
    const DateType32 day = DateAndTimeToDate(now);
    const long secs = static_cast<long>(now - MakeDateAndTime(day, 0, 0, 0));
    out->wYear = static_cast<WORD>(day.GetYear());
    out->wMonth = static_cast<WORD>(day.GetMonth());
    out->wDay = static_cast<WORD>(day.GetDay());
    out->wDayOfWeek = static_cast<WORD>(DayOfWeek(day) - 1);
    out->wHour = static_cast<WORD>(secs / 3600);
    out->wMinute = static_cast<WORD>(secs / 60 % 60);
    out->wSecond = static_cast<WORD>(secs % 60);
    out->wMilliseconds = 0;
}

std::ostream& operator<<(std::ostream& os, const DateType32& date) {
    const char fill = os.fill('0');
    os.width(4);
    os << date.GetYear() << '-';
    os.width(2);
    os << date.GetMonth() << '-';
    os.width(2);
    os << date.GetDay();
    os.fill(fill);
    return os;
}

std::istream& operator>>(std::istream& is, DateType32& date) {
    int y = 0, m = 0, d = 0;
    char s1 = 0, s2 = 0;
    if (is >> y >> s1 >> m >> s2 >> d) {
        if (s1 == '-' && s2 == '-' && y >= 0 && y <= 0xFFFF && m >= 0 && m <= 0xFF && d >= 0 && d <= 0xFF) {
            date.Set(m, d, y);
        } else {
            is.setstate(std::ios::failbit);
        }
    }
    return is;
}
