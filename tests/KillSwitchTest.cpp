#include "HostFixture.h"
#include "TxnReminderEngine.h"
#include "TxnReminderKillSwitchHelper.h"
#include "TxnReminderUtil.h"

#include <string>
#include <utility>
#include <vector>

using testsupport::HostFixture;

// Switches are read once per process; the fixture starts each case with
// fresh reads.
class KillSwitchTest : public HostFixture {
protected:
    void SetSwitch(const std::string& flag, bool on) { Ctx().SetFeatureSwitch("PaymentReminders", flag, on); }
    void ThrowOnSwitchRead(int nth) { Ctx().ArmFault("KillSwitch.IsFeatureEnabled", Host::FaultKind::Throw, nth); }
    void ThrowOnPermission(int nth) {
        Ctx().ArmFault("Permission.FeaturePermissionAvailable", Host::FaultKind::Throw, nth);
    }

    static constexpr const char* kGlobalOff = "TxnReminder:: Global feature Off";
    static constexpr const char* kGlobalReadFailed =
        "TxnReminder:TxnReminderKillSwitchHelper::IsFeatureEnabled - Unable to read DCE flag";
    static constexpr const char* kTableReadFailed =
        "TxnReminder:TxnReminderKillSwitchHelper::InitializeKillSwitchLookUPTable - Unable to read flag";
    static constexpr const char* kPermissionCheckOff = "TxnReminder:: Permission check is OFF";
    static constexpr const char* kNoInvoicePermission = "TxnReminder:: No permission to send reminder email for invoices";
    static constexpr const char* kNoStatementPermission =
        "TxnReminder:: No permission to send reminder email for statement";
    static constexpr const char* kPermissionException =
        "TxnReminder: Exception in TxnReminderEngine::HasSendReminderPermission";
};

TEST_F(KillSwitchTest, GlobalSwitchOffTurnsEveryItemOffAndSkipsThePermissionCheck) {
    SetSwitch("FeatureEnabled", false);
    Ctx().SetPermission(1, 2, false);

    EXPECT_FALSE(TxnReminderEngine::IsFeatureEnabled());
    EXPECT_TRUE(HasLine(1, 5, "TxnReminder::Entering TxnReminderEngine::IsFeatureEnabled"));
    EXPECT_TRUE(HasLine(1, 5, "TxnReminder::Exiting TxnReminderEngine::IsFeatureEnabled, flag value 0"));

    EXPECT_FALSE(TxnReminderEngine::IsFeatureEnabled(TxnReminderKillSwitch_ShowPromptDialog));
    EXPECT_FALSE(TxnReminderEngine::IsFeatureEnabled(TxnReminderKillSwitch_TxnPurging));
    EXPECT_TRUE(HasLine(1, 5, "TxnReminder::Exiting TxnReminderEngine::IsFeatureEnabled, key 1, value 0 "));
    EXPECT_TRUE(HasLine(1, 5, "TxnReminder::Exiting TxnReminderEngine::IsFeatureEnabled, key 5, value 0 "));
    EXPECT_EQ(CountLines(kGlobalOff), 2);
    EXPECT_TRUE(HasLine(0, 6, kGlobalOff));

    // The permission check is itself an item switch, so it is off too and the
    // denied right is never asked.
    EXPECT_TRUE(TxnReminderEngine::HasSendReminderPermission(FormViewType_Invoice, 0));
    EXPECT_TRUE(HasLine(0, 6, kPermissionCheckOff));
    EXPECT_FALSE(HasLine(kNoInvoicePermission));
}

