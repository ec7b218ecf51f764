#include "StatementReminderDBHelper.h"

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "DB/DBManager.h"
#include "Records/RecordText.h"
#include "Records/ReminderRecords.h"
#include "Records/StmtReminderRecords.h"
#include "StatementReminderRule.h"
#include "TxnReminderTimerUtil.h"
#include "TxnReminderUtil.h"

#define TXNR_SOURCE_FILE TXNR_SRC_DIR "StatementReminderDBHelper"

namespace {
using DMStmtReminderExecutionStatus::IDBStmtReminderExecutionStatus;
using DMStmtReminderRule::IDBStmtReminderRule;

unsigned long Id32(long id) { return static_cast<unsigned long>(static_cast<std::uint32_t>(id)); }
} // namespace

StatementReminderDBHelper::StatementReminderDBHelper() = default;

// The base destructor releases the transaction.
StatementReminderDBHelper::~StatementReminderDBHelper() = default;

bool StatementReminderDBHelper::DeleteReminderRules(TxnReminderStatusCode&, std::vector<unsigned long>&) {
    // Statement rules go with their set or one by one; there is no batch.
    return true;
}

bool StatementReminderDBHelper::CreateRuleTemplateType(long) {
    // Statements use the host's own statement templates.
    return true;
}

bool StatementReminderDBHelper::DeleteReminderSet(TxnReminderStatusCode& status, unsigned long setId) {
    TXNR_MILESTONE("TxnReminder::Entering StatementReminderDBHelper %s", TXNR_FUNCTION_NAME);
    status = TxnReminderStatus_Reset;
    if (!HasTransaction(TXNR_SITE,
                        "TxnReminder:StatementReminderDBHelper::DeleteReminderSet - failed to get DMTransaction ",
                        &status, TxnReminderStatus_NoTransaction))
        return false;

    std::vector<DMStmtReminderRule::DBStmtReminderRule> records;
    if (IDBStmtReminderRule::BatchLoad(static_cast<long>(setId), records, GetTransaction()).Failed()) {
        TXNR_FAILURE("TxnReminder:StatementReminderDBHelper::DeleteReminderSet - failed to batch load");
        status = TxnReminderStatus_NoTransaction;
        return false;
    }

    UnitGuard guard(*this);
    if (!records.empty()) {
        std::vector<long> ruleIds;
        for (const auto& record : records) ruleIds.push_back(record.RuleId);
        // A failure here rolls back the statuses already deleted, so that no
        // later commit of this transaction carries them; the status stays 0.
        for (long ruleId : ruleIds) {
            if (!CheckWrite(TXNR_SITE, IDBStmtReminderExecutionStatus::Delete(ruleId, GetTransaction()),
                            {"TxnReminder:StatementReminderDBHelper::DeleteReminderSet - failed to delete execution "
                             "status",
                             "TxnReminder:StatementReminderDBHelper::DeleteReminderSet Rollback api returned false",
                             nullptr, TxnReminderStatus_Reset}))
                return false;
        }
        if (!CheckWrite(TXNR_SITE, IDBStmtReminderRule::BatchDelete(ruleIds.data(), ruleIds.size(), GetTransaction()),
                        {"TxnReminder:StatementReminderDBHelper::BatchDeleteRule - failed to delete",
                         "TxnReminder:StatementReminderDBHelper::BatchDeleteRule Rollback api returned false", &status,
                         TxnReminderStatus_DeleteFailed}))
            return false;
    }
    if (!CheckWrite(TXNR_SITE,
                    DMTransactionReminderSet::IDBTransactionReminderSet::Delete(static_cast<long>(setId),
                                                                                GetTransaction()),
                    {"TxnReminder:StatementReminderDBHelper::DeleteReminderSet - failed to delete",
                     "TxnReminder:StatementReminderDBHelper::DeleteReminderSet Rollback api returned false", &status,
                     TxnReminderStatus_DeleteFailed}))
        return false;

    if (!CommitUnit(TXNR_SITE, &status, TxnReminderStatus_DeleteFailed)) return false;
    TXNR_MILESTONE("TxnReminder::Exiting StatementReminderDBHelper %s", TXNR_FUNCTION_NAME);
    return true;
}

