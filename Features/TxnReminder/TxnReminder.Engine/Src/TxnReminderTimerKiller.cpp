#include "TxnReminderTimerKiller.h"

#include "TxnReminderTimerUtil.h"

TxnReminderTimerKiller::TxnReminderTimerKiller() = default;
TxnReminderTimerKiller::~TxnReminderTimerKiller() = default;

void TxnReminderTimerKiller::Notify(const CNotifyDataCloseSystem&) { TxnReminderTimerUtil::KillRunningTimerIfAny(); }

namespace {
// Built when the library loads, gone when it unloads.
TxnReminderTimerKiller g_timerKiller;
} // namespace
