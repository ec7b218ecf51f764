#include "TxnReminderDBHelper.h"

#include <algorithm>
#include <boost/property_tree/ptree.hpp>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <unordered_set>

#include "DB/DBManager.h"
#include "PtreeHelpers.h"
#include "Records/Groups.h"
#include "Records/MessageTemplates.h"
#include "Records/Names.h"
#include "Records/RecordText.h"
#include "Records/ReminderRecords.h"
#include "StatementReminderRule.h"
#include "TxnReminderRule.h"
#include "TxnReminderRuleTemplate.h"
#include "TxnReminderSet.h"
#include "TxnReminderTargetGroup.h"
#include "TxnReminderUtil.h"

#define TXNR_SOURCE_FILE TXNR_SRC_DIR "TxnReminderDBHelper"

namespace {
constexpr std::size_t kMaxReminderSetNameChars = 64;
// A template's subject and body hold at most 256 and 32,000 characters.
constexpr std::size_t kTemplateSubjectChars = 256;
constexpr std::size_t kTemplateBodyChars = 32000;
constexpr long kSecondsPerDay = 86400;
using DMTransactionReminderRule::kMaxInvoiceRuleDays;
const char* const kReminderTemplateName = "Reminder";

// Characters of a UTF-8 text (bytes that do not continue a character).
std::size_t Utf8Chars(const std::string& text) {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}
} // namespace

TxnReminderDBHelper::TxnReminderDBHelper() {
    DBMgr::IDBFileMgr* fileMgr = DBMgr::DBManager::GetActiveFileMgr();
    if (fileMgr) m_dbTrans.reset(fileMgr->CreateTransaction(0, 1));
}

TxnReminderDBHelper::~TxnReminderDBHelper() = default;

// ---------------------------------------------------------------------------
// Shared storage operations. Those still marked "storage arrives with the
// record store" store and load nothing and answer false, so that no caller
// takes a placeholder for a success.

bool TxnReminderDBHelper::GetAllReminderSets(TxnReminderStatusCode& status, FormViewType view,
                                             std::vector<TxnReminderSet>& sets) {
    TXNR_MILESTONE("TxnReminder::Entering TxnReminderDBHelper %s", TXNR_FUNCTION_NAME);
    status = TxnReminderStatus_Reset;
    if (!HasTransaction(TXNR_SITE, "TxnReminder:TxnReminderDBHelper::GetAllReminderSets - failed to get DMTransaction ",
                        &status, TxnReminderStatus_NoTransaction))
        return false;

    std::vector<DMTransactionReminderSet::DBTransactionReminderSet> records;
    if (DMTransactionReminderSet::IDBTransactionReminderSet::BatchLoad(view, records, GetTransaction()).Failed()) {
        TXNR_FAILURE("TxnReminder:TxnReminderDBHelper::GetAllReminderSets - failed to batch load");
        status = TxnReminderStatus_NoTransaction;
        return false;
    }

    long disabledSets = 0;
    std::size_t totalRules = 0;
    for (const auto& record : records) {
        TxnReminderSet set;
        set.SetTxnType(static_cast<FormViewType>(record.TransactionView));
        set.SetReminderStatus(static_cast<TxnReminderSetStatus>(record.IsActive));
        set.SetRuleSetId(static_cast<unsigned long>(static_cast<std::uint32_t>(record.RemindersetId)));
        if (record.IsActive == 0) ++disabledSets;

        const std::string name = Host::BoundedText(record.Name, sizeof record.Name);
        if (Utf8Chars(name) > kMaxReminderSetNameChars) {
            TXNR_FAILURE("TxnReminder:TxnReminderDBHelper::GetAllReminderSets -Reminder set name's length limit exceeded");
            status = TxnReminderStatus_LengthExceeded;
            return false;
        }
        set.SetReminderSetName(name);
        set.SetTargetGroupId(record.TargetGroupId);

        long groupId = record.TargetGroupId;
        TxnReminderTargetGroup group;
        if (!GetDLPTargetGroup(groupId, group, false)) {
            TXNR_FAILURE("TxnReminder:GetAllReminderSets::Error fetching Target Group");
            status = TxnReminderStatus_NoTransaction;
            return false;
        }
        set.SetDefaultTargetGroupName(group.GetTargetGroupName());

        if (view == FormViewType_Invoice) {
            std::vector<TxnReminderRule> rules;
            if (!GetAllRulesForReminderSet(rules, set.GetRuleSetId(), FormViewType_Invoice)) {
                TXNR_FAILURE("TxnReminder:TxnReminderDBHelper::Error fetching all rules for reminderset Id");
                status = TxnReminderStatus_NoTransaction;
                return false;
            }
            // Stable: stored rules may carry schedules outside the ordering's
            // domain, which an unstable sort must not be trusted with.
            std::stable_sort(rules.begin(), rules.end());
            set.SetReminderRules(rules);
            totalRules += rules.size();
        } else if (view == FormViewType_Statement) {
            std::vector<StatementReminderRule> rules;
            if (!GetAllStatementRulesForReminderSet(rules, set.GetRuleSetId())) {
                TXNR_FAILURE("TxnReminder:StatementReminderDBHelper::Error fetching all rules for reminderset Id");
                status = TxnReminderStatus_NoTransaction;
                return false;
            }
            std::stable_sort(rules.begin(), rules.end());
            set.SetStatementReminderRules(rules);
            totalRules += rules.size();
        }
        sets.push_back(set);
    }

    const std::string viewText = std::to_string(static_cast<int>(view));
    SendTelemetryEvent(kTxnReminderTelemetryKind,
                       "EventSource=InvoicePaymentReminders, EventId=NumberOfDisabledReminderSets:" +
                           std::to_string(disabledSets) + ", ReminderType=" + viewText);
    if (!sets.empty()) {
        SendTelemetryEvent(kTxnReminderTelemetryKind,
                           "EventSource=InvoicePaymentReminders, EventId=AvgNumberOfRemindersPerSet:" +
                               std::to_string(totalRules / sets.size()) + ", ReminderType=" + viewText);
    }

    status = TxnReminderStatus_Success;
    TXNR_MILESTONE("TxnReminder::Exiting TxnReminderDBHelper %s", TXNR_FUNCTION_NAME);
    return true;
}

