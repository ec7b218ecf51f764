#pragma once

#include <string>

#include "IPtreeManager.h"
#include "TxnReminderDefines.h"

// What an automated statement shows: its date range, which transactions,
// how far overdue, and the optional columns.
class TXNREMINDER_API StatementReminderRuleCriteria : public IPtreeManager {
public:
    StatementReminderRuleCriteria();
    StatementReminderRuleCriteria(const StatementReminderRuleCriteria& other);
    StatementReminderRuleCriteria& operator=(const StatementReminderRuleCriteria& other);

    bool GetPtree(boost::property_tree::ptree& tree) override;
    bool SetPtree(const boost::property_tree::ptree& tree) override;
    ~StatementReminderRuleCriteria() override;

    short GetDateRange() const { return m_dateRange; }
    void SetDateRange(short dateRange) { m_dateRange = dateRange; }
    // The range's text ("all to-date", ...); empty for a number without one.
    std::string GetDateRangeString() const;
    // 0 all transactions, 1 open ones, 2 overdue ones.
    short GetTxnStatus() const { return m_txnStatus; }
    void SetTxnStatus(short txnStatus) { m_txnStatus = txnStatus; }
    short GetOverdueBy() const { return m_overdueBy; }
    void SetOverdueBy(short overdueBy) { m_overdueBy = overdueBy; }
    bool GetIsItemDetailsIncluded() const { return m_isItemDetailsIncluded; }
    void SetIsItemDetailsIncluded(bool included) { m_isItemDetailsIncluded = included; }
    bool GetIsMemoIncluded() const { return m_isMemoIncluded; }
    void SetIsMemoIncluded(bool included) { m_isMemoIncluded = included; }
    bool GetIsDueDateIncluded() const { return m_isDueDateIncluded; }
    void SetIsDueDateIncluded(bool included) { m_isDueDateIncluded = included; }
    bool GetIsCustomerJob() const { return m_isCustomerJob; }
    void SetIsCustomerJob(bool customerJob) { m_isCustomerJob = customerJob; }

private:
    short m_dateRange;
    short m_txnStatus;
    short m_overdueBy;
    bool m_isItemDetailsIncluded;
    bool m_isMemoIncluded;
    bool m_isDueDateIncluded;
    bool m_isCustomerJob;
};