bool StatementReminderDBHelper::DeleteRule(TxnReminderStatusCode& status, unsigned long ruleId) {
    TXNR_TRACE("TxnReminder::Entering %s", TXNR_FUNCTION_NAME);
    status = TxnReminderStatus_Reset;
    if (!HasTransaction(TXNR_SITE, "TxnReminder:StatementReminderDBHelper::DeleteRule - failed to get DMTransaction ",
                        &status, TxnReminderStatus_NoTransaction))
        return false;

    UnitGuard guard(*this);
    // As in DeleteReminderSet: a failure rolls back and leaves the status 0.
    if (!CheckWrite(TXNR_SITE, IDBStmtReminderExecutionStatus::Delete(static_cast<long>(ruleId), GetTransaction()),
                    {"TxnReminder:StatementReminderDBHelper::DeleteRule - failed to delete execution status",
                     "TxnReminder::StatementReminderDBHelper::DeleteRule - Rollback api call failed", nullptr,
                     TxnReminderStatus_Reset}))
        return false;
    if (!CheckWrite(TXNR_SITE, IDBStmtReminderRule::Delete(static_cast<long>(ruleId), GetTransaction()),
                    {"TxnReminder:StatementReminderDBHelper::DeleteRule - failed to delete the rule",
                     "TxnReminder::StatementReminderDBHelper::DeleteRule - Rollback api call failed", &status,
                     TxnReminderStatus_DeleteFailed}))
        return false;

    if (!CommitUnit(TXNR_SITE, &status, TxnReminderStatus_DeleteFailed)) return false;
    TXNR_MILESTONE("TxnReminder::Exiting StatementReminderDBHelper %s", TXNR_FUNCTION_NAME);
    return true;
}

bool StatementReminderDBHelper::GetAllStatementRulesForReminderSet(std::vector<StatementReminderRule>& rules,
                                                                   unsigned long setId) {
    TXNR_TRACE("TxnReminder::Entering StatementReminderDBHelper %s", TXNR_FUNCTION_NAME);
    if (!HasTransaction(TXNR_SITE,
                        "TxnReminder:StatementReminderDBHelper::GetAllRulesForReminderSet - failed to get DMTransaction ",
                        nullptr, TxnReminderStatus_Reset))
        return false;

    std::vector<DMStmtReminderRule::DBStmtReminderRule> records;
    if (IDBStmtReminderRule::BatchLoad(static_cast<long>(setId), records, GetTransaction()).Failed()) {
        TXNR_FAILURE("TxnReminder:StatementReminderDBHelper::GetAllRules - failed to batch load");
        return false;
    }
    for (const auto& record : records) {
        StatementReminderRule rule;
        rule.SetRuleId(Id32(record.RuleId));
        rule.SetRuleSetId(Id32(record.RemindersetId));
        StatementReminderRuleCriteria criteria;
        criteria.SetDateRange(record.DateRange);
        criteria.SetTxnStatus(record.TxnStatus);
        criteria.SetOverdueBy(record.OverdueBy);
        criteria.SetIsItemDetailsIncluded(record.IsItemDetailsIncluded != 0);
        criteria.SetIsMemoIncluded(record.IsMemoIncluded != 0);
        criteria.SetIsDueDateIncluded(record.IsDueDateIncluded != 0);
        criteria.SetIsCustomerJob(record.IsCustomerJob != 0);
        rule.SetRuleCriteria(criteria);
        rule.SetEmailTemplateId(record.MessageTemplateId);
        rule.SetStyleTemplateId(record.StyleTemplateId);
        rule.SetScheduleDayWithFrequency(record.ScheduleDay, record.Frequency);
        // One stored rule whose date cannot be read costs that rule only,
        // not the listing of every set and every later selection.
        const std::string prepText = Host::BoundedText(record.EmailListPrepDate, sizeof record.EmailListPrepDate);
        try {
            rule.SetEmailListPrepDate(TxnReminderTimerUtil::StatementStringToDate(prepText));
        } catch (const std::exception& e) {
            TXNR_FAILURE("TxnReminder:StatementReminderDBHelper::GetAllRules - rule %lu left out: its e-mail list "
                         "preparation date '%s' cannot be read (%s)",
                         rule.GetRuleId(), prepText.c_str(), e.what());
            continue;
        }
        rules.push_back(rule);
    }
    if (!rules.empty()) {
        SendTelemetryEvent(kTxnReminderTelemetryKind,
                           "EventSource=AutomatedStatementReminders,EventId=NumberOfRulesPerReminderSet:" +
                               std::to_string(rules.size()));
    }
    TXNR_TRACE("TxnReminder::Exiting StatementReminderDBHelper %s", TXNR_FUNCTION_NAME);
    return true;
}

bool StatementReminderDBHelper::WriteExecutionStatus(const LogSite& site, bool update, unsigned long ruleId,
                                                     int customerId, ReminderExecutionStatus executionStatus,
                                                     const char* missingLine, const WriteFailure& failure) {
    if (!HasTransaction(site, missingLine, nullptr, TxnReminderStatus_Reset)) return false;
    IDBStmtReminderExecutionStatus record;
    record.SetCustomerId(customerId);
    record.SetRuleId(static_cast<long>(ruleId));
    record.SetStatus(executionStatus);
    const Util::Status written = update ? record.Update(GetTransaction()) : record.Add(GetTransaction());
    return CheckWrite(site, written, failure) && CommitUnit(site, nullptr, TxnReminderStatus_Reset);
}

