#include <memory>
#include <string>
#include <vector>

#include "CompanyBuilder.h"
#include "StorageFixture.h"
#include "InvoiceReminderDBHelper.h"
#include "TxnReminderUtil.h"
#include "InvoiceTransactionContainer.h"
#include "TxnReminderEngine.h"

using namespace testsupport;
using Host::FaultKind;

namespace {

const std::string kPurgedPrefix = "EventSource=InvoicePaymentReminders,EventId=PurgedInvoicesCount: ";

class InvoiceHistoryTest : public StorageFixture {
protected:
    void SetUp() override {
        HostFixture::SetUp();
        m_customer = AddName("Acme", 0, "ap@acme.example");
    }
    // A paid invoice whose last change was at noon of `modified`.
    unsigned long PaidInvoice(const DateType32& modified) {
        const unsigned long id = AddOpenInvoice(m_customer, DateSub(modified, 10));
        EXPECT_TRUE(Host::MarkInvoicePaid(id, modified).Succeeded());
        EXPECT_TRUE(Host::SetInvoiceModTime(id, MakeDateAndTime(modified, 12, 0, 0)).Succeeded());
        return id;
    }
    void SetToday(const DateType32& today) { Ctx().FixClock(today, 8, 0, 0); }
    static long long History(unsigned long txnId) {
        return QueryInt("SELECT COUNT(*) FROM reminder_history WHERE txn_id = " + std::to_string(txnId));
    }

    int m_customer = 0;
};

using Txns = std::vector<std::unique_ptr<TxnReminderTransactionContainer>>;

TEST_F(InvoiceHistoryTest, OpenInvoicesComeInTransactionOrderWithTheirOwnHistory) {
    const int job = AddName("Job", m_customer);
    const unsigned long first = AddOpenInvoice(m_customer, Date(2026, 3, 1));
    const unsigned long second = AddOpenInvoice(job, Date(2026, 3, 20));
    const unsigned long paid = AddOpenInvoice(m_customer, Date(2026, 3, 5));
    ASSERT_TRUE(Host::MarkInvoicePaid(paid, Date(2026, 3, 6)).Succeeded());
    Host::InvoiceData noPost;
    noPost.customer = m_customer;
    noPost.txnDate = noPost.dueDate = Date(2026, 3, 1);
    noPost.noPost = true;
    unsigned long ignored = 0;
    ASSERT_TRUE(Host::AddInvoice(noPost, ignored).Succeeded());
    Host::InvoiceData cleared = noPost;
    cleared.noPost = false;
    cleared.clearedType = 2;
    ASSERT_TRUE(Host::AddInvoice(cleared, ignored).Succeeded());
    AddHistory(second, 11, 1);
    AddHistory(first, 12, 3);
    AddHistory(second, 13, 2);
    AddHistory(paid, 14, 1);        // not a candidate: ignored
    AddHistory(first, 15, 1, 101);  // another view: ignored
    // A server writes an updated row anew at the end of its table: the rows
    // of an invoice still come in id order.
    QueryText("UPDATE reminder_history SET status = status WHERE rule_id = 11");

    InvoiceReminderDBHelper helper;
    Txns txns;
    txns.push_back(std::make_unique<TxnReminderTransactionContainer>(1, FormViewType_Invoice, 1));
    ASSERT_TRUE(helper.GetTxnDetailsFromDB(txns));
    ASSERT_EQ(txns.size(), 3u) << "what the caller held stays, the open invoices follow";
    auto* a = dynamic_cast<InvoiceTransactionContainer*>(txns[1].get());
    auto* b = dynamic_cast<InvoiceTransactionContainer*>(txns[2].get());
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->GetTransactionId(), first);
    EXPECT_EQ(a->GetTransactionType(), FormViewType_Invoice);
    EXPECT_EQ(a->GetTargetId(), m_customer);
    EXPECT_EQ(a->GetDueDate(), Date(2026, 3, 1));
    ASSERT_EQ(a->GetExecutionDetailsList().size(), 1u);
    EXPECT_EQ(a->GetExecutionDetailsList()[0].GetRuleId(), 12u);
    EXPECT_EQ(a->GetExecutionDetailsList()[0].GetExecutionStatus(), TxnReminderExecutionStatus_Failed);
    EXPECT_EQ(b->GetTargetId(), job);
    ASSERT_EQ(b->GetExecutionDetailsList().size(), 2u);
    EXPECT_EQ(b->GetExecutionDetailsList()[0].GetRuleId(), 11u);
    EXPECT_EQ(b->GetExecutionDetailsList()[1].GetRuleId(), 13u);
    EXPECT_EQ(b->GetExecutionDetailsList()[1].GetTransactionType(), FormViewType_Invoice);
}

