#include "InvoiceReminderDBHelper.h"

#include <algorithm>
#include <boost/property_tree/ptree.hpp>
#include <cctype>
#include <climits>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "Config/HostServices.h"
#include "Date/DateType32.h"
#include "InvoiceCandidateList.h"
#include "InvoiceTransactionContainer.h"
#include "PtreeHelpers.h"
#include "Records/Names.h"
#include "Records/ReminderRecords.h"
#include "Records/Transactions.h"
#include "TxnReminderTargetUser.h"
#include "TxnReminderExecutionDetails.h"
#include "TxnReminderUtil.h"

#define TXNR_SOURCE_FILE TXNR_SRC_DIR "InvoiceReminderDBHelper"

namespace {

constexpr int kCustomerFeature = 1;
constexpr int kDefaultPurgeIntervalDays = 90;

// Open invoices: neither paid nor no-post, cleared type other than 2.
constexpr int kInvoiceTable = 102;
enum InvoiceColumn : long {
    kColumnTransactionId = 0x6606FA, kColumnDueDate = 0x6601B5, kColumnCustomerId = 0x660161,
    kColumnIsPaid = 0x660321, kColumnIsNoPost = 0x66031A, kColumnClearedType = 0x660100,
};
enum QueryOperator : int { kOperatorAnd = 2, kOperatorEqual = 6, kOperatorNotEqual = 7 };
constexpr long kClearedTypeExcluded = 2;

// The configured interval as a number of days, read as the standard
// string-to-unsigned conversion reads it: blanks, an optional sign, then
// digits up to the first non-digit. Throws std::invalid_argument for text
// that does not start with a number, std::out_of_range past what an int
// holds (a negative number wraps there, as that conversion does).
int ParsePurgeInterval(const std::string& text) {
    std::size_t at = 0;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    if (at >= text.size() || !std::isdigit(static_cast<unsigned char>(text[at])))
        throw std::invalid_argument("invalid stoul argument");
    const unsigned long value = std::stoul(text.substr(at), nullptr, 10);
    if (negative && value != 0) throw std::out_of_range("stoul argument out of range");
    if (value > static_cast<unsigned long>(INT_MAX)) throw std::out_of_range("stoul argument out of range");
    return static_cast<int>(value);
}

} // namespace

InvoiceReminderDBHelper::InvoiceReminderDBHelper() = default;

// The base destructor releases the transaction.
InvoiceReminderDBHelper::~InvoiceReminderDBHelper() = default;

struct InvoiceReminderDBHelper::OpenInvoices {
    std::vector<InvoiceCandidateList::Row>& rows;
    std::vector<DMReminderExecutionHistory::DBReminderExecutionHistory> history;

    // The row of a transaction, or -1.
    std::ptrdiff_t RowOf(unsigned long transactionId) const {
        using Row = InvoiceCandidateList::Row;
        const auto at = std::lower_bound(rows.begin(), rows.end(), transactionId,
                                         [](const Row& r, unsigned long id) { return r.transactionId < id; });
        return at == rows.end() || at->transactionId != transactionId ? -1 : at - rows.begin();
    }
};

