#pragma once

#include <cstdint>
#include <iosfwd>

#include "Util/HostApi.h"

// A calendar date packed as year (16 bits), month (8) and day (8), so that
// comparing the packed unsigned 32-bit values compares dates. Setters store
// what they are given (month 13 or day 0 included), truncated to the field's
// width; only the arithmetic below needs a real date.
class HOST_API DateType32 {
public:
    DateType32() = default;
    DateType32(int month, int day, int year) { Set(month, day, year); }

    void Set(int month, int day, int year);
    void SetYear(int year);
    void SetMonth(int month);
    void SetDay(int day);
    int GetYear() const { return static_cast<int>(m_value >> 16); }
    int GetMonth() const { return static_cast<int>((m_value >> 8) & 0xFFu); }
    int GetDay() const { return static_cast<int>(m_value & 0xFFu); }
    void SetZero() { m_value = 0; }
    bool IsZero() const { return m_value == 0; }
    bool IsValid() const;

    // Negative when this date is earlier than the other, 0 when equal.
    int Compare(const DateType32& other) const;
    std::uint32_t GetValue() const { return m_value; }

    bool operator==(const DateType32& o) const { return m_value == o.m_value; }
    bool operator!=(const DateType32& o) const { return m_value != o.m_value; }
    bool operator<(const DateType32& o) const { return m_value < o.m_value; }
    bool operator>(const DateType32& o) const { return m_value > o.m_value; }
    bool operator<=(const DateType32& o) const { return m_value <= o.m_value; }
    bool operator>=(const DateType32& o) const { return m_value >= o.m_value; }

private:
    std::uint32_t m_value = 0;
};

// Days since 1970-01-01 of a valid date, and back.
HOST_API long DateToDayNumber(const DateType32& date);
HOST_API DateType32 DayNumberToDate(long dayNumber);

HOST_API DateType32 DateAdd(const DateType32& date, long days);
HOST_API DateType32 DateSub(const DateType32& date, long days);
// Days from b to a (positive when a is later).
HOST_API long DateMinusDate(const DateType32& a, const DateType32& b);
// 1 = Sunday, 2 = Monday, ..., 7 = Saturday.
HOST_API int DayOfWeek(const DateType32& date);
HOST_API bool IsLeapYear(int year);
HOST_API int DaysInMonth(int month, int year);

// A moment in the host's local time: seconds since 1970-01-01 00:00:00,
// with no time zone attached.
using DateAndTime = std::int64_t;

HOST_API DateType32 GetSystemDate();          // today, from the host clock
HOST_API DateAndTime GetMXSystemTime();       // now, from the host clock
HOST_API DateType32 DateAndTimeToDate(DateAndTime moment);
HOST_API DateAndTime MakeDateAndTime(const DateType32& date, int hour, int minute, int second);

// Text form YYYY-MM-DD; the input operator reads back what the output
// operator writes and sets failbit on anything else.
HOST_API std::ostream& operator<<(std::ostream& os, const DateType32& date);
HOST_API std::istream& operator>>(std::istream& is, DateType32& date);