TEST_F(InvoiceHistoryTest, QueryAndHistoryFailuresAreReportedWithoutOutput) {
    AddOpenInvoice(m_customer, Date(2026, 3, 1));
    InvoiceReminderDBHelper helper;
    const std::string prefix = "TxnReminder::FetchTxnDetailsFromDB ";
    const FaultRow rows[] = {
        {"DQE.DoQuery", kAnyStatus, {prefix + "DQE query execution failed in fetchInvoiceListFromDB"}},
        {"ExecutionHistory.BatchLoadByTxnView", kAnyStatus,
         {prefix + "query execution failed for fetching ReminderExecutionHistory"}},
        {"ExecutionHistory.BatchLoadByTxnView", kAnyStatus,
         {prefix + "exception occurred, trace=injected fault at ExecutionHistory.BatchLoadByTxnView"}, 1, FaultKind::Throw},
    };
    for (const FaultRow& row : rows) {
        SCOPED_TRACE(row.lines[0]);
        Arm(row);
        Txns txns;
        EXPECT_TRUE(FailedAs(row, helper.GetTxnDetailsFromDB(txns), TxnReminderStatus_Reset));
        EXPECT_TRUE(txns.empty());
    }
}

TEST_F(InvoiceHistoryTest, SentRemindersAreRecordedUnderTheEnginesView) {
    TxnReminderEngine engine(FormViewType_Invoice);
    ASSERT_TRUE(engine.SaveReminderExecutionHistory(0x1FFFFFFFFUL, 7, TxnReminderExecutionStatus_SentManually));
    EXPECT_EQ(QueryText("SELECT txn_id || '|' || txn_view || '|' || rule_id || '|' || status FROM reminder_history"),
              "4294967295|4|7|2");

    Ctx().ArmFault("ExecutionHistory.Add", FaultKind::Fail);
    Ctx().ArmFault("DMTransaction.Rollback", FaultKind::RollbackZero);
    EXPECT_FALSE(engine.SaveReminderExecutionHistory(5, 7, TxnReminderExecutionStatus_Sent));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:TxnReminderDBHelper::SaveExecutionHistory - Unable to save execution details"));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:TxnReminderDBHelper::SaveExecutionHistory Rollback api returned false"));

    Ctx().ArmFault("DBManager.CreateTransaction", FaultKind::Fail);
    InvoiceReminderDBHelper noTransaction;
    EXPECT_FALSE(noTransaction.SaveExecutionHistory(5, FormViewType_Invoice, 7, TxnReminderExecutionStatus_Sent));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:SaveExecutionHistory - failed to get DMTransaction "));
    EXPECT_EQ(QueryInt("SELECT COUNT(*) FROM reminder_history"), 1);
}

