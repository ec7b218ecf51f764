#pragma once

#include <boost/property_tree/ptree.hpp>

#include "TxnReminderDefines.h"
#include "Util/TString.h"

// One customer as the setup screens show it inside a target group. Filled by
// storage and written out for the screens; it has no getters.
class TXNREMINDER_API TxnReminderTargetUser {
public:
    TxnReminderTargetUser();
    TxnReminderTargetUser(const TxnReminderTargetUser& other);
    TxnReminderTargetUser& operator=(const TxnReminderTargetUser& other);
    ~TxnReminderTargetUser();

    // Lets the tree library's errors pass to the caller.
    bool GetPtree(boost::property_tree::ptree& tree) const;
    bool SetPtree(const boost::property_tree::ptree& tree);

    void SetTargetId(int id) { m_targetId = id; }
    void SetTargetName(Util::TString name) { m_targetName = name; }
    void SetTargetEmailId(Util::TString emailId) { m_targetEmailId = emailId; }
    void SetTargetTypes(Util::TString types) { m_targetTypes = types; }
    void SetTargetTerms(Util::TString terms) { m_targetTerms = terms; }
    void SetTargetAvgDaysToPay(double days) { m_targetAvgDaysToPay = days; }
    void setTargetGroupName(Util::TString name) { m_targetGroupName = name; }
    void SetTargetGroupId(long id) { m_targetGroupId = id; }
    // time: when the customer was created, in seconds since 1970 (32-bit).
    void SetTargetAgeAsYear(long time);
    void SetTargetBalance(double balance) { m_targetBalance = balance; }

private:
    // Whole 30-day months from the moment to now, counting 365-day years as
    // twelve months; 0 for anything under 30 days or in the future.
    long GetNumberOfMonthsAsTargetUser(long time) const;

    int m_targetId;
    Util::TString m_targetName;
    Util::TString m_targetEmailId;
    Util::TString m_targetTypes;
    Util::TString m_targetTerms;
    double m_targetAvgDaysToPay;
    Util::TString m_targetGroupName;
    long m_targetGroupId;
    long m_monthsAsCustomer;
    double m_targetBalance;
};
