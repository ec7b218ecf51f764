#include "TxnReminderTargetUser.h"

#include <cstdint>

#include "Date/DateType32.h"
#include "PtreeHelpers.h"

#define TXNR_SOURCE_FILE TXNR_SRC_DIR "TxnReminderTargetUser"

namespace {
constexpr double kSecondsPerMonth = 2592000.0;   // 30 days
constexpr double kSecondsPerYear = 31536000.0;   // 365 days
} // namespace

TxnReminderTargetUser::TxnReminderTargetUser()
    : m_targetId(0), m_targetAvgDaysToPay(0.0), m_targetGroupId(0), m_monthsAsCustomer(0), m_targetBalance(0.0) {}

TxnReminderTargetUser::TxnReminderTargetUser(const TxnReminderTargetUser& other) = default;
TxnReminderTargetUser& TxnReminderTargetUser::operator=(const TxnReminderTargetUser& other) = default;
TxnReminderTargetUser::~TxnReminderTargetUser() = default;

void TxnReminderTargetUser::SetTargetAgeAsYear(long time) {
    // Creation moments are stored as 32-bit values.
    m_monthsAsCustomer = GetNumberOfMonthsAsTargetUser(static_cast<std::int32_t>(time));
}

long TxnReminderTargetUser::GetNumberOfMonthsAsTargetUser(long time) const {
    double seconds = static_cast<double>(GetMXSystemTime() - static_cast<DateAndTime>(time));
    if (!(seconds > kSecondsPerMonth)) return 0;
    long months = 0;
    if (seconds > kSecondsPerYear) {
        const long years = static_cast<long>(seconds / kSecondsPerYear);
        months = 12 * years;
        seconds -= static_cast<double>(years) * kSecondsPerYear;
    }
    return months + static_cast<long>(seconds / kSecondsPerMonth);
}

bool TxnReminderTargetUser::GetPtree(boost::property_tree::ptree& tree) const {
    using namespace TxnReminderPtree;
    PutNumber(tree, "id", m_targetId);
    PutText(tree, "name", m_targetName);
    PutText(tree, "type", m_targetTypes);
    PutNumber(tree, "overdue", m_targetBalance);
    PutNumber(tree, "avgdaystopay", m_targetAvgDaysToPay);
    PutText(tree, "terms", m_targetTerms);
    PutNumber(tree, "monthsascustomer", m_monthsAsCustomer);
    PutText(tree, "emailid", m_targetEmailId);
    Tree group;
    PutNumber(group, "id", m_targetGroupId);
    PutText(group, "name", m_targetGroupName);
    AddSubTree(tree, "customergroup", group);
    return true;
}

bool TxnReminderTargetUser::SetPtree(const boost::property_tree::ptree& tree) {
    using namespace TxnReminderPtree;
    try {
        m_targetId = ReadInt32(tree, "id");
        m_targetName = ToTString(ReadText(tree, "name"));
        m_targetTypes = ToTString(ReadText(tree, "type"));
        m_targetBalance = tree.get_child("overdue").get_value<double>();
        m_targetAvgDaysToPay = tree.get_child("avgdaystopay").get_value<double>();
        m_targetTerms = ToTString(ReadText(tree, "terms"));
        m_monthsAsCustomer = ReadInt32(tree, "monthsascustomer");
        m_targetEmailId = ToTString(ReadText(tree, "emailid"));
        const Tree& group = ReadChild(tree, "customergroup");
        m_targetGroupId = ReadInt32(group, "id");
        m_targetGroupName = ToTString(ReadText(group, "name"));
        return true;
    } catch (const std::exception& e) {
        TXNR_FAILURE("TxnReminder: Error occurred whiled parsing Ptree at TxnReminderTargetUser::SetPtree, trace=%s",
                     ExceptionText(e).c_str());
        return false;
    }
}
