#include "TxnReminderEngine.h"

#include <algorithm>
#include <boost/property_tree/ptree.hpp>
#include <cstdint>
#include <exception>
#include <string>

#include "Config/HostServices.h"
#include "InvoiceCandidateList.h"
#include "InvoiceDueRuleFinder.h"
#include "InvoiceReminderDBHelper.h"
#include "InvoiceTargetIndex.h"
#include "Records/StmtReminderRecords.h"
#include "StatementReminderRule.h"
#include "Statements/AgingBalancesQuery.h"
#include "Statements/ReminderEmailStateHandler.h"
#include "Statements/StmtEditTag.h"
#include "TargetGroupRule.h"
#include "TxnReminderDBFactory.h"
#include "TxnReminderDBHelper.h"
#include "TxnReminderKillSwitchHelper.h"
#include "TxnReminderSet.h"
#include "TxnReminderTargetGroup.h"
#include "TxnReminderTransactionContainer.h"
#include "TxnReminderUtil.h"
#include "TxnSendableReminderContainer.h"

#define TXNR_SOURCE_FILE TXNR_SRC_DIR "TxnReminderEngine"

namespace {
const char* const kEventPrefix = "EventSource=InvoicePaymentReminders,EventId=";

std::string ViewText(FormViewType view) { return std::to_string(static_cast<int>(view)); }
} // namespace

// ---------------------------------------------------------------------------
// Construction and ownership of the storage helper.

TxnReminderEngine::TxnReminderEngine(FormViewType viewType) : m_viewType(viewType) {}

TxnReminderEngine::TxnReminderEngine(const TxnReminderEngine& other) : m_viewType(other.m_viewType) {
    other.ShareHelper();
    m_dbHelper = other.m_dbHelper;
    m_helperKeeper = other.m_helperKeeper;
}

TxnReminderEngine& TxnReminderEngine::operator=(const TxnReminderEngine& other) {
    m_viewType = other.m_viewType;
    if (this == &other) return *this;
    other.ShareHelper();
    // An owned helper that differs from the source's is released here; a
    // shared one goes when its last engine does.
    m_dbHelper = other.m_dbHelper;
    m_helperKeeper = other.m_helperKeeper;
    return *this;
}

TxnReminderEngine::~TxnReminderEngine() {
    m_viewType = FormViewType_None;
    m_dbHelper.Release();
}

