#pragma once

#include <vector>

#include "IPtreeManager.h"
#include "StatementReminderRule.h"
#include "TxnReminderDefines.h"
#include "TxnReminderRule.h"
#include "Util/TString.h"

// A reminder set (the user's "schedule"): name, on/off, the view it serves,
// its target group and its rules. Invoice sets hold invoice rules, statement
// sets statement rules. The set id is 32-bit and the target group id signed
// 32-bit; wider values keep their low 32 bits.
class TXNREMINDER_API TxnReminderSet : public IPtreeManager {
public:
    TxnReminderSet();
    TxnReminderSet(unsigned long ruleSetId, FormViewType txnType);
    TxnReminderSet(const TxnReminderSet& other);
    TxnReminderSet& operator=(const TxnReminderSet& other);
    ~TxnReminderSet() override;

    bool GetPtree(boost::property_tree::ptree& tree) override;
    bool SetPtree(const boost::property_tree::ptree& tree) override;

    unsigned long GetRuleSetId() const { return m_ruleSetId; }
    // Also stamps the id on every rule of the set.
    void SetRuleSetId(unsigned long ruleSetId);
    Util::TString GetReminderSetName() const { return m_reminderSetName; }
    void SetReminderSetName(Util::TString name) { m_reminderSetName = name; }
    Util::TString GetDefaultTargetGroupName() const { return m_defaultTargetGroupName; }
    void SetDefaultTargetGroupName(Util::TString name) { m_defaultTargetGroupName = name; }
    long GetTargetGroupId() const { return m_targetGroupId; }
    void SetTargetGroupId(long targetGroupId);
    FormViewType GetTxnType() const { return m_txnType; }
    void SetTxnType(FormViewType txnType) { m_txnType = txnType; }
    TxnReminderSetStatus GetReminderSetStatus() const { return m_status; }
    void SetReminderStatus(const TxnReminderSetStatus& status) { m_status = status; }

    std::vector<TxnReminderRule>& GetReminderRules() { return m_reminderRules; }
    const std::vector<TxnReminderRule>& GetReminderRules() const { return m_reminderRules; }
    void SetReminderRules(const std::vector<TxnReminderRule>& rules) { m_reminderRules = rules; }
    std::vector<StatementReminderRule>& GetStatementReminderRules() { return m_statementReminderRules; }
    const std::vector<StatementReminderRule>& GetStatementReminderRules() const { return m_statementReminderRules; }
    void SetStatementReminderRules(const std::vector<StatementReminderRule>& rules) { m_statementReminderRules = rules; }

private:
    void ResetParams();

    unsigned long m_ruleSetId;
    Util::TString m_defaultTargetGroupName;
    Util::TString m_reminderSetName;
    long m_targetGroupId;
    std::vector<TxnReminderRule> m_reminderRules;
    std::vector<StatementReminderRule> m_statementReminderRules;
    FormViewType m_txnType;
    TxnReminderSetStatus m_status;
};
