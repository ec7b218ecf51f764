#include "StatementReminderRule.h"

#include <cstdint>
#include <cstring>
#include <limits>

#include "Statements/StmtEditTag.h"
#include "Util/MemoryManager.h"

#include "Prefs/PrefsTag.h"
#include "PtreeHelpers.h"

#define TXNR_SOURCE_FILE TXNR_SRC_DIR "StatementReminderRule"

std::map<std::string, short> StatementReminderRule::statementRuleFrequency_map = {
    {"every week", kFrequencyWeekly},
    {"every month", kFrequencyMonthly},
    {"every quarter", kFrequencyQuarterly},
};

std::map<short, std::string> StatementReminderRule::statementRuleFrequency_flipMap = {
    {kFrequencyWeekly, "every week"},
    {kFrequencyMonthly, "every month"},
    {kFrequencyQuarterly, "every quarter"},
};

namespace {

unsigned long Id32(unsigned long id) { return static_cast<std::uint32_t>(id); }
long SignedId32(long id) { return static_cast<std::int32_t>(id); }

// Looked up without adding entries, so that a stray text from the screens
// never grows the shared tables.
short FrequencyOf(const std::string& text) {
    const auto& table = StatementReminderRule::statementRuleFrequency_map;
    const auto it = table.find(text);
    return it == table.end() ? 0 : it->second;
}

std::string FrequencyText(short frequency) {
    const auto& table = StatementReminderRule::statementRuleFrequency_flipMap;
    const auto it = table.find(frequency);
    return it == table.end() ? std::string() : it->second;
}

DateType32 FirstOfMonth(int month, int year) { return DateType32(month, 1, year); }

bool InMonth(const DateType32& date, const DateType32& firstOfMonth) {
    return date.GetMonth() == firstOfMonth.GetMonth() && date.GetYear() == firstOfMonth.GetYear();
}

// A preference outside 1..12 would put quarters in month 0; January is the
// host's own default.
int FiscalFirstMonth() {
    const int month = PrefGetPrefHandle()->GetFiscalBegin();
    return (month >= 1 && month <= 12) ? month : 1;
}

DateType32 LastWeekly(const DateType32& today, long day) {
    long k = day - DayOfWeek(today);
    if (k <= 0) return DateAdd(today, k);
    // A day beyond the week's numbering must still give a day already past.
    return DateAdd(today, k - 7 * ((k + 6) / 7));
}

DateType32 LastMonthly(const DateType32& today, long day) {
    const DateType32 thisMonth = FirstOfMonth(today.GetMonth(), today.GetYear());
    DateType32 candidate = DateAdd(thisMonth, day - 1);
    if (!InMonth(candidate, thisMonth)) {
        candidate = DateSub(FirstOfMonth(candidate.GetMonth(), candidate.GetYear()), 1);
    }
    if (candidate > today) {
        const DateType32 previousMonth = today.GetMonth() == 1 ? FirstOfMonth(12, today.GetYear() - 1)
                                                               : FirstOfMonth(today.GetMonth() - 1, today.GetYear());
        candidate = DateAdd(previousMonth, day - 1);
        if (!InMonth(candidate, previousMonth)) candidate = DateSub(thisMonth, 1);
    }
    return candidate;
}

DateType32 LastQuarterly(const DateType32& today, long day) {
    const int fiscalFirst = FiscalFirstMonth();
    const int month = today.GetMonth();
    const int monthsIntoYear = month >= fiscalFirst ? month - fiscalFirst : month - fiscalFirst + 12;
    int quarterMonth = fiscalFirst + 3 * (monthsIntoYear / 3);
    int year = today.GetYear();
    if (quarterMonth > month) {
        if (quarterMonth <= 12) {
            year -= 1;
        } else {
            quarterMonth -= 12;
        }
    }
    const DateType32 current = FirstOfMonth(quarterMonth, year);
    const DateType32 next =
        quarterMonth + 3 <= 12 ? FirstOfMonth(quarterMonth + 3, year) : FirstOfMonth(quarterMonth - 9, year + 1);
    const DateType32 previous =
        quarterMonth > 3 ? FirstOfMonth(quarterMonth - 3, year) : FirstOfMonth(quarterMonth + 9, year - 1);

    // A day past the quarter's length means the quarter's last day.
    DateType32 candidate = DateAdd(current, day - 1);
    if (candidate >= next) candidate = DateSub(next, 1);
    if (candidate > today) {
        candidate = DateAdd(previous, day - 1);
        if (candidate >= current) candidate = DateSub(current, 1);
    }
    return candidate;
}

DateType32 LastOfMonth(int month, int year) { return DateType32(month, DaysInMonth(month, year), year); }

// First day of the fiscal quarter that holds `date`.
DateType32 FiscalQuarterStart(const DateType32& date, int fiscalFirst) {
    const int month = date.GetMonth();
    const int year = date.GetYear();
    const int quarter = (month - fiscalFirst + (month < fiscalFirst ? 12 : 0)) / 3;
    int startMonth = fiscalFirst + 3 * quarter;
    int startYear = year;
    if (startMonth > 12) {
        startMonth -= 12;
    } else if ((startMonth == 11 || startMonth == 12) && month < 11) {
        startYear = year - 1;
    }
    return FirstOfMonth(startMonth, startYear);
}

// The transactions a statement dated `statementDate` covers, by the text of
// its date range; a text outside the table covers the 1st to the 28th of the
// statement's month.
void StatementRange(const std::string& range, const DateType32& statementDate, DateType32& from, DateType32& to) {
    const int month = statementDate.GetMonth();
    const int year = statementDate.GetYear();
    const int fiscalFirst = FiscalFirstMonth();
    const DateType32 fiscalYearStart = FirstOfMonth(fiscalFirst, month >= fiscalFirst ? year : year - 1);
    to = statementDate;
    if (range == "all to-date") {
        from = DateType32(1, 1, 1901);
    } else if (range == "current week-to-date") {
        from = DateSub(statementDate, DayOfWeek(statementDate) - 1);
    } else if (range == "current month-to-date") {
        from = FirstOfMonth(month, year);
    } else if (range == "current fiscal quarter-to-date") {
        from = FiscalQuarterStart(statementDate, fiscalFirst);
    } else if (range == "current fiscal year-to-current month") {
        from = fiscalYearStart;
        to = LastOfMonth(month, year);
    } else if (range == "current fiscal year-to-date") {
        from = fiscalYearStart;
    } else if (range == "previous week" || range == "previous week-to-date") {
        from = DateSub(statementDate, 6 + DayOfWeek(statementDate));
        if (range == "previous week") to = DateAdd(from, 6);
    } else if (range == "previous month" || range == "previous month-to-date") {
        from = month == 1 ? FirstOfMonth(12, year - 1) : FirstOfMonth(month - 1, year);
        if (range == "previous month") to = LastOfMonth(from.GetMonth(), from.GetYear());
    } else if (range == "previous fiscal quarter-to-date") {
        const DateType32 current = FiscalQuarterStart(statementDate, fiscalFirst);
        const int previousMonth = current.GetMonth() - 3;
        from = previousMonth >= 1 ? FirstOfMonth(previousMonth, current.GetYear())
                                  : FirstOfMonth(previousMonth + 12, current.GetYear() - 1);
    } else if (range == "previous fiscal year-to-date") {
        from = FirstOfMonth(fiscalFirst, month < fiscalFirst ? year - 2 : year - 1);
    } else {
        from = FirstOfMonth(month, year);
        to = DateType32(month, 28, year);
    }
}

// Largest customer list a statement request can carry: its count is 32-bit.
constexpr std::size_t kMaxStatementCustomers =
    (std::numeric_limits<std::int32_t>::max() - StmtEditTag::kCustomerListHeaderBytes) / sizeof(std::int32_t);

} // namespace

