#pragma once

// Invoices: reading one transaction (TransTag/TargType) and querying many
// (DQEWrapper), plus the application's functions to enter them.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Date/DateType32.h"
#include "DB/DBManager.h"
#include "Records/Names.h"
#include "Util/HostApi.h"
#include "Util/Status.h"

// One target (line) of a transaction. An invoice has one: the receivable.
class HOST_API TargType {
public:
    bool GetPaid() const { return m_paid; }
    // Last change of the transaction (entered, edited or paid).
    DateAndTime GetModTime() const { return m_modTime; }
    int GetCustomerRecNum() const { return m_customer; }
    Bal GetAmount() const { return m_amount; }
    DateType32 GetDueDate() const { return m_dueDate; }

private:
    friend class TransTag;
    bool m_paid = false;
    DateAndTime m_modTime = 0;
    int m_customer = 0;
    Bal m_amount;
    DateType32 m_dueDate;
};

class HOST_API TransTag {
public:
    TransTag();
    ~TransTag();
    TransTag(const TransTag&) = delete;
    TransTag& operator=(const TransTag&) = delete;

    // Reads the transaction into `handle`. False when it is absent, is not of
    // the view (4: invoices), or cannot be read. `lock`, `flags` and
    // `options` are accepted for the host's shape and not used here.
    static bool ReadTrans(unsigned long transactionId, TransTag* handle, int lock, int flags, int view, int options);

    unsigned long GetTransactionId() const { return m_id; }
    int GetView() const { return m_view; }
    DateType32 GetTxnDate() const { return m_txnDate; }
    std::size_t GetTargetCount() const { return m_targets.size(); }
    // Null past the last target.
    TargType* GetTargetByIndex(std::size_t index);

private:
    unsigned long m_id = 0;
    int m_view = 0;
    DateType32 m_txnDate;
    std::vector<TargType> m_targets;
};

// A fresh handle (kind 1: a transaction); null when none can be had.
HOST_API TransTag* NewTrans(int kind);
HOST_API void FreeTrans(TransTag* handle);

// Holds a handle of NewTrans and gives it back with FreeTrans on every path.
struct TransTagFree {
    void operator()(TransTag* handle) const { FreeTrans(handle); }
};
using TransHandle = std::unique_ptr<TransTag, TransTagFree>;

// --- the query engine ------------------------------------------------------------
namespace DQE {

// Comparison and joining operators of a condition.
enum SelectOp : int {
    SelectOp_None = 0,
    SelectOp_Or = 1,
    SelectOp_And = 2,
    SelectOp_Less = 3,
    SelectOp_LessEqual = 4,
    SelectOp_Greater = 5,
    SelectOp_Equal = 6,
    SelectOp_NotEqual = 7,
    SelectOp_GreaterEqual = 8,
};

// Tables and columns: a column id is table * 65536 + column number.
constexpr int kInvoiceTable = 102;
constexpr long Column(int table, int number) { return static_cast<long>(table) * 65536 + number; }
constexpr long kColClearedType = 0x660100;
constexpr long kColCustomerId = 0x660161;
constexpr long kColDueDate = 0x6601B5;
constexpr long kColIsNoPost = 0x66031A;
constexpr long kColIsPaid = 0x660321;
constexpr long kColTransactionId = 0x6606FA;
constexpr long kColTxnDate = 0x6606F2;
constexpr long kColAmount = 0x660042;

// A condition made by DQEWrapper::SetStatement; owned by its wrapper.
struct Statement;

} // namespace DQE

// A query over one table: the selected columns, and a condition built from
// comparisons (column, operator, value) joined by And/Or into a tree. The
// condition of the query is the conjunction of the statements that no other
// statement uses (normally the last one built). Rows come in the table's
// natural order.
class HOST_API DQEWrapper {
public:
    explicit DQEWrapper(bool readOnly = true);
    ~DQEWrapper();
    DQEWrapper(const DQEWrapper&) = delete;
    DQEWrapper& operator=(const DQEWrapper&) = delete;

    void SetTrans(int table);
    void SetSelect(long column);
    // A comparison of a column with a value (dates: a DateType32 value).
    DQE::Statement* SetStatement(long column, DQE::SelectOp op, long value);
    DQE::Statement* SetStatement(long column, int op, long value) {
        return SetStatement(column, static_cast<DQE::SelectOp>(op), value);
    }
    DQE::Statement* SetStatement(long column, DQE::SelectOp op, const DateType32& value);
    // Two statements joined by And or Or.
    DQE::Statement* SetStatement(DQE::Statement* left, DQE::SelectOp op, DQE::Statement* right);
    DQE::Statement* SetStatement(DQE::Statement* left, int op, DQE::Statement* right) {
        return SetStatement(left, static_cast<DQE::SelectOp>(op), right);
    }

    // Runs the query. False (and a reason in GetLastError) for an unknown
    // table or column, a bad operator, no selected column, or a failing
    // store. Rows are read with First/Next.
    bool DoQuery();
    bool First();
    bool Next();
    // Values of the current row, by position in the select list.
    unsigned long GetUnsignedLong(int column) const;
    long GetLong(int column) const;
    DateType32 GetDateType(int column) const;
    const std::string& GetLastError() const;
    // The SQL that DoQuery ran (for diagnostics and tests).
    std::string GetSqlText() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// --- host functions the application uses ---------------------------------------
namespace Host {

struct InvoiceData {
    int customer = 0;           // record number of the customer or job
    DateType32 txnDate;
    DateType32 dueDate;
    Bal amount;
    bool noPost = false;
    short clearedType = 0;
    unsigned long requestedTransactionId = 0;  // AddInvoice: this id (it must be free); 0: the next one
};

// Adds an unpaid invoice; hands back its transaction id. Fails without
// writing (6043) when the customer does not exist or a date is not valid.
HOST_API Util::Status AddInvoice(const InvoiceData& data, unsigned long& transactionId,
                                 DBMgr::DMTransaction* txn = nullptr);
// Marks an invoice paid on `paidOn`; its modification time becomes now.
// Absent: fails with 6042.
HOST_API Util::Status MarkInvoicePaid(unsigned long transactionId, const DateType32& paidOn,
                                      DBMgr::DMTransaction* txn = nullptr);
// Sets the modification time (imports keep their original times).
HOST_API Util::Status SetInvoiceModTime(unsigned long transactionId, DateAndTime modTime,
                                        DBMgr::DMTransaction* txn = nullptr);

} // namespace Host