bool TxnReminderDBHelper::SaveReminderSet(TxnReminderStatusCode& status, TxnReminderSet& set) {
    TXNR_MILESTONE("TxnReminder::Entering TxnReminderDBHelper %s", TXNR_FUNCTION_NAME);
    DMTransactionReminderSet::IDBTransactionReminderSet record;
    record.SetIsActive(set.GetReminderSetStatus());
    const std::string name = set.GetReminderSetName().str();
    // A name that would not fit the record whole is refused too: the store
    // would cut it silently.
    if (Utf8Chars(name) > kMaxReminderSetNameChars ||
        name.size() >= sizeof(DMTransactionReminderSet::DBTransactionReminderSet::Name)) {
        TXNR_FAILURE("TxnReminder:TxnReminderDBHelper::SaveReminderSet -Reminder set name's length limit exceeded");
        status = TxnReminderStatus_LengthExceeded;
        return false;
    }
    record.SetName(name);
    record.SetRemindersetId(static_cast<long>(set.GetRuleSetId()));
    record.SetTargetGroupId(set.GetTargetGroupId());
    record.SetTransactionView(set.GetTxnType());

    if (!HasTransaction(TXNR_SITE, "TxnReminder:TxnReminderDBHelper::SaveReminderSet - failed to get DMTransaction ",
                        &status, TxnReminderStatus_NoTransaction))
        return false;

    // The store's ids go into a working copy; the caller's set takes them only
    // once the whole set is committed, so a failed save leaves it as it was.
    TxnReminderSet working(set);
    UnitGuard guard(*this);
    Util::Status written;
    if (working.GetRuleSetId() != 0) {
        written = record.Update(GetTransaction());
        SendTelemetryEvent(kTxnReminderTelemetryKind, "EventSource=InvoicePaymentReminders,EventId=ScheduleModified");
    } else {
        Group* found = nullptr;
        // Only whether the group exists: its members are not read.
        const Util::Status lookedUp = Group::GetGroupById(working.GetTargetGroupId(), found, false);
        std::unique_ptr<Group> group(found);
        if (lookedUp.Failed() || !group) {
            TXNR_MILESTONE("TxnReminder:SaveReminder GetGroupById is not retrieved ");
            status = TxnReminderStatus_GroupMissingOrInUse;
            return false;
        }
        written = record.Add(GetTransaction());
        SendTelemetryEvent(kTxnReminderTelemetryKind, "EventSource=InvoicePaymentReminders,EventId=ScheduleCreated");
    }
    if (!CheckWrite(TXNR_SITE, written,
                    {"TxnReminder:TxnReminderDBHelper::SaveReminderSet - failed ",
                     "TxnReminder:TxnReminderDBHelper::SaveReminderSet Rollback api returned false", &status,
                     TxnReminderStatus_SaveFailed}))
        return false;
    working.SetRuleSetId(static_cast<unsigned long>(static_cast<std::uint32_t>(record.GetRemindersetId())));

    {
        struct NestedSaves {
            explicit NestedSaves(int& depth) : m_depth(depth) { ++m_depth; }
            ~NestedSaves() { --m_depth; }
            int& m_depth;
        } nested(m_setSaveDepth);

        for (auto& rule : working.GetReminderRules()) {
            if (!SaveRule(rule, working.GetTxnType())) {
                CheckWrite(TXNR_SITE, Util::Status::GetFailed(),
                           {"TxnReminder:TxnReminderDBHelper::SaveReminderSet - SaveRule api returned false",
                            "TxnReminder:TxnReminderDBHelper::SaveReminderSet Rollback api returned false", &status,
                            TxnReminderStatus_NoTransaction});
                return false;
            }
        }
        for (auto& rule : working.GetStatementReminderRules()) {
            if (!SaveStmtRule(rule)) {
                CheckWrite(TXNR_SITE, Util::Status::GetFailed(),
                           {"TxnReminder:StatementReminderDBHelper::SaveReminderSet - SaveRule api returned false",
                            "TxnReminder:StatementReminderDBHelper::SaveReminderSet Rollback api returned false",
                            &status, TxnReminderStatus_NoTransaction});
                return false;
            }
        }
    }

    if (!CommitUnit(TXNR_SITE, &status, TxnReminderStatus_SaveFailed)) return false;
    set = working;
    TXNR_MILESTONE("TxnReminder::Exiting TxnReminderDBHelper %s", TXNR_FUNCTION_NAME);
    return true;
}

bool TxnReminderDBHelper::DeleteReminderSet(TxnReminderStatusCode& status, unsigned long setId) {
    TXNR_MILESTONE("TxnReminder::Entering TxnReminderDBHelper %s", TXNR_FUNCTION_NAME);
    status = TxnReminderStatus_Reset;
    if (!HasTransaction(TXNR_SITE, "TxnReminder:TxnReminderDBHelper::DeleteReminderSet - failed to get DMTransaction ",
                        &status, TxnReminderStatus_NoTransaction))
        return false;

    std::vector<DMTransactionReminderRule::DBTransactionReminderRule> records;
    if (DMTransactionReminderRule::IDBTransactionReminderRule::BatchLoad(static_cast<long>(setId), records,
                                                                        GetTransaction())
            .Failed()) {
        TXNR_FAILURE("TxnReminder:TxnReminderDBHelper::DeleteReminderSet - failed to batch load");
        status = TxnReminderStatus_NoTransaction;
        return false;
    }
    std::vector<long> ruleIds;
    std::vector<long> templateIds;
    for (const auto& record : records) {
        ruleIds.push_back(record.RuleId);
        templateIds.push_back(record.MessageTemplateId);
    }

    UnitGuard guard(*this);
    if (!ruleIds.empty() &&
        !CheckWrite(TXNR_SITE,
                    DMTransactionReminderRule::IDBTransactionReminderRule::BatchDelete(ruleIds.data(), ruleIds.size(),
                                                                                       GetTransaction()),
                    {"TxnReminder:TxnReminderDBHelper::BatchDeleteRule - failed to delete",
                     "TxnReminder:TxnReminderDBHelper::BatchDeleteRule Rollback api returned false", &status,
                     TxnReminderStatus_DeleteFailed}))
        return false;
    if (!templateIds.empty() &&
        !CheckWrite(TXNR_SITE, MessageTemplateAdapter::DeleteBatchTemplate(templateIds, GetTransaction()),
                    {"TxnReminder:TxnReminderDBHelper::BatchDeletetemplate - failed to delete",
                     "TxnReminder:TxnReminderDBHelper::BatchDeletetemplate Rollback api returned false", &status,
                     TxnReminderStatus_DeleteFailed}))
        return false;
    if (!CheckWrite(TXNR_SITE,
                    DMTransactionReminderSet::IDBTransactionReminderSet::Delete(static_cast<long>(setId),
                                                                                GetTransaction()),
                    {"TxnReminder:TxnReminderDBHelper::DeleteReminderSet - failed to delete",
                     "TxnReminder:TxnReminderDBHelper::DeleteReminderSet Rollback api returned false", &status,
                     TxnReminderStatus_DeleteFailed}))
        return false;

    if (!CommitUnit(TXNR_SITE, &status, TxnReminderStatus_DeleteFailed)) return false;
    TXNR_MILESTONE("TxnReminder::Exiting TxnReminderDBHelper %s", TXNR_FUNCTION_NAME);
    return true;
}

bool TxnReminderDBHelper::DeleteReminderRules(TxnReminderStatusCode& status, std::vector<unsigned long>& ruleIds) {
    TXNR_MILESTONE("TxnReminder::Entering TxnReminderDBHelper %s", TXNR_FUNCTION_NAME);
    status = TxnReminderStatus_Reset;
    if (!HasTransaction(TXNR_SITE, "TxnReminder:TxnReminderDBHelper::DeleteReminderRules - failed to get DMTransaction ",
                        &status, TxnReminderStatus_NoTransaction))
        return false;

    std::vector<unsigned long> ids;
    std::vector<long> templateIds;
    for (unsigned long ruleId : ruleIds) {
        DMTransactionReminderRule::IDBTransactionReminderRule record;
        if (record.Load(static_cast<long>(ruleId), GetTransaction()).Failed()) {
            TXNR_FAILURE("TxnReminder:TxnReminderDBHelper::DeleteReminderRules - failed to load");
            status = TxnReminderStatus_NoTransaction;
            return false;
        }
        ids.push_back(ruleId);
        templateIds.push_back(record.GetMessageTemplateId());
    }

    UnitGuard guard(*this);
    if (!ids.empty() &&
        !CheckWrite(TXNR_SITE,
                    DMTransactionReminderRule::IDBTransactionReminderRule::BatchDelete(ids.data(), ids.size(),
                                                                                       GetTransaction()),
                    {"TxnReminder:TxnReminderDBHelper::DeleteReminderRules - failed to delete rules",
                     "TxnReminder:TxnReminderDBHelper::DeleteReminderRules Rollback api returned false", &status,
                     TxnReminderStatus_DeleteFailed}))
        return false;
    if (!templateIds.empty() &&
        !CheckWrite(TXNR_SITE, MessageTemplateAdapter::DeleteBatchTemplate(templateIds, GetTransaction()),
                    {"TxnReminder:TxnReminderDBHelper::DeleteReminderRules - failed to delete templates",
                     "TxnReminder:TxnReminderDBHelper::DeleteReminderRules Rollback api returned false", &status,
                     TxnReminderStatus_DeleteFailed}))
        return false;

    if (!CommitUnit(TXNR_SITE, &status, TxnReminderStatus_DeleteFailed)) return false;
    TXNR_MILESTONE("TxnReminder::Exiting TxnReminderDBHelper %s", TXNR_FUNCTION_NAME);
    return true;
}

