#pragma once

#include <boost/property_tree/ptree_fwd.hpp>
#include <list>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "TxnReminderDefines.h"
#include "Util/AutoPtr.h"
#include "Util/Status.h"

class TxnReminderDBHelper;
class InvoiceCandidateList;
class TxnReminderSet;
class TxnReminderRuleTemplate;
class TxnReminderTargetGroup;
class TxnReminderTransactionContainer;
class TxnSendableReminderContainer;
class StatementReminderRule;
class TargetGroupRule;
class StmtEditTag;
namespace DMStmtReminderExecutionStatus {
struct DBStmtReminderExecutionStatus;
}

// The host's way into the reminder engine, one engine per transaction view
// (invoice 4, statement 101). The engine keeps no configuration of its own:
// each operation forwards to the view's storage helper, obtained on first
// need, or combines such calls with the selection logic. No exception leaves
// an operation (GetStmtData and GetReadyCustomerList excepted): it is logged
// and answered with false.
//
// Copying transfers the storage helper: the copy owns it, the source keeps
// pointing at it without owning it.
class TXNREMINDER_API TxnReminderEngine {
public:
    explicit TxnReminderEngine(FormViewType viewType);
    TxnReminderEngine(const TxnReminderEngine& other);
    TxnReminderEngine& operator=(const TxnReminderEngine& other);
    ~TxnReminderEngine();

    // Configuration.
    bool AddOrUpdateReminderSet(TxnReminderStatusCode& status, TxnReminderSet& reminderSet);
    bool AddOrUpdateTargetGroup(TxnReminderStatusCode& status, TxnReminderTargetGroup& targetGroup);
    bool DeleteReminderRule(TxnReminderStatusCode& status, unsigned long ruleId);
    bool DeleteReminderRules(TxnReminderStatusCode& status, std::vector<unsigned long>& ruleIds);
    bool DeleteReminderSet(TxnReminderStatusCode& status, unsigned long ruleSetId);
    bool DeleteTargetGroup(TxnReminderStatusCode& status, long targetGroupId);
    bool GetAllReminderSets(TxnReminderStatusCode& status, std::vector<TxnReminderSet>& reminderSets);
    bool GetCustomerGroupDetails(TxnReminderStatusCode& status, boost::property_tree::ptree& tree);
    bool GetUserDetails(TxnReminderStatusCode& status, boost::property_tree::ptree& tree);
    bool GetReminderRuleTemplate(TxnReminderRuleTemplate& ruleTemplate, long templateId);
    Util::Status MigrateOldTargetGroupAndUserTableToNewDLPTables();
    bool PurgeOldReminderExecutionHistory();
    bool SaveReminderExecutionHistory(unsigned long txnId, unsigned long ruleId,
                                      TxnReminderExecutionStatus executionStatus);

    // Invoice reminder selection.
    bool PrepareReminderListToSend(TxnReminderStatusCode& status,
                                   std::vector<TxnSendableReminderContainer>& reminders, bool& hasReminders,
                                   bool fastMode);
    bool IsAtLeastOneReminderRuleActive();

    // Statement reminder selection and bookkeeping.
    bool PrepareReminderListToSendForStmt(TxnReminderStatusCode& status,
                                          std::vector<TxnSendableReminderContainer>& reminders, bool fastMode);
    bool GetStmtData(TxnReminderStatusCode& status, std::list<std::pair<StmtEditTag*, TargetGroupRule>>& stmtData);
    bool GetReadyCustomerList(unsigned long ruleId, TxnReminderTargetGroup targetGroup,
                              std::vector<int>& customerIds);
    bool UpdateEmailPrepDateForSTMT(StatementReminderRule& rule);
    bool AddStatementReminderExecutionStatus(unsigned long ruleId, int customerId,
                                             ReminderExecutionStatus executionStatus);
    bool DeleteStatementReminderExecutionDetails(unsigned long ruleId);
    bool DeleteStatementReminderExecutionDetails(unsigned long ruleId, int customerId);
    bool GetCustomersStatusForGivenRule(
        unsigned long ruleId, std::vector<DMStmtReminderExecutionStatus::DBStmtReminderExecutionStatus>& records);

    // Feature switches and permissions.
    static bool IsFeatureEnabled();
    static bool IsFeatureEnabled(TxnReminderKillSwitchKey key);
    static bool HasSendReminderPermission(FormViewType viewType, unsigned char flag);

private:
    bool Initialize();
    bool GetTargetGroup(long targetGroupId, TxnReminderTargetGroup& targetGroup);
    // With `membersAsListed`, the members as the group's rules list them
    // (enough for a caller that only asks who is a member).
    bool GetDLPTargetGroup(long targetGroupId, TxnReminderTargetGroup& targetGroup, bool membersAsListed = false);
    bool LoadSelectionCandidates(InvoiceCandidateList& rows,
                                 std::vector<std::unique_ptr<TxnReminderTransactionContainer>>& txns);
    bool CanShowReminderForStmt(TxnReminderStatusCode& status, std::vector<unsigned long> ruleSetIds,
                                std::vector<StatementReminderRule> rules,
                                std::map<unsigned long, TxnReminderTargetGroup> targetGroups);

public:
    // The invoice selection's progress, shared with its per-group passes.
    struct InvoiceSelection;

private:
    bool SelectInvoices(const std::vector<TxnReminderSet>& sets, const InvoiceCandidateList& rows,
                        std::vector<std::unique_ptr<TxnReminderTransactionContainer>>& txns,
                        InvoiceSelection& out);

    // Lets the engine's own tests place and inspect a storage helper.
    friend class TxnReminderEngineTestAccess;

    // Hands an owned helper to the keeper that copies share, so that it lives
    // as long as any engine that can reach it.
    void ShareHelper() const;

    FormViewType m_viewType;
    Util::AutoPtr<TxnReminderDBHelper> m_dbHelper;
    // Owns the helper once the engine has been copied; m_dbHelper then only
    // points at it.
    mutable std::shared_ptr<Util::AutoPtr<TxnReminderDBHelper>> m_helperKeeper;
};
