#pragma once

// Shared enumerations, the export macro and the logging frame of the engine.

#include <cstdint>
#include <string>

#include "Util/Ops.h"

#define TXNREMINDER_API __attribute__((visibility("default")))

// Transaction views; 32767 means no view.
enum FormViewType : std::int32_t {
    FormViewType_Invoice = 4,
    FormViewType_Statement = 101,
    FormViewType_None = 32767,
};

enum TxnReminderStatusCode : std::int32_t {
    TxnReminderStatus_Reset = 0,
    TxnReminderStatus_Success = 1,
    TxnReminderStatus_LoadFailed = 2,
    TxnReminderStatus_NoTransaction = 3,
    TxnReminderStatus_SaveFailed = 4,
    TxnReminderStatus_DeleteFailed = 5,
    TxnReminderStatus_LengthExceeded = 6,
    TxnReminderStatus_GroupMissingOrInUse = 7,
    TxnReminderStatus_Exception = 8,
    TxnReminderStatus_NoEmail = 9,
    TxnReminderStatus_StmtHandleFailed = 10,
};

enum TxnReminderSetStatus : std::int32_t {
    TxnReminderSetStatus_NotSet = -1,
    TxnReminderSetStatus_Inactive = 0,
    TxnReminderSetStatus_Active = 1,
};

// Status of a sent invoice reminder; 1 and 2 count as carried out.
enum TxnReminderExecutionStatus : std::int32_t {
    TxnReminderExecutionStatus_None = 0,
    TxnReminderExecutionStatus_Sent = 1,
    TxnReminderExecutionStatus_SentManually = 2,
    TxnReminderExecutionStatus_Failed = 3,
};

// Per statement rule and customer; 1 makes the customer due again.
enum ReminderExecutionStatus : std::int32_t {
    ReminderExecutionStatus_None = 0,
    ReminderExecutionStatus_Pending = 1,
    ReminderExecutionStatus_Sent = 2,
    ReminderExecutionStatus_Skipped = 3,
};

enum TxnReminderKillSwitchKey : std::int32_t {
    TxnReminderKillSwitch_ShowPromptDialog = 1,
    TxnReminderKillSwitch_PrefSettings = 2,
    TxnReminderKillSwitch_PermissionCheck = 3,
    TxnReminderKillSwitch_SaveExecutionHistory = 4,
    TxnReminderKillSwitch_TxnPurging = 5,
    TxnReminderKillSwitch_SendWithPreview = 6,
    TxnReminderKillSwitch_SendWithoutPreview = 7,
    TxnReminderKillSwitch_VerifyRebuild = 8,
    TxnReminderKillSwitch_SetupFtuScreen = 9,
    TxnReminderKillSwitch_AutomatedStmtReminders = 10,
    TxnReminderKillSwitch_InvoicePaymentReminders = 11,
};

// Telemetry event kind of every reminder event.
constexpr std::int32_t kTxnReminderTelemetryKind = 242;

// Source files as the host's log shows them.
#define TXNR_SRC_DIR "Features\\TxnReminder\\TxnReminder.Engine\\Src\\"

// One log line: level, event type, this file's TXNR_SOURCE_FILE, the line,
// "Class::Method", the full signature, then a printf-style message.
#define TXNR_LOG(level, eventType, ...)                                                                          \
    do {                                                                                                         \
        static const std::string txnr_function_ = ::Util::QualifiedFunctionName(__PRETTY_FUNCTION__);          \
        ::Util::Ops::MessageFunctor(::Util::GetOps(), (level), (eventType), TXNR_SOURCE_FILE, __LINE__,         \
                                    txnr_function_.c_str(), __PRETTY_FUNCTION__)(__VA_ARGS__);                  \
    } while (0)

// Milestones and decisions (0, 6); entry and exit (1, 5); failures (4, 5).
#define TXNR_MILESTONE(...) TXNR_LOG(0, 6, __VA_ARGS__)
#define TXNR_TRACE(...) TXNR_LOG(1, 5, __VA_ARGS__)
#define TXNR_FAILURE(...) TXNR_LOG(4, 5, __VA_ARGS__)
