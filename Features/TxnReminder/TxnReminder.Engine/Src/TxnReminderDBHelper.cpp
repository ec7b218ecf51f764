#include "TxnReminderDBHelper.h"

#include <boost/property_tree/ptree.hpp>

#include "DB/DBManager.h"

#define TXNR_SOURCE_FILE TXNR_SRC_DIR "TxnReminderDBHelper"

TxnReminderDBHelper::TxnReminderDBHelper() {
    DBMgr::IDBFileMgr* fileMgr = DBMgr::DBManager::GetActiveFileMgr();
    if (fileMgr) m_dbTrans = fileMgr->CreateTransaction(0, 1);
}

TxnReminderDBHelper::~TxnReminderDBHelper() {
    if (m_dbTrans) {
        delete m_dbTrans;
        m_dbTrans = nullptr;
    }
}

// ---------------------------------------------------------------------------
// Storage arrives with the record store: until then these operations store
// and load nothing and answer false, so that no caller takes a placeholder
// for a success.

bool TxnReminderDBHelper::GetAllReminderSets(TxnReminderStatusCode&, FormViewType, std::vector<TxnReminderSet>&) {
    return false;  // storage arrives with the record store
}

bool TxnReminderDBHelper::SaveReminderSet(TxnReminderStatusCode&, TxnReminderSet&) {
    return false;  // storage arrives with the record store
}

bool TxnReminderDBHelper::DeleteReminderSet(TxnReminderStatusCode&, unsigned long) {
    return false;  // storage arrives with the record store
}

bool TxnReminderDBHelper::DeleteReminderRules(TxnReminderStatusCode&, std::vector<unsigned long>&) {
    return false;  // storage arrives with the record store
}

bool TxnReminderDBHelper::GetRuleTemplate(TxnReminderRuleTemplate&, long) {
    return false;  // storage arrives with the record store
}

bool TxnReminderDBHelper::SaveRuleTemplate(TxnReminderRuleTemplate&) {
    return false;  // storage arrives with the record store
}

bool TxnReminderDBHelper::DeleteRule(TxnReminderStatusCode&, unsigned long) {
    return false;  // storage arrives with the record store
}

bool TxnReminderDBHelper::DeleteRuleTemplate(TxnReminderStatusCode&, long) {
    return false;  // storage arrives with the record store
}

bool TxnReminderDBHelper::GetTargetGroup(long&, TxnReminderTargetGroup&, bool) {
    return false;  // storage arrives with the record store
}

bool TxnReminderDBHelper::GetDLPTargetGroup(long&, TxnReminderTargetGroup&, bool) {
    return false;  // storage arrives with the record store
}

bool TxnReminderDBHelper::DeleteTargetGroup(TxnReminderStatusCode&, FormViewType, long) {
    return false;  // storage arrives with the record store
}

bool TxnReminderDBHelper::CreateRuleTemplateType(long) {
    return false;  // storage arrives with the record store
}

bool TxnReminderDBHelper::SaveTargetGroup(TxnReminderStatusCode&, TxnReminderTargetGroup&) {
    return false;  // storage arrives with the record store
}

bool TxnReminderDBHelper::IsTargetUserPresent(std::vector<DBReminderTargetUser>&, int) {
    return false;  // storage arrives with the record store
}

bool TxnReminderDBHelper::GetCustomerGroupDetails(TxnReminderStatusCode&, boost::property_tree::ptree&) {
    return false;  // storage arrives with the record store
}

bool TxnReminderDBHelper::SaveExecutionHistory(unsigned long, FormViewType, unsigned long,
                                               TxnReminderExecutionStatus) {
    return false;  // storage arrives with the record store
}

bool TxnReminderDBHelper::SaveRule(TxnReminderRule&, FormViewType) {
    return false;  // storage arrives with the record store
}

bool TxnReminderDBHelper::SaveTargetUser(TxnReminderStatusCode&, TxnReminderTargetGroup&) {
    return false;  // storage arrives with the record store
}

bool TxnReminderDBHelper::GetAllRulesForReminderSet(std::vector<TxnReminderRule>&, unsigned long, FormViewType) {
    return false;  // storage arrives with the record store
}

bool TxnReminderDBHelper::GetCustomerListFromGroup(long, std::vector<int>&) {
    return false;  // storage arrives with the record store
}

bool TxnReminderDBHelper::HandleAdditionOfTargetUsers(std::vector<int>, long) {
    return false;  // storage arrives with the record store
}

bool TxnReminderDBHelper::HandleDeletionOfTargetUsers(std::vector<DBReminderTargetUser>&, std::vector<int>, long) {
    return false;  // storage arrives with the record store
}

bool TxnReminderDBHelper::MigrateOldTargetGroupAndUserTableToNewDLPTables() {
    return false;  // storage arrives with the record store
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
