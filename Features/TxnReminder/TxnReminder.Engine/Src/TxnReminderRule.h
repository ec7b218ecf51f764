#pragma once

#include "IPtreeManager.h"
#include "TxnReminderDefines.h"
#include "TxnReminderRuleCriteria.h"
#include "TxnReminderRuleTemplate.h"

// One invoice reminder of a set: when it goes out and with which message.
// Ids are 32-bit; a wider value keeps its low 32 bits.
class TXNREMINDER_API TxnReminderRule : public IPtreeManager {
public:
    TxnReminderRule();
    TxnReminderRule(const unsigned long& ruleSetId, const unsigned long& ruleId);
    TxnReminderRule(const TxnReminderRule& other);
    TxnReminderRule& operator=(const TxnReminderRule& other);

    bool GetPtree(boost::property_tree::ptree& tree) override;
    bool SetPtree(const boost::property_tree::ptree& tree) override;
    ~TxnReminderRule() override;

    TxnReminderRuleCriteria& GetRuleCriteria() { return m_ruleCriteria; }
    const TxnReminderRuleCriteria& GetRuleCriteria() const { return m_ruleCriteria; }
    void SetRuleCriteria(const TxnReminderRuleCriteria& criteria) { m_ruleCriteria = criteria; }
    TxnReminderRuleTemplate& GetRuleTemplate() { return m_ruleTemplate; }
    const TxnReminderRuleTemplate& GetRuleTemplate() const { return m_ruleTemplate; }
    void SetRuleTemplate(const TxnReminderRuleTemplate& ruleTemplate) { m_ruleTemplate = ruleTemplate; }

    unsigned long GetRuleSetId() const { return m_ruleSetId; }
    void SetRuleSetId(unsigned long ruleSetId);
    unsigned long GetRuleId() const { return m_ruleId; }
    void SetRuleId(unsigned long ruleId);

    // The order in which a set's reminders fall due: "before" rules from the
    // most days to the fewest, then schedule 0, then "after" rules from the
    // fewest days to the most.
    bool operator<(const TxnReminderRule& other) const;

private:
    void AssignParams(const TxnReminderRule& other);

    unsigned long m_ruleSetId;
    unsigned long m_ruleId;
    TxnReminderRuleCriteria m_ruleCriteria;
    TxnReminderRuleTemplate m_ruleTemplate;
};
