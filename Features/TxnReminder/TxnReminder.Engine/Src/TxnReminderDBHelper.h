#pragma once

#include <boost/property_tree/ptree_fwd.hpp>
#include <memory>
#include <vector>

#include "TxnReminderDefines.h"
#include "Util/Status.h"

namespace DBMgr {
class DMTransaction;
}
namespace DMReminderTargetUser {
struct DBReminderTargetUser;
}
namespace DMStmtReminderExecutionStatus {
struct DBStmtReminderExecutionStatus;
}
class TxnReminderSet;
class TxnReminderRule;
class TxnReminderRuleTemplate;
class TxnReminderTargetGroup;
class TxnReminderTransactionContainer;
class InvoiceCandidateList;
class StatementReminderRule;

// Storage of one transaction view's reminder records. The helper holds one
// transaction of the company file for its whole life: every writing
// operation commits what it wrote, or rolls it back, before it returns.
// Shared operations reach the view-specific ones through the virtual table,
// so the order of the virtual operations below is part of the contract.
class TXNREMINDER_API TxnReminderDBHelper {
public:
    using DBReminderTargetUser = DMReminderTargetUser::DBReminderTargetUser;
    using DBStmtReminderExecutionStatus = DMStmtReminderExecutionStatus::DBStmtReminderExecutionStatus;

    TxnReminderDBHelper();
    TxnReminderDBHelper(const TxnReminderDBHelper&) = delete;
    TxnReminderDBHelper& operator=(const TxnReminderDBHelper&) = delete;

    virtual ~TxnReminderDBHelper();                                                                          // 0
    virtual bool GetAllReminderSets(TxnReminderStatusCode& status, FormViewType view,
                                    std::vector<TxnReminderSet>& sets);                                      // 1
    virtual bool SaveReminderSet(TxnReminderStatusCode& status, TxnReminderSet& set);                        // 2
    virtual bool DeleteReminderSet(TxnReminderStatusCode& status, unsigned long setId);                      // 3
    virtual bool DeleteReminderRules(TxnReminderStatusCode& status, std::vector<unsigned long>& ruleIds);    // 4
    virtual bool GetRuleTemplate(TxnReminderRuleTemplate& ruleTemplate, long templateId);                    // 5
    virtual bool SaveRuleTemplate(TxnReminderRuleTemplate& ruleTemplate);                                    // 6
    virtual bool DeleteRule(TxnReminderStatusCode& status, unsigned long ruleId);                            // 7
    virtual bool DeleteRuleTemplate(TxnReminderStatusCode& status, long templateId);                         // 8
    virtual bool GetTargetGroup(long& groupId, TxnReminderTargetGroup& group, bool withUsers);               // 9
    virtual bool GetDLPTargetGroup(long& groupId, TxnReminderTargetGroup& group, bool withUsers);            // 10
    virtual bool DeleteTargetGroup(TxnReminderStatusCode& status, FormViewType view, long groupId);          // 11
    virtual bool GetTxnDetailsFromDB(std::vector<std::unique_ptr<TxnReminderTransactionContainer>>& txns);  // 12
    virtual bool CreateRuleTemplateType(long typeId);                                                        // 13
    virtual bool SaveTargetGroup(TxnReminderStatusCode& status, TxnReminderTargetGroup& group);              // 14
    virtual bool IsTargetUserPresent(std::vector<DBReminderTargetUser>& users, int customerId);              // 15
    virtual bool GetCustomerGroupDetails(TxnReminderStatusCode& status, boost::property_tree::ptree& tree);  // 16
    virtual bool GetUserDetails(TxnReminderStatusCode& status, boost::property_tree::ptree& tree);           // 17
    virtual bool SaveExecutionHistory(unsigned long txnId, FormViewType view, unsigned long ruleId,
                                      TxnReminderExecutionStatus executionStatus);                           // 18
    virtual bool PurgeReminderExecutionHistory();                                                            // 19
    virtual bool GetAllStatementRulesForReminderSet(std::vector<StatementReminderRule>& rules,
                                                    unsigned long setId);                                    // 20
    virtual bool SaveRule(TxnReminderRule& rule, FormViewType view);                                         // 21
    virtual bool SaveTargetUser(TxnReminderStatusCode& status, TxnReminderTargetGroup& group);               // 22
    virtual bool GetAllRulesForReminderSet(std::vector<TxnReminderRule>& rules, unsigned long setId,
                                           FormViewType view);                                               // 23
    virtual bool AddReminderExecutionDetails(unsigned long ruleId, int customerId,
                                             ReminderExecutionStatus executionStatus);                       // 24
    virtual bool UpdateReminderExecutionStatusForSTMT(unsigned long ruleId, int customerId,
                                                      ReminderExecutionStatus executionStatus);              // 25
    virtual bool DeleteReminderExecutionDetailsForRule(unsigned long ruleId);                                // 26
    virtual bool DeleteReminderExecutionDetail(unsigned long ruleId, int customerId);                        // 27
    virtual bool GetCustomersForGivenExecutionStatusForSTMT(std::vector<int>& customerIds, unsigned long ruleId,
                                                            ReminderExecutionStatus executionStatus);        // 28
    virtual bool GetCustomersStatusForGivenRule(unsigned long ruleId,
                                                std::vector<DBStmtReminderExecutionStatus>& records);        // 29
    virtual bool SaveStmtRule(StatementReminderRule& rule);                                                  // 30
    virtual bool GetCustomerListFromGroup(long groupId, std::vector<int>& customerIds);                      // 31
    virtual bool InCIndex();                                                                                 // 32
    // The open invoices of one selection. Storage that can list them as flat
    // rows delivers them into `rows` (which then says Filled) and leaves
    // `txns` alone; this default hands over containers through
    // GetTxnDetailsFromDB, judged through their own operations. A storage
    // type that overrides GetTxnDetailsFromDB or GetDLPTargetGroup below one
    // that lists rows must override this as well to be asked.
    virtual bool LoadSelectionCandidates(InvoiceCandidateList& rows,
                                         std::vector<std::unique_ptr<TxnReminderTransactionContainer>>& txns);  // 33

