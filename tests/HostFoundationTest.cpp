#include <sstream>

#include "Date/DateType32.h"
#include "Host/HostContext.h"
#include "HostFixture.h"
#include "Platform/WinApi.h"
#include "Util/AutoPtr.h"
#include "Util/Ops.h"
#include "Util/TString.h"

using testsupport::Date;

TEST(DateType32Test, ArithmeticAcrossMonthYearAndLeapDays) {
    EXPECT_EQ(DateAdd(Date(2024, 2, 28), 1), Date(2024, 2, 29));
    EXPECT_EQ(DateAdd(Date(2023, 2, 28), 1), Date(2023, 3, 1));
    EXPECT_EQ(DateAdd(Date(2025, 12, 31), 1), Date(2026, 1, 1));
    EXPECT_EQ(DateSub(Date(2026, 1, 1), 1), Date(2025, 12, 31));
    EXPECT_EQ(DateAdd(Date(2026, 3, 10), -40), Date(2026, 1, 29));
    EXPECT_EQ(DateMinusDate(Date(2026, 3, 1), Date(2026, 2, 1)), 28);
    EXPECT_EQ(DateMinusDate(Date(2024, 3, 1), Date(2024, 2, 1)), 29);
    EXPECT_EQ(DateMinusDate(Date(2000, 1, 1), Date(2001, 1, 1)), -366);
    EXPECT_TRUE(IsLeapYear(2000));
    EXPECT_FALSE(IsLeapYear(1900));
    EXPECT_TRUE(IsLeapYear(2024));
    EXPECT_FALSE(IsLeapYear(2026));
}

TEST(DateType32Test, DayOfWeekStartsSundayAtOne) {
    EXPECT_EQ(DayOfWeek(Date(2026, 12, 6)), 1);  // a Sunday
    EXPECT_EQ(DayOfWeek(Date(2026, 12, 7)), 2);
    EXPECT_EQ(DayOfWeek(Date(2026, 12, 12)), 7);
    EXPECT_EQ(DayOfWeek(Date(1969, 12, 31)), 4);  // before the epoch too
    for (int i = 0; i < 800; ++i) {
        const DateType32 d = DateAdd(Date(2024, 1, 1), i);
        EXPECT_EQ(DayOfWeek(DateAdd(d, 7)), DayOfWeek(d));
        EXPECT_EQ(DayOfWeek(DateAdd(d, 1)), DayOfWeek(d) % 7 + 1);
    }
}

TEST(DateType32Test, ComparesAsPackedUnsignedAndKeepsRawFields) {
    EXPECT_LT(Date(2025, 12, 31).Compare(Date(2026, 1, 1)), 0);
    EXPECT_GT(Date(2026, 1, 2).Compare(Date(2026, 1, 1)), 0);
    EXPECT_EQ(Date(2026, 1, 1).Compare(Date(2026, 1, 1)), 0);
    EXPECT_LT(Date(2026, 1, 1).GetValue(), Date(2026, 1, 2).GetValue());
    DateType32 odd;
    odd.SetYear(2024);
    odd.SetMonth(13);
    odd.SetDay(0);
    EXPECT_EQ(odd.GetMonth(), 13);
    EXPECT_EQ(odd.GetDay(), 0);
    EXPECT_FALSE(odd.IsValid());
    odd.SetZero();
    EXPECT_TRUE(odd.IsZero());
}

TEST(DateType32Test, StreamFormReadsBackAndRejectsGarbage) {
    for (const DateType32 d : {Date(2026, 3, 5), Date(999, 1, 1), DateType32()}) {
        std::stringstream s;
        s << d;
        DateType32 back(1, 1, 1);
        s >> back;
        EXPECT_FALSE(s.fail()) << s.str();
        EXPECT_EQ(back, d) << s.str();
    }
    std::stringstream out;
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

TEST(HostStringTest, CopiesShareTextAndEmptyIsEmpty) {
    Util::TString a("Net 30");
    Util::TString b = a;
    EXPECT_TRUE(b.SharesTextWith(a));
    EXPECT_EQ(b, Util::TString(std::string("Net 30")));
    EXPECT_TRUE(Util::TString("").empty());
    Util::TString c(std::string("x\0y", 3));
    EXPECT_EQ(c.length(), 3u);
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
        EXPECT_TRUE(b.Owns());
        a = a;  // self-assignment changes nothing
        EXPECT_EQ(deaths, 0);
        Util::AutoPtr<Counted> c(new Counted(&deaths));
        c = b;  // c's own object goes, exactly once
        EXPECT_EQ(deaths, 1);
        EXPECT_FALSE(b.Owns());
    }
    EXPECT_EQ(deaths, 2);
}

TEST(LoggingTest, QualifiedNamesAndFormattedLinesReachSinks) {
    EXPECT_EQ(Util::QualifiedFunctionName("void TxnReminderTimerUtil::StartTimer()"), "TxnReminderTimerUtil::StartTimer");
    EXPECT_EQ(Util::QualifiedFunctionName("bool Ns::TxnReminderEngine::DeleteReminderSet(TxnReminderStatusCode&, long unsigned int)"),
              "TxnReminderEngine::DeleteReminderSet");
    EXPECT_EQ(Util::QualifiedFunctionName("static std::vector<int> A::B(std::map<int, int>)"), "A::B");
    EXPECT_EQ(Util::QualifiedFunctionName("int main()"), "main");

    auto& ctx = Host::HostContext::Get();
    ctx.Reset();
    std::vector<Util::LogRecord> lines;
    ctx.AddLogSink([&](const Util::LogRecord& r) { lines.push_back(r); });
    Util::Ops::MessageFunctor(Util::GetOps(), 4, 5, "File", 12, "C::F", "void C::F()")("x=%d %s", 7, "y");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].message, "x=7 y");
    EXPECT_EQ(lines[0].level, 4);
    EXPECT_EQ(lines[0].eventType, 5);
    EXPECT_EQ(lines[0].file, "File");
    EXPECT_EQ(lines[0].function, "C::F");
    ctx.Reset();
}

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