void TxnReminderEngine::ShareHelper() const {
    if (!m_dbHelper || !m_dbHelper.Owns()) return;
    // Copying the holder moves the ownership into the keeper.
    m_helperKeeper = std::make_shared<Util::AutoPtr<TxnReminderDBHelper>>(m_dbHelper);
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

bool TxnReminderEngine::GetDLPTargetGroup(long targetGroupId, TxnReminderTargetGroup& targetGroup,
                                          bool membersAsListed) {
    TXNR_TRACE("TxnReminder::Entering %s", TXNR_FUNCTION_NAME);
    try {
        if (!m_dbHelper && !Initialize()) return false;
        long groupId = targetGroupId;
        if (!(membersAsListed ? m_dbHelper->GetDLPTargetGroupAsListed(groupId, targetGroup)
                              : m_dbHelper->GetDLPTargetGroup(groupId, targetGroup, true)))
            return false;
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
// Invoice reminder selection.

// What one invoice selection has found so far.
struct TxnReminderEngine::InvoiceSelection {
    TxnReminderStatusCode& status;
    std::vector<TxnSendableReminderContainer>& reminders;
    bool& duplicateFound;
    bool fastMode;
    // Set when fast mode has found its one reminder.
    bool ended = false;

    // Hands out the reminder of candidate `i` unless its transaction went
    // out before in this selection (a duplicate, remembered instead).
    void Take(InvoiceTargetIndex& targets, std::size_t i, const TxnSendableReminderContainer& reminder,
              TxnReminderStatusCode invoiceStatus) {
        if (!targets.MarkSelected(i, static_cast<std::uint32_t>(reminder.GetTransactionId()))) {
            duplicateFound = true;
            return;
        }
        reminders.push_back(reminder);
        if (status == TxnReminderStatus_Success) status = invoiceStatus;
        if (fastMode) {
            TXNR_MILESTONE("TxnReminder: We're in fast mode now and an email is found!");
            ended = true;
        }
    }
};

namespace {

// One group's reminders over flat rows: the index lists the invoices the
// group addresses, the finder the rule due for each.
void SelectFromRows(const InvoiceCandidateList& rows, InvoiceTargetIndex& targets, InvoiceDueRuleFinder& dueRules,
                    TxnReminderEngine::InvoiceSelection& out) {
    for (std::size_t i = targets.NextAddressed(0); i != InvoiceTargetIndex::npos && !out.ended;
         i = targets.NextAddressed(i + 1)) {
        // Once a duplicate has been reported, an invoice already handed out
        // has nothing more to tell.
        if (out.duplicateFound && targets.KnownSelected(i)) continue;
        const std::size_t rule = dueRules.Find(i);
        if (rule == InvoiceDueRuleFinder::npos) continue;
        TxnSendableReminderContainer reminder;
        dueRules.Fill(rule, rows.At(i).transactionId, reminder);
        out.Take(targets, i, reminder, targets.EmailFound(i) ? TxnReminderStatus_Success : TxnReminderStatus_NoEmail);
    }
}

// One group's reminders over containers: plain invoice containers are
// judged by the index, any other through its own operations.
void SelectFromContainers(std::vector<std::unique_ptr<TxnReminderTransactionContainer>>& txns,
                          InvoiceTargetIndex& targets, const TxnReminderTargetGroup& group,
                          std::vector<TxnReminderRule>& groupRules, TxnReminderEngine::InvoiceSelection& out) {
    for (std::size_t i = 0; i < txns.size() && !out.ended; ++i) {
        TxnReminderTransactionContainer& txn = *txns[i];
        TxnReminderStatusCode invoiceStatus = TxnReminderStatus_Success;
        if (targets.Handles(i)) {
            if (out.duplicateFound && targets.KnownSelected(i)) continue;
            bool emailFound = false;
            if (!targets.Addressed(i, emailFound)) continue;
            txn.SetEmailIdPresent(emailFound);
            if (!emailFound) invoiceStatus = TxnReminderStatus_NoEmail;
        } else if (!txn.IsAcceptableTarget(invoiceStatus, group)) {
            continue;
        }
        TxnSendableReminderContainer reminder;
        if (!txn.IsExecutable(invoiceStatus, groupRules, reminder)) continue;
        out.Take(targets, i, reminder, invoiceStatus);
    }
}

} // namespace

bool TxnReminderEngine::SelectInvoices(const std::vector<TxnReminderSet>& sets, const InvoiceCandidateList& rows,
                                       std::vector<std::unique_ptr<TxnReminderTransactionContainer>>& txns,
                                       InvoiceSelection& out) {
    const bool flat = rows.Filled();
    // The loaded sets outlive the loop, so the map keeps them by address.
    std::map<long, std::vector<const TxnReminderSet*>> setsByGroup;
    for (const TxnReminderSet& set : sets) {
        if (set.GetReminderSetStatus() == TxnReminderSetStatus_Active)
            setsByGroup[set.GetTargetGroupId()].push_back(&set);
    }

    // Which candidates each group addresses, from one read of the name list
    // (made when the first group is judged, where a lookup per invoice would
    // first be made); it also remembers the transactions already handed out,
    // so that an invoice a later group also selects is reported, not repeated.
    std::unique_ptr<InvoiceTargetIndex> targets =
        flat ? std::make_unique<InvoiceTargetIndex>(rows) : std::make_unique<InvoiceTargetIndex>(txns);
    std::unique_ptr<InvoiceDueRuleFinder> dueRules;
    if (flat) dueRules = std::make_unique<InvoiceDueRuleFinder>(rows);
    std::vector<TxnReminderRule> groupRules;
    for (const auto& [groupId, groupSets] : setsByGroup) {
        groupRules.clear();
        for (const TxnReminderSet* set : groupSets) {
            const std::vector<TxnReminderRule>& rules = set->GetReminderRules();
            groupRules.insert(groupRules.end(), rules.begin(), rules.end());
        }
        if (groupRules.empty()) {
            TXNR_MILESTONE("TxnReminder: Empty rule list present, hence skipping");
            continue;
        }
        TxnReminderTargetGroup group;
        // Flat rows are judged by the index alone, which needs only to know
        // who is a member.
        if (!GetDLPTargetGroup(groupId, group, flat)) return false;
        std::sort(groupRules.begin(), groupRules.end());
        targets->SelectGroup(group);
        if (flat) {
            dueRules->SelectRules(groupRules);
            SelectFromRows(rows, *targets, *dueRules, out);
        } else {
            SelectFromContainers(txns, *targets, group, groupRules, out);
        }
        if (out.ended) return true;
    }
    return true;
}

bool TxnReminderEngine::PrepareReminderListToSend(TxnReminderStatusCode& status,
                                                  std::vector<TxnSendableReminderContainer>& reminders,
                                                  bool& duplicateFound, bool fastMode) {
    TXNR_MILESTONE("TxnReminder::Entering %s", TXNR_FUNCTION_NAME);
    if (m_viewType == FormViewType_Statement) return PrepareReminderListToSendForStmt(status, reminders, false);
    try {
        const TxnReminderUtil::TimePoint start = TxnReminderUtil::StartTracing();
        status = TxnReminderStatus_Success;

        std::vector<TxnReminderSet> sets;
        if (!GetAllReminderSets(status, sets)) {
            status = TxnReminderStatus_LoadFailed;
            return false;
        }
        // The storage hands the open invoices over as flat rows where it can,
        // as containers otherwise.
        InvoiceCandidateList rows;
        std::vector<std::unique_ptr<TxnReminderTransactionContainer>> txns;
        if (!LoadSelectionCandidates(rows, txns)) {
            status = TxnReminderStatus_LoadFailed;
            return false;
        }
        if (rows.Filled() ? rows.Size() > 0 : !txns.empty()) {
            InvoiceSelection selection{status, reminders, duplicateFound, fastMode};
            if (!SelectInvoices(sets, rows, txns, selection)) return false;
            if (selection.ended) return true;
        }

        char file[] = TXNR_SOURCE_FILE;
        char function[] = "TxnReminderEngine::PrepareReminderListToSend";
        TxnReminderUtil::EndTracing(start, file, function);
        TXNR_MILESTONE("TxnReminder::Exiting %s", TXNR_FUNCTION_NAME);
        return true;
    } catch (const std::exception& e) {
        TXNR_FAILURE("TxnReminder::PrepareReminderListToSend exception occured in execution, trace=%s", e.what());
        status = TxnReminderStatus_Exception;
        return false;
    } catch (...) {
        TXNR_FAILURE("TxnReminder::PrepareReminderListToSend unable to execute!");
        status = TxnReminderStatus_Exception;
        return false;
    }
}

bool TxnReminderEngine::IsAtLeastOneReminderRuleActive() {
    TXNR_MILESTONE("TxnReminder::Entering %s", TXNR_FUNCTION_NAME);
    try {
        TxnReminderStatusCode status = TxnReminderStatus_Reset;
        std::vector<TxnReminderSet> sets;
        if (!GetAllReminderSets(status, sets)) {
            TXNR_MILESTONE("TxnReminder::Exiting %s", TXNR_FUNCTION_NAME);
            return false;
        }
        for (const TxnReminderSet& set : sets) {
            if (set.GetReminderSetStatus() != TxnReminderSetStatus_Active) continue;
            if (!set.GetReminderRules().empty() || !set.GetStatementReminderRules().empty()) {
                TXNR_MILESTONE("TxnReminder::Exiting %s : Found the active rule", TXNR_FUNCTION_NAME);
                return true;
            }
        }
        TXNR_MILESTONE("TxnReminder::Exiting %s", TXNR_FUNCTION_NAME);
        return false;
    } catch (...) {
        TXNR_FAILURE("TxnReminder: Exception in TxnReminderEngine::IsAtLeastOneReminderRuleActive");
        return false;
    }
}

bool TxnReminderEngine::LoadSelectionCandidates(InvoiceCandidateList& rows,
                                                std::vector<std::unique_ptr<TxnReminderTransactionContainer>>& txns) {
    TXNR_TRACE("TxnReminder::Entering TxnReminderEngine::GetTxnDetailsFromDB");
    try {
        if (!m_dbHelper && !Initialize()) return false;
        if (!m_dbHelper->LoadSelectionCandidates(rows, txns)) return false;
        TXNR_TRACE("TxnReminder::Exiting TxnReminderEngine::GetTxnDetailsFromDB");
        return true;
    } catch (...) {
        TXNR_FAILURE("TxnReminder: Exception in TxnReminderEngine::GetTxnDetailsFromDB");
        return false;
    }
}

// ---------------------------------------------------------------------------
// Statement reminder selection.

bool TxnReminderEngine::PrepareReminderListToSendForStmt(TxnReminderStatusCode& status,
                                                         std::vector<TxnSendableReminderContainer>& reminders,
                                                         bool fastMode) {
    TXNR_MILESTONE("TxnReminder::Entering %s", TXNR_FUNCTION_NAME);
    status = TxnReminderStatus_Success;
    try {
        std::vector<TxnReminderSet> sets;
        if (!GetAllReminderSets(status, sets)) {
            TXNR_FAILURE("TxnReminderEngine:PrepareReminderListToSendForStmt: Get all reminder sets failed.");
            status = TxnReminderStatus_LoadFailed;
            return false;
        }

        std::map<unsigned long, TxnReminderTargetGroup> groups;
        std::vector<StatementReminderRule> rules;
        for (const TxnReminderSet& set : sets) {
            if (set.GetReminderSetStatus() != TxnReminderSetStatus_Active) continue;
            TxnReminderTargetGroup group;
            // Sets made since target groups became permission groups name a
            // permission group, which has no own-table record to load.
            const long groupId = set.GetTargetGroupId();
            const bool ownTable = m_dbHelper->HasOwnTargetGroup(groupId);
            if (!(ownTable ? GetTargetGroup(groupId, group) : GetDLPTargetGroup(groupId, group))) {
                TXNR_FAILURE("TxnReminderEngine:PrepareReminderListToSendForStmt: Get target group failed.");
                status = TxnReminderStatus_LoadFailed;
                return false;
            }
            groups[set.GetRuleSetId()] = group;
            const std::vector<StatementReminderRule>& setRules = set.GetStatementReminderRules();
            rules.insert(rules.end(), setRules.begin(), setRules.end());
        }

        std::vector<unsigned long> allTransactionRuleIds;
        for (StatementReminderRule& rule : rules) {
            if (rule.GetRuleCriteria().GetTxnStatus() == 0) allTransactionRuleIds.push_back(rule.GetRuleId());
            // A new period: last period's statuses no longer hold.
            const DateType32 lastTrigger = rule.GetLastTriggerDate();
            if (rule.GetEmailListPrepDate() < lastTrigger) {
                if (!DeleteStatementReminderExecutionDetails(rule.GetRuleId())) {
                    TXNR_FAILURE("TxnReminderEngine:PrepareReminderListToSendForStmt: Delete statement execution "
                                 "status for rule failed.");
                    status = TxnReminderStatus_LoadFailed;
                    return false;
                }
                rule.SetEmailListPrepDate(lastTrigger);
                UpdateEmailPrepDateForSTMT(rule);
            }
        }

        if (!fastMode) {
            for (const StatementReminderRule& rule : rules) {
                const auto group = groups.find(rule.GetRuleSetId());
                std::vector<int> ready;
                if (!GetReadyCustomerList(rule.GetRuleId(),
                                          group != groups.end() ? group->second : TxnReminderTargetGroup(), ready)) {
                    status = TxnReminderStatus_LoadFailed;
                    return false;
                }
                for (int customerId : ready) {
                    TxnSendableReminderContainer reminder;
                    reminder.SetTxnType(FormViewType_Statement);
                    reminder.SetTransactionId(0);
                    reminder.SetCustomerId(customerId);
                    reminder.SetRuleId(rule.GetRuleId());
                    reminder.SetTemplateId(rule.GetEmailTemplateId());
                    reminders.push_back(reminder);
                }
            }
            TXNR_MILESTONE("TxnReminder::Exiting %s", TXNR_FUNCTION_NAME);
            return true;
        }

        if (CanShowReminderForStmt(status, allTransactionRuleIds, rules, groups)) {
            // Only says that something is due.
            reminders.emplace_back();
            return true;
        }
        return status == TxnReminderStatus_Success;
    } catch (const std::exception& e) {
        TXNR_FAILURE("TxnReminder::PrepareReminderListToSendForStmt exception occured in execution, trace=%s",
                     e.what());
        status = TxnReminderStatus_Exception;
        return false;
    } catch (...) {
        TXNR_FAILURE("TxnReminder::PrepareReminderListToSendForStmt unable to execute!");
        status = TxnReminderStatus_Exception;
        return false;
    }
}

bool TxnReminderEngine::GetStmtData(TxnReminderStatusCode& status,
                                    std::list<std::pair<StmtEditTag*, TargetGroupRule>>& stmtData) {
    status = TxnReminderStatus_Success;
    std::vector<TxnSendableReminderContainer> due;
    if (!PrepareReminderListToSendForStmt(status, due, false)) {
        status = TxnReminderStatus_LoadFailed;
        TXNR_FAILURE("TxnReminderEngine:GetStmtData: Prepare reminder list for statements failed.");
        return false;
    }
    if (due.empty()) return true;

    std::map<unsigned long, std::vector<int>> customersByRule;
    for (const TxnSendableReminderContainer& reminder : due)
        customersByRule[reminder.GetRuleId()].push_back(reminder.GetCustomerId());

    std::vector<TxnReminderSet> sets;
    if (!GetAllReminderSets(status, sets)) {
        status = TxnReminderStatus_LoadFailed;
        TXNR_FAILURE("TxnReminderEngine:GetStmtData: not able to get set with rules for statements.");
        return false;
    }
    std::vector<StatementReminderRule> dueRules;
    for (const TxnReminderSet& set : sets) {
        if (set.GetReminderSetStatus() != TxnReminderSetStatus_Active) continue;
        for (const StatementReminderRule& rule : set.GetStatementReminderRules()) {
            if (customersByRule.count(rule.GetRuleId()) > 0) dueRules.push_back(rule);
        }
    }
    for (const StatementReminderRule& rule : dueRules) {
        StmtEditTag* handle = rule.CreateStmtEditHandle(status, customersByRule[rule.GetRuleId()]);
        stmtData.emplace_back(handle, TargetGroupRule(rule.GetRuleId(), rule.GetEmailTemplateId()));
    }
    return true;
}

bool TxnReminderEngine::GetReadyCustomerList(unsigned long ruleId, TxnReminderTargetGroup targetGroup,
                                             std::vector<int>& customerIds) {
    if (!m_dbHelper && !Initialize()) return false;
    std::vector<int> customers;
    if (!m_dbHelper->GetCustomerListFromGroup(targetGroup.GetTargetGroupId(), customers)) {
        TXNR_FAILURE("TxnReminderEngine:GetReadyCustomerList: Get customer list from group failed.");
        return false;
    }
    std::vector<DMStmtReminderExecutionStatus::DBStmtReminderExecutionStatus> rows;
    if (!GetCustomersStatusForGivenRule(ruleId, rows)) {
        TXNR_FAILURE("TxnReminderEngine:GetReadyCustomerList: Get statement execution status failed.");
        return false;
    }
    std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.CustomerId < b.CustomerId; });
    std::sort(customers.begin(), customers.end());
    // A customer listed twice in the group is still one customer with one
    // status: the merge below would otherwise hand it out past its status.
    customers.erase(std::unique(customers.begin(), customers.end()), customers.end());

    auto customer = customers.begin();
    auto row = rows.begin();
    while (customer != customers.end() && row != rows.end()) {
        if (*customer < row->CustomerId) {
            customerIds.push_back(*customer);
            ++customer;
        } else if (*customer == row->CustomerId) {
            if (row->Status == ReminderExecutionStatus_Pending) {
                if (!DeleteStatementReminderExecutionDetails(ruleId, *customer)) {
                    TXNR_FAILURE("TxnReminderEngine:GetReadyCustomerList: Delete statement execution status for "
                                 "rule and customer failed.");
                    return false;
                }
                customerIds.push_back(*customer);
            }
            ++customer;
            ++row;
        } else {
            ++row;
        }
    }
    customerIds.insert(customerIds.end(), customer, customers.end());
    return true;
}

bool TxnReminderEngine::CanShowReminderForStmt(TxnReminderStatusCode& status,
                                               std::vector<unsigned long> allTransactionRuleIds,
                                               std::vector<StatementReminderRule> rules,
                                               std::map<unsigned long, TxnReminderTargetGroup> targetGroups) {
    if (rules.empty()) return false;
    std::map<StatementReminderRule, std::vector<int>> restricted;
    for (const StatementReminderRule& rule : rules) {
        const auto group = targetGroups.find(rule.GetRuleSetId());
        std::vector<int> ready;
        if (!GetReadyCustomerList(rule.GetRuleId(),
                                  group != targetGroups.end() ? group->second : TxnReminderTargetGroup(), ready))
            return false;
        if (ready.empty()) continue;
        if (std::find(allTransactionRuleIds.begin(), allTransactionRuleIds.end(), rule.GetRuleId()) !=
            allTransactionRuleIds.end()) {
            TXNR_MILESTONE("TxnReminder:CanShowReminderForStmt We're in fast mode now and an email is found!");
            return true;
        }
        restricted.emplace(rule, std::move(ready));
    }
    if (restricted.empty()) return false;

    // Rules restricted to open or overdue transactions are due only when the
    // host would show something for their ready customers.
    ReminderEmailStateHandler* flow = ReminderEmailStateHandler::Instance();
    flow->EnterReminderEmailFlow(1, false, false);
    const auto closeFlow = [flow] {
        if (ReminderEmailStateHandler::IsReminderEmailFlowEnabled()) flow->ExitReminderEmailFlow();
    };
    bool result = false;
    try {
        for (auto& [rule, ready] : restricted) {
            const std::unique_ptr<StmtEditTag, void (*)(StmtEditTag*)> handle(
                rule.CreateStmtEditHandle(status, std::move(ready)), StmtEditTag::Free);
            if (status == TxnReminderStatus_StmtHandleFailed || !handle) break;
            const std::unique_ptr<AgingBalancesQuery> query(new AgingBalancesQuery());
            // A query that fails shows nothing for this rule; the next may still.
            if (query->Execute(handle.get()).Succeeded() && query->CanShowReminder()) {
                result = true;
                break;
            }
        }
        closeFlow();
        return result;
    } catch (...) {
        closeFlow();
        TXNR_FAILURE("TxnReminder: Exception in TxnReminderEngine::CanShowReminderForStmt");
        return false;
    }
}

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