StatementReminderRule::StatementReminderRule()
    : m_ruleId(0), m_ruleSetId(0), m_emailTemplateId(0), m_styleTemplateId(0), m_scheduleDay(0), m_frequency(0) {}

StatementReminderRule::StatementReminderRule(const unsigned long& ruleSetId, const unsigned long& ruleId)
    : m_ruleId(Id32(ruleId)),
      m_ruleSetId(Id32(ruleSetId)),
      m_emailTemplateId(0),
      m_styleTemplateId(0),
      m_scheduleDay(0),
      m_frequency(0) {}

StatementReminderRule::StatementReminderRule(const StatementReminderRule& other) : StatementReminderRule() {
    AssignParams(other);
}

StatementReminderRule& StatementReminderRule::operator=(const StatementReminderRule& other) {
    AssignParams(other);
    return *this;
}

StatementReminderRule::~StatementReminderRule() = default;

void StatementReminderRule::AssignParams(const StatementReminderRule& other) {
    m_ruleId = other.m_ruleId;
    m_ruleSetId = other.m_ruleSetId;
    m_emailTemplateId = other.m_emailTemplateId;
    m_styleTemplateId = other.m_styleTemplateId;
    m_ruleCriteria = other.m_ruleCriteria;
    m_scheduleDay = other.m_scheduleDay;
    m_frequency = other.m_frequency;
    m_emailListPrepDate = other.m_emailListPrepDate;
}

