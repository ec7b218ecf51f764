#include "TxnReminderTimer.h"

#include <utility>

#include "Prefs/PrefsTag.h"
#include "TxnReminderEngine.h"
#include "TxnReminderTimerUtil.h"

#define TXNR_SOURCE_FILE TXNR_SRC_DIR "TxnReminderTimer"

namespace {
// A short-lived engine per question, gone before the next step.
bool HasActiveRule(FormViewType view) {
    TxnReminderEngine engine(view);
    return engine.IsAtLeastOneReminderRuleActive();
}
} // namespace

TxnReminderTimer::TxnReminderTimer() = default;
TxnReminderTimer::TxnReminderTimer(const TxnReminderTimer& other) : SequencedAppMsg(other) {}
TxnReminderTimer::TxnReminderTimer(TxnReminderTimer&& other) noexcept : SequencedAppMsg(std::move(other)) {}
TxnReminderTimer& TxnReminderTimer::operator=(const TxnReminderTimer& other) {
    SequencedAppMsg::operator=(other);
    return *this;
}
TxnReminderTimer& TxnReminderTimer::operator=(TxnReminderTimer&& other) noexcept {
    SequencedAppMsg::operator=(std::move(other));
    return *this;
}
TxnReminderTimer::~TxnReminderTimer() = default;

void TxnReminderTimer::ProcessMsg() {
    // The host's loop does not expect a message to throw; a failure here only
    // means no prompt today.
    try {
        if (!TxnReminderEngine::IsFeatureEnabled(TxnReminderKillSwitch_ShowPromptDialog)) {
            TXNR_MILESTONE("TxnReminder::StartInvoiceReminderTimer: Feature not enabled");
            return;
        }
        if (!TxnReminderTimerUtil::CanProcessPromptAppMsg()) return;

        const PrefsTag* prefs = PrefGetPrefHandle();
        if (!prefs->GetPaymentReminderState() || !prefs->GetPaymentReminderPrompt() ||
            prefs->GetCurrentFileIsSample() || prefs->GetIsAccntntCopy() != 0) {
            TXNR_MILESTONE("TxnReminder::TxnReminderTimer: ProcessMsg :: Skipping timer");
            return;
        }

        const bool invoiceRuleActive = TxnReminderEngine::HasSendReminderPermission(FormViewType_Invoice, 0) &&
                                       HasActiveRule(FormViewType_Invoice);
        if (!invoiceRuleActive) {
            if (!TxnReminderEngine::HasSendReminderPermission(FormViewType_Statement, 0)) return;
            if (!HasActiveRule(FormViewType_Statement)) {
                TXNR_MILESTONE("txnReminder::TxnReminderTimer: ProcessMsg :: Skipping timer as No Reminder Rules are "
                               "active");
                return;
            }
        }

        TXNR_MILESTONE("TxnReminder::TxnReminderTimer: ProcessMsg ::Timer trigger checks passed. Initiating timer");
        TxnReminderTimerUtil::StartTimer();
    } catch (...) {
        TXNR_FAILURE("TxnReminder::TxnReminderTimer: ProcessMsg :: Exception occured");
    }
}
