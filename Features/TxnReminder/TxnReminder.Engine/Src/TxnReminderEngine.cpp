#include "TxnReminderEngine.h"

#include <boost/property_tree/ptree.hpp>
#include <string>

#include "Config/HostServices.h"
#include "TxnReminderDBFactory.h"
#include "TxnReminderDBHelper.h"
#include "TxnReminderKillSwitchHelper.h"
#include "TxnReminderSet.h"
#include "TxnReminderUtil.h"

#define TXNR_SOURCE_FILE TXNR_SRC_DIR "TxnReminderEngine"

namespace {
const char* const kEventPrefix = "EventSource=InvoicePaymentReminders,EventId=";

std::string ViewText(FormViewType view) { return std::to_string(static_cast<int>(view)); }
} // namespace

// ---------------------------------------------------------------------------
// Construction and ownership of the storage helper.

TxnReminderEngine::TxnReminderEngine(FormViewType viewType) : m_viewType(viewType) {}

TxnReminderEngine::TxnReminderEngine(const TxnReminderEngine& other)
    : m_viewType(other.m_viewType), m_dbHelper(other.m_dbHelper) {}

TxnReminderEngine& TxnReminderEngine::operator=(const TxnReminderEngine& other) {
    m_viewType = other.m_viewType;
    if (this == &other) return *this;
    // Releases an owned helper that differs from the source's, then takes the
    // source's helper and its ownership.
    m_dbHelper = other.m_dbHelper;
    return *this;
}

TxnReminderEngine::~TxnReminderEngine() {
    m_viewType = FormViewType_None;
    m_dbHelper.Release();
}

bool TxnReminderEngine::Initialize() {
    TXNR_TRACE("TxnReminder::Entering %s", TXNR_FUNCTION_NAME);
    TxnReminderDBFactory::GetTxnReminderDbInstance(m_dbHelper, m_viewType);
    if (m_dbHelper) {
        TXNR_TRACE("TxnReminder::Exiting %s", TXNR_FUNCTION_NAME);
        return true;
    }
    TXNR_FAILURE("TxnReminder:TxnReminderEngine::Initialize() - Failed to get TxnReminderDBHelper instance");
    return false;
}

// ---------------------------------------------------------------------------
// Configuration: argument checks, one storage operation, telemetry.

bool TxnReminderEngine::AddOrUpdateReminderSet(TxnReminderStatusCode& status, TxnReminderSet& reminderSet) {
    TXNR_TRACE("TxnReminder::Entering %s", TXNR_FUNCTION_NAME);
    try {
        if (!m_dbHelper && !Initialize()) return false;
        if (!m_dbHelper->SaveReminderSet(status, reminderSet)) return false;
        TXNR_TRACE("TxnReminder::Exiting %s", TXNR_FUNCTION_NAME);
        return true;
    } catch (...) {
        TXNR_FAILURE("TxnReminder: Exception in TxnReminderEngine::AddOrUpdateReminderSet");
        return false;
    }
}

bool TxnReminderEngine::AddOrUpdateTargetGroup(TxnReminderStatusCode& status, TxnReminderTargetGroup& targetGroup) {
    TXNR_TRACE("TxnReminder::Entering %s", TXNR_FUNCTION_NAME);
    try {
        if (!m_dbHelper && !Initialize()) return false;
        if (!m_dbHelper->SaveTargetGroup(status, targetGroup)) return false;
        TXNR_TRACE("TxnReminder::Exiting %s", TXNR_FUNCTION_NAME);
        return true;
    } catch (...) {
        TXNR_FAILURE("TxnReminder: Exception in TxnReminderEngine::AddOrUpdateTargetGroup");
        return false;
    }
}