bool TxnReminderDBHelper::GetRuleTemplate(TxnReminderRuleTemplate& ruleTemplate, long templateId) {
    TXNR_TRACE("TxnReminder::Entering TxnReminderDBHelper %s", TXNR_FUNCTION_NAME);
    try {
        // Templates are not read while the file is being re-indexed.
        if (InCIndex()) return false;
        if (!HasTransaction(TXNR_SITE,
                            "TxnReminder:TxnReminderDBHelper::GetRuleTemplate - failed to get DMTransaction ", nullptr,
                            TxnReminderStatus_Reset))
            return false;

        DMMessageTemplate::IDBMessageTemplate record;
        const Util::Status loaded = record.Load(templateId, GetTransaction());
        if (!loaded.Succeeded() || loaded.GetStatusCode() == Util::Status::kRecordNotFound) {
            TXNR_FAILURE("TxnReminder:TxnReminderDBHelper::GetRuleTemplate - Unable to load reminder rule template");
            return false;
        }
        ruleTemplate.SetTemplateId(record.GetTemplateId());
        ruleTemplate.SetTemplateTypeId(static_cast<int>(record.GetTemplateTypeId()));
        // Whole texts: a buffer sized in bytes would cut a text of accented
        // characters well short of its limit in characters.
        ruleTemplate.SetTemplateSubject(Util::TString(record.GetSubject()));
        ruleTemplate.SetTemplateBody(Util::TString(record.GetBody()));

        TXNR_TRACE("TxnReminder::Exiting TxnReminderDBHelper %s", TXNR_FUNCTION_NAME);
        return true;
    } catch (const std::exception&) {
        TXNR_FAILURE("TxnReminder: Exception in TxnReminderDBHelper::GetRuleTemplate");
        return false;
    }
}

bool TxnReminderDBHelper::SaveRuleTemplate(TxnReminderRuleTemplate& ruleTemplate) {
    TXNR_TRACE("TxnReminder::Entering TxnReminderDBHelper %s", TXNR_FUNCTION_NAME);
    try {
        if (!HasTransaction(TXNR_SITE,
                            "TxnReminder:TxnReminderDBHelper::SaveRuleTemplate - Failed to get GetDBTransactionPtr ",
                            nullptr, TxnReminderStatus_Reset))
            return false;
        const std::string subject = ruleTemplate.GetTemplateSubject().str();
        const std::string body = ruleTemplate.GetTemplateBody().str();
        // Stored whole or not at all: a text cut on the way would go out as
        // a reminder nobody wrote.
        if (Utf8Chars(subject) > kTemplateSubjectChars || Utf8Chars(body) > kTemplateBodyChars ||
            subject.find('\0') != std::string::npos || body.find('\0') != std::string::npos) {
            TXNR_FAILURE("TxnReminder:TxnReminderDBHelper::SaveRuleTemplate - template refused: the subject holds at "
                         "most 256 characters, the body at most 32000, and neither a NUL character");
            return false;
        }
        if (!CreateRuleTemplateType(TxnReminderRuleTemplate::kInvoiceTemplateType)) {
            TXNR_FAILURE("TxnReminder: Unable to create Invoice reminder template");
            return false;
        }

        long templateId = ruleTemplate.GetTemplateId();
        const Util::Status saved = MessageTemplateAdapter::Save(
            TxnReminderRuleTemplate::kInvoiceTemplateType, templateId, 0, kReminderTemplateName,
            body, subject, 0, GetTransaction());
        if (!CheckWrite(TXNR_SITE, saved,
                        {"TxnReminder: Unable to save Invoice reminder template",
                         "TxnReminder:TxnReminderDBHelper::SaveRuleTemplate Rollback api returned false", nullptr,
                         TxnReminderStatus_Reset}))
            return false;
        // Inside a set save the set commits the template with everything else.
        if (!InsideSetSave() && !CommitUnit(TXNR_SITE, nullptr, TxnReminderStatus_Reset)) return false;
        ruleTemplate.SetTemplateId(templateId);

        TXNR_TRACE("TxnReminder::Exiting TxnReminderDBHelper %s", TXNR_FUNCTION_NAME);
        return true;
    } catch (const std::exception&) {
        TXNR_FAILURE("TxnReminder: Exception in TxnReminderDBHelper::SaveRuleTemplate");
        // On its own the save is its own unit: nothing of it may stay pending.
        if (!InsideSetSave() && GetTransaction()) GetTransaction()->Rollback();
        return false;
    }
}

bool TxnReminderDBHelper::DeleteRule(TxnReminderStatusCode& status, unsigned long ruleId) {
    TXNR_TRACE("TxnReminder::Entering TxnReminderDBHelper %s", TXNR_FUNCTION_NAME);
    status = TxnReminderStatus_Reset;
    if (!HasTransaction(TXNR_SITE, "TxnReminder:TxnReminderDBHelper::DeleteRule - failed to get DMTransaction ",
                        &status, TxnReminderStatus_NoTransaction))
        return false;

    DMTransactionReminderRule::IDBTransactionReminderRule record;
    if (record.Load(static_cast<long>(ruleId), GetTransaction()).Failed()) {
        TXNR_FAILURE("TxnReminder:TxnReminderDBHelper::DeleteRule - failed to load the rule");
        status = TxnReminderStatus_NoTransaction;
        return false;
    }
    const long templateId = record.GetMessageTemplateId();

    UnitGuard guard(*this);
    if (!CheckWrite(TXNR_SITE,
                    DMTransactionReminderRule::IDBTransactionReminderRule::Delete(static_cast<long>(ruleId),
                                                                                  GetTransaction()),
                    {"TxnReminder:TxnReminderDBHelper::DeleteRule - failed to delete the rule",
                     "TxnReminder::TxnReminderDBHelper::DeleteRule - Rollback api call failed", &status,
                     TxnReminderStatus_DeleteFailed}))
        return false;
    if (!DeleteRuleTemplate(status, templateId)) {
        CheckWrite(TXNR_SITE, Util::Status::GetFailed(),
                   {"TxnReminder:TxnReminderDBHelper::DeleteRule - failed to delete the associated rule template",
                    "TxnReminder::TxnReminderDBHelper::DeleteRule - Rollback api call failed", &status,
                    TxnReminderStatus_DeleteFailed});
        return false;
    }

    if (!CommitUnit(TXNR_SITE, &status, TxnReminderStatus_DeleteFailed)) return false;
    TXNR_TRACE("TxnReminder::Exiting TxnReminderDBHelper %s", TXNR_FUNCTION_NAME);
    return true;
}

bool TxnReminderDBHelper::DeleteRuleTemplate(TxnReminderStatusCode& status, long templateId) {
    TXNR_TRACE("TxnReminder::Entering TxnReminderDBHelper %s", TXNR_FUNCTION_NAME);
    status = TxnReminderStatus_Reset;
    try {
        if (!HasTransaction(TXNR_SITE,
                            "TxnReminder:TxnReminderDBHelper::DeleteRuleTemplate - failed to get DMTransaction ",
                            &status, TxnReminderStatus_Reset))
            return false;
        // Runs inside the caller's unit of work, which commits or rolls back.
        if (MessageTemplateAdapter::DeleteTemplate(templateId, GetTransaction()).Failed()) {
            TXNR_FAILURE("TxnReminder:TxnReminderDBHelper::DeleteRuleTemplate - Unable to delete reminder rule template");
            status = TxnReminderStatus_DeleteFailed;
            return false;
        }
        status = TxnReminderStatus_Success;
        TXNR_TRACE("TxnReminder::Exiting TxnReminderDBHelper %s", TXNR_FUNCTION_NAME);
        return true;
    } catch (const std::exception&) {
        TXNR_FAILURE("TxnReminder: Exception in TxnReminderDBHelper::DeleteRuleTemplate");
        status = TxnReminderStatus_Exception;
        return false;
    }
}

