#pragma once

#include <map>
#include <string>
#include <vector>

#include "Date/DateType32.h"
#include "IPtreeManager.h"
#include "StatementReminderRuleCriteria.h"
#include "TxnReminderDefines.h"

class StmtEditTag;

// How often the customers of a statement set get an automated statement
// (weekly, monthly or fiscal-quarterly, on a day of that period), with which
// e-mail and style templates, and what the statement shows. Ids are 32-bit;
// a wider value keeps its low 32 bits.
class TXNREMINDER_API StatementReminderRule : public IPtreeManager {
public:
    static constexpr short kFrequencyWeekly = 0;
    static constexpr short kFrequencyMonthly = 1;
    static constexpr short kFrequencyQuarterly = 2;

    // "every week" <-> 0, "every month" <-> 1, "every quarter" <-> 2.
    static std::map<std::string, short> statementRuleFrequency_map;
    static std::map<short, std::string> statementRuleFrequency_flipMap;

    StatementReminderRule();
    StatementReminderRule(const unsigned long& ruleSetId, const unsigned long& ruleId);
    StatementReminderRule(const StatementReminderRule& other);
    StatementReminderRule& operator=(const StatementReminderRule& other);

    bool GetPtree(boost::property_tree::ptree& tree) override;
    bool SetPtree(const boost::property_tree::ptree& tree) override;
    ~StatementReminderRule() override;

    unsigned long GetRuleId() const { return m_ruleId; }
    void SetRuleId(unsigned long ruleId);
    unsigned long GetRuleSetId() const { return m_ruleSetId; }
    void SetRuleSetId(unsigned long ruleSetId);
    long& GetEmailTemplateId() { return m_emailTemplateId; }
    const long& GetEmailTemplateId() const { return m_emailTemplateId; }
    void SetEmailTemplateId(const long& templateId);
    long& GetStyleTemplateId() { return m_styleTemplateId; }
    const long& GetStyleTemplateId() const { return m_styleTemplateId; }
    void SetStyleTemplateId(const long& templateId);
    StatementReminderRuleCriteria& GetRuleCriteria() { return m_ruleCriteria; }
    const StatementReminderRuleCriteria& GetRuleCriteria() const { return m_ruleCriteria; }
    void SetRuleCriteria(const StatementReminderRuleCriteria& criteria) { m_ruleCriteria = criteria; }
    unsigned short GetScheduleDay() const { return m_scheduleDay; }
    short GetFrequency() const { return m_frequency; }
    void SetScheduleDayWithFrequency(unsigned short scheduleDay, short frequency);
    DateType32 GetEmailListPrepDate() const { return m_emailListPrepDate; }
    void SetEmailListPrepDate(const DateType32& date) { m_emailListPrepDate = date; }

    // The latest day, today or before, on which the rule was due.
    DateType32 GetLastTriggerDate() const;

    // The host's statement request for these customers (listed in reverse
    // order, as the host reads them), dated on the last trigger date and
    // covering the criterion's date range; the caller owns it and frees it
    // with StmtEditTag::Free. Null, with status 10, when it cannot be made.
    // The customer ids are consumed.
    StmtEditTag* CreateStmtEditHandle(TxnReminderStatusCode& status, std::vector<int> customerIds) const;

    // By rule id, ascending.
    bool operator<(const StatementReminderRule& other) const;

private:
    void AssignParams(const StatementReminderRule& other);

    unsigned long m_ruleId;
    unsigned long m_ruleSetId;
    long m_emailTemplateId;
    long m_styleTemplateId;
    StatementReminderRuleCriteria m_ruleCriteria;
    unsigned short m_scheduleDay;
    short m_frequency;
    DateType32 m_emailListPrepDate;
};
