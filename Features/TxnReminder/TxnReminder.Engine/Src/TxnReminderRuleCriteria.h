#pragma once

#include <string>

#include "IPtreeManager.h"
#include "TxnReminderDefines.h"

// When an invoice reminder goes out: so many days before or after the
// invoice's date to compare (only "due date" means anything).
class TXNREMINDER_API TxnReminderRuleCriteria : public IPtreeManager {
public:
    static constexpr int kScheduleNotSet = -1;
    static constexpr int kScheduleBefore = 1;
    static constexpr int kScheduleAfter = 2;

    TxnReminderRuleCriteria();
    TxnReminderRuleCriteria(const TxnReminderRuleCriteria& other);
    TxnReminderRuleCriteria& operator=(const TxnReminderRuleCriteria& other);

    bool GetPtree(boost::property_tree::ptree& tree) override;
    bool SetPtree(const boost::property_tree::ptree& tree) override;
    ~TxnReminderRuleCriteria() override;

    virtual void SetDateToCompare(std::string dateToCompare);
    virtual std::string GetDateToCompare() const;
    virtual void SetSchedule(int schedule);
    virtual int GetSchedule() const;
    virtual void SetDays(int days);
    virtual int GetDays() const;

    // The number under which storage keeps the date to compare, and back.
    short ConvertDateToCompareStringToNumericValue(FormViewType viewType) const;
    static std::string GetDateToCompareString(short value, FormViewType viewType);

private:
    std::string m_dateToCompare;
    int m_schedule;
    int m_days;
};