namespace {

// Longest texts of a target group, in characters.
constexpr std::size_t kTargetGroupNameLimit = 50;
constexpr std::size_t kTargetGroupDescriptionLimit = 250;
// Buffers a group's texts are read back into.
constexpr std::size_t kTargetGroupNameBuffer = 128;
constexpr std::size_t kTargetGroupDescriptionBuffer = 1024;

constexpr long kOldTargetGroupType = 1;
constexpr int kCustomerFeature = 1;
constexpr std::int32_t kMigratedGroupEntityType = 1;
constexpr const char kMigratedGroupUsedBy[] = "PaymentReminder";

const char* const kTargetGroupEventPrefix = "EventSource=InvoicePaymentReminders,EventId=";

} // namespace

bool TxnReminderDBHelper::GetTargetGroup(long& groupId, TxnReminderTargetGroup& group, bool withUsers) {
    TXNR_MILESTONE("TxnReminder::Entering TxnReminderDBHelper %s", TXNR_FUNCTION_NAME);
    if (!HasTransaction(TXNR_SITE, "TxnReminder:GetTargetGroup - failed to get DMTransaction ", nullptr,
                        TxnReminderStatus_NoTransaction))
        return false;
    DMReminderTargetGroup::IDBReminderTargetGroup record;
    const Util::Status loaded = record.Load(groupId, GetTransaction());
    // An absent group is not an empty one: the caller would address nobody
    // under an id that names nothing.
    if (loaded.Failed() || loaded.GetStatusCode() == Util::Status::kRecordNotFound) {
        TXNR_FAILURE("TxnReminder:TxnReminderDBHelper::GetTargetGroup - failed to load");
        return false;
    }
    group.SetTargetGroupId(record.GetTargetGroupId());
    char name[kTargetGroupNameBuffer];
    record.GetName(name, sizeof name);
    if (Utf8Chars(name) > kTargetGroupNameLimit) {
        TXNR_FAILURE("TxnReminder:TxnReminderDBHelper::GetTargetGroup -Target group name's length limit exceeded");
        return false;
    }
    group.SetTargetGroupName(Util::TString(name));
    std::unique_ptr<char[]> description(new char[kTargetGroupDescriptionBuffer]);
    record.GetDescription(description.get(), kTargetGroupDescriptionBuffer);
    if (Utf8Chars(description.get()) > kTargetGroupDescriptionLimit) {
        TXNR_FAILURE(
            "TxnReminder:TxnReminderDBHelper::GetTargetGroup -Target group description's length limit exceeded");
        return false;
    }
    group.SetTargetGroupDescription(Util::TString(description.get()));
    group.SetTargetGroupType(record.GetTargetGroupType());
    if (withUsers) {
        std::vector<DBReminderTargetUser> rows;
        if (DMReminderTargetUser::IDBReminderTargetUser::BatchLoad(record.GetTargetGroupId(), rows, GetTransaction())
                .Failed()) {
            TXNR_FAILURE("TxnReminder:TxnReminderDBHelper::GetTargetGroup - failed to load target users");
            return false;
        }
        for (const DBReminderTargetUser& row : rows) group.AddTargetUserIds(row.CustomerRecNum);
    }
    TXNR_MILESTONE("TxnReminder::Exiting TxnReminderDBHelper %s", TXNR_FUNCTION_NAME);
    return true;
}

bool TxnReminderDBHelper::HasOwnTargetGroup(long groupId) {
    if (!GetTransaction()) return false;
    DMReminderTargetGroup::IDBReminderTargetGroup record;
    const Util::Status loaded = record.Load(groupId, GetTransaction());
    return loaded.Succeeded() && loaded.GetStatusCode() != Util::Status::kRecordNotFound;
}

bool TxnReminderDBHelper::GetDLPTargetGroupAsListed(long groupId, TxnReminderTargetGroup& group) {
    // The ordinary read, lines and all, with the members kept as listed for
    // this one call; this storage's own read, whatever a derived one does.
    struct AsListed {
        bool& flag;
        explicit AsListed(bool& f) : flag(f) { flag = true; }
        ~AsListed() { flag = false; }
    } asListed(m_membersAsListed);
    return TxnReminderDBHelper::GetDLPTargetGroup(groupId, group, true);
}

bool TxnReminderDBHelper::GetDLPTargetGroup(long& groupId, TxnReminderTargetGroup& group, bool withUsers) {
    const bool asListed = m_membersAsListed;
    TXNR_MILESTONE("TxnReminder::Entering TxnReminderDBHelper %s", TXNR_FUNCTION_NAME);
    Group* found = nullptr;
    // The group's rules (one per member) are not read as rule records: the
    // members alone are read below when they are wanted, and listing the sets
    // names every set's group without them.
    const Util::Status loaded = Group::GetGroupById(groupId, found, false);
    std::unique_ptr<Group> permissionGroup(found);
    std::unordered_set<int> members;
    std::vector<int> listed;
    const auto readMembers = [&]() {
        return asListed ? Group::GetTargetRecNumList(permissionGroup->GetId(), listed)
                                 : Group::GetTargetRecNumsOfTheGroup(permissionGroup->GetId(), members);
    };
    if (loaded.Failed() || !permissionGroup || (withUsers && readMembers().Failed())) {
        TXNR_FAILURE("TxnReminder:TxnReminderDBHelper::GetDLPTargetGroup GetGroupById is not retrieved properly");
        return false;
    }
    group.SetTargetGroupId(permissionGroup->GetId());
    const std::string name = permissionGroup->GetGroupName();
    if (Utf8Chars(name) > kTargetGroupNameLimit) {
        TXNR_FAILURE("TxnReminder:TxnReminderDBHelper::GetDLPTargetGroup -Target group name's length limit exceeded");
        return false;
    }
    group.SetTargetGroupName(Util::TString(name));
    const std::string description = permissionGroup->GetGroupDesc();
    if (Utf8Chars(description) > kTargetGroupDescriptionLimit) {
        TXNR_FAILURE(
            "TxnReminder:TxnReminderDBHelper::GetDLPTargetGroup -Target group description's length limit exceeded");
        return false;
    }
    group.SetTargetGroupDescription(Util::TString(description));
    group.SetTargetGroupType(static_cast<short>(permissionGroup->GetGroupEntityType()));
    if (withUsers) {
        if (asListed) {
            std::vector<int> ids = group.GetTargetUserIds();
            if (ids.empty()) {
                ids = std::move(listed);
            } else {
                ids.insert(ids.end(), listed.begin(), listed.end());
            }
            group.SetTargetUserIds(std::move(ids));
        } else {
            for (int recNum : members) group.AddTargetUserIds(recNum);
        }
    }
    TXNR_MILESTONE("TxnReminder::Exiting TxnReminderDBHelper %s", TXNR_FUNCTION_NAME);
    return true;
}

bool TxnReminderDBHelper::DeleteTargetGroup(TxnReminderStatusCode& status, FormViewType view, long groupId) {
    TXNR_MILESTONE("TxnReminder::Entering TxnReminderDBHelper %s", TXNR_FUNCTION_NAME);
    status = TxnReminderStatus_Reset;
    if (!HasTransaction(TXNR_SITE, "TxnReminder:DeleteTargetGroup - failed to get DMTransaction ", &status,
                        TxnReminderStatus_NoTransaction))
        return false;
    DBMgr::DMTransaction* txn = GetTransaction();
    const UnitGuard unwindGuard(*this);
    std::vector<DMTransactionReminderSet::DBTransactionReminderSet> sets;
    if (DMTransactionReminderSet::IDBTransactionReminderSet::BatchLoadByTargetGroup(view, groupId, sets, txn)
            .Failed()) {
        TXNR_FAILURE("TxnReminder:TxnReminderDBHelper::DeleteTargetGroup - BatchLoadByTargetGroup - Unable to "
                     "load reminder sets associated to a target group");
        status = TxnReminderStatus_NoTransaction;
        return false;
    }
    if (!sets.empty()) {
        TXNR_MILESTONE("TxnReminder:TxnReminderDBHelper::DeleteTargetGroup - BatchLoadByTargetGroup - Unable to "
                       "delete target group as it has associated reminder sets");
        status = TxnReminderStatus_GroupMissingOrInUse;
        return false;
    }
    const char* const rollbackLine = "TxnReminder:TxnReminderDBHelper::DeleteTargetGroup Rollback api returned false";
    if (!CheckWrite(TXNR_SITE, DMReminderTargetUser::IDBReminderTargetUser::DeleteByTargetGroup(groupId, txn),
                    {"TxnReminder:TxnReminderDBHelper::DeleteTargetGroup - Unable to delete associated target users",
                     rollbackLine, &status, TxnReminderStatus_DeleteFailed}))
        return false;
    if (!CheckWrite(TXNR_SITE, DMReminderTargetGroup::IDBReminderTargetGroup::Delete(groupId, txn),
                    {"TxnReminder:TxnReminderDBHelper::DeleteTargetGroup - Unable to delete the target group",
                     rollbackLine, &status, TxnReminderStatus_DeleteFailed}))
        return false;
    if (!CommitUnit(TXNR_SITE, &status, TxnReminderStatus_DeleteFailed)) return false;
    TXNR_MILESTONE("TxnReminder::Exiting TxnReminderDBHelper %s", TXNR_FUNCTION_NAME);
    return true;
}