TEST_F(KillSwitchTest, ItemSwitchesAreReadOnceAndUnknownKeysAnswerOn) {
    SetSwitch("show_prompt_dialog", false);
    SetSwitch("invoice_payment_reminders", false);

    EXPECT_FALSE(TxnReminderKillSwitchHelper::IsFeatureEnabled(TxnReminderKillSwitch_ShowPromptDialog));
    EXPECT_FALSE(TxnReminderKillSwitchHelper::IsFeatureEnabled(TxnReminderKillSwitch_InvoicePaymentReminders));
    EXPECT_TRUE(TxnReminderKillSwitchHelper::IsFeatureEnabled(TxnReminderKillSwitch_PrefSettings));
    EXPECT_TRUE(TxnReminderKillSwitchHelper::IsFeatureEnabled(TxnReminderKillSwitchKey(12)));
    EXPECT_TRUE(TxnReminderKillSwitchHelper::IsFeatureEnabled(TxnReminderKillSwitchKey(0)));
    EXPECT_TRUE(TxnReminderEngine::IsFeatureEnabled(TxnReminderKillSwitchKey(12)));
    EXPECT_TRUE(HasLine(1, 5, "TxnReminder::Exiting TxnReminderEngine::IsFeatureEnabled, key 12, value 1 "));

    // Later changes of the remote switches, and a failing service, go unseen
    // for the rest of the process.
    SetSwitch("show_prompt_dialog", true);
    SetSwitch("FeatureEnabled", false);
    ThrowOnSwitchRead(1);
    EXPECT_FALSE(TxnReminderKillSwitchHelper::IsFeatureEnabled(TxnReminderKillSwitch_ShowPromptDialog));
    EXPECT_TRUE(TxnReminderKillSwitchHelper::IsFeatureEnabled(TxnReminderKillSwitch_PrefSettings));
    EXPECT_FALSE(HasLine(kGlobalReadFailed));
    EXPECT_FALSE(HasLine(kGlobalOff));
}

TEST_F(KillSwitchTest, FailedFirstGlobalReadLeavesItemsOnWhileTheGlobalCheckAsksAgain) {
    SetSwitch("show_prompt_dialog", false);
    ThrowOnSwitchRead(1);

    // The item check takes the failed read as "on" for good; the table itself
    // is read fine afterwards.
    EXPECT_FALSE(TxnReminderKillSwitchHelper::IsFeatureEnabled(TxnReminderKillSwitch_ShowPromptDialog));
    EXPECT_TRUE(HasLine(4, 5, kGlobalReadFailed));

    SetSwitch("FeatureEnabled", false);
    EXPECT_TRUE(TxnReminderKillSwitchHelper::IsFeatureEnabled(TxnReminderKillSwitch_SendWithPreview));
    EXPECT_FALSE(HasLine(kGlobalOff));

    // The global check was never answered, so it reads again: now off, and
    // that answer is kept.
    EXPECT_FALSE(TxnReminderKillSwitchHelper::IsFeatureEnabled());
    SetSwitch("FeatureEnabled", true);
    EXPECT_FALSE(TxnReminderKillSwitchHelper::IsFeatureEnabled());
    EXPECT_EQ(CountLines(kGlobalReadFailed), 1);
}

TEST_F(KillSwitchTest, GlobalCheckAnswersOnWhileTheServiceFails) {
    SetSwitch("FeatureEnabled", false);
    Ctx().ArmFault("KillSwitch.IsFeatureEnabled", Host::FaultKind::Throw, 1, 2);
    EXPECT_TRUE(TxnReminderEngine::IsFeatureEnabled());
    EXPECT_TRUE(TxnReminderEngine::IsFeatureEnabled());
    EXPECT_EQ(CountLines(kGlobalReadFailed), 2);
    EXPECT_TRUE(HasLine(1, 5, "TxnReminder::Exiting TxnReminderEngine::IsFeatureEnabled, flag value 1"));
    EXPECT_FALSE(TxnReminderEngine::IsFeatureEnabled());
}

TEST_F(KillSwitchTest, TableThatCannotBeFilledIsNeverConsulted) {
    // Reads: the global switch, then keys 1, 2, 3 ... ; the third key fails.
    SetSwitch("show_prompt_dialog", false);
    SetSwitch("txn_purging", false);
    ThrowOnSwitchRead(4);

    EXPECT_TRUE(TxnReminderKillSwitchHelper::IsFeatureEnabled(TxnReminderKillSwitch_ShowPromptDialog));
    EXPECT_TRUE(TxnReminderKillSwitchHelper::IsFeatureEnabled(TxnReminderKillSwitch_TxnPurging));
    EXPECT_TRUE(HasLine(4, 5, kTableReadFailed));
    EXPECT_EQ(CountLines(kTableReadFailed), 1);
}

