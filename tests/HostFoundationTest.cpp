#include <sstream>

#include "Date/DateType32.h"
#include "Host/HostContext.h"
#include "HostFixture.h"
#include "Platform/WinApi.h"
#include "Util/AutoPtr.h"
#include "Util/Ops.h"
#include "Util/TString.h"

using testsupport::Date;

TEST(DateType32Test, ArithmeticWeekDaysOrderAndTextAcrossMonthYearAndLeapDays) {
    struct Step {
        DateType32 from;
        int days;
        DateType32 to;
    };
    const Step steps[] = {
        {Date(2024, 2, 28), 1, Date(2024, 2, 29)},  {Date(2023, 2, 28), 1, Date(2023, 3, 1)},
        {Date(1900, 2, 28), 1, Date(1900, 3, 1)},   {Date(2000, 2, 28), 1, Date(2000, 2, 29)},
        {Date(2025, 12, 31), 1, Date(2026, 1, 1)},  {Date(2026, 3, 10), -40, Date(2026, 1, 29)},
        {Date(2001, 1, 1), -366, Date(2000, 1, 1)}, {Date(2024, 2, 1), 29, Date(2024, 3, 1)},
    };
    for (const Step& s : steps) {
        EXPECT_EQ(DateAdd(s.from, s.days), s.to) << s.from << " + " << s.days;
        EXPECT_EQ(DateMinusDate(s.to, s.from), s.days) << s.to << " - " << s.from;
        EXPECT_EQ(s.to.Compare(s.from) > 0, s.days > 0) << s.to;
        EXPECT_EQ(s.to.GetValue() > s.from.GetValue(), s.days > 0) << s.to;
    }
    EXPECT_FALSE(IsLeapYear(1900));
    EXPECT_TRUE(IsLeapYear(2000));

    // Sunday is 1, also before the epoch.
    EXPECT_EQ(DayOfWeek(Date(2026, 12, 6)), 1);
    EXPECT_EQ(DayOfWeek(Date(1969, 12, 31)), 4);
    for (int i = 0; i < 800; ++i) {
        const DateType32 d = DateAdd(Date(2024, 1, 1), i);
        EXPECT_EQ(DayOfWeek(DateAdd(d, 1)), DayOfWeek(d) % 7 + 1) << d;
    }

    // Fields are kept as set, even when they make no date.
    DateType32 odd;
    odd.SetYear(2024);
    odd.SetMonth(13);
    odd.SetDay(0);
    EXPECT_EQ(odd.GetMonth(), 13);
    EXPECT_FALSE(odd.IsValid());
    odd.SetZero();
    EXPECT_TRUE(odd.IsZero());

    for (const DateType32 d : {Date(2026, 3, 5), Date(999, 1, 1), DateType32()}) {
        std::stringstream s;
        s << d;
        DateType32 back(1, 1, 1);
        s >> back;
        EXPECT_FALSE(s.fail()) << s.str();
        EXPECT_EQ(back, d) << s.str();
    }
    std::ostringstream out;
    out << Date(2026, 3, 5);
    EXPECT_EQ(out.str(), "2026-03-05");
    for (const char* bad : {"2026/03/05", "yesterday", "2026-03", ""}) {
        std::istringstream in(bad);
        DateType32 d;
        in >> d;
        EXPECT_TRUE(in.fail()) << bad;
    }
}

TEST(HostClockTest, FixedClockDrivesTodayLocalTimeAndAdvance) {
    auto& ctx = Host::HostContext::Get();
    ctx.Reset();
    ctx.FixClock(Date(2026, 2, 28), 23, 59, 30);
    EXPECT_EQ(GetSystemDate(), Date(2026, 2, 28));
    SYSTEMTIME st{};
    GetLocalTime(&st);
    EXPECT_EQ(st.wHour, 23);
    EXPECT_EQ(st.wSecond, 30);
    EXPECT_EQ(st.wDayOfWeek, 6);  // Saturday, Sunday = 0 on this platform call
    ctx.AdvanceClock(45);
    EXPECT_EQ(GetSystemDate(), Date(2026, 3, 1));
    EXPECT_EQ(DateAndTimeToDate(GetMXSystemTime()), Date(2026, 3, 1));
    ctx.Reset();
}

TEST(HostStringTest, TextWithANulByteKeepsItsLength) {
    EXPECT_EQ(Util::TString(std::string("x\0y", 3)).length(), 3u);
    EXPECT_EQ(Util::TString("Net 30"), Util::TString(std::string("Net 30")));
}

namespace {
struct Counted {
    explicit Counted(int* deaths) : m_deaths(deaths) {}
    virtual ~Counted() { ++*m_deaths; }
    int* m_deaths;
};
} // namespace

TEST(AutoPtrTest, CopyTransfersOwnershipAndAssignmentReleasesOnce) {
    int deaths = 0;
    {
        Util::AutoPtr<Counted> a(new Counted(&deaths));
        Util::AutoPtr<Counted> b(a);
        EXPECT_EQ(a.Get(), b.Get());
        EXPECT_FALSE(a.Owns());
        a = a;  // self-assignment changes nothing
        Util::AutoPtr<Counted> c(new Counted(&deaths));
        c = b;  // c's own object goes, exactly once
        EXPECT_EQ(deaths, 1);
        EXPECT_FALSE(b.Owns());
    }
    EXPECT_EQ(deaths, 2);
}

TEST(LoggingTest, QualifiedNamesAndFormattedLinesReachSinks) {
    const std::pair<const char*, const char*> names[] = {
        {"void TxnReminderTimerUtil::StartTimer()", "TxnReminderTimerUtil::StartTimer"},
        {"bool Ns::TxnReminderEngine::DeleteReminderSet(TxnReminderStatusCode&, long unsigned int)",
         "TxnReminderEngine::DeleteReminderSet"},
        {"static std::vector<int> A::B(std::map<int, int>)", "A::B"},
        {"int main()", "main"},
    };
    for (const auto& [pretty, qualified] : names) EXPECT_EQ(Util::QualifiedFunctionName(pretty), qualified);

    auto& ctx = Host::HostContext::Get();
    ctx.Reset();
    std::vector<Util::LogRecord> lines;
    ctx.AddLogSink([&](const Util::LogRecord& r) { lines.push_back(r); });
    Util::Ops::MessageFunctor(Util::GetOps(), 4, 5, "File", 12, "C::F", "void C::F()")("x=%d %s", 7, "y");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].message, "x=7 y");
    EXPECT_EQ(lines[0].level, 4);
    EXPECT_EQ(lines[0].eventType, 5);
    EXPECT_EQ(lines[0].function, "C::F");
    ctx.Reset();
}

// The crash tests of the command pick their points from this count.
TEST(FaultInjectionTest, NthHitFailsThrowsOrCounts) {
    auto& ctx = Host::HostContext::Get();
    ctx.Reset();
    ctx.ArmFault("p", Host::FaultKind::Fail, 2);
    EXPECT_FALSE(Host::FaultFails("p"));
    EXPECT_TRUE(Host::FaultFails("p"));
    EXPECT_FALSE(Host::FaultFails("p"));  // one time only
    ctx.ArmFault("q", Host::FaultKind::Throw, 1, 2);
    EXPECT_THROW(Host::FaultFails("q"), std::runtime_error);
    EXPECT_THROW(Host::FaultFails("q"), std::runtime_error);
    EXPECT_NO_THROW(Host::FaultFails("q"));
    EXPECT_EQ(ctx.FaultPointHits(), 6);
    ctx.Reset();
}