bool TxnReminderEngine::DeleteReminderRule(TxnReminderStatusCode& status, unsigned long ruleId) {
    TXNR_TRACE("TxnReminder::Entering %s", TXNR_FUNCTION_NAME);
    try {
        if (ruleId == 0) {
            TXNR_FAILURE("TxnReminderEngine::DeleteReminderRule Unexpected ruleId found, ruleId = %d",
                         static_cast<int>(ruleId));
            return false;
        }
        if (!m_dbHelper && !Initialize()) return false;
        if (!m_dbHelper->DeleteRule(status, ruleId)) return false;
        SendTelemetryEvent(kTxnReminderTelemetryKind,
                           std::string(kEventPrefix) + "ReminderDeleted, ReminderType=" + ViewText(m_viewType));
        TXNR_TRACE("TxnReminder::Exiting %s", TXNR_FUNCTION_NAME);
        return true;
    } catch (...) {
        TXNR_FAILURE("TxnReminder: Exception in TxnReminderEngine::DeleteReminderRule");
        return false;
    }
}

bool TxnReminderEngine::DeleteReminderRules(TxnReminderStatusCode& status, std::vector<unsigned long>& ruleIds) {
    TXNR_TRACE("TxnReminder::Entering %s", TXNR_FUNCTION_NAME);
    try {
        if (ruleIds.empty()) {
            TXNR_MILESTONE("TxnReminder: No rules to delete");
            return true;
        }
        if (!m_dbHelper && !Initialize()) return false;
        if (!m_dbHelper->DeleteReminderRules(status, ruleIds)) return false;
        TXNR_TRACE("TxnReminder::Exiting %s", TXNR_FUNCTION_NAME);
        return true;
    } catch (...) {
        TXNR_FAILURE("TxnReminder: Exception in TxnReminderEngine::DeleteReminderRules");
        return false;
    }
}

bool TxnReminderEngine::DeleteReminderSet(TxnReminderStatusCode& status, unsigned long ruleSetId) {
    TXNR_TRACE("TxnReminder::Entering %s", TXNR_FUNCTION_NAME);
    try {
        if (ruleSetId == 0) {
            TXNR_FAILURE("TxnReminderEngine::DeleteReminderSet ruleSetId is invalid");
            return false;
        }
        if (!m_dbHelper && !Initialize()) return false;
        if (!m_dbHelper->DeleteReminderSet(status, ruleSetId)) return false;
        SendTelemetryEvent(kTxnReminderTelemetryKind,
                           std::string(kEventPrefix) + "ScheduleDeleted, ReminderType=" + ViewText(m_viewType));
        TXNR_TRACE("TxnReminder::Exiting %s", TXNR_FUNCTION_NAME);
        return true;
    } catch (...) {
        TXNR_FAILURE("TxnReminder: Exception in TxnReminderEngine::DeleteReminderSet");
        return false;
    }
}

bool TxnReminderEngine::DeleteTargetGroup(TxnReminderStatusCode& status, long targetGroupId) {
    TXNR_TRACE("TxnReminder::Entering %s", TXNR_FUNCTION_NAME);
    try {
        if (targetGroupId <= 0) {
            TXNR_FAILURE("TxnReminder::DeleteTargetGroup Invalid target group id");
            return false;
        }
        // Asked every time; the factory leaves a helper already held alone.
        if (!Initialize()) return false;
        if (!m_dbHelper->DeleteTargetGroup(status, m_viewType, targetGroupId)) return false;
        SendTelemetryEvent(kTxnReminderTelemetryKind, std::string(kEventPrefix) + "TargetGroupDeleted");
        TXNR_TRACE("TxnReminder::Exiting %s", TXNR_FUNCTION_NAME);
        return true;
    } catch (...) {
        TXNR_FAILURE("TxnReminder: Exception in TxnReminderEngine::DeleteTargetGroup");
        return false;
    }
}