TEST_F(InvoiceHistoryTest, PaidInvoiceHistoryGoesOnceItsIntervalHasPassed) {
    const DateType32 modified = Date(2026, 1, 1);
    const unsigned long old = PaidInvoice(modified);
    const unsigned long open = AddOpenInvoice(m_customer, Date(2025, 6, 1));
    const unsigned long today = PaidInvoice(Date(2026, 5, 1));
    for (int i = 0; i < 3; ++i) AddHistory(old, 20 + i, 1);
    AddHistory(open, 30, 1);
    AddHistory(today, 31, 1);

    TxnReminderEngine engine(FormViewType_Invoice);
    SetToday(DateAdd(modified, 89));
    ASSERT_TRUE(engine.PurgeOldReminderExecutionHistory());
    EXPECT_EQ(History(old), 3);
    EXPECT_EQ(m_events.back(), std::make_pair(242, kPurgedPrefix + "0"));
    EXPECT_TRUE(HasLine(0, 6, "TxnReminder: PurgeOldReminderExecutionHistorys: Start"));
    EXPECT_TRUE(HasLine(0, 6, "TxnReminder: PurgeOldReminderExecutionHistorys: End "));

    SetToday(DateAdd(modified, 90));
    Ctx().ClearFaults();
    ASSERT_TRUE(engine.PurgeOldReminderExecutionHistory());
    EXPECT_EQ(History(old), 0);
    EXPECT_EQ(History(open), 1);
    EXPECT_EQ(m_events.back(), std::make_pair(242, kPurgedPrefix + "1"));

    // Modified today: never old enough, whatever the interval.
    SetToday(Date(2026, 5, 1));
    InvoiceReminderDBHelper helper;
    EXPECT_FALSE(helper.IsTransactionEligibleToPurge(today));
    EXPECT_FALSE(helper.IsTransactionEligibleToPurge(open));
    EXPECT_TRUE(HasLine(1, 5, "TxnReminder: IsTransactionEligibleToPurge: End"));
}

TEST_F(InvoiceHistoryTest, PurgeJudgesEachInvoiceOnceAndGoesOnAfterAFailedDeletion) {
    const unsigned long a = PaidInvoice(Date(2025, 1, 1));
    const unsigned long b = PaidInvoice(Date(2025, 1, 2));
    for (int i = 0; i < 3; ++i) AddHistory(a, 1, 1);
    AddHistory(b, 1, 1);
    InvoiceReminderDBHelper helper;
    Ctx().ClearFaults();
    Ctx().ArmFault("ExecutionHistory.DeleteByTxnId", FaultKind::Fail);
    ASSERT_TRUE(helper.PurgeReminderExecutionHistory());
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:TxnReminderDBHelper::DeleteByTxnId - failed "));
    // The failed deletion of a is tried again on a's next entry.
    EXPECT_EQ(CountLines("TxnReminder: IsTransactionEligibleToPurge: Start"), 3);
    EXPECT_EQ(History(a), 0);
    EXPECT_EQ(History(b), 0);
    EXPECT_EQ(m_events.back(), std::make_pair(242, kPurgedPrefix + "2"));

    ClearLog();
    ASSERT_TRUE(helper.PurgeReminderExecutionHistory());
    EXPECT_EQ(CountLines("TxnReminder: IsTransactionEligibleToPurge: Start"), 0);
    EXPECT_EQ(m_events.back(), std::make_pair(242, kPurgedPrefix + "0"));

    Ctx().ArmFault("ExecutionHistory.BatchLoadByTxnView", FaultKind::Fail);
    EXPECT_FALSE(helper.PurgeReminderExecutionHistory());
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder:TxnReminderDBHelper::PurgeOldReminderExecutionHistorys -failed to batchLoadAll"));
}

TEST_F(InvoiceHistoryTest, EligibilityFailuresReleaseTheHandleAndSayWhy) {
    InvoiceReminderDBHelper helper;
    EXPECT_FALSE(helper.IsTransactionEligibleToPurge(0));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder: IsTransactionEligibleToPurge: Invalid txn id "));
    Ctx().ArmFault("Trans.New", FaultKind::Fail);
    EXPECT_FALSE(helper.IsTransactionEligibleToPurge(1));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder: IsTransactionEligibleToPurge: Failed to acquire TransHandle"));
    EXPECT_FALSE(helper.IsTransactionEligibleToPurge(12345));
    EXPECT_TRUE(HasLine(4, 5, "TxnReminder: ReadTrans: unable to read Invoice"));
}

