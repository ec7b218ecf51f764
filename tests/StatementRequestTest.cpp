// Statement requests: the values a rule puts into the host's request, the
// date ranges, the customer block and its release, and the host's aging check.

#include <gtest/gtest.h>

#include "CompanyBuilder.h"
#include "HostFixture.h"
#include "Prefs/PrefsTag.h"
#include "SelectionBuilder.h"
#include "Statements/AgingBalancesQuery.h"
#include "Util/MemoryManager.h"

using namespace testsupport;

namespace {

class StatementRequestTest : public HostFixture {
protected:
    // The request of a monthly rule due today (so the statement date is today).
    StmtHandle RequestOn(const DateType32& today, short dateRange, std::vector<int> customers = {1}) {
        Ctx().FixClock(today, 9);
        StatementReminderRule rule = StatementRule(StatementReminderRule::kFrequencyMonthly,
                                                   static_cast<unsigned short>(today.GetDay()), 0, 40, dateRange);
        TxnReminderStatusCode status = TxnReminderStatus_Success;
        StmtHandle handle = OwnHandle(rule.CreateStmtEditHandle(status, customers));
        EXPECT_EQ(status, TxnReminderStatus_Success);
        EXPECT_NE(handle, nullptr);
        if (handle) {
            EXPECT_EQ(handle->m_statementDate, today);
        }
        return handle;
    }