bool TxnReminderEngine::GetAllReminderSets(TxnReminderStatusCode& status, std::vector<TxnReminderSet>& reminderSets) {
    TXNR_TRACE("TxnReminder::Entering %s", TXNR_FUNCTION_NAME);
    try {
        // The caller's old sets go even when the listing fails.
        reminderSets.clear();
        if (!m_dbHelper && !Initialize()) return false;
        if (!m_dbHelper->GetAllReminderSets(status, m_viewType, reminderSets)) return false;
        SendTelemetryEvent(kTxnReminderTelemetryKind, std::string(kEventPrefix) + "NumberOfReminderSets:" +
                                                          std::to_string(reminderSets.size()) +
                                                          ", ReminderType:" + ViewText(m_viewType));
        TXNR_TRACE("TxnReminder::Exiting %s", TXNR_FUNCTION_NAME);
        return true;
    } catch (...) {
        TXNR_FAILURE("TxnReminder: Exception in TxnReminderEngine::GetAllReminderSets");
        return false;
    }
}

bool TxnReminderEngine::GetCustomerGroupDetails(TxnReminderStatusCode& status, boost::property_tree::ptree& tree) {
    TXNR_TRACE("TxnReminder::Entering %s", TXNR_FUNCTION_NAME);
    try {
        if (!m_dbHelper && !Initialize()) return false;
        if (!m_dbHelper->GetCustomerGroupDetails(status, tree)) return false;
        TXNR_TRACE("TxnReminder::Exiting %s", TXNR_FUNCTION_NAME);
        return true;
    } catch (...) {
        TXNR_FAILURE("TxnReminder: Exception in TxnReminderEngine::GetCustomerGroupDetails");
        return false;
    }
}

bool TxnReminderEngine::GetUserDetails(TxnReminderStatusCode& status, boost::property_tree::ptree& tree) {
    TXNR_TRACE("TxnReminder::Entering %s", TXNR_FUNCTION_NAME);
    try {
        if (!m_dbHelper && !Initialize()) return false;
        if (!m_dbHelper->GetUserDetails(status, tree)) return false;
        TXNR_TRACE("TxnReminder::Exiting %s", TXNR_FUNCTION_NAME);
        return true;
    } catch (...) {
        TXNR_FAILURE("TxnReminder: Exception in TxnReminderEngine::GetUserDetails");
        return false;
    }
}

bool TxnReminderEngine::GetReminderRuleTemplate(TxnReminderRuleTemplate& ruleTemplate, long templateId) {
    TXNR_TRACE("TxnReminder::Entering %s", TXNR_FUNCTION_NAME);
    try {
        if (templateId == -1) {
            TXNR_FAILURE(
                "TxnReminder:TxnReminderEngine::GetReminderRuleTemplate() - Failed due to invalid rule template id");
            return false;
        }
        if (!m_dbHelper && !Initialize()) return false;
        if (!m_dbHelper->GetRuleTemplate(ruleTemplate, templateId)) return false;
        TXNR_TRACE("TxnReminder::Exiting %s", TXNR_FUNCTION_NAME);
        return true;
    } catch (...) {
        TXNR_FAILURE("TxnReminder: Exception in TxnReminderEngine::GetReminderRuleTemplate");
        return false;
    }
}

bool TxnReminderEngine::GetTargetGroup(long targetGroupId, TxnReminderTargetGroup& targetGroup) {
    TXNR_TRACE("TxnReminder::Entering %s", TXNR_FUNCTION_NAME);
    try {
        if (!m_dbHelper && !Initialize()) return false;
        // The storage may write the id it resolved; the caller's stays as given.
        long groupId = targetGroupId;
        if (!m_dbHelper->GetTargetGroup(groupId, targetGroup, true)) return false;
        TXNR_TRACE("TxnReminder::Exiting %s", TXNR_FUNCTION_NAME);
        return true;
    } catch (...) {
        TXNR_FAILURE("TxnReminder: Exception in TxnReminderEngine::GetTargetGroup");
        return false;
    }
}

