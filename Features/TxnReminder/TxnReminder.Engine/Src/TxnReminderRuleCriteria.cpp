#include "TxnReminderRuleCriteria.h"

#include <stdexcept>

#include "PtreeHelpers.h"

#define TXNR_SOURCE_FILE TXNR_SRC_DIR "TxnReminderRuleCriteria"

namespace {
constexpr const char kDueDate[] = "due date";
constexpr const char kBefore[] = "before";
constexpr const char kAfter[] = "after";
} // namespace

TxnReminderRuleCriteria::TxnReminderRuleCriteria() : m_schedule(kScheduleNotSet), m_days(-1) {}

TxnReminderRuleCriteria::TxnReminderRuleCriteria(const TxnReminderRuleCriteria& other)
    : IPtreeManager(other), m_dateToCompare(other.m_dateToCompare), m_schedule(other.m_schedule), m_days(other.m_days) {}

TxnReminderRuleCriteria& TxnReminderRuleCriteria::operator=(const TxnReminderRuleCriteria& other) {
    m_dateToCompare = other.m_dateToCompare;
    m_schedule = other.m_schedule;
    m_days = other.m_days;
    return *this;
}

TxnReminderRuleCriteria::~TxnReminderRuleCriteria() = default;

void TxnReminderRuleCriteria::SetDateToCompare(std::string dateToCompare) { m_dateToCompare = std::move(dateToCompare); }
std::string TxnReminderRuleCriteria::GetDateToCompare() const { return m_dateToCompare; }
void TxnReminderRuleCriteria::SetSchedule(int schedule) { m_schedule = schedule; }
int TxnReminderRuleCriteria::GetSchedule() const { return m_schedule; }
void TxnReminderRuleCriteria::SetDays(int days) { m_days = days; }
int TxnReminderRuleCriteria::GetDays() const { return m_days; }

bool TxnReminderRuleCriteria::GetPtree(boost::property_tree::ptree& tree) {
    using namespace TxnReminderPtree;
    try {
        PutText(tree, "days", std::to_string(m_days));
        PutText(tree, "DateToCompare", m_dateToCompare);
        if (m_schedule == kScheduleBefore) {
            PutText(tree, "schedule", std::string(kBefore));
        } else if (m_schedule == kScheduleAfter) {
            PutText(tree, "schedule", std::string(kAfter));
        } else {
            // The screens show such a rule without a side; it is not an error.
            PutText(tree, "schedule", std::string());
            TXNR_FAILURE("TxnReminder: TxnReminderRuleCriteria::GetPtree schedule is not before/after");
        }
        return true;
    } catch (const std::exception& e) {
        TXNR_FAILURE("TxnReminder: Error occurred in TxnReminderRuleCriteria::GetPtree, trace=%s",
                     ExceptionText(e).c_str());
        return false;
    }
}

bool TxnReminderRuleCriteria::SetPtree(const boost::property_tree::ptree& tree) {
    using namespace TxnReminderPtree;
    try {
        m_days = ParseIntPrefix(ReadText(tree, "days"));
        m_dateToCompare = ReadText(tree, "DateToCompare");
        const std::string& schedule = ReadText(tree, "schedule");
        if (schedule == kAfter) {
            m_schedule = kScheduleAfter;
        } else if (schedule == kBefore) {
            m_schedule = kScheduleBefore;
        } else {
            m_schedule = kScheduleNotSet;
            throw std::invalid_argument("schedule is not before/after");
        }
        return true;
    } catch (const std::exception& e) {
        TXNR_FAILURE("TxnReminder: Error occurred whiled parsing JSON at TxnReminderRuleCriteria::SetPtree, trace=%s",
                     ExceptionText(e).c_str());
        return false;
    }
}

short TxnReminderRuleCriteria::ConvertDateToCompareStringToNumericValue(FormViewType viewType) const {
    if (viewType == FormViewType_Invoice) return m_dateToCompare == kDueDate ? 1 : 0;
    TXNR_FAILURE("TxnReminder:: ConvertDateToCompareStringToNumericValue: Default code should never be executed.");
    return 0;
}

std::string TxnReminderRuleCriteria::GetDateToCompareString(short value, FormViewType viewType) {
    if (viewType == FormViewType_Invoice) return value == 1 ? std::string(kDueDate) : std::string();
    TXNR_FAILURE("TxnReminder:: GetDateToCompareString: Default code should never be executed.");
    return std::string();
}
