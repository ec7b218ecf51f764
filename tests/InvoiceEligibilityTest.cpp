#include <string>
#include <vector>

#include "CompanyBuilder.h"
#include "HostFixture.h"
#include "InvoiceTransactionContainer.h"
#include "TxnReminderRule.h"
#include "TxnReminderTargetGroup.h"
#include "TxnSendableReminderContainer.h"

using namespace testsupport;

namespace {

TxnReminderRule Rule(unsigned long id, int schedule, int days, long templateId) {
    TxnReminderRule rule(1, id);
    rule.GetRuleCriteria().SetDateToCompare("due date");
    rule.GetRuleCriteria().SetSchedule(schedule);
    rule.GetRuleCriteria().SetDays(days);
    rule.GetRuleTemplate().SetTemplateId(templateId);
    return rule;
}

constexpr int kBefore = TxnReminderRuleCriteria::kScheduleBefore;
constexpr int kAfter = TxnReminderRuleCriteria::kScheduleAfter;

class InvoiceEligibilityTest : public HostFixture {
protected:
    // Rules of 10 days before (id 1), 5 days after (id 2) and 30 days after
    // (id 3) the due date, in the order they fall due.
    std::vector<TxnReminderRule> m_rules{Rule(1, kBefore, 10, 101), Rule(2, kAfter, 5, 102), Rule(3, kAfter, 30, 103)};
    const DateType32 m_due = Date(2026, 3, 1);