bool InvoiceReminderDBHelper::ReadOpenInvoices(OpenInvoices& read) {
    DQEWrapper query(true);
    query.SetTrans(kInvoiceTable);
    query.SetSelect(kColumnTransactionId);
    query.SetSelect(kColumnDueDate);
    query.SetSelect(kColumnCustomerId);
    DQE::Statement* notPaid = query.SetStatement(kColumnIsPaid, kOperatorEqual, 0L);
    DQE::Statement* posted = query.SetStatement(kColumnIsNoPost, kOperatorEqual, 0L);
    DQE::Statement* notCleared = query.SetStatement(kColumnClearedType, kOperatorNotEqual, kClearedTypeExcluded);
    DQE::Statement* open = query.SetStatement(notPaid, kOperatorAnd, posted);
    query.SetStatement(open, kOperatorAnd, notCleared);
    if (!query.DoQuery()) {
        TXNR_FAILURE("TxnReminder::FetchTxnDetailsFromDB DQE query execution failed in fetchInvoiceListFromDB");
        return false;
    }

    // Rows first, as plain values: a million open invoices must not pass
    // through a node-per-invoice map on their way to the containers. The
    // query's ids are 32-bit.
    using Row = InvoiceCandidateList::Row;
    std::vector<Row>& rows = read.rows;
    rows.clear();
    for (bool row = query.First(); row; row = query.Next()) {
        rows.push_back(Row{static_cast<std::uint32_t>(query.GetUnsignedLong(0)),
                           static_cast<int>(query.GetUnsignedLong(2)), query.GetDateType(1), 0});
    }
    // A row that could not be read ends the walk like the last row does;
    // a list cut short must not pass for the whole list.
    if (!query.GetLastError().empty()) {
        TXNR_FAILURE("TxnReminder::FetchTxnDetailsFromDB DQE query execution failed in fetchInvoiceListFromDB");
        return false;
    }
    // Ascending transaction id; a transaction met again is replaced by its
    // later row (the stable sort keeps the query's order within one id).
    // The query usually gives them in that order already; checking is a
    // fraction of sorting.
    const auto byId = [](const Row& a, const Row& b) { return a.transactionId < b.transactionId; };
    if (!std::is_sorted(rows.begin(), rows.end(), byId)) std::stable_sort(rows.begin(), rows.end(), byId);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (kept > 0 && rows[kept - 1].transactionId == rows[i].transactionId) rows[kept - 1] = rows[i];
        else rows[kept++] = rows[i];
    }
    rows.resize(kept);

    if (DMReminderExecutionHistory::IDBReminderExecutionHistory::BatchLoadByTxnView(FormViewType_Invoice,
                                                                                    read.history, nullptr)
            .Failed()) {
        TXNR_FAILURE("TxnReminder::FetchTxnDetailsFromDB query execution failed for fetching "
                     "ReminderExecutionHistory");
        return false;
    }
    return true;
}

bool InvoiceReminderDBHelper::LoadSelectionCandidates(
    InvoiceCandidateList& list, std::vector<std::unique_ptr<TxnReminderTransactionContainer>>&) {
    try {
        OpenInvoices read{list.Rows(), {}};
        if (!ReadOpenInvoices(read)) return false;
        std::vector<std::pair<std::uint32_t, std::uint32_t>> carriedOut;
        for (const auto& entry : read.history) {
            const TxnReminderExecutionDetails detail(entry.TransactionId, FormViewType_Invoice,
                                                     static_cast<std::uint32_t>(entry.RuleId),
                                                     static_cast<TxnReminderExecutionStatus>(entry.Status));
            if (!detail.IsCarriedOut()) continue;
            const std::ptrdiff_t at = read.RowOf(entry.TransactionId);
            if (at >= 0)
                carriedOut.emplace_back(static_cast<std::uint32_t>(at), static_cast<std::uint32_t>(detail.GetRuleId()));
        }
        read.history.clear();
        read.history.shrink_to_fit();
        read.rows.shrink_to_fit();
        list.SetCarriedOut(carriedOut);
        list.MarkFilled();
        return true;
    } catch (const std::exception& e) {
        TXNR_FAILURE("TxnReminder::FetchTxnDetailsFromDB exception occurred, trace=%s", e.what());
        return false;
    }
}

bool InvoiceReminderDBHelper::GetTxnDetailsFromDB(std::vector<std::unique_ptr<TxnReminderTransactionContainer>>& txns) {
    try {
        std::vector<InvoiceCandidateList::Row> rows;
        OpenInvoices read{rows, {}};
        if (!ReadOpenInvoices(read)) return false;

        // Built aside and handed over at the end, so that a failure leaves the
        // caller's vector as it was.
        std::vector<std::unique_ptr<TxnReminderTransactionContainer>> built;
        built.reserve(rows.size());
        for (const InvoiceCandidateList::Row& row : rows) {
            built.push_back(std::make_unique<InvoiceTransactionContainer>(row.transactionId, FormViewType_Invoice,
                                                                          row.targetId, row.dueDate));
        }
        // Each container's history keeps the store's order.
        for (const auto& entry : read.history) {
            const std::ptrdiff_t at = read.RowOf(entry.TransactionId);
            if (at < 0) continue;
            built[static_cast<std::size_t>(at)]->AddExecutionDetail(TxnReminderExecutionDetails(
                entry.TransactionId, FormViewType_Invoice, static_cast<std::uint32_t>(entry.RuleId),
                static_cast<TxnReminderExecutionStatus>(entry.Status)));
        }
        read.history.clear();
        read.history.shrink_to_fit();
        rows.clear();
        rows.shrink_to_fit();

        if (txns.empty()) {
            txns = std::move(built);
        } else {
            txns.reserve(txns.size() + built.size());
            for (auto& container : built) txns.push_back(std::move(container));
        }
        return true;
    } catch (const std::exception& e) {
        TXNR_FAILURE("TxnReminder::FetchTxnDetailsFromDB exception occurred, trace=%s", e.what());
        return false;
    }
}