bool StatementReminderDBHelper::AddReminderExecutionDetails(unsigned long ruleId, int customerId,
                                                            ReminderExecutionStatus executionStatus) {
    if (!WriteExecutionStatus(
            TXNR_SITE, false, ruleId, customerId, executionStatus,
            "TxnReminder:StatementReminderDBHelper:AddReminderExecutionDetails - failed to get DMTransaction ",
            {"TxnReminder:StatementReminderDBHelper::AddReminderExecutionDetails - Unable to save execution "
             "details",
             "TxnReminder:StatementReminderDBHelper::AddReminderExecutionDetails Rollback api returned false", nullptr,
             TxnReminderStatus_Reset}))
        return false;
    TXNR_TRACE("TxnReminder::Exiting %s", TXNR_FUNCTION_NAME);
    return true;
}

bool StatementReminderDBHelper::UpdateReminderExecutionStatusForSTMT(unsigned long ruleId, int customerId,
                                                                     ReminderExecutionStatus executionStatus) {
    if (!WriteExecutionStatus(
            TXNR_SITE, true, ruleId, customerId, executionStatus,
            "TxnReminder:StatementReminderDBHelper:UpdateReminderExecutionStatus - failed to get DMTransaction ",
            {"TxnReminder:StatementReminderDBHelper::UpdateReminderExecutionStatus - Unable to update "
             "execution status",
             "TxnReminder:StatementReminderDBHelper::UpdateReminderExecutionStatus Rollback api returned false",
             nullptr, TxnReminderStatus_Reset}))
        return false;
    TXNR_TRACE("TxnReminder::Exiting %s", TXNR_FUNCTION_NAME);
    return true;
}

bool StatementReminderDBHelper::DeleteReminderExecutionDetailsForRule(unsigned long ruleId) {
    TXNR_MILESTONE("TxnReminder::Entering StatementReminderDBHelper %s", TXNR_FUNCTION_NAME);
    // Without the helper's transaction the deletion would bypass the unit of
    // work and could not be rolled back.
    if (!HasTransaction(
            TXNR_SITE,
            "TxnReminder:StatementReminderDBHelper::DeleteReminderExecutionDetailsForRule - failed to get DMTransaction ",
            nullptr, TxnReminderStatus_Reset))
        return false;
    if (!CheckWrite(
            TXNR_SITE, IDBStmtReminderExecutionStatus::Delete(static_cast<long>(ruleId), GetTransaction()),
            {"TxnReminder:StatementReminderDBHelper::DeleteReminderExecutionDetailsForRule - failed to delete",
             "TxnReminder:StatementReminderDBHelper::DeleteReminderExecutionDetailsForRule Rollback api returned false",
             nullptr, TxnReminderStatus_Reset}))
        return false;
    if (!CommitUnit(TXNR_SITE, nullptr, TxnReminderStatus_Reset)) return false;
    TXNR_MILESTONE("TxnReminder::Exiting StatementReminderDBHelper %s", TXNR_FUNCTION_NAME);
    return true;
}

bool StatementReminderDBHelper::DeleteReminderExecutionDetail(unsigned long ruleId, int customerId) {
    TXNR_MILESTONE("TxnReminder::Entering StatementReminderDBHelper %s", TXNR_FUNCTION_NAME);
    if (!HasTransaction(TXNR_SITE,
                        "TxnReminder:StatementReminderDBHelper::DeleteReminderExecutionDetail - failed to get DMTransaction ",
                        nullptr, TxnReminderStatus_Reset))
        return false;
    if (!CheckWrite(TXNR_SITE,
                    IDBStmtReminderExecutionStatus::Delete(static_cast<long>(ruleId), customerId, GetTransaction()),
                    {"TxnReminder:StatementReminderDBHelper::DeleteReminderExecutionDetail - failed to delete",
                     "TxnReminder:StatementReminderDBHelper::DeleteReminderExecutionDetail Rollback api returned false",
                     nullptr, TxnReminderStatus_Reset}))
        return false;
    if (!CommitUnit(TXNR_SITE, nullptr, TxnReminderStatus_Reset)) return false;
    TXNR_MILESTONE("TxnReminder::Exiting StatementReminderDBHelper %s", TXNR_FUNCTION_NAME);
    return true;
}