void StatementReminderRule::SetRuleId(unsigned long ruleId) { m_ruleId = Id32(ruleId); }
void StatementReminderRule::SetRuleSetId(unsigned long ruleSetId) { m_ruleSetId = Id32(ruleSetId); }
void StatementReminderRule::SetEmailTemplateId(const long& templateId) { m_emailTemplateId = SignedId32(templateId); }
void StatementReminderRule::SetStyleTemplateId(const long& templateId) { m_styleTemplateId = SignedId32(templateId); }

void StatementReminderRule::SetScheduleDayWithFrequency(unsigned short scheduleDay, short frequency) {
    m_scheduleDay = scheduleDay;
    m_frequency = frequency;
}

bool StatementReminderRule::operator<(const StatementReminderRule& other) const { return m_ruleId < other.m_ruleId; }

DateType32 StatementReminderRule::GetLastTriggerDate() const {
    const DateType32 today = GetSystemDate();
    switch (m_frequency) {
    case kFrequencyWeekly:
        return LastWeekly(today, m_scheduleDay);
    case kFrequencyMonthly:
        return LastMonthly(today, m_scheduleDay);
    case kFrequencyQuarterly:
        return LastQuarterly(today, m_scheduleDay);
    default:
        return today;
    }
}

bool StatementReminderRule::GetPtree(boost::property_tree::ptree& tree) {
    using namespace TxnReminderPtree;
    try {
        PutNumber(tree, "id", m_ruleId);
        PutNumber(tree, "setId", m_ruleSetId);
        PutNumber(tree, "templateId", m_emailTemplateId);
        PutNumber(tree, "styleId", m_styleTemplateId);
        PutNumber(tree, "scheduleDay", m_scheduleDay);
        PutText(tree, "frequency", FrequencyText(m_frequency));
        PutDate(tree, "emailPrepDate", m_emailListPrepDate);

        Tree criterion;
        if (!static_cast<IPtreeManager&>(m_ruleCriteria).GetPtree(criterion)) {
            TXNR_FAILURE("TxnReminder: Error occurred while constructing Ptree at m_ruleCriteria.GetTree");
            return false;
        }
        AddSubTree(tree, "criterion", criterion);
        return true;
    } catch (...) {
        TXNR_FAILURE("TxnReminder: Error occurred while constructing Ptree at StatementReminderRule::SetPtree");
        return false;
    }
}