    // The rule selected on `day` days after the due date, 0 for none.
    unsigned long SelectedOn(InvoiceTransactionContainer& invoice, long day) {
        Ctx().FixClock(DateAdd(m_due, day), 9, 0, 0);
        TxnReminderStatusCode status = TxnReminderStatus_Success;
        TxnSendableReminderContainer reminder;
        if (!invoice.IsExecutable(status, m_rules, reminder)) {
            EXPECT_EQ(reminder.GetRuleId(), 0u) << "an unselected reminder is left as it was";
            return 0;
        }
        return reminder.GetRuleId();
    }
};

TEST_F(InvoiceEligibilityTest, LatestDueRuleIsSelectedWithItsTemplate) {
    InvoiceTransactionContainer invoice(0x100000007UL, FormViewType_Invoice, 12, m_due);
    Ctx().FixClock(DateAdd(m_due, 7), 9, 0, 0);
    TxnReminderStatusCode status = TxnReminderStatus_Success;
    TxnSendableReminderContainer reminder;
    ASSERT_TRUE(invoice.IsExecutable(status, m_rules, reminder));
    EXPECT_EQ(reminder.GetTxnType(), FormViewType_Invoice);
    EXPECT_EQ(reminder.GetTransactionId(), 7u);
    EXPECT_EQ(reminder.GetRuleId(), 2u);
    EXPECT_EQ(reminder.GetTemplateId(), 102);
    EXPECT_EQ(reminder.GetCustomerId(), 0);
    EXPECT_EQ(status, TxnReminderStatus_Success);
    std::vector<TxnReminderRule> none;
    TxnSendableReminderContainer unused;
    EXPECT_FALSE(invoice.IsExecutable(status, none, unused));
}

TEST_F(InvoiceEligibilityTest, CarriedOutRuleBlocksItselfAndEveryEarlierRule) {
    using History = std::vector<std::pair<unsigned long, int>>;  // rule, outcome
    const int sent = TxnReminderExecutionStatus_Sent, manually = TxnReminderExecutionStatus_SentManually;
    const struct {
        History history;
        long day;
        unsigned long want;
    } rows[] = {
        {{}, -11, 0}, {{}, -10, 1}, {{}, 4, 1}, {{}, 30, 3},
        {{{2, sent}}, 7, 0}, {{{2, sent}}, 29, 0}, {{{2, sent}}, 30, 3},
        // Sent for the last rule, then the due date moved later: nothing again.
        {{{3, manually}}, -10, 0}, {{{3, manually}}, 0, 0}, {{{3, manually}}, 30, 0}, {{{3, manually}}, 400, 0},
        // Other outcomes do not count as carried out.
        {{{2, 3}, {2, 0}, {2, -1}}, 7, 2},
    };
    for (const auto& row : rows) {
        InvoiceTransactionContainer invoice(1, FormViewType_Invoice, 12, m_due);
        for (const auto& [rule, outcome] : row.history)
            invoice.AddExecutionDetail(TxnReminderExecutionDetails(1, FormViewType_Invoice, rule,
                                                                   static_cast<TxnReminderExecutionStatus>(outcome)));
        EXPECT_EQ(SelectedOn(invoice, row.day), row.want)
            << "day " << row.day << " after " << row.history.size() << " outcomes";
    }

    // A container that keeps its history elsewhere is judged on the history
    // its accessor gives, not on the field it leaves empty.
    class HistoryElsewhere : public InvoiceTransactionContainer {
    public:
        using InvoiceTransactionContainer::InvoiceTransactionContainer;
        std::vector<TxnReminderExecutionDetails> GetExecutionDetailsList() override { return history; }
        std::vector<TxnReminderExecutionDetails> history;
    };
    HistoryElsewhere elsewhere(1, FormViewType_Invoice, 12, m_due);
    elsewhere.history = {TxnReminderExecutionDetails(1, FormViewType_Invoice, 2, TxnReminderExecutionStatus_Sent)};
    EXPECT_EQ(SelectedOn(elsewhere, 7), 0u);
    EXPECT_EQ(SelectedOn(elsewhere, 30), 3u);

    // Zero-day rules fall due on the due date, whatever their schedule.
    InvoiceTransactionContainer invoice(1, FormViewType_Invoice, 12, m_due);
    for (int schedule : {kBefore, kAfter, 0}) {
        m_rules = {Rule(9, schedule, 0, 1)};
        EXPECT_EQ(SelectedOn(invoice, -1), 0u) << schedule;
        EXPECT_EQ(SelectedOn(invoice, 0), 9u) << schedule;
    }
}

class TargetAcceptanceTest : public HostFixture {
protected:
    bool Accept(int target, const TxnReminderTargetGroup& group, TxnReminderStatusCode& status, bool& email) {
        InvoiceTransactionContainer invoice(1, FormViewType_Invoice, target, Date(2026, 3, 1));
        invoice.SetEmailIdPresent(true);
        const bool accepted = invoice.IsAcceptableTarget(status, group);
        email = invoice.GetEmailIdPresent();
        return accepted;
    }
    static TxnReminderTargetGroup Members(std::vector<int> ids) {
        TxnReminderTargetGroup group;
        group.SetTargetUserIds(ids);
        return group;
    }
};

TEST_F(TargetAcceptanceTest, JobsInheritTheirCustomersAddressAndMembership) {
    const int customer = AddName("Acme", 0, "ap@acme.example");
    const int job = AddName("Roof", customer);
    const int subJob = AddName("Gutter", job);
    const int bare = AddName("Bare");
    const int bareJob = AddName("Shed", bare);

    TxnReminderStatusCode status = TxnReminderStatus_Success;
    bool email = false;
    EXPECT_TRUE(Accept(subJob, Members({customer}), status, email));
    EXPECT_TRUE(email);
    EXPECT_EQ(status, TxnReminderStatus_Success);

    EXPECT_TRUE(Accept(bareJob, Members({bareJob}), status, email));
    EXPECT_FALSE(email);
    EXPECT_EQ(status, TxnReminderStatus_NoEmail);

    TxnReminderStatusCode other = TxnReminderStatus_LoadFailed;
    EXPECT_TRUE(Accept(bare, Members({bare}), other, email));
    EXPECT_EQ(other, TxnReminderStatus_LoadFailed) << "only a status of 1 becomes 9";

    // Outside the group, or naming no record: not acceptable, flag untouched.
    status = TxnReminderStatus_Success;
    EXPECT_FALSE(Accept(job, Members({bare, subJob}), status, email));
    EXPECT_TRUE(email);
    EXPECT_FALSE(Accept(9999, Members({9999}), status, email));
    EXPECT_EQ(status, TxnReminderStatus_Success);
}

TEST_F(TargetAcceptanceTest, HiddenCustomerIsNeverAcceptable) {
    const int hidden = AddName("Gone", 0, "gone@example.com", true);
    TxnReminderStatusCode status = TxnReminderStatus_Success;
    bool email = false;
    EXPECT_FALSE(Accept(hidden, Members({hidden}), status, email));
    EXPECT_TRUE(email) << "the flag is not touched";
}

TEST_F(TargetAcceptanceTest, GroupCopiesKeepTheMembersTheyWereMadeWith) {
    const int a = AddName("A", 0, "a@example.com");
    const int b = AddName("B", 0, "b@example.com");
    TxnReminderTargetGroup group = Members({a});
    const TxnReminderTargetGroup before = group;
    EXPECT_TRUE(before.HasTargetUser(a));  // indexes the shared list
    group.AddTargetUserIds(b);
    EXPECT_TRUE(group.HasTargetUser(b));
    EXPECT_FALSE(before.HasTargetUser(b));
    EXPECT_EQ(before.GetTargetUserIds(), (std::vector<int>{a}));
    EXPECT_EQ(group.GetTargetUserIds(), (std::vector<int>{a, b}));

    TxnReminderStatusCode status = TxnReminderStatus_Success;
    bool email = false;
    EXPECT_FALSE(Accept(b, before, status, email));
    EXPECT_TRUE(Accept(b, group, status, email));

    // The base container only carries data.
    TxnReminderTransactionContainer base(1, FormViewType_Invoice, a);
    std::vector<TxnReminderRule> rules{Rule(1, kAfter, 0, 1)};
    TxnSendableReminderContainer reminder;
    EXPECT_FALSE(base.IsAcceptableTarget(status, group));
    EXPECT_FALSE(base.IsExecutable(status, rules, reminder));
}

} // namespace