bool TxnReminderDBHelper::CreateRuleTemplateType(long typeId) {
    TXNR_TRACE("TxnReminder::Entering TxnReminderDBHelper %s", TXNR_FUNCTION_NAME);
    try {
        std::string name;
        const Util::Status loaded = MessageTemplateAdapter::LoadTemplateType(typeId, name, GetTransaction());
        if (loaded.Failed()) {
            TXNR_FAILURE("TxnReminder: Unable to verify Invoice reminder template type's existence");
            return false;
        }
        if (loaded.GetStatusCode() == Util::Status::kRecordNotFound) {
            const Util::Status added =
                MessageTemplateAdapter::AddTemplateType(typeId, kReminderTemplateName, name, GetTransaction());
            if (added.Failed()) {
                // Without a transaction the store wrote nothing that could be
                // rolled back.
                if (!GetTransaction()) {
                    TXNR_FAILURE("TxnReminder: Unable to add new Reminder template type");
                    return false;
                }
                CheckWrite(TXNR_SITE, added,
                           {"TxnReminder: Unable to add new Reminder template type",
                            "TxnReminder:TxnReminderDBHelper::CreateRuleTemplateType Rollback api returned false",
                            nullptr, TxnReminderStatus_Reset});
                return false;
            }
        }
        TXNR_TRACE("TxnReminder::Exiting TxnReminderDBHelper %s", TXNR_FUNCTION_NAME);
        return true;
    } catch (const std::exception&) {
        TXNR_FAILURE("TxnReminder: Exception in TxnReminderDBHelper::CreateRuleTemplateType");
        return false;
    }
}

bool TxnReminderDBHelper::SaveTargetGroup(TxnReminderStatusCode& status, TxnReminderTargetGroup& group) {
    TXNR_MILESTONE("TxnReminder::Entering TxnReminderDBHelper %s", TXNR_FUNCTION_NAME);
    status = TxnReminderStatus_Reset;
    DMReminderTargetGroup::IDBReminderTargetGroup record;
    record.SetTargetGroupType(group.GetTargetGroupType());
    const Util::TString name = group.GetTargetGroupName();
    // Also what the record can hold whole, so that a stored name reads back
    // as it was written.
    if (Utf8Chars(name.str()) > kTargetGroupNameLimit || name.str().size() >= kTargetGroupNameBuffer) {
        TXNR_FAILURE("TxnReminder:TxnReminderDBHelper::SaveTargetGroup -Target group name's length limit exceeded");
        status = TxnReminderStatus_LengthExceeded;
        return false;
    }
    record.SetName(name);
    const Util::TString description = group.GetTargetGroupDescription();
    if (Utf8Chars(description.str()) > kTargetGroupDescriptionLimit ||
        description.str().size() >= kTargetGroupDescriptionBuffer) {
        TXNR_FAILURE(
            "TxnReminder:TxnReminderDBHelper::SaveTargetGroup -Target group description's length limit exceeded");
        status = TxnReminderStatus_LengthExceeded;
        return false;
    }
    record.SetDescription(description);
    if (!HasTransaction(TXNR_SITE, "TxnReminder:SaveTargetGroup -GetDBTransactionPtr returns NULL", &status,
                        TxnReminderStatus_SaveFailed))
        return false;
    DBMgr::DMTransaction* txn = GetTransaction();
    const long givenId = group.GetTargetGroupId();
    const UnitGuard unwindGuard(*this);
    Util::Status written;
    if (givenId < 1) {
        written = record.Add(txn);
        SendTelemetryEvent(kTxnReminderTelemetryKind, std::string(kTargetGroupEventPrefix) + "TargetGroupCreated");
    } else {
        record.SetTargetGroupId(givenId);
        written = record.Update(txn);
        SendTelemetryEvent(kTxnReminderTelemetryKind, std::string(kTargetGroupEventPrefix) + "TargetGroupModified");
    }
    if (!CheckWrite(TXNR_SITE, written,
                    {"TxnReminder::SaveTargetGroup - Unable to save the target group",
                     "TxnReminder:TxnReminderDBHelper::SaveTargetGroup Rollback api returned false", &status,
                     TxnReminderStatus_SaveFailed}))
        return false;
    group.SetTargetGroupId(record.GetTargetGroupId());
    if (!SaveTargetUser(status, group)) {
        TXNR_FAILURE("TxnReminder::SaveTargetGroup - Unable to save target users");
        // The group record written above must not survive into a later
        // commit, and the caller's group must not keep an id that was
        // never stored.
        if (txn->HasPendingWrites()) txn->Rollback();
        group.SetTargetGroupId(givenId);
        return false;
    }
    if (!CommitUnit(TXNR_SITE, &status, TxnReminderStatus_SaveFailed)) {
        group.SetTargetGroupId(givenId);
        return false;
    }
    TXNR_MILESTONE("TxnReminder::Exiting TxnReminderDBHelper %s", TXNR_FUNCTION_NAME);
    return true;
}

bool TxnReminderDBHelper::IsTargetUserPresent(std::vector<DBReminderTargetUser>& users, int customerId) {
    for (const DBReminderTargetUser& user : users) {
        if (user.CustomerRecNum == customerId) return true;
    }
    return false;
}

bool TxnReminderDBHelper::GetCustomerGroupDetails(TxnReminderStatusCode& status, boost::property_tree::ptree& tree) {
    TXNR_MILESTONE("TxnReminder::Entering TxnReminderDBHelper %s", TXNR_FUNCTION_NAME);
    status = TxnReminderStatus_Reset;
    if (!HasTransaction(TXNR_SITE, "TxnReminder:TxnReminderDBHelper::GetCustomerGroupDetails- failed to get DMTransaction ",
                        &status, TxnReminderStatus_NoTransaction))
        return false;
    std::vector<DMReminderTargetGroup::DBReminderTargetGroup> records;
    if (DMReminderTargetGroup::IDBReminderTargetGroup::BatchLoad(kOldTargetGroupType, records, GetTransaction())
            .Failed()) {
        TXNR_FAILURE("TxnReminderDBHelper::GetCustomerGroupDetails Error in fetching reminderTargetGroups");
        status = TxnReminderStatus_NoTransaction;
        return false;
    }
    boost::property_tree::ptree groups;
    std::unique_ptr<char[]> description(new char[kTargetGroupDescriptionBuffer]);
    for (const auto& stored : records) {
        const DMReminderTargetGroup::IDBReminderTargetGroup record(stored);
        TxnReminderTargetGroup group;
        group.SetTargetGroupId(record.GetTargetGroupId());
        char name[kTargetGroupNameBuffer];
        record.GetName(name, sizeof name);
        if (Utf8Chars(name) > kTargetGroupNameLimit) {
            TXNR_FAILURE("TxnReminder:TxnReminderDBHelper::GetCustomerGroupDetails -Target group name's length limit "
                         "exceeded");
            status = TxnReminderStatus_LengthExceeded;
            return false;
        }
        group.SetTargetGroupName(Util::TString(name));
        group.SetTargetGroupType(record.GetTargetGroupType());
        record.GetDescription(description.get(), kTargetGroupDescriptionBuffer);
        if (Utf8Chars(description.get()) > kTargetGroupDescriptionLimit) {
            TXNR_FAILURE("TxnReminder:TxnReminderDBHelper::GetCustomerGroupDetails -Target group description's length "
                         "limit exceeded");
            status = TxnReminderStatus_LengthExceeded;
            return false;
        }
        group.SetTargetGroupDescription(Util::TString(description.get()));
        boost::property_tree::ptree element;
        group.GetPtree(element);
        TxnReminderPtree::AppendArrayElement(groups, element);
    }
    TxnReminderPtree::AddSubTree(tree, "customergroups", groups);
    status = TxnReminderStatus_Success;
    TXNR_MILESTONE("TxnReminder::Exiting TxnReminderDBHelper %s", TXNR_FUNCTION_NAME);
    return true;
}

