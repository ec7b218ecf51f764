#include "InvoiceReminderPrompt.h"

#include <cstdint>
#include <string>
#include <vector>

#include "Messaging/Commands.h"
#include "Platform/WinApi.h"
#include "TxnReminderEngine.h"
#include "TxnSendableReminderContainer.h"
#include "TxnReminderTimerUtil.h"
#include "TxnReminderUtil.h"


#define TXNR_SOURCE_FILE TXNR_SRC_DIR "InvoiceReminderPrompt"

namespace {
enum PromptChoice : std::int32_t {
    PromptChoice_Later = 0,
    PromptChoice_Review = 1,
    PromptChoice_SendNow = 2,
};

using LaunchPromptFn = std::int32_t (*)();

void RunSendCommand(bool sendWithoutPreview) {
    CArguments args;
    args.PutBool("sendWithoutPreview", sendWithoutPreview);
    ExecuteCommand(CCommandAndArgs("mxw:send_txnreminders", args));
}

void SendPromptEvent(const char* eventId) {
    SendTelemetryEvent(kTxnReminderTelemetryKind, std::string("EventSource=InvoicePaymentReminders,EventId=") + eventId);
}

// Whether either selection, in its fast mode, finds a reminder due; false
// too when a selection failed. The list only decides whether to prompt.
bool IsAnythingDue(TxnReminderEngine& invoiceEngine) {
    std::vector<TxnSendableReminderContainer> reminders;
    TxnReminderStatusCode status = TxnReminderStatus_Reset;
    bool duplicateFound = false;
    if (!invoiceEngine.PrepareReminderListToSend(status, reminders, duplicateFound, true)) return false;
    if (reminders.empty()) {
        TxnReminderEngine statementEngine(FormViewType_Statement);
        if (!statementEngine.PrepareReminderListToSendForStmt(status, reminders, true)) return false;
    }
    return !reminders.empty();
}
} // namespace

InvoiceReminderPrompt::InvoiceReminderPrompt() = default;
InvoiceReminderPrompt::~InvoiceReminderPrompt() = default;

void InvoiceReminderPrompt::ProcessMsg() {
    if (!TxnReminderTimerUtil::CanProcessPromptAppMsg()) return;

    // Lives until the timer is re-armed.
    TxnReminderEngine invoiceEngine(FormViewType_Invoice);
    try {
        if (IsAnythingDue(invoiceEngine)) LaunchPrompt();
    } catch (...) {
        TXNR_FAILURE("TxnReminder::TxnReminderPrompt: Exception in launching prompt");
    }

    // Whatever the user chose, or whatever failed, the cycle goes on.
    TxnReminderTimerUtil::SetNextLaunchDateToPrefDb();
    TxnReminderTimerUtil::StartTimer();
}

void InvoiceReminderPrompt::LaunchPrompt() {
    HMODULE module = LoadLibraryA("FeaturesBridge.DLL");
    if (module == nullptr) {
        TXNR_FAILURE("TxnReminder::TxnReminderPrompt: Unable to fetch featuresbridge instance");
        return;
    }
    const auto launch = reinterpret_cast<LaunchPromptFn>(GetProcAddress(module, "LaunchTxnReminderPrompt"));
    if (launch == nullptr) {
        FreeLibrary(module);
        return;
    }
    try {
        TXNR_MILESTONE("TxnReminder::InvoiceReminderPrompt::ProcessMsg: Launching prompt");
        // The action first, then its event, then its log line.
        switch (launch()) {
        case PromptChoice_Later:
            OneTimeMessage(GetMXWinInstance(), 2641, 0, 0, 0);
            SendPromptEvent("LaterButtonClicked");
            TXNR_MILESTONE("TxnReminder::InvoiceReminderPrompt::ProcessMsg: Close Button Clicked");
            break;
        case PromptChoice_Review:
            RunSendCommand(false);
            SendPromptEvent("ReviewButtonClicked");
            TXNR_MILESTONE("TxnReminder::InvoiceReminderPrompt::ProcessMsg: Review button Clicked");
            break;
        case PromptChoice_SendNow:
            RunSendCommand(true);
            SendPromptEvent("SendNowButtonClicked");
            TXNR_MILESTONE("TxnReminder::InvoiceReminderPrompt::ProcessMsg: Send Now button Clicked");
            break;
        default:
            TXNR_FAILURE("TxnReminder::TxnReminderPrompt::ProcessMsg: Invalid action performed on prompt");
            break;
        }
    } catch (...) {
        FreeLibrary(module);
        throw;
    }
    FreeLibrary(module);
}