// Each row starts from every switch on, every right granted and fresh
// switch reads.
TEST_F(KillSwitchTest, SendPermissionFollowsSwitchesAndRightsPerView) {
    struct Row {
        const char* name;
        std::vector<const char*> off;             // item switches turned off
        std::vector<std::pair<int, int>> denied;  // rights (feature, action) refused
        int permissionThrowsAt;                   // 0: the service answers
        FormViewType view;
        unsigned char flag;
        bool allowed;
        int level;           // of `line`: 4 a failure, 0 a milestone, 1 a trace
        const char* line;    // logged, or null
        const char* absent;  // never logged, or null
    };
    const Row rows[] = {
        {"invoice granted", {}, {}, 0, FormViewType_Invoice, 0, true, 1,
         "TxnReminder::Exiting TxnReminderEngine::HasSendReminderPermission", nullptr},
        // The first right denied: the second is not asked (it would throw).
        {"first invoice right denied", {}, {{1, 2}}, 2, FormViewType_Invoice, 0, false, 0, kNoInvoicePermission,
         kPermissionException},
        {"second invoice right denied", {}, {{1, 3}}, 0, FormViewType_Invoice, 1, false, 0, kNoInvoicePermission, nullptr},
        {"invoice rights do not count for statements", {}, {{1, 2}, {1, 3}}, 0, FormViewType_Statement, 0, true, 0,
         nullptr, kNoStatementPermission},
        {"invoice switch off asks for no right", {"invoice_payment_reminders"}, {}, 1, FormViewType_Invoice, 0, false, 0,
         kNoInvoicePermission, kPermissionException},
        {"statement right denied", {}, {{7, 3}}, 0, FormViewType_Statement, 0, false, 0, kNoStatementPermission, nullptr},
        {"statement switch off", {"automated_stmt_reminders"}, {}, 0, FormViewType_Statement, 0, false, 0,
         kNoStatementPermission, nullptr},
        {"statement switch off leaves invoices", {"automated_stmt_reminders"}, {}, 0, FormViewType_Invoice, 0, true, 0,
         nullptr, kNoInvoicePermission},
        {"no view", {}, {}, 0, FormViewType_None, 0, false, 0,
         "TxnReminder:: No permission to send reminder email. This view is not supported.", nullptr},
        {"unknown view", {}, {}, 0, FormViewType(5), 0, false, 0,
         "TxnReminder:: No permission to send reminder email. This view is not supported.", nullptr},
        {"failing permission service", {}, {}, 2, FormViewType_Invoice, 0, false, 4, kPermissionException,
         kNoInvoicePermission},
        {"permission check off, invoice", {"permission_check"}, {{1, 2}, {7, 3}}, 0, FormViewType_Invoice, 0, true, 0,
         kPermissionCheckOff, nullptr},
        {"permission check off, statement", {"permission_check"}, {{1, 2}, {7, 3}}, 0, FormViewType_Statement, 0, true, 0,
         kPermissionCheckOff, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TxnReminderUtil::ResetProcessCaches();
        Ctx().ClearFaults();
        ClearLog();
        for (const char* flag : {"invoice_payment_reminders", "automated_stmt_reminders", "permission_check"})
            SetSwitch(flag, true);
        for (const auto& right : {std::make_pair(1, 2), std::make_pair(1, 3), std::make_pair(7, 3)})
            Ctx().SetPermission(right.first, right.second, true);
        for (const char* flag : row.off) SetSwitch(flag, false);
        for (const auto& right : row.denied) Ctx().SetPermission(right.first, right.second, false);
        if (row.permissionThrowsAt > 0) ThrowOnPermission(row.permissionThrowsAt);

        EXPECT_EQ(TxnReminderEngine::HasSendReminderPermission(row.view, row.flag), row.allowed);
        EXPECT_TRUE(!row.line || HasLine(row.level, row.level == 0 ? 6 : 5, row.line));
        EXPECT_TRUE(!row.absent || !HasLine(row.absent));
    }
}