bool TxnReminderDBHelper::SaveExecutionHistory(unsigned long txnId, FormViewType view, unsigned long ruleId,
                                               TxnReminderExecutionStatus executionStatus) {
    if (!HasTransaction(TXNR_SITE, "TxnReminder:SaveExecutionHistory - failed to get DMTransaction ", nullptr,
                        TxnReminderStatus_NoTransaction))
        return false;
    DBMgr::DMTransaction* txn = GetTransaction();
    const UnitGuard unwindGuard(*this);
    DMReminderExecutionHistory::IDBReminderExecutionHistory record;
    record.SetTransactionId(txnId);
    record.SetTransactionView(view);
    record.SetRuleId(ruleId);
    record.SetStatus(executionStatus);
    if (!CheckWrite(TXNR_SITE, record.Add(txn),
                    {"TxnReminder:TxnReminderDBHelper::SaveExecutionHistory - Unable to save execution details",
                     "TxnReminder:TxnReminderDBHelper::SaveExecutionHistory Rollback api returned false", nullptr,
                     TxnReminderStatus_SaveFailed}))
        return false;
    return CommitUnit(TXNR_SITE, nullptr, TxnReminderStatus_SaveFailed);
}

bool TxnReminderDBHelper::SaveRule(TxnReminderRule& rule, FormViewType view) {
    TXNR_TRACE("TxnReminder::Entering TxnReminderDBHelper %s", TXNR_FUNCTION_NAME);
    // Refused before anything is written: a count whose seconds do not fit
    // the record would load back as another count, even of the other sign.
    const long days = rule.GetRuleCriteria().GetDays();
    if (view == FormViewType_Invoice && (days > kMaxInvoiceRuleDays || days < -kMaxInvoiceRuleDays)) {
        TXNR_FAILURE("TxnReminder:TxnReminderDBHelper::SaveRule - rule %lu: %ld days is beyond the %ld days a rule "
                     "can keep",
                     rule.GetRuleId(), days, kMaxInvoiceRuleDays);
        return false;
    }
    if (!SaveRuleTemplate(rule.GetRuleTemplate())) return false;
    if (!HasTransaction(TXNR_SITE, "TxnReminder: SaveRule: dbTrans is NULL", nullptr, TxnReminderStatus_Reset))
        return false;

    const TxnReminderRuleCriteria& criteria = rule.GetRuleCriteria();
    DMTransactionReminderRule::IDBTransactionReminderRule record;
    record.SetRuleId(static_cast<long>(rule.GetRuleId()));
    record.SetRemindersetId(static_cast<long>(rule.GetRuleSetId()));
    record.SetDateToCompare(criteria.ConvertDateToCompareStringToNumericValue(view));
    record.SetCondition(criteria.GetSchedule());
    // Invoice rules keep their interval in seconds (checked above to fit).
    record.SetTriggerInterval(view == FormViewType_Invoice ? days * kSecondsPerDay : days);
    record.SetMessageTemplateId(rule.GetRuleTemplate().GetTemplateId());
    if (rule.GetRuleTemplate().GetTemplateId() <= 0) {
        TXNR_FAILURE("TxnReminder: Template ID should be created before Rule addition");
        return false;
    }

    Util::Status written;
    if (rule.GetRuleId() != 0) {
        written = record.Update(GetTransaction());
        SendTelemetryEvent(kTxnReminderTelemetryKind, "EventSource=InvoicePaymentReminders,EventId=ReminderModified");
    } else {
        written = record.Add(GetTransaction());
        SendTelemetryEvent(kTxnReminderTelemetryKind, "EventSource=InvoicePaymentReminders,EventId=ReminderCreated");
    }
    // The calling unit of work commits or rolls back.
    if (written.Failed()) {
        TXNR_FAILURE("TxnReminder:TxnReminderDBHelper::SaveRule - failed ");
        return false;
    }
    rule.SetRuleId(static_cast<unsigned long>(static_cast<std::uint32_t>(record.GetRuleId())));
    TXNR_TRACE("TxnReminder::Exiting TxnReminderDBHelper %s", TXNR_FUNCTION_NAME);
    return true;
}

bool TxnReminderDBHelper::SaveTargetUser(TxnReminderStatusCode& status, TxnReminderTargetGroup& group) {
    TXNR_MILESTONE("TxnReminder::Entering TxnReminderDBHelper %s", TXNR_FUNCTION_NAME);
    status = TxnReminderStatus_Reset;
    std::vector<DBReminderTargetUser> allUsers;
    if (DMReminderTargetUser::IDBReminderTargetUser::BatchLoadAll(allUsers, nullptr).Failed()) {
        TXNR_FAILURE("TxnReminder:TxnReminderDBHelper::SaveTargetUser - Unable to fetch list of the target users");
        status = TxnReminderStatus_NoTransaction;
        return false;
    }
    const std::vector<int> added = group.GetTargetUserIds();
    const std::vector<int> updated = group.GetUpdatedTargetUserIds();
    const std::vector<int> removed = group.GetRemovedTargetUserIds();
    std::vector<int> deletions(removed);
    deletions.insert(deletions.end(), updated.begin(), updated.end());
    deletions.insert(deletions.end(), added.begin(), added.end());
    std::vector<int> additions(added);
    additions.insert(additions.end(), updated.begin(), updated.end());

    if (!HasTransaction(TXNR_SITE, "TxnReminder:TxnReminderDBHelper::SaveTargetUser - Failed to get GetDBTransactionPtr ",
                        &status, TxnReminderStatus_NoTransaction))
        return false;
    const char* const rollbackLine = "TxnReminder:TxnReminderDBHelper::SaveTargetUser Rollback api returned false";
    const long groupId = group.GetTargetGroupId();
    if (!HandleDeletionOfTargetUsers(allUsers, deletions, groupId)) {
        CheckWrite(TXNR_SITE, Util::Status::GetFailed(),
                   {"TxnReminder:TxnReminderDBHelper::SaveTargetUser - Unable to delete list of the target users",
                    rollbackLine, &status, TxnReminderStatus_DeleteFailed});
        return false;
    }
    if (!HandleAdditionOfTargetUsers(additions, groupId)) {
        CheckWrite(TXNR_SITE, Util::Status::GetFailed(),
                   {"TxnReminder:TxnReminderDBHelper::SaveTargetUser - Unable to add list of the target users",
                    rollbackLine, &status, TxnReminderStatus_SaveFailed});
        return false;
    }
    status = TxnReminderStatus_Success;
    TXNR_MILESTONE("TxnReminder::Exiting TxnReminderDBHelper %s", TXNR_FUNCTION_NAME);
    return true;
}