bool TxnReminderEngine::GetDLPTargetGroup(long targetGroupId, TxnReminderTargetGroup& targetGroup) {
    TXNR_TRACE("TxnReminder::Entering %s", TXNR_FUNCTION_NAME);
    try {
        if (!m_dbHelper && !Initialize()) return false;
        long groupId = targetGroupId;
        if (!m_dbHelper->GetDLPTargetGroup(groupId, targetGroup, true)) return false;
        TXNR_TRACE("TxnReminder::Exiting %s", TXNR_FUNCTION_NAME);
        return true;
    } catch (...) {
        TXNR_FAILURE("TxnReminder: Exception in TxnReminderEngine::GetDLPTargetGroup");
        return false;
    }
}

Util::Status TxnReminderEngine::MigrateOldTargetGroupAndUserTableToNewDLPTables() {
    TXNR_TRACE("TxnReminder::Entering %s", TXNR_FUNCTION_NAME);
    const Util::Status result = Util::Status::GetSucceeded();
    try {
        if (!m_dbHelper && !Initialize()) return Util::Status::GetFailed();
        if (!m_dbHelper->MigrateOldTargetGroupAndUserTableToNewDLPTables()) return Util::Status::GetFailed();
        TXNR_TRACE("TxnReminder::Exiting %s", TXNR_FUNCTION_NAME);
        return result;
    } catch (...) {
        TXNR_FAILURE("TxnReminder: Exception in MigrateOldTargetGroupAndUserTableToNewDLPTables");
        return Util::Status::GetFailed();
    }
}

bool TxnReminderEngine::PurgeOldReminderExecutionHistory() {
    TXNR_TRACE("TxnReminder::Entering %s", TXNR_FUNCTION_NAME);
    try {
        if (!m_dbHelper && !Initialize()) return false;
        if (!m_dbHelper->PurgeReminderExecutionHistory()) return false;
        TXNR_TRACE("TxnReminder::Exiting %s", TXNR_FUNCTION_NAME);
        return true;
    } catch (...) {
        TXNR_FAILURE("TxnReminder: Exception in TxnReminderEngine::PurgeOldReminderExecutionHistory");
        return false;
    }
}

bool TxnReminderEngine::SaveReminderExecutionHistory(unsigned long txnId, unsigned long ruleId,
                                                     TxnReminderExecutionStatus executionStatus) {
    TXNR_TRACE("TxnReminder::Entering %s", TXNR_FUNCTION_NAME);
    try {
        if (!m_dbHelper && !Initialize()) return false;
        if (!m_dbHelper->SaveExecutionHistory(txnId, m_viewType, ruleId, executionStatus)) return false;
        TXNR_TRACE("TxnReminder::Exiting %s", TXNR_FUNCTION_NAME);
        return true;
    } catch (...) {
        TXNR_FAILURE("TxnReminder: Exception in TxnReminderEngine::SaveReminderExecutionHistory");
        return false;
    }
}

// ---------------------------------------------------------------------------
// Invoice reminder selection. It needs the eligibility rules and the invoice
// queries; until they are part of the library nothing is selected.

bool TxnReminderEngine::PrepareReminderListToSend(TxnReminderStatusCode&, std::vector<TxnSendableReminderContainer>&,
                                                  bool&, bool) {
    return false;
}

bool TxnReminderEngine::IsAtLeastOneReminderRuleActive() { return false; }

bool TxnReminderEngine::GetTxnDetailsFromDB(std::vector<std::unique_ptr<TxnReminderTransactionContainer>>& txns) {
    TXNR_TRACE("TxnReminder::Entering %s", TXNR_FUNCTION_NAME);
    try {
        if (!m_dbHelper && !Initialize()) return false;
        if (!m_dbHelper->GetTxnDetailsFromDB(txns)) return false;
        TXNR_TRACE("TxnReminder::Exiting %s", TXNR_FUNCTION_NAME);
        return true;
    } catch (...) {
        TXNR_FAILURE("TxnReminder: Exception in TxnReminderEngine::GetTxnDetailsFromDB");
        return false;
    }
}