bool InvoiceReminderDBHelper::GetUserDetails(TxnReminderStatusCode& status, boost::property_tree::ptree& tree) {
    status = TxnReminderStatus_Reset;
    std::vector<DBReminderTargetUser> members;
    if (DMReminderTargetUser::IDBReminderTargetUser::BatchLoadAll(members, nullptr).Failed()) {
        TXNR_FAILURE("TxnReminder:InvoiceReminderDBHelper::GetUserDetails - Unable to fetch list of the target users");
        status = TxnReminderStatus_NoTransaction;
        return false;
    }
    std::map<int, long> groupOfCustomer;
    for (const DBReminderTargetUser& member : members) groupOfCustomer[member.CustomerRecNum] = member.TargetGroupId;

    if (MultiUserMode()) EdListRefreshAllLists(5);

    std::map<int, TxnReminderTargetUser> users;
    std::map<int, Bal> averageDaysToPay;
    EdListViewIter customers(EdListTypeToList(EdListType_CustomerJob), 1, 1);
    CName name(kCustomerFeature);
    for (bool valid = customers.First(name); valid && name.IsValid(); valid = customers.Next(name)) {
        // Jobs and sub-customers are reached through their customer.
        if (name.GetSubLevel() != 0) continue;
        const int recNum = name.GetRecNum();
        TxnReminderTargetUser user;
        user.SetTargetId(recNum);
        user.SetTargetName(name.GetQualifiedName());
        user.SetTargetTypes(name.GetCustType().GetName());
        user.SetTargetTerms(name.GetTerms().GetName());
        user.SetTargetEmailId(name.GetEmail());
        user.SetTargetAgeAsYear(name.GetTimeStamp());
        user.SetTargetBalance(Bal2Double(name.GetTotalEndingBalHome()));
        const auto group = groupOfCustomer.find(recNum);
        user.SetTargetGroupId(group == groupOfCustomer.end() ? 0 : group->second);
        users[recNum] = user;
        averageDaysToPay[recNum] = Bal{};
    }

    // The customer list is what the screens need to build groups: without
    // the host's figures every customer is still listed, with 0, and the log
    // says why.
    if (CName::GetAverageDaysToPay(averageDaysToPay).Failed()) {
        TXNR_FAILURE("TxnReminder:InvoiceReminderDBHelper::GetUserDetails - Unable to get average days to pay, 0 shown");
        for (auto& entry : averageDaysToPay) entry.second = Bal{};
    }
    for (auto& [recNum, user] : users) user.SetTargetAvgDaysToPay(Bal2Double(averageDaysToPay[recNum]));

    TXNR_MILESTONE("TxnReminder::GetUserDetails CustomerInfoMap.size()=%ld", static_cast<long>(users.size()));
    boost::property_tree::ptree list;
    for (const auto& entry : users) {
        boost::property_tree::ptree element;
        entry.second.GetPtree(element);
        TxnReminderPtree::AppendArrayElement(list, element);
    }
    TxnReminderPtree::AddSubTree(tree, "customers", list);
    status = TxnReminderStatus_Success;
    return true;
}