bool TxnReminderDBHelper::GetAllRulesForReminderSet(std::vector<TxnReminderRule>& rules, unsigned long setId,
                                                    FormViewType view) {
    TXNR_TRACE("TxnReminder::Entering TxnReminderDBHelper %s", TXNR_FUNCTION_NAME);
    if (!HasTransaction(TXNR_SITE,
                        "TxnReminder:TxnReminderDBHelper::GetAllRulesForReminderSet - failed to get DMTransaction ",
                        nullptr, TxnReminderStatus_Reset))
        return false;

    std::vector<DMTransactionReminderRule::DBTransactionReminderRule> records;
    if (DMTransactionReminderRule::IDBTransactionReminderRule::BatchLoad(static_cast<long>(setId), records,
                                                                        GetTransaction())
            .Failed()) {
        TXNR_FAILURE("TxnReminder:TxnReminderDBHelper::GetAllRules - failed to batch load");
        return false;
    }
    for (const auto& record : records) {
        TxnReminderRule rule;
        rule.SetRuleId(static_cast<unsigned long>(static_cast<std::uint32_t>(record.RuleId)));
        rule.SetRuleSetId(static_cast<unsigned long>(static_cast<std::uint32_t>(record.RemindersetId)));
        TxnReminderRuleCriteria& criteria = rule.GetRuleCriteria();
        criteria.SetDateToCompare(TxnReminderRuleCriteria::GetDateToCompareString(record.DateToCompare, view));
        criteria.SetSchedule(record.Condition);
        criteria.SetDays(view == FormViewType_Invoice ? static_cast<int>(record.TriggerInterval / kSecondsPerDay)
                                                      : static_cast<int>(record.TriggerInterval));

        TxnReminderRuleTemplate ruleTemplate;
        if (!GetRuleTemplate(ruleTemplate, record.MessageTemplateId)) return false;
        rule.SetRuleTemplate(ruleTemplate);
        rules.push_back(rule);
    }
    TXNR_TRACE("TxnReminder::Exiting TxnReminderDBHelper %s", TXNR_FUNCTION_NAME);
    return true;
}

bool TxnReminderDBHelper::GetCustomerListFromGroup(long groupId, std::vector<int>& customerIds) {
    TXNR_MILESTONE("TxnReminder::Entering TxnReminderDBHelper %s", TXNR_FUNCTION_NAME);
    Group* found = nullptr;
    const Util::Status loaded = Group::GetGroupById(groupId, found, false);
    std::unique_ptr<Group> permissionGroup(found);
    std::unordered_set<int> members;
    if (loaded.Failed() || !permissionGroup ||
        Group::GetTargetRecNumsOfTheGroup(permissionGroup->GetId(), members).Failed()) {
        TXNR_FAILURE("TxnReminder:TxnReminderDBHelper::GetCustomerListFromGroup GetGroupById is not retrieved properly");
        return false;
    }
    if (members.empty()) {
        TXNR_MILESTONE("TxnReminder::Exiting StatementReminderDBHelper %s", TXNR_FUNCTION_NAME);
        return true;
    }
    // One read of who is hidden instead of a name lookup per member. When it
    // cannot be read the list fails: counting everyone as shown would send
    // statements to customers the user has hidden.
    std::vector<int> hidden;
    if (CName::GetHiddenRecNums(hidden).Failed()) {
        TXNR_FAILURE("TxnReminder:TxnReminderDBHelper::GetCustomerListFromGroup - unable to read hidden customers");
        return false;
    }
    for (int recNum : members) {
        if (!std::binary_search(hidden.begin(), hidden.end(), recNum)) customerIds.push_back(recNum);
    }
    TXNR_MILESTONE("TxnReminder::Exiting StatementReminderDBHelper %s", TXNR_FUNCTION_NAME);
    return true;
}

bool TxnReminderDBHelper::HandleAdditionOfTargetUsers(std::vector<int> customerIds, long groupId) {
    TXNR_MILESTONE("TxnReminder::Entering TxnReminderDBHelper %s", TXNR_FUNCTION_NAME);
    if (!HasTransaction(TXNR_SITE,
                        "TxnReminder:TxnReminderDBHelper::HandleAdditionOfTargetUsers - Failed to get GetDBTransactionPtr ",
                        nullptr, TxnReminderStatus_NoTransaction))
        return false;
    std::vector<DBReminderTargetUser> rows;
    rows.reserve(customerIds.size());
    for (auto id = customerIds.rbegin(); id != customerIds.rend(); ++id) rows.emplace_back(*id, groupId);
    if (DMReminderTargetUser::IDBReminderTargetUser::BatchInsert(rows.data(), rows.size(), GetTransaction())
            .Failed()) {
        TXNR_FAILURE("TxnReminder:TxnReminderDBHelper::SaveTargetUser - Unable to insert list of the target users");
        return false;
    }
    TXNR_MILESTONE("TxnReminder::Exiting TxnReminderDBHelper %s", TXNR_FUNCTION_NAME);
    return true;
}

bool TxnReminderDBHelper::HandleDeletionOfTargetUsers(std::vector<DBReminderTargetUser>& existing,
                                                      std::vector<int> customerIds, long groupId) {
    TXNR_MILESTONE("TxnReminder::Entering TxnReminderDBHelper %s", TXNR_FUNCTION_NAME);
    if (!HasTransaction(TXNR_SITE,
                        "TxnReminder:TxnReminderDBHelper::HandleDeletionOfTargetUsers - Failed to get GetDBTransactionPtr ",
                        nullptr, TxnReminderStatus_NoTransaction))
        return false;
    std::vector<DBReminderTargetUser> rows;
    for (auto id = customerIds.rbegin(); id != customerIds.rend(); ++id) {
        if (IsTargetUserPresent(existing, *id)) rows.emplace_back(*id, groupId);
    }
    if (DMReminderTargetUser::IDBReminderTargetUser::BatchDelete(rows.data(), rows.size(), GetTransaction())
            .Failed()) {
        TXNR_FAILURE("TxnReminder:TxnReminderDBHelper::SaveTargetUser - Unable to delete list of the target users");
        return false;
    }
    TXNR_MILESTONE("TxnReminder::Exiting TxnReminderDBHelper %s", TXNR_FUNCTION_NAME);
    return true;
}