// ---------------------------------------------------------------------------
// Statement reminder selection: arrives with the statement rules; until then
// nothing is selected.

bool TxnReminderEngine::PrepareReminderListToSendForStmt(TxnReminderStatusCode&,
                                                         std::vector<TxnSendableReminderContainer>&, bool) {
    return false;
}

bool TxnReminderEngine::GetStmtData(TxnReminderStatusCode&, std::list<std::pair<StmtEditTag*, TargetGroupRule>>&) {
    return false;
}

// These two take the target group and the statement rules by value, so they
// can only be defined where those classes are complete.
#if __has_include("TxnReminderTargetGroup.h") && __has_include("StatementReminderRule.h")
#include "StatementReminderRule.h"
#include "TxnReminderTargetGroup.h"

bool TxnReminderEngine::GetReadyCustomerList(unsigned long, TxnReminderTargetGroup, std::vector<int>&) {
    return false;
}

bool TxnReminderEngine::CanShowReminderForStmt(TxnReminderStatusCode&, std::vector<unsigned long>,
                                               std::vector<StatementReminderRule>,
                                               std::map<unsigned long, TxnReminderTargetGroup>) {
    return false;
}
#endif

// ---------------------------------------------------------------------------
// Statement bookkeeping: one storage operation each.

bool TxnReminderEngine::UpdateEmailPrepDateForSTMT(StatementReminderRule& rule) {
    TXNR_TRACE("TxnReminder::Entering %s", TXNR_FUNCTION_NAME);
    try {
        if (!m_dbHelper && !Initialize()) return false;
        if (!m_dbHelper->SaveStmtRule(rule)) return false;
        TXNR_TRACE("TxnReminder::Exiting %s", TXNR_FUNCTION_NAME);
        return true;
    } catch (...) {
        TXNR_FAILURE("TxnReminder: Exception in TxnReminderEngine::UpdateEmailPrepDateForSTMT");
        return false;
    }
}

bool TxnReminderEngine::AddStatementReminderExecutionStatus(unsigned long ruleId, int customerId,
                                                            ReminderExecutionStatus executionStatus) {
    TXNR_TRACE("TxnReminder::Entering %s", TXNR_FUNCTION_NAME);
    try {
        if (!m_dbHelper && !Initialize()) return false;
        if (!m_dbHelper->AddReminderExecutionDetails(ruleId, customerId, executionStatus)) return false;
        TXNR_TRACE("TxnReminder::Exiting %s", TXNR_FUNCTION_NAME);
        return true;
    } catch (...) {
        TXNR_FAILURE("TxnReminder: Exception in TxnReminderEngine::UpdateStatementReminderExecutionStatus");
        return false;
    }
}

bool TxnReminderEngine::DeleteStatementReminderExecutionDetails(unsigned long ruleId) {
    TXNR_TRACE("TxnReminder::Entering %s", TXNR_FUNCTION_NAME);
    try {
        if (!m_dbHelper && !Initialize()) return false;
        if (!m_dbHelper->DeleteReminderExecutionDetailsForRule(ruleId)) return false;
        TXNR_TRACE("TxnReminder::Exiting %s", TXNR_FUNCTION_NAME);
        return true;
    } catch (...) {
        TXNR_FAILURE("TxnReminder: Exception in TxnReminderEngine::DeleteStatementReminderExecutionDetails");
        return false;
    }
}

bool TxnReminderEngine::DeleteStatementReminderExecutionDetails(unsigned long ruleId, int customerId) {
    TXNR_TRACE("TxnReminder::Entering %s", TXNR_FUNCTION_NAME);
    try {
        if (!m_dbHelper && !Initialize()) return false;
        if (!m_dbHelper->DeleteReminderExecutionDetail(ruleId, customerId)) return false;
        TXNR_TRACE("TxnReminder::Exiting %s", TXNR_FUNCTION_NAME);
        return true;
    } catch (...) {
        TXNR_FAILURE("TxnReminder: Exception in TxnReminderEngine::DeleteStatementReminderExecutionDetails");
        return false;
    }
}

