#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "HostFixture.h"
#include "TxnReminderTimerUtil.h"

namespace {

using testsupport::Date;
using Util = TxnReminderTimerUtil;

std::string CompactFailure(const std::string& text) {
    try {
        Util::StringToDate(text);
    } catch (const std::invalid_argument& e) {
        return std::string("invalid_argument: ") + e.what();
    } catch (const std::out_of_range& e) {
        return std::string("out_of_range: ") + e.what();
    }
    return "none";
}

std::string StatementFailure(const std::string& text) {
    try {
        Util::StatementStringToDate(text);
    } catch (const std::invalid_argument& e) {
        return std::string("invalid_argument: ") + e.what();
    } catch (const std::out_of_range& e) {
        return std::string("out_of_range: ") + e.what();
    }
    return "none";
}

TEST(DateTextTest, CompactFormRoundTrips) {
    EXPECT_EQ(Util::DateToString(Date(2024, 3, 5)), "20240305");
    EXPECT_EQ(Util::DateToString(Date(2024, 12, 31)), "20241231");
    EXPECT_EQ(Util::DateToString(Date(1970, 1, 1)), "19700101");
    for (const DateType32& d : {Date(2024, 2, 29), Date(2026, 10, 9), Date(1999, 1, 31)}) {
        EXPECT_EQ(Util::StringToDate(Util::DateToString(d)), d);
    }
}

TEST(DateTextTest, YearIsNotPaddedSoShortYearsReadBackShifted) {
    EXPECT_EQ(Util::DateToString(Date(999, 1, 1)), "9990101");
    const DateType32 back = Util::StringToDate("9990101");
    EXPECT_EQ(back.GetYear(), 9990);
    EXPECT_EQ(back.GetMonth(), 10);
    EXPECT_EQ(back.GetDay(), 1);
}

TEST(DateTextTest, CompactFieldsSkipBlanksAndStopAtNonDigits) {
    EXPECT_EQ(Util::StringToDate("2024 3 5"), Date(2024, 3, 5));
    EXPECT_EQ(Util::StringToDate("20240305 and more"), Date(2024, 3, 5));
    EXPECT_EQ(Util::StringToDate("2024+3+5"), Date(2024, 3, 5));
    const DateType32 odd = Util::StringToDate("20241300");
    EXPECT_EQ(odd.GetMonth(), 13);
    EXPECT_EQ(odd.GetDay(), 0);
}

TEST(DateTextTest, CompactFormFailuresCarryTheirOwnTexts) {
    EXPECT_EQ(CompactFailure(""), "invalid_argument: invalid stoi argument");
    EXPECT_EQ(CompactFailure("202"), "out_of_range: invalid string position");
    EXPECT_EQ(CompactFailure("2024"), "invalid_argument: invalid stoi argument");
    EXPECT_EQ(CompactFailure("2024x"), "invalid_argument: invalid stoi argument");
    EXPECT_EQ(CompactFailure("20243"), "out_of_range: invalid string position");
    EXPECT_EQ(CompactFailure("202403"), "invalid_argument: invalid stoi argument");
    EXPECT_EQ(CompactFailure("2024ab05"), "invalid_argument: invalid stoi argument");
    EXPECT_EQ(CompactFailure("abcd0305"), "invalid_argument: invalid stoi argument");
    EXPECT_EQ(CompactFailure("2024-+05"), "invalid_argument: invalid stoi argument");
}

TEST(DateTextTest, StatementFormSkipsItsSeparators) {
    EXPECT_EQ(Util::StatementStringToDate("2024-03-05"), Date(2024, 3, 5));
    EXPECT_EQ(Util::StatementStringToDate("2024/03/05"), Date(2024, 3, 5));
    EXPECT_EQ(Util::StatementStringToDate("2024x03y05"), Date(2024, 3, 5));
    EXPECT_EQ(Util::StatementStringToDate("2024-3-05"), Date(2024, 3, 5));
    EXPECT_EQ(Util::StatementStringToDate("1970-01-01 00:00:00"), Date(1970, 1, 1));
}

TEST(DateTextTest, StatementFormFailuresCarryTheirOwnTexts) {
    EXPECT_EQ(StatementFailure("2024"), "out_of_range: invalid string position");
    EXPECT_EQ(StatementFailure("2024-"), "invalid_argument: invalid stoi argument");
    EXPECT_EQ(StatementFailure("2024-03"), "out_of_range: invalid string position");
    EXPECT_EQ(StatementFailure("2024-03-"), "invalid_argument: invalid stoi argument");
    EXPECT_EQ(StatementFailure("2024-ab-05"), "invalid_argument: invalid stoi argument");
}

TEST(DateTextTest, SystemTimeKeepsOnlyTheDate) {
    SYSTEMTIME st{};
    st.wYear = 2026;
    st.wMonth = 3;
    st.wDayOfWeek = 2;
    st.wDay = 10;
    st.wHour = 23;
    st.wMinute = 59;
    EXPECT_EQ(Util::SystemTimeToDate(st), Date(2026, 3, 10));
}

} // namespace