bool TxnReminderDBHelper::MigrateOldTargetGroupAndUserTableToNewDLPTables() {
    // One unit of work: the permission groups, the reminder sets that now
    // name them and the removal of the old tables are committed together or
    // not at all, so no set is ever left naming a group that is gone, and a
    // failed run leaves the old tables whole for the next run.
    if (!HasTransaction(TXNR_SITE, "TxnReminder::MigrateDBTable failed to get DMTransaction ", nullptr,
                        TxnReminderStatus_NoTransaction))
        return false;
    DBMgr::DMTransaction* txn = GetTransaction();
    const auto failed = [this](const LogSite& site, const Util::Status& result, const char* line) {
        return !CheckWrite(site, result,
                           {line, "TxnReminder::MigrateDBTable Rollback api returned false", nullptr,
                            TxnReminderStatus_SaveFailed});
    };
    const UnitGuard unwindGuard(*this);
    std::vector<DMReminderTargetGroup::DBReminderTargetGroup> oldGroups;
    if (failed(TXNR_SITE, DMReminderTargetGroup::IDBReminderTargetGroup::BatchLoad(kOldTargetGroupType, oldGroups, txn),
               "TxnReminder::MigrateDBTable BatchLoad failed for target group"))
        return false;
    if (oldGroups.empty()) return true;

    // Every set's new group is decided from the state before the migration:
    // once the first permission group is made, its id may equal a later old
    // group's id, and a set moved onto it would be taken for a member of that
    // old group and moved again. A set that already names a permission group
    // belongs to it and is left alone.
    struct OldGroup {
        const DMReminderTargetGroup::DBReminderTargetGroup* record;
        std::vector<DBReminderTargetUser> members;
        std::vector<DMTransactionReminderSet::DBTransactionReminderSet> sets;
    };
    std::vector<OldGroup> snapshot;
    snapshot.reserve(oldGroups.size());
    for (const auto& oldGroup : oldGroups) {
        OldGroup entry{&oldGroup, {}, {}};
        if (failed(TXNR_SITE,
                   DMReminderTargetUser::IDBReminderTargetUser::BatchLoad(oldGroup.TargetGroupId, entry.members, txn),
                   "TxnReminder::MigrateDBTable BatchLoad failed for target users"))
            return false;
        std::vector<DMTransactionReminderSet::DBTransactionReminderSet> sets;
        if (failed(TXNR_SITE,
                   DMTransactionReminderSet::IDBTransactionReminderSet::BatchLoadByTargetGroup(
                       FormViewType_Invoice, oldGroup.TargetGroupId, sets, txn),
                   "TxnReminder::MigrateDBTable - BatchLoadByTargetGroup - Unable to load reminder sets associated "
                   "to a target group"))
            return false;
        Group* found = nullptr;
        const Util::Status lookedUp = Group::GetGroupById(oldGroup.TargetGroupId, found, false);
        const std::unique_ptr<Group> permissionGroup(found);
        if (failed(TXNR_SITE, lookedUp, "TxnReminder::MigrateDBTable GetGroupById failed")) return false;
        if (!permissionGroup) entry.sets = std::move(sets);
        snapshot.push_back(std::move(entry));
    }

    for (const OldGroup& old : snapshot) {
        const auto& oldGroup = *old.record;
        DMEntityGroupsHeader::DBEntityGroupsHeader header;
        header.GroupEntityType = kMigratedGroupEntityType;
        DMEntityGroupsHeader::SetName(header, Host::BoundedText(oldGroup.Name, sizeof oldGroup.Name));
        DMEntityGroupsHeader::SetDescription(
            header, Host::BoundedText(oldGroup.Description, sizeof oldGroup.Description));
        DMEntityGroupsHeader::SetUsedBy(header, kMigratedGroupUsedBy);

        std::vector<DMEntityGroupRules::DBEntityGroupRules> rules;
        rules.reserve(old.members.size());
        for (const DBReminderTargetUser& member : old.members) {
            DMEntityGroupRules::DBEntityGroupRules rule;
            rule.RuleId = -1;
            rule.GroupId = oldGroup.TargetGroupId;
            rule.Attribute = kCustomerRecNumAttribute;
            DMEntityGroupRules::SetValue(rule, std::to_string(member.CustomerRecNum));
            rules.push_back(rule);
        }
        long newGroupId = -1;
        Util::Status saved = DLPGroupManager::DLPGroupManager::SaveGroup(header, rules, newGroupId, txn);
        if (saved.Succeeded() && newGroupId <= 0) saved = Util::Status::GetFailed();
        if (failed(TXNR_SITE, saved, "TxnReminder::MigrateDBTable SaveGroup failed ")) return false;

        for (const auto& loaded : old.sets) {
            DMTransactionReminderSet::IDBTransactionReminderSet set;
            set.SetRemindersetId(loaded.RemindersetId);
            set.SetName(Host::BoundedText(loaded.Name, sizeof loaded.Name));
            set.SetIsActive(loaded.IsActive);
            set.SetTargetGroupId(newGroupId);
            set.SetTransactionView(FormViewType_Invoice);
            if (failed(TXNR_SITE, set.Update(txn), "TxnReminder::MigrateDBTable - ReminderSet - failed"))
                return false;
        }
        if (failed(TXNR_SITE, DMReminderTargetUser::IDBReminderTargetUser::BatchDelete(old.members, txn),
                   "TxnReminder::MigrateDBTable BatchDelete failed for target users"))
            return false;
    }
    if (failed(TXNR_SITE, DMReminderTargetGroup::IDBReminderTargetGroup::BatchDelete(oldGroups, txn),
               "TxnReminder::MigrateDBTable BatchDelete failed for target group"))
        return false;
    return CommitUnit(TXNR_SITE, nullptr, TxnReminderStatus_SaveFailed);
}

// ---------------------------------------------------------------------------
// Defaults of the view-specific operations: a view that has no such records
// answers here.

bool TxnReminderDBHelper::GetTxnDetailsFromDB(std::vector<std::unique_ptr<TxnReminderTransactionContainer>>&) {
    return false;
}

bool TxnReminderDBHelper::GetUserDetails(TxnReminderStatusCode&, boost::property_tree::ptree& tree) {
    // The caller must not show a stale customer list for a view without one.
    tree.clear();
    return false;
}

bool TxnReminderDBHelper::PurgeReminderExecutionHistory() { return false; }

bool TxnReminderDBHelper::GetAllStatementRulesForReminderSet(std::vector<StatementReminderRule>&, unsigned long) {
    return true;
}

bool TxnReminderDBHelper::AddReminderExecutionDetails(unsigned long, int, ReminderExecutionStatus) { return false; }

bool TxnReminderDBHelper::UpdateReminderExecutionStatusForSTMT(unsigned long, int, ReminderExecutionStatus) {
    return false;
}

bool TxnReminderDBHelper::DeleteReminderExecutionDetailsForRule(unsigned long) { return false; }

bool TxnReminderDBHelper::DeleteReminderExecutionDetail(unsigned long, int) { return false; }

bool TxnReminderDBHelper::GetCustomersForGivenExecutionStatusForSTMT(std::vector<int>&, unsigned long,
                                                                     ReminderExecutionStatus) {
    return false;
}

bool TxnReminderDBHelper::GetCustomersStatusForGivenRule(unsigned long, std::vector<DBStmtReminderExecutionStatus>&) {
    return false;
}

bool TxnReminderDBHelper::SaveStmtRule(StatementReminderRule&) { return false; }

bool TxnReminderDBHelper::LoadSelectionCandidates(InvoiceCandidateList&,
                                                  std::vector<std::unique_ptr<TxnReminderTransactionContainer>>& txns) {
    return GetTxnDetailsFromDB(txns);
}

bool TxnReminderDBHelper::InCIndex() {
    DBMgr::IDBFileMgr* fileMgr = DBMgr::DBManager::GetActiveFileMgr();
    if (!fileMgr) {
        TXNR_FAILURE("TxnReminder::InCIndex::IDBFileMgr is not retrieved properly");
        return false;
    }
    return fileMgr->GetState() == 1;
}

// ---------------------------------------------------------------------------
// Unit-of-work discipline.

void TxnReminderDBHelper::LogAt(const LogSite& site, int level, int eventType, const char* message) {
    const std::string function = Util::QualifiedFunctionName(site.signature);
    Util::Ops::MessageFunctor(Util::GetOps(), level, eventType, site.file, site.line, function.c_str(),
                              site.signature)("%s", message);
}

bool TxnReminderDBHelper::HasTransaction(const LogSite& site, const char* missingLine, TxnReminderStatusCode* status,
                                         TxnReminderStatusCode code) const {
    if (m_dbTrans) return true;
    LogAt(site, 4, 5, missingLine);
    if (status) *status = code;
    return false;
}

bool TxnReminderDBHelper::CheckWrite(const LogSite& site, const Util::Status& written, const WriteFailure& failure) {
    if (written.Succeeded()) return true;
    LogAt(site, 4, 5, failure.failureLine);
    const int rolledBack = m_dbTrans ? m_dbTrans->Rollback() : 0;
    if (rolledBack == 0 && failure.rollbackLine) LogAt(site, 4, 5, failure.rollbackLine);
    if (failure.status) *failure.status = failure.code;
    return false;
}

TxnReminderDBHelper::UnitGuard::UnitGuard(TxnReminderDBHelper& helper)
    : m_helper(helper), m_uncaught(std::uncaught_exceptions()) {}

TxnReminderDBHelper::UnitGuard::~UnitGuard() {
    if (std::uncaught_exceptions() <= m_uncaught || !m_helper.m_dbTrans) return;
    try {
        m_helper.m_dbTrans->Rollback();
    } catch (...) {
        // Already unwinding: the exception that is on its way says enough.
    }
}

bool TxnReminderDBHelper::CommitUnit(const LogSite& site, TxnReminderStatusCode* status,
                                     TxnReminderStatusCode failedCode) {
    if (!m_dbTrans || !m_dbTrans->Commit()) {
        LogAt(site, 4, 5, "TxnReminder: Unable to commit the unit of work");
        if (status) *status = failedCode;
        return false;
    }
    if (status) *status = TxnReminderStatus_Success;
    return true;
}
