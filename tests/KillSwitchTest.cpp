#include "HostFixture.h"
#include "TxnReminderEngine.h"
#include "TxnReminderKillSwitchHelper.h"

using testsupport::HostFixture;

// Every case runs in a process of its own, so the switches are read afresh.
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

TEST_F(KillSwitchTest, InvoicePermissionNeedsItsSwitchAndBothRightsInOrder) {
    EXPECT_TRUE(TxnReminderEngine::HasSendReminderPermission(FormViewType_Invoice, 0));
    EXPECT_TRUE(HasLine(1, 5, "TxnReminder::Entering TxnReminderEngine::HasSendReminderPermission"));
    EXPECT_TRUE(HasLine(1, 5, "TxnReminder::Exiting TxnReminderEngine::HasSendReminderPermission"));

    // The first right denied: the second is not asked (it would throw).
    Ctx().SetPermission(1, 2, false);
    ThrowOnPermission(2);
    EXPECT_FALSE(TxnReminderEngine::HasSendReminderPermission(FormViewType_Invoice, 0));
    EXPECT_TRUE(HasLine(0, 6, kNoInvoicePermission));
    EXPECT_FALSE(HasLine(kPermissionException));

    ClearLog();
    Ctx().ClearFaults();
    Ctx().SetPermission(1, 2, true);
    Ctx().SetPermission(1, 3, false);
    EXPECT_FALSE(TxnReminderEngine::HasSendReminderPermission(FormViewType_Invoice, 1));
    EXPECT_TRUE(HasLine(0, 6, kNoInvoicePermission));
    // Statement rights are separate.
    EXPECT_TRUE(TxnReminderEngine::HasSendReminderPermission(FormViewType_Statement, 0));
}

TEST_F(KillSwitchTest, InvoiceSwitchOffDeniesWithoutAskingForRights) {
    SetSwitch("invoice_payment_reminders", false);
    ThrowOnPermission(1);
    EXPECT_FALSE(TxnReminderEngine::HasSendReminderPermission(FormViewType_Invoice, 0));
    EXPECT_TRUE(HasLine(0, 6, kNoInvoicePermission));
    EXPECT_FALSE(HasLine(kPermissionException));
}

TEST_F(KillSwitchTest, StatementPermissionNeedsItsSwitchAndRight) {
    Ctx().SetPermission(7, 3, false);
    EXPECT_FALSE(TxnReminderEngine::HasSendReminderPermission(FormViewType_Statement, 0));
    EXPECT_TRUE(HasLine(0, 6, kNoStatementPermission));
    Ctx().SetPermission(7, 3, true);
    EXPECT_TRUE(TxnReminderEngine::HasSendReminderPermission(FormViewType_Statement, 0));
    // The invoice rights do not count for statements.
    Ctx().SetPermission(1, 2, false);
    EXPECT_TRUE(TxnReminderEngine::HasSendReminderPermission(FormViewType_Statement, 0));
}

TEST_F(KillSwitchTest, StatementSwitchOffDenies) {
    SetSwitch("automated_stmt_reminders", false);
    EXPECT_FALSE(TxnReminderEngine::HasSendReminderPermission(FormViewType_Statement, 0));
    EXPECT_TRUE(HasLine(0, 6, kNoStatementPermission));
    EXPECT_TRUE(TxnReminderEngine::HasSendReminderPermission(FormViewType_Invoice, 0));
}

TEST_F(KillSwitchTest, OtherViewsAreNotSupported) {
    EXPECT_FALSE(TxnReminderEngine::HasSendReminderPermission(FormViewType_None, 0));
    EXPECT_FALSE(TxnReminderEngine::HasSendReminderPermission(FormViewType(5), 0));
    EXPECT_EQ(CountLines("TxnReminder:: No permission to send reminder email. This view is not supported."), 2);
}

TEST_F(KillSwitchTest, FailingPermissionServiceDenies) {
    ThrowOnPermission(2);
    EXPECT_FALSE(TxnReminderEngine::HasSendReminderPermission(FormViewType_Invoice, 0));
    EXPECT_TRUE(HasLine(4, 5, kPermissionException));
    EXPECT_FALSE(HasLine(kNoInvoicePermission));
}

TEST_F(KillSwitchTest, PermissionCheckSwitchOffAllowsEveryKnownView) {
    SetSwitch("permission_check", false);
    Ctx().SetPermission(1, 2, false);
    Ctx().SetPermission(7, 3, false);
    EXPECT_TRUE(TxnReminderEngine::HasSendReminderPermission(FormViewType_Invoice, 0));
    EXPECT_TRUE(TxnReminderEngine::HasSendReminderPermission(FormViewType_Statement, 0));
    EXPECT_EQ(CountLines(kPermissionCheckOff), 2);
}
