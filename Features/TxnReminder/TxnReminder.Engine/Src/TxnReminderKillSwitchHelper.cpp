#include "TxnReminderKillSwitchHelper.h"

#include <map>
#include <optional>
#include <string>

#include "Config/HostServices.h"

#define TXNR_SOURCE_FILE TXNR_SRC_DIR "TxnReminderKillSwitchHelper"

namespace {
const char* const kSwitchArea = "PaymentReminders";

struct FlagName {
    TxnReminderKillSwitchKey key;
    const char* flag;
};

const FlagName kFlagNames[] = {
    {TxnReminderKillSwitch_ShowPromptDialog, "show_prompt_dialog"},
    {TxnReminderKillSwitch_PrefSettings, "pref_settings"},
    {TxnReminderKillSwitch_PermissionCheck, "permission_check"},
    {TxnReminderKillSwitch_SaveExecutionHistory, "save_execution_history"},
    {TxnReminderKillSwitch_TxnPurging, "txn_purging"},
    {TxnReminderKillSwitch_SendWithPreview, "send_reminder_with_preview"},
    {TxnReminderKillSwitch_SendWithoutPreview, "send_reminder_without_preview"},
    {TxnReminderKillSwitch_VerifyRebuild, "verify_rebuild"},
    {TxnReminderKillSwitch_SetupFtuScreen, "setup_reminders_ftu_screen"},
    {TxnReminderKillSwitch_AutomatedStmtReminders, "automated_stmt_reminders"},
    {TxnReminderKillSwitch_InvoicePaymentReminders, "invoice_payment_reminders"},
};

// Written only while the table is first filled, read afterwards.
std::map<TxnReminderKillSwitchKey, bool>& SwitchTable() {
    static std::map<TxnReminderKillSwitchKey, bool> table;
    return table;
}

// The global switch once a read has succeeded; empty until then.
std::optional<bool>& GlobalRead() {
    static std::optional<bool> value;
    return value;
}
} // namespace

TxnReminderKillSwitchHelper::TxnReminderKillSwitchHelper() = default;

bool TxnReminderKillSwitchHelper::IsFeatureEnabled() {
    std::optional<bool>& globalRead = GlobalRead();
    if (globalRead) return *globalRead;
    try {
        const bool enabled = KillSwitchHelper::getInstance()->IsFeatureEnabled(kSwitchArea, "FeatureEnabled");
        globalRead = enabled;
        return enabled;
    } catch (...) {
        TXNR_FAILURE("TxnReminder:TxnReminderKillSwitchHelper::IsFeatureEnabled - Unable to read DCE flag");
        return true;
    }
}

bool TxnReminderKillSwitchHelper::IsFeatureEnabled(TxnReminderKillSwitchKey key) {
    // Item answers stay consistent for the whole process: the global switch
    // is taken once here, even when that read failed and answered "on".
    static const bool globalSeen = IsFeatureEnabled();
    if (!globalSeen) {
        TXNR_MILESTONE("TxnReminder:: Global feature Off");
        return false;
    }
    static const bool tableReady = InitializeKillSwitchLookUPTable();
    if (!tableReady) return true;
    const auto& table = SwitchTable();
    const auto it = table.find(key);
    return it == table.end() ? true : it->second;
}

bool TxnReminderKillSwitchHelper::InitializeKillSwitchLookUPTable() {
    try {
        auto& table = SwitchTable();
        for (const FlagName& entry : kFlagNames) {
            table[entry.key] = KillSwitchHelper::getInstance()->IsFeatureEnabled(kSwitchArea, entry.flag);
        }
        return true;
    } catch (...) {
        TXNR_FAILURE(
            "TxnReminder:TxnReminderKillSwitchHelper::InitializeKillSwitchLookUPTable - Unable to read flag");
        return false;
    }
}