    void ExpectRange(const DateType32& today, short dateRange, const DateType32& from, const DateType32& to) {
        StmtHandle handle = RequestOn(today, dateRange);
        ASSERT_NE(handle, nullptr);
        EXPECT_EQ(handle->m_fromDate, from) << "range " << dateRange;
        EXPECT_EQ(handle->m_toDate, to) << "range " << dateRange;
    }
};

TEST_F(StatementRequestTest, DateRangesFollowTheStatementDateAndTheFiscalYear) {
    const DateType32 wed15Jan = Date(2025, 1, 15);  // a Wednesday
    ExpectRange(wed15Jan, 0, Date(1901, 1, 1), wed15Jan);
    ExpectRange(wed15Jan, 1, Date(2025, 1, 12), wed15Jan);
    ExpectRange(wed15Jan, 2, Date(2025, 1, 1), wed15Jan);
    ExpectRange(wed15Jan, 6, Date(2025, 1, 5), Date(2025, 1, 11));
    ExpectRange(wed15Jan, 7, Date(2025, 1, 5), wed15Jan);
    ExpectRange(wed15Jan, 8, Date(2024, 12, 1), Date(2024, 12, 31));
    ExpectRange(wed15Jan, 9, Date(2024, 12, 1), wed15Jan);
    ExpectRange(Date(2024, 3, 20), 8, Date(2024, 2, 1), Date(2024, 2, 29));
    // A code outside the table: the 1st to the 28th of the statement's month.
    ExpectRange(wed15Jan, 42, Date(2025, 1, 1), Date(2025, 1, 28));

    // Fiscal year from January.
    ExpectRange(Date(2025, 2, 15), 3, Date(2025, 1, 1), Date(2025, 2, 15));
    ExpectRange(Date(2025, 2, 15), 10, Date(2024, 10, 1), Date(2025, 2, 15));
    ExpectRange(Date(2025, 5, 6), 5, Date(2025, 1, 1), Date(2025, 5, 6));
    ExpectRange(Date(2025, 5, 6), 11, Date(2024, 1, 1), Date(2025, 5, 6));

    Ctx().SetPreference(PrefKeys::kFiscalBegin, "2");
    ExpectRange(wed15Jan, 3, Date(2024, 11, 1), wed15Jan);
    ExpectRange(wed15Jan, 10, Date(2024, 8, 1), wed15Jan);

    Ctx().SetPreference(PrefKeys::kFiscalBegin, "4");
    ExpectRange(Date(2025, 4, 10), 11, Date(2024, 4, 1), Date(2025, 4, 10));
    ExpectRange(Date(2025, 2, 10), 11, Date(2023, 4, 1), Date(2025, 2, 10));
    ExpectRange(Date(2025, 2, 10), 4, Date(2024, 4, 1), Date(2025, 2, 28));
    ExpectRange(Date(2025, 2, 10), 3, Date(2025, 1, 1), Date(2025, 2, 10));
    ExpectRange(Date(2025, 2, 10), 10, Date(2024, 10, 1), Date(2025, 2, 10));

    Ctx().SetPreference(PrefKeys::kFiscalBegin, "10");
    ExpectRange(Date(2025, 5, 10), 3, Date(2025, 4, 1), Date(2025, 5, 10));
    ExpectRange(Date(2025, 11, 3), 4, Date(2025, 10, 1), Date(2025, 11, 30));
}

TEST_F(StatementRequestTest, RequestCarriesTheRuleAndItsCustomersInReverse) {
    const std::size_t blocksBefore = Util::GetMemoryManager()->LiveBlocks();
    Ctx().FixClock(Date(2025, 1, 20), 9);
    StatementReminderRule rule = StatementRule(StatementReminderRule::kFrequencyMonthly, 15, 2, 40, 2, 7);
    long style = 33;
    rule.SetStyleTemplateId(style);
    rule.GetRuleCriteria().SetIsCustomerJob(true);
    rule.GetRuleCriteria().SetIsMemoIncluded(true);
    TxnReminderStatusCode status = TxnReminderStatus_Success;
    std::vector<int> customers{3, 8, 5};
    StmtHandle handle = OwnHandle(rule.CreateStmtEditHandle(status, customers));
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(status, TxnReminderStatus_Success);

    EXPECT_EQ(handle->GetCustomerIds(), (std::vector<int>{5, 8, 3}));
    StmtCustomerListHeader header{};
    std::memcpy(&header, handle->GetCustomerList(), sizeof header);
    EXPECT_EQ(header.count, 3);
    EXPECT_EQ(header.kind, 1);
    EXPECT_EQ(handle->m_listSelected, 1);
    EXPECT_EQ(handle->m_listFiltered, 0);
    EXPECT_EQ(handle->m_filler, ' ');
    EXPECT_EQ(handle->m_style.GetStyleTemplateId(), 33);
    // The last trigger date of day 15 seen on the 20th, and month-to-date.
    EXPECT_EQ(handle->m_statementDate, Date(2025, 1, 15));
    EXPECT_EQ(handle->m_fromDate, Date(2025, 1, 1));
    EXPECT_EQ(handle->m_toDate, Date(2025, 1, 15));
    EXPECT_TRUE(handle->m_openOrOverdueOnly);
    EXPECT_TRUE(handle->m_overdueOnly);
    EXPECT_EQ(handle->m_overdueByDays, 7);
    EXPECT_TRUE(handle->m_customerOrJob);
    EXPECT_TRUE(handle->m_memo);
    EXPECT_FALSE(handle->m_itemDetails);
    EXPECT_FALSE(handle->m_dueDate);

    // Open transactions only: the open flag without the overdue one.
    rule.GetRuleCriteria().SetTxnStatus(1);
    StmtHandle open = OwnHandle(rule.CreateStmtEditHandle(status, {}));
    ASSERT_NE(open, nullptr);
    EXPECT_TRUE(open->m_openOrOverdueOnly);
    EXPECT_FALSE(open->m_overdueOnly);
    EXPECT_EQ(open->GetCustomerCount(), 0);

    EXPECT_EQ(Util::GetMemoryManager()->LiveBlocks(), blocksBefore + 2);
    handle.reset();
    open.reset();
    EXPECT_EQ(Util::GetMemoryManager()->LiveBlocks(), blocksBefore);
}

TEST_F(StatementRequestTest, RequestThatCannotBeMadeIsNullWithStatus10AndLeavesNothingBehind) {
    const std::size_t blocksBefore = Util::GetMemoryManager()->LiveBlocks();
    const StatementReminderRule rule = StatementRule(StatementReminderRule::kFrequencyWeekly, 2);
    for (const char* point : {"StmtEditTag.New", "MemoryManager.Allocate"}) {
        ClearLog();
        Ctx().ArmFault(point, Host::FaultKind::Fail);
        TxnReminderStatusCode status = TxnReminderStatus_Success;
        EXPECT_EQ(rule.CreateStmtEditHandle(status, {4, 5}), nullptr) << point;
        EXPECT_EQ(status, TxnReminderStatus_StmtHandleFailed) << point;
        EXPECT_TRUE(HasLine(4, 5, "TxnReminderEngine:GetStmtData: not able to create new StmtEditHandle")) << point;
        const auto lines = LinesWith("not able to create new StmtEditHandle");
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].file, "Features\\TxnReminder\\TxnReminder.Engine\\Src\\StatementReminderRule");
        EXPECT_EQ(Util::GetMemoryManager()->LiveBlocks(), blocksBefore) << point;
    }
}

