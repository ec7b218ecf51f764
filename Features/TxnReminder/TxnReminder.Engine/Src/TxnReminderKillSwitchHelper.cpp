#include "TxnReminderKillSwitchHelper.h"

#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "Config/HostServices.h"
#include "TxnReminderUtil.h"

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

// What this process has read of the switches; read again after a reset of
// the process caches.
struct SwitchReads {
    std::recursive_mutex guard;
    unsigned generation = 0;
    std::map<TxnReminderKillSwitchKey, bool> table;   // filled once, read afterwards
    std::optional<bool> globalRead;                   // the global switch once a read succeeded
    std::optional<bool> globalSeen;                   // what item answers take the global switch as
    std::optional<bool> tableReady;
};

SwitchReads& Reads() {
    static SwitchReads reads;
    const unsigned generation = TxnReminderUtil::ProcessCacheGeneration();
    const std::lock_guard<std::recursive_mutex> lock(reads.guard);
    if (reads.generation != generation) {
        reads.table.clear();
        reads.globalRead.reset();
        reads.globalSeen.reset();
        reads.tableReady.reset();
        reads.generation = generation;
    }
    return reads;
}
} // namespace

TxnReminderKillSwitchHelper::TxnReminderKillSwitchHelper() = default;

bool TxnReminderKillSwitchHelper::IsFeatureEnabled() {
    SwitchReads& reads = Reads();
    const std::lock_guard<std::recursive_mutex> lock(reads.guard);
    if (reads.globalRead) return *reads.globalRead;
    try {
        const bool enabled = KillSwitchHelper::getInstance()->IsFeatureEnabled(kSwitchArea, "FeatureEnabled");
        reads.globalRead = enabled;
        return enabled;
    } catch (...) {
        TXNR_FAILURE("TxnReminder:TxnReminderKillSwitchHelper::IsFeatureEnabled - Unable to read DCE flag");
        return true;
    }
}

bool TxnReminderKillSwitchHelper::IsFeatureEnabled(TxnReminderKillSwitchKey key) {
    SwitchReads& reads = Reads();
    const std::lock_guard<std::recursive_mutex> lock(reads.guard);
    // Item answers stay consistent for the whole process: the global switch
    // is taken once here, even when that read failed and answered "on".
    if (!reads.globalSeen) reads.globalSeen = IsFeatureEnabled();
    if (!*reads.globalSeen) {
        TXNR_MILESTONE("TxnReminder:: Global feature Off");
        return false;
    }
    if (!reads.tableReady) reads.tableReady = InitializeKillSwitchLookUPTable();
    if (!*reads.tableReady) return true;
    const auto it = reads.table.find(key);
    return it == reads.table.end() ? true : it->second;
}

bool TxnReminderKillSwitchHelper::InitializeKillSwitchLookUPTable() {
    try {
        auto& table = Reads().table;
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