class PurgeIntervalTest : public InvoiceHistoryTest {
protected:
    int IntervalWith(const char* configured) {
        if (configured) Ctx().SetRemoteConfig("InvoicePaymentReminders", "PurgingLogicInterval", configured);
        InvoiceReminderDBHelper helper;
        return helper.GetIntervalForPurgingLogicFromDCE();
    }
    bool Unusable() const {
        return !LinesWith("TxnReminder::GetIntervalForPurgingLogicFromDCE: unusable interval").empty();
    }
};

TEST_F(PurgeIntervalTest, ConfiguredNumberIsReadOncePerProcess) {
    EXPECT_EQ(IntervalWith(" 30 days"), 30);
    EXPECT_EQ(IntervalWith("5"), 30);
    EXPECT_EQ(CountLines("TxnReminder::GetIntervalForPurgingLogicFromDCE: Getting interval value from DCE"), 1);
    EXPECT_TRUE(HasLine(1, 5, "TxnReminder::GetIntervalForPurgingLogicFromDCE: Getting interval value from DCE"));
    EXPECT_FALSE(Unusable());
}

// The interval is read once per process, so each value is a case of its own.
struct UnusableInterval {
    const char* name;
    const char* configured;  // nullptr: not set at all
    bool throws;             // the configuration service fails
    bool logged;             // the value is reported as unusable
};

class UnusableIntervalTest : public PurgeIntervalTest, public ::testing::WithParamInterface<UnusableInterval> {};

TEST_P(UnusableIntervalTest, MeansNinetyDays) {
    if (GetParam().throws) Ctx().ArmFault("DCE.GetValue2", FaultKind::Throw);
    EXPECT_EQ(IntervalWith(GetParam().configured), 90);
    EXPECT_EQ(Unusable(), GetParam().logged);
}

// A negative interval would let a paid invoice's history go at once.
INSTANTIATE_TEST_SUITE_P(Values, UnusableIntervalTest,
                         ::testing::Values(UnusableInterval{"Unset", nullptr, false, false},
                                           UnusableInterval{"NoNumber", "abc", false, true},
                                           UnusableInterval{"Negative", "-5", false, true},
                                           UnusableInterval{"BeyondAnyNumberOfDays", "99999999999999999999999", false, true},
                                           UnusableInterval{"FailingService", "30", true, true}),
                         [](const ::testing::TestParamInfo<UnusableInterval>& info) { return info.param.name; });

// Each row is a host of its own: the interval is taken again after a reset
// of the process caches.
TEST_F(PurgeIntervalTest, ConfiguredIntervalDecidesEligibility) {
    struct Row {
        const char* configured;
        DateType32 modified;
        DateType32 today;
        bool eligible;
    };
    const Row rows[] = {
        {"30", Date(2026, 1, 1), Date(2026, 1, 30), false},
        {"30", Date(2026, 1, 1), Date(2026, 1, 31), true},
        {"+30", Date(2026, 1, 1), Date(2026, 1, 31), true},  // a sign is part of the number
        {"+30", Date(2026, 1, 1), Date(2026, 1, 30), false},
        // Adding these to the date would pass the calendar's last year and
        // wrap: history of an invoice paid nine days ago must stay.
        {"23500000", Date(2026, 3, 1), Date(2026, 3, 10), false},
        {"2147483647", Date(2026, 3, 1), Date(2026, 3, 10), false},
        {"0", Date(2026, 3, 9), Date(2026, 3, 10), true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.configured) + " today " + std::to_string(row.today.GetDay()));
        TxnReminderUtil::ResetProcessCaches();
        Ctx().SetRemoteConfig("InvoicePaymentReminders", "PurgingLogicInterval", row.configured);
        SetToday(row.modified);
        const unsigned long id = PaidInvoice(row.modified);
        InvoiceReminderDBHelper helper;
        SetToday(row.today);
        EXPECT_EQ(helper.IsTransactionEligibleToPurge(id), row.eligible);
    }
}

} // namespace
