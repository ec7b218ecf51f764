#pragma once

#include "TxnReminderDBHelper.h"
#include "TxnReminderEngine.h"
#include "Util/AutoPtr.h"

// Reaches an engine's storage-helper holder, so that tests can place a helper
// of their own and see which helper an engine holds.
class TxnReminderEngineTestAccess {
public:
    static Util::AutoPtr<TxnReminderDBHelper>& Holder(TxnReminderEngine& engine) { return engine.m_dbHelper; }
    static TxnReminderDBHelper* Helper(TxnReminderEngine& engine) { return engine.m_dbHelper.Get(); }
};