TEST_F(StatementRequestTest, AgingCheckLooksAtTheCustomersJobsWithinRangeAndOverdueBy) {
    const int acme = AddName("Acme", 0, "a@x.test");
    const int site = AddName("Site", acme);
    const int other = AddName("Other", 0, "o@x.test");
    const DateType32 today = Date(2025, 3, 15);
    Ctx().FixClock(today, 9);
    // Acme's only open invoice is on its job: dated 1 March, due 5 March.
    Host::InvoiceData data;
    data.customer = site;
    data.txnDate = Date(2025, 3, 1);
    data.dueDate = Date(2025, 3, 5);
    unsigned long siteInvoice = 0;
    ASSERT_TRUE(Host::AddInvoice(data, siteInvoice).Succeeded());
    // Other's invoice lies before the month.
    data.customer = other;
    data.txnDate = Date(2025, 2, 1);
    data.dueDate = Date(2025, 2, 10);
    unsigned long otherInvoice = 0;
    ASSERT_TRUE(Host::AddInvoice(data, otherInvoice).Succeeded());

    bool executed = false;
    const auto canShow = [&](int customer, short txnStatus, short dateRange, short overdueBy) {
        const StatementReminderRule rule =
            StatementRule(StatementReminderRule::kFrequencyMonthly, 15, txnStatus, 40, dateRange, overdueBy);
        TxnReminderStatusCode status = TxnReminderStatus_Success;
        StmtHandle handle = OwnHandle(rule.CreateStmtEditHandle(status, {customer}));
        AgingBalancesQuery query;
        executed = query.Execute(handle.get()).Succeeded();
        return query.CanShowReminder();
    };
    // Month-to-date (2), open only (1): Acme through its job, not Other.
    EXPECT_TRUE(canShow(acme, 1, 2, 0));
    EXPECT_FALSE(canShow(other, 1, 2, 0));
    EXPECT_TRUE(canShow(other, 1, 0, 0));
    // Overdue by more than N days on 15 March: due 5 March is 10 days over.
    EXPECT_TRUE(canShow(acme, 2, 2, 9));
    EXPECT_FALSE(canShow(acme, 2, 2, 10));
    // Paid: not open any more, still a transaction of the range.
    ASSERT_TRUE(Host::MarkInvoicePaid(siteInvoice, today).Succeeded());
    EXPECT_FALSE(canShow(acme, 1, 2, 0));
    EXPECT_TRUE(canShow(acme, 0, 2, 0));

    AgingBalancesQuery query;
    EXPECT_FALSE(query.Execute(nullptr).Succeeded());
    Ctx().ArmFault("AgingBalancesQuery.Execute", Host::FaultKind::Fail);
    EXPECT_FALSE(canShow(other, 0, 0, 0));
    EXPECT_FALSE(executed);
    EXPECT_TRUE(canShow(other, 0, 0, 0));
    EXPECT_TRUE(executed);
}

} // namespace
