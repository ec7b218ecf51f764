#include "StatementReminderRuleCriteria.h"

#include <map>

#include "PtreeHelpers.h"

#define TXNR_SOURCE_FILE TXNR_SRC_DIR "StatementReminderRuleCriteria"

namespace {

// Both directions of each table. Lookups never add entries: a text the
// screens send that is not in a table reads as 0, a number without a text
// writes as "".
struct TextTable {
    std::map<std::string, short> toNumber;
    std::map<short, std::string> toText;

    TextTable(std::initializer_list<std::pair<short, const char*>> rows) {
        for (const auto& row : rows) {
            toNumber.emplace(row.second, row.first);
            toText.emplace(row.first, row.second);
        }
    }
    short Number(const std::string& text) const {
        const auto it = toNumber.find(text);
        return it == toNumber.end() ? 0 : it->second;
    }
    std::string Text(short number) const {
        const auto it = toText.find(number);
        return it == toText.end() ? std::string() : it->second;
    }
};

const TextTable& DateRanges() {
    static const TextTable table{
        {0, "all to-date"},
        {1, "current week-to-date"},
        {2, "current month-to-date"},
        {3, "current fiscal quarter-to-date"},
        {4, "current fiscal year-to-current month"},
        {5, "current fiscal year-to-date"},
        {6, "previous week"},
        {7, "previous week-to-date"},
        {8, "previous month"},
        {9, "previous month-to-date"},
        {10, "previous fiscal quarter-to-date"},
        {11, "previous fiscal year-to-date"},
    };
    return table;
}

const TextTable& TxnStatuses() {
    static const TextTable table{{0, "all"}, {1, "open"}, {2, "overdue"}};
    return table;
}

} // namespace

StatementReminderRuleCriteria::StatementReminderRuleCriteria()
    : m_dateRange(0),
      m_txnStatus(0),
      m_overdueBy(0),
      m_isItemDetailsIncluded(false),
      m_isMemoIncluded(false),
      m_isDueDateIncluded(false),
      m_isCustomerJob(false) {}

StatementReminderRuleCriteria::StatementReminderRuleCriteria(const StatementReminderRuleCriteria& other)
    : IPtreeManager(other),
      m_dateRange(other.m_dateRange),
      m_txnStatus(other.m_txnStatus),
      m_overdueBy(other.m_overdueBy),
      m_isItemDetailsIncluded(other.m_isItemDetailsIncluded),
      m_isMemoIncluded(other.m_isMemoIncluded),
      m_isDueDateIncluded(other.m_isDueDateIncluded),
      m_isCustomerJob(other.m_isCustomerJob) {}

StatementReminderRuleCriteria& StatementReminderRuleCriteria::operator=(const StatementReminderRuleCriteria& other) {
    m_dateRange = other.m_dateRange;
    m_txnStatus = other.m_txnStatus;
    m_overdueBy = other.m_overdueBy;
    m_isItemDetailsIncluded = other.m_isItemDetailsIncluded;
    m_isMemoIncluded = other.m_isMemoIncluded;
    m_isDueDateIncluded = other.m_isDueDateIncluded;
    m_isCustomerJob = other.m_isCustomerJob;
    return *this;
}

StatementReminderRuleCriteria::~StatementReminderRuleCriteria() = default;

std::string StatementReminderRuleCriteria::GetDateRangeString() const { return DateRanges().Text(m_dateRange); }

bool StatementReminderRuleCriteria::GetPtree(boost::property_tree::ptree& tree) {
    using namespace TxnReminderPtree;
    try {
        PutText(tree, "dateRange", DateRanges().Text(m_dateRange));
        PutText(tree, "txnStatus", TxnStatuses().Text(m_txnStatus));
        PutText(tree, "overdueBy", std::to_string(m_overdueBy));
        PutBool(tree, "itemDetails", m_isItemDetailsIncluded);
        PutBool(tree, "memo", m_isMemoIncluded);
        PutBool(tree, "dueDate", m_isDueDateIncluded);
        PutBool(tree, "custOrJob", m_isCustomerJob);
        return true;
    } catch (const std::exception& e) {
        TXNR_FAILURE("TxnReminder: Error occurred in StatementReminderRuleCriteria::GetPtree, trace=%s",
                     ExceptionText(e).c_str());
        return false;
    }
}

bool StatementReminderRuleCriteria::SetPtree(const boost::property_tree::ptree& tree) {
    using namespace TxnReminderPtree;
    try {
        m_dateRange = DateRanges().Number(ReadText(tree, "dateRange"));
        m_txnStatus = TxnStatuses().Number(ReadText(tree, "txnStatus"));
        m_overdueBy = static_cast<short>(ParseIntPrefix(ReadText(tree, "overdueBy")));
        m_isItemDetailsIncluded = ReadFlag(tree, "itemDetails");
        m_isMemoIncluded = ReadFlag(tree, "memo");
        m_isDueDateIncluded = ReadFlag(tree, "dueDate");
        m_isCustomerJob = ReadFlag(tree, "custOrJob");
        return true;
    } catch (const std::exception& e) {
        TXNR_FAILURE(
            "TxnReminder: Error occurred whiled parsing JSON at StatementReminderRuleCriteria::SetPtree, trace=%s",
            ExceptionText(e).c_str());
        return false;
    }
}