bool StatementReminderDBHelper::GetCustomersForGivenExecutionStatusForSTMT(std::vector<int>& customerIds,
                                                                           unsigned long ruleId,
                                                                           ReminderExecutionStatus executionStatus) {
    TXNR_MILESTONE("TxnReminder: StmtReminderDBHelper:  GetCustomersForGivenExecutionStatus: Start");
    if (IDBStmtReminderExecutionStatus::BatchLoadByRuleIdAndStatus(static_cast<long>(ruleId), executionStatus,
                                                                   customerIds, nullptr)
            .Failed()) {
        TXNR_FAILURE("TxnReminder:StatementReminderDBHelper::GetCustomersForGivenExecutionStatus -failed to batchLoadAll");
        return false;
    }
    TXNR_MILESTONE("TxnReminder::Exiting StatementReminderDBHelper %s", TXNR_FUNCTION_NAME);
    return true;
}

bool StatementReminderDBHelper::GetCustomersStatusForGivenRule(unsigned long ruleId,
                                                               std::vector<DBStmtReminderExecutionStatus>& records) {
    TXNR_MILESTONE("TxnReminder: StmtReminderDBHelper:  GetCustomersStatusForGivenRule: Start");
    if (IDBStmtReminderExecutionStatus::BatchLoadByRuleId(static_cast<long>(ruleId), records, nullptr).Failed()) {
        TXNR_FAILURE("TxnReminder:StatementReminderDBHelper::GetCustomersStatusForGivenRule -failed to batchLoadAll");
        return false;
    }
    TXNR_MILESTONE("TxnReminder::Exiting StatementReminderDBHelper %s", TXNR_FUNCTION_NAME);
    return true;
}

bool StatementReminderDBHelper::SaveStmtRule(StatementReminderRule& rule) {
    TXNR_TRACE("TxnReminder::Entering %s", TXNR_FUNCTION_NAME);
    if (!HasTransaction(TXNR_SITE, "TxnReminder: SaveRule: dbTrans is NULL", nullptr, TxnReminderStatus_Reset))
        return false;

    const StatementReminderRuleCriteria& criteria = rule.GetRuleCriteria();
    IDBStmtReminderRule record;
    record.SetRuleId(static_cast<long>(rule.GetRuleId()));
    record.SetRemindersetId(static_cast<long>(rule.GetRuleSetId()));
    record.SetMessageTemplateId(rule.GetEmailTemplateId());
    record.SetStyleTemplateId(rule.GetStyleTemplateId());
    record.SetScheduleDay(rule.GetScheduleDay());
    record.SetFrequency(rule.GetFrequency());
    record.SetDateRange(criteria.GetDateRange());
    record.SetTxnStatus(criteria.GetTxnStatus());
    record.SetOverdueBy(criteria.GetOverdueBy());
    record.SetIsItemDetailsIncluded(criteria.GetIsItemDetailsIncluded() ? 1 : 0);
    record.SetIsMemoIncluded(criteria.GetIsMemoIncluded() ? 1 : 0);
    record.SetIsDueDateIncluded(criteria.GetIsDueDateIncluded() ? 1 : 0);
    record.SetIsCustomerJob(criteria.GetIsCustomerJob() ? 1 : 0);

    Util::Status written;
    if (rule.GetRuleId() != 0) {
        // The text must read back as this date: a year below 1000 has fewer
        // than eight digits, and a date that is no date reads back as none.
        const DateType32 prepDate = rule.GetEmailListPrepDate();
        if (!prepDate.IsValid() || prepDate.GetYear() < 1000 || prepDate.GetYear() > 9999) {
            TXNR_FAILURE("TxnReminder:StatementReminderDBHelper::SaveRule - rule %lu: e-mail list preparation date "
                         "%d-%d-%d is not a date the rule can keep",
                         rule.GetRuleId(), prepDate.GetYear(), prepDate.GetMonth(), prepDate.GetDay());
            return false;
        }
        record.SetEmailListPrepDate(TxnReminderTimerUtil::DateToString(prepDate));
        written = record.Update(GetTransaction());
        SendTelemetryEvent(kTxnReminderTelemetryKind,
                           "EventSource=AutomatedStatementReminders,EventId=ReminderModified");
    } else {
        // A new rule has had no period yet.
        record.SetEmailListPrepDate(TxnReminderTimerUtil::DateToString(DateType32(1, 1, 1970)));
        written = record.Add(GetTransaction());
        SendTelemetryEvent(kTxnReminderTelemetryKind, "EventSource=AutomatedStatementReminders,EventId=ReminderCreated");
    }
    if (written.Failed()) {
        TXNR_FAILURE("TxnReminder:StatementReminderDBHelper::SaveRule - failed ");
        return false;
    }
    // Inside a set save the set commits; on its own (the selection moving a
    // rule's period forward) the rule is its own unit of work and must last.
    if (!InsideSetSave() && !CommitUnit(TXNR_SITE, nullptr, TxnReminderStatus_Reset)) return false;
    rule.SetRuleId(Id32(record.GetRuleId()));
    TXNR_TRACE("TxnReminder::Exiting %s", TXNR_FUNCTION_NAME);
    return true;
}
