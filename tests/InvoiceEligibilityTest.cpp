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
    // view|transaction (32 bits)|rule|template|customer|status
    EXPECT_EQ(std::to_string(reminder.GetTxnType()) + "|" + std::to_string(reminder.GetTransactionId()) + "|" +
                  std::to_string(reminder.GetRuleId()) + "|" + std::to_string(reminder.GetTemplateId()) + "|" +
                  std::to_string(reminder.GetCustomerId()) + "|" + std::to_string(status),
              "4|7|2|102|0|" + std::to_string(TxnReminderStatus_Success));
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

// Jobs inherit their customer's address and membership; a hidden customer,
// one outside the group or a record that is not there is never acceptable,
// and then the address flag is left as it was. Only a status of 1 becomes 9
// for want of an address.
TEST_F(TargetAcceptanceTest, JobsInheritAddressAndMembershipHiddenOnesNever) {
    const int customer = AddName("Acme", 0, "ap@acme.example");
    const int job = AddName("Roof", customer);
    const int subJob = AddName("Gutter", job);
    const int bare = AddName("Bare");
    const int bareJob = AddName("Shed", bare);
    const int hidden = AddName("Gone", 0, "gone@example.com", true);
    const int ok = TxnReminderStatus_Success, noEmail = TxnReminderStatus_NoEmail, other = TxnReminderStatus_LoadFailed;
    const struct {
        int target;
        std::vector<int> members;
        int statusBefore;
        bool accepted, email;
        int status;
    } rows[] = {
        {subJob, {customer}, ok, true, true, ok},        {bareJob, {bareJob}, ok, true, false, noEmail},
        {bare, {bare}, other, true, false, other},       {job, {bare, subJob}, ok, false, true, ok},
        {9999, {9999}, ok, false, true, ok},             {hidden, {hidden}, ok, false, true, ok},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.target);
        TxnReminderStatusCode status = static_cast<TxnReminderStatusCode>(row.statusBefore);
        bool email = false;
        EXPECT_EQ(Accept(row.target, Members(row.members), status, email), row.accepted);
        EXPECT_EQ(email, row.email);
        EXPECT_EQ(status, row.status);
    }
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
    TxnReminderStatusCode status = TxnReminderStatus_Success;
    bool email = false;
    EXPECT_FALSE(Accept(b, before, status, email));
    EXPECT_TRUE(Accept(b, group, status, email));
}

} // namespace
