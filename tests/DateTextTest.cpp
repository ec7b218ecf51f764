// Dates as texts: the compact form of the stored next prompt day and the
// statement form of the e-mail list's preparation day.

#include "ConfigTreeSupport.h"
#include "TxnReminderTimerUtil.h"

namespace {

using testsupport::Date;
using testsupport::Outcome;
using Util = TxnReminderTimerUtil;

const char* const kBadNumber = "invalid_argument: invalid stoi argument";
const char* const kTooShort = "out_of_range: invalid string position";

TEST(DateTextTest, CompactFormWritesTheYearUnpadded) {
    const std::pair<DateType32, const char*> cases[] = {
        {Date(2024, 3, 5), "20240305"}, {Date(2024, 12, 31), "20241231"}, {Date(1970, 1, 1), "19700101"},
        {Date(2024, 2, 29), "20240229"}, {Date(2026, 10, 9), "20261009"}, {Date(999, 1, 1), "9990101"},
    };
    for (const auto& [date, text] : cases) EXPECT_EQ(Util::DateToString(date), text);
}

TEST(DateTextTest, ParsersReadFieldsLenientlyAndThrowTheirOwnTexts) {
    struct Case {
        bool statement;
        const char* text;
        const char* want;
    } cases[] = {
        // Written texts read back, except a short year, which comes back shifted.
        {false, "20240305", "2024-03-05"}, {false, "20241231", "2024-12-31"}, {false, "20240229", "2024-02-29"},
        {false, "19700101", "1970-01-01"}, {false, "20261009", "2026-10-09"}, {false, "9990101", "9990-10-01"},
        // Fields skip blanks and signs, stop at a non-digit and are not checked.
        {false, "2024 3 5", "2024-03-05"}, {false, "20240305 and more", "2024-03-05"},
        {false, "2024+3+5", "2024-03-05"}, {false, "20241300", "2024-13-00"},
        {false, "", kBadNumber}, {false, "202", kTooShort}, {false, "2024", kBadNumber}, {false, "2024x", kBadNumber},
        {false, "20243", kTooShort}, {false, "202403", kBadNumber}, {false, "2024ab05", kBadNumber},
        {false, "abcd0305", kBadNumber}, {false, "2024-+05", kBadNumber},
        // The statement form skips one separator of any kind.
        {true, "2024-03-05", "2024-03-05"}, {true, "2024/03/05", "2024-03-05"}, {true, "2024x03y05", "2024-03-05"},
        {true, "2024-3-05", "2024-03-05"}, {true, "1970-01-01 00:00:00", "1970-01-01"},
        {true, "2024", kTooShort}, {true, "2024-", kBadNumber}, {true, "2024-03", kTooShort},
        {true, "2024-03-", kBadNumber}, {true, "2024-ab-05", kBadNumber},
    };
    for (const Case& c : cases) {
        const std::string text = c.text;
        EXPECT_EQ(Outcome([&] { return c.statement ? Util::StatementStringToDate(text) : Util::StringToDate(text); }),
                  c.want)
            << (c.statement ? "statement " : "compact ") << '"' << text << '"';
    }
}

} // namespace