    bool HandleAdditionOfTargetUsers(std::vector<int> customerIds, long groupId);
    bool HandleDeletionOfTargetUsers(std::vector<DBReminderTargetUser>& existing, std::vector<int> customerIds,
                                     long groupId);
    bool MigrateOldTargetGroupAndUserTableToNewDLPTables();

    // GetDLPTargetGroup with the members, given as the group's rules list
    // them (rule order, a member named twice twice) instead of through a set:
    // the same read, failures and lines, for a caller that only asks who is
    // a member.
    bool GetDLPTargetGroupAsListed(long groupId, TxnReminderTargetGroup& group);

    // Whether the feature's own tables hold a target group of this id. Asks
    // quietly: a caller that falls back to the permission groups has nothing
    // to report when the answer is no.
    bool HasOwnTargetGroup(long groupId);

    // Where a storage line is written from: the operation's source file, line
    // and full signature (see TXNR_SITE).
    struct LogSite {
        const char* file;
        int line;
        const char* signature;
    };

    // What a failed write of a unit of work reports.
    struct WriteFailure {
        const char* failureLine;         // written at (4, 5)
        const char* rollbackLine;        // written at (4, 5) when the rollback answers 0; null for none
        TxnReminderStatusCode* status;   // null when the operation has no status out-parameter
        TxnReminderStatusCode code;      // status of the failed operation
    };

protected:
    DBMgr::DMTransaction* GetTransaction() const { return m_dbTrans.get(); }

    // The unit-of-work discipline every writing operation follows:
    //   if (!HasTransaction(TXNR_SITE, "... failed to get DMTransaction ", &status, TxnReminderStatus_NoTransaction))
    //       return false;
    //   if (!CheckWrite(TXNR_SITE, record.Add(GetTransaction()), {failed, rollbackFailed, &status, code}))
    //       return false;
    //   ... further writes ...
    //   if (!CommitUnit(TXNR_SITE, &status, code)) return false;
    //
    // False, after writing missingLine and setting the status, when the helper
    // has no transaction.
    bool HasTransaction(const LogSite& site, const char* missingLine, TxnReminderStatusCode* status,
                        TxnReminderStatusCode code) const;
    // True when the write succeeded. Otherwise writes the failure line, rolls
    // back everything written since the last commit, writes the rollback line
    // if the rollback answered 0, sets the status and answers false.
    bool CheckWrite(const LogSite& site, const Util::Status& written, const WriteFailure& failure);
    // Commits the unit of work and sets the status to success. A commit that
    // fails has lost the writes: it writes "TxnReminder: Unable to commit the
    // unit of work", sets failedCode and answers false instead.
    bool CommitUnit(const LogSite& site, TxnReminderStatusCode* status, TxnReminderStatusCode failedCode);

    // One line at the given pair, attributed to the site's operation.
    static void LogAt(const LogSite& site, int level, int eventType, const char* message);

    // Rolls back what the enclosing operation wrote when an exception leaves
    // it before its unit of work ended, so that those writes cannot ride on
    // the next commit of the helper's transaction.
    class UnitGuard {
    public:
        explicit UnitGuard(TxnReminderDBHelper& helper);
        ~UnitGuard();
        UnitGuard(const UnitGuard&) = delete;
        UnitGuard& operator=(const UnitGuard&) = delete;

    private:
        TxnReminderDBHelper& m_helper;
        int m_uncaught;
    };

    // True while SaveReminderSet writes its rules: the nested saves leave
    // committing to it, so that a set is stored whole or not at all.
    bool InsideSetSave() const { return m_setSaveDepth > 0; }

private:
    std::unique_ptr<DBMgr::DMTransaction> m_dbTrans;
    int m_setSaveDepth = 0;
    // Set only for the span of GetDLPTargetGroupAsListed.
    bool m_membersAsListed = false;
};

// The log site of the enclosing storage operation.
#define TXNR_SITE (::TxnReminderDBHelper::LogSite{TXNR_SOURCE_FILE, __LINE__, __PRETTY_FUNCTION__})