bool InvoiceReminderDBHelper::PurgeReminderExecutionHistory() {
    TXNR_MILESTONE("TxnReminder: PurgeOldReminderExecutionHistorys: Start");
    std::vector<DMReminderExecutionHistory::DBReminderExecutionHistory> history;
    if (DMReminderExecutionHistory::IDBReminderExecutionHistory::BatchLoadByTxnView(FormViewType_Invoice, history,
                                                                                    nullptr)
            .Failed()) {
        TXNR_FAILURE("TxnReminder:TxnReminderDBHelper::PurgeOldReminderExecutionHistorys -failed to batchLoadAll");
        return false;
    }
    // The history comes grouped by transaction: each transaction is judged
    // and deleted once.
    unsigned long lastHandled = 0;
    long purged = 0;
    for (const auto& entry : history) {
        const unsigned long transactionId = entry.TransactionId;
        if (transactionId == lastHandled) continue;
        if (!IsTransactionEligibleToPurge(transactionId)) {
            lastHandled = transactionId;
            continue;
        }
        if (DMReminderExecutionHistory::IDBReminderExecutionHistory::DeleteByTxnId(transactionId,
                                                                                   entry.TransactionView, nullptr)
                .Succeeded()) {
            ++purged;
            lastHandled = transactionId;
        } else {
            TXNR_FAILURE("TxnReminder:TxnReminderDBHelper::DeleteByTxnId - failed ");
        }
    }
    SendTelemetryEvent(kTxnReminderTelemetryKind,
                       "EventSource=InvoicePaymentReminders,EventId=PurgedInvoicesCount: " + std::to_string(purged));
    TXNR_MILESTONE("TxnReminder: PurgeOldReminderExecutionHistorys: End ");
    return true;
}

bool InvoiceReminderDBHelper::IsTransactionEligibleToPurge(unsigned long transactionId) {
    TXNR_TRACE("TxnReminder: IsTransactionEligibleToPurge: Start");
    if (transactionId == 0) {
        TXNR_FAILURE("TxnReminder: IsTransactionEligibleToPurge: Invalid txn id ");
        return false;
    }
    std::unique_ptr<TransTag, void (*)(TransTag*)> handle(NewTrans(1), FreeTrans);
    if (!handle) {
        TXNR_FAILURE("TxnReminder: IsTransactionEligibleToPurge: Failed to acquire TransHandle");
        return false;
    }
    if (!TransTag::ReadTrans(transactionId, handle.get(), 0, 0, FormViewType_Invoice, 0)) {
        TXNR_FAILURE("TxnReminder: ReadTrans: unable to read Invoice");
        return false;
    }
    const TargType* target = handle->GetTargetByIndex(0);
    if (!target) {
        TXNR_FAILURE("TxnReminder: ReadTrans: pSrcTarg is null");
        return false;
    }
    if (!target->GetPaid()) return false;

    const DateType32 modified = DateAndTimeToDate(target->GetModTime());
    const DateType32 today = DateAndTimeToDate(GetMXSystemTime());
    // Counted in days rather than by adding the interval to a date: a date
    // past the calendar's last year would wrap, and a longer interval must
    // never purge more.
    if (today > modified &&
        DateToDayNumber(today) - DateToDayNumber(modified) >= static_cast<long>(GetIntervalForPurgingLogicFromDCE()))
        return true;
    handle.reset();
    TXNR_TRACE("TxnReminder: IsTransactionEligibleToPurge: End");
    return false;
}

int InvoiceReminderDBHelper::GetIntervalForPurgingLogicFromDCE() {
    const LogSite site = TXNR_SITE;
    const auto read = [&site] {
        LogAt(site, 1, 5, "TxnReminder::GetIntervalForPurgingLogicFromDCE: Getting interval value from DCE");
        try {
            std::string value;
            FileSystem::DCE::GetValue2("InvoicePaymentReminders", "PurgingLogicInterval", value);
            if (value.empty()) return kDefaultPurgeIntervalDays;
            return ParsePurgeInterval(value);
        } catch (const std::exception& e) {
            const std::string line =
                std::string("TxnReminder::GetIntervalForPurgingLogicFromDCE: unusable interval, 90 days kept: ") +
                e.what();
            LogAt(site, 4, 5, line.c_str());
            return kDefaultPurgeIntervalDays;
        } catch (...) {
            LogAt(site, 4, 5, "TxnReminder::GetIntervalForPurgingLogicFromDCE: unusable interval, 90 days kept");
            return kDefaultPurgeIntervalDays;
        }
    };
    // Taken once per process (again after a reset of the process caches).
    static std::mutex guard;
    static int interval = 0;
    static unsigned takenAt = 0;
    static bool taken = false;
    const std::lock_guard<std::mutex> lock(guard);
    const unsigned generation = TxnReminderUtil::ProcessCacheGeneration();
    if (!taken || takenAt != generation) {
        interval = read();
        takenAt = generation;
        taken = true;
    }
    return interval;
}