bool StatementReminderRule::SetPtree(const boost::property_tree::ptree& tree) {
    using namespace TxnReminderPtree;
    try {
        m_ruleSetId = ReadUInt32(tree, "setId");
        m_ruleId = ReadUInt32(tree, "id");
        m_emailTemplateId = ReadInt32(tree, "templateId");
        m_styleTemplateId = ReadInt32(tree, "styleId");

        StatementReminderRuleCriteria criteria;
        if (!criteria.SetPtree(ReadChild(tree, "criterion"))) {
            TXNR_FAILURE("TxnReminder: Error occurred whiled parsing Ptree at TxnReminderRuleCriteria::SetPtree");
            return false;
        }
        m_ruleCriteria = criteria;

        m_scheduleDay = static_cast<unsigned short>(ReadInt16(tree, "scheduleDay"));
        m_frequency = FrequencyOf(ReadText(tree, "frequency"));
        if (m_ruleId != 0) {
            m_emailListPrepDate = ReadDate(tree, "emailPrepDate");
        } else {
            // A rule not stored yet has never prepared its list.
            m_emailListPrepDate.Set(1, 1, 1970);
        }
        return true;
    } catch (...) {
        TXNR_FAILURE("TxnReminder: Error occurred whiled parsing Ptree at StatementReminderRule::SetPtree");
        return false;
    }
}

StmtEditTag* StatementReminderRule::CreateStmtEditHandle(TxnReminderStatusCode& status,
                                                         std::vector<int> customerIds) const {
    // Held until it is complete: the caller owns only a finished request.
    StmtEditHandle handle(StmtEditTag::New());
    void* block = nullptr;
    if (handle && customerIds.size() <= kMaxStatementCustomers) {
        block = Util::GetMemoryManager()->Allocate(StmtEditTag::kCustomerListHeaderBytes +
                                                   customerIds.size() * sizeof(std::int32_t));
    }
    // A request without its customer list would print for nobody, or for
    // everybody: it is not handed out.
    if (!handle || !block) {
        status = TxnReminderStatus_StmtHandleFailed;
        TXNR_FAILURE("TxnReminderEngine:GetStmtData: not able to create new StmtEditHandle");
        return nullptr;
    }
    handle->m_filler = ' ';

    const std::size_t bytes = StmtEditTag::kCustomerListHeaderBytes + customerIds.size() * sizeof(std::int32_t);
    std::memset(block, 0, bytes);
    StmtCustomerListHeader header{};
    header.count = static_cast<std::int32_t>(customerIds.size());
    header.kind = 1;
    std::memcpy(block, &header, sizeof header);
    unsigned char* ids = static_cast<unsigned char*>(block) + StmtEditTag::kCustomerListHeaderBytes;
    for (auto id = customerIds.rbegin(); id != customerIds.rend(); ++id) {
        const std::int32_t value = *id;
        std::memcpy(ids, &value, sizeof value);
        ids += sizeof value;
    }
    handle->SetCustomerList(block);
    handle->m_listSelected = 1;
    handle->m_listFiltered = 0;
    customerIds.clear();

    handle->m_account = CAccnt(1);
    handle->m_style = CCustomStyle(m_styleTemplateId, 1);
    handle->m_custType = CCustType(1);

    const DateType32 statementDate = GetLastTriggerDate();
    handle->m_statementDate = statementDate;
    StatementRange(m_ruleCriteria.GetDateRangeString(), statementDate, handle->m_fromDate, handle->m_toDate);

    handle->m_openOrOverdueOnly = m_ruleCriteria.GetTxnStatus() != 0;
    handle->m_overdueOnly = m_ruleCriteria.GetTxnStatus() == 2;
    handle->m_overdueByDays = m_ruleCriteria.GetOverdueBy();

    handle->m_customerOrJob = m_ruleCriteria.GetIsCustomerJob();
    handle->m_itemDetails = m_ruleCriteria.GetIsItemDetailsIncluded();
    handle->m_dueDate = m_ruleCriteria.GetIsDueDateIncluded();
    handle->m_memo = m_ruleCriteria.GetIsMemoIncluded();
    return handle.release();
}