bool TxnReminderEngine::GetCustomersStatusForGivenRule(
    unsigned long ruleId, std::vector<DMStmtReminderExecutionStatus::DBStmtReminderExecutionStatus>& records) {
    TXNR_TRACE("TxnReminder::Entering %s", TXNR_FUNCTION_NAME);
    try {
        if (!m_dbHelper && !Initialize()) return false;
        if (!m_dbHelper->GetCustomersStatusForGivenRule(ruleId, records)) return false;
        TXNR_TRACE("TxnReminder::Exiting %s", TXNR_FUNCTION_NAME);
        return true;
    } catch (...) {
        TXNR_FAILURE("TxnReminder: Exception in TxnReminderEngine::GetCustomersStatusForGivenRule");
        return false;
    }
}

// ---------------------------------------------------------------------------
// Feature switches and the send permission.

bool TxnReminderEngine::IsFeatureEnabled() {
    TXNR_TRACE("TxnReminder::Entering %s", TXNR_FUNCTION_NAME);
    const bool enabled = TxnReminderKillSwitchHelper::IsFeatureEnabled();
    TXNR_TRACE("TxnReminder::Exiting %s, flag value %d", TXNR_FUNCTION_NAME, enabled ? 1 : 0);
    return enabled;
}

bool TxnReminderEngine::IsFeatureEnabled(TxnReminderKillSwitchKey key) {
    TXNR_TRACE("TxnReminder::Entering %s", TXNR_FUNCTION_NAME);
    const bool enabled = TxnReminderKillSwitchHelper::IsFeatureEnabled(key);
    TXNR_TRACE("TxnReminder::Exiting %s, key %d, value %d ", TXNR_FUNCTION_NAME, static_cast<int>(key),
               enabled ? 1 : 0);
    return enabled;
}

bool TxnReminderEngine::HasSendReminderPermission(FormViewType viewType, unsigned char flag) {
    TXNR_TRACE("TxnReminder::Entering %s", TXNR_FUNCTION_NAME);
    if (!TxnReminderKillSwitchHelper::IsFeatureEnabled(TxnReminderKillSwitch_PermissionCheck)) {
        TXNR_MILESTONE("TxnReminder:: Permission check is OFF");
        TXNR_TRACE("TxnReminder::Exiting %s", TXNR_FUNCTION_NAME);
        return true;
    }
    try {
        bool allowed = false;
        switch (viewType) {
        case FormViewType_Invoice:
            // Stops at the first right the user lacks.
            allowed = TxnReminderKillSwitchHelper::IsFeatureEnabled(TxnReminderKillSwitch_InvoicePaymentReminders) &&
                      FeaturePermissionAvailable(ProgramFeature(1), UserAction(2), flag) != 0 &&
                      FeaturePermissionAvailable(ProgramFeature(1), UserAction(3), flag) != 0;
            if (!allowed) TXNR_MILESTONE("TxnReminder:: No permission to send reminder email for invoices");
            break;
        case FormViewType_Statement:
            allowed = TxnReminderKillSwitchHelper::IsFeatureEnabled(TxnReminderKillSwitch_AutomatedStmtReminders) &&
                      FeaturePermissionAvailable(ProgramFeature(7), UserAction(3), flag) != 0;
            if (!allowed) TXNR_MILESTONE("TxnReminder:: No permission to send reminder email for statement");
            break;
        default:
            TXNR_MILESTONE("TxnReminder:: No permission to send reminder email. This view is not supported.");
            break;
        }
        TXNR_TRACE("TxnReminder::Exiting %s", TXNR_FUNCTION_NAME);
        return allowed;
    } catch (...) {
        TXNR_FAILURE("TxnReminder: Exception in TxnReminderEngine::HasSendReminderPermission");
        return false;
    }
}
