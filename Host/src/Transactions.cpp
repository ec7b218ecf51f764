#include "Records/Transactions.h"

#include "Records/BulkReads.h"

#include <array>
#include <map>
#include <optional>

#include "RecordStore.h"

using Host::Records::kOpenInvoice;
using Host::Records::Missing;
using Host::Records::Read;
using Host::Records::Refused;
using Host::Records::Write;
using Host::Stmt;
using Util::Status;

namespace {
constexpr int kInvoiceView = 4;
constexpr long long kMaxTransactionId = 0xFFFFFFFFLL;
} // namespace

// --- one transaction -------------------------------------------------------------
TransTag::TransTag() = default;
TransTag::~TransTag() = default;

TargType* TransTag::GetTargetByIndex(std::size_t index) {
    return index < m_targets.size() ? &m_targets[index] : nullptr;
}

bool TransTag::ReadTrans(unsigned long transactionId, TransTag* handle, int, int, int view, int) {
    if (!handle || view != kInvoiceView) return false;
    if (transactionId > static_cast<unsigned long>(kMaxTransactionId)) return false;
    TransTag read;
    Status status = Read("Trans.Read", nullptr, [&](Host::Connection* db) {
        Stmt q(db, "SELECT customer_id, txn_date, due_date, amount, is_paid, mod_time FROM invoices WHERE txn_id = ?1");
        q.Bind(1, static_cast<long long>(transactionId));
        if (!q.Step()) return Status::NotFound();
        read.m_id = transactionId;
        read.m_view = kInvoiceView;
        read.m_txnDate = DayNumberToDate(static_cast<long>(q.Int(1)));
        TargType target;
        target.m_customer = static_cast<int>(q.Int(0));
        target.m_dueDate = DayNumberToDate(static_cast<long>(q.Int(2)));
        target.m_amount.hundredths = q.Int(3);
        target.m_paid = q.Int(4) != 0;
        target.m_modTime = q.Int(5);
        read.m_targets.push_back(target);
        return Status::GetSucceeded();
    });
    if (status.Failed() || status.GetStatusCode() != Status::kOk) return false;
    handle->m_id = read.m_id;
    handle->m_view = read.m_view;
    handle->m_txnDate = read.m_txnDate;
    handle->m_targets = std::move(read.m_targets);
    return true;
}

TransTag* NewTrans(int) {
    if (Host::FaultFails("Trans.New")) return nullptr;
    return new TransTag();
}

void FreeTrans(TransTag* handle) { delete handle; }

// --- the query engine ------------------------------------------------------------
namespace DQE {

struct Statement {
    // A comparison when left is null, otherwise a join of two statements.
    long column = 0;
    SelectOp op = SelectOp_None;
    std::optional<long long> intValue;
    std::optional<DateType32> dateValue;
    Statement* left = nullptr;
    Statement* right = nullptr;
    bool used = false;
};

} // namespace DQE

namespace {

enum class ColumnKind { Integer, Date };

struct ColumnInfo {
    const char* sql;
    ColumnKind kind;
};

// The host schema's catalogue of what this engine can query.
const std::map<long, ColumnInfo>& InvoiceColumns() {
    static const std::map<long, ColumnInfo> columns = {
        {DQE::kColAmount, {"amount", ColumnKind::Integer}},
        {DQE::kColClearedType, {"cleared_type", ColumnKind::Integer}},
        {DQE::kColCustomerId, {"customer_id", ColumnKind::Integer}},
        {DQE::kColDueDate, {"due_date", ColumnKind::Date}},
        {DQE::kColIsNoPost, {"is_no_post", ColumnKind::Integer}},
        {DQE::kColIsPaid, {"is_paid", ColumnKind::Integer}},
        {DQE::kColTxnDate, {"txn_date", ColumnKind::Date}},
        {DQE::kColTransactionId, {"txn_id", ColumnKind::Integer}},
    };
    return columns;
}

const char* ComparisonSql(DQE::SelectOp op) {
    switch (op) {
    case DQE::SelectOp_Less: return "<";
    case DQE::SelectOp_LessEqual: return "<=";
    case DQE::SelectOp_Greater: return ">";
    case DQE::SelectOp_GreaterEqual: return ">=";
    case DQE::SelectOp_Equal: return "=";
    case DQE::SelectOp_NotEqual: return "<>";
    default: return nullptr;
    }
}

} // namespace

struct DQEWrapper::Impl {
    int table = 0;
    std::vector<long> select;
    std::vector<std::unique_ptr<DQE::Statement>> statements;
    std::string error;
    std::string sql;
    std::vector<long long> values;
    std::shared_ptr<Host::CompanyFile> file;
    std::unique_ptr<Stmt> rows;
    bool fresh = false;   // rows prepared and not yet stepped
    bool onRow = false;
    std::vector<ColumnKind> kinds;
    // Dates met before, by day number: rows share dates, and turning a day
    // number into a date costs more than the rest of reading a row.
    struct KnownDate {
        long long dayNumber = 0;
        DateType32 date;
        bool known = false;
    };
    mutable std::array<KnownDate, 1024> knownDates{};

    DQE::Statement* Own(std::unique_ptr<DQE::Statement> s) {
        statements.push_back(std::move(s));
        return statements.back().get();
    }
    bool Owns(const DQE::Statement* s) const {
        for (const auto& p : statements) {
            if (p.get() == s) return true;
        }
        return false;
    }
    void Fail(const std::string& why) {
        if (error.empty()) error = why;
    }
    // SQL of one statement; its values are appended in order.
    bool Render(const DQE::Statement* s, std::string& out, int depth) {
        if (depth > 256) {
            Fail("condition nested too deeply");
            return false;
        }
        if (s->left) {
            const char* join = s->op == DQE::SelectOp_And ? " AND " : s->op == DQE::SelectOp_Or ? " OR " : nullptr;
            if (!join) {
                Fail("operator " + std::to_string(s->op) + " cannot join two conditions");
                return false;
            }
            std::string l, r;
            if (!Render(s->left, l, depth + 1) || !Render(s->right, r, depth + 1)) return false;
            out = "(" + l + join + r + ")";
            return true;
        }
        const auto& columns = InvoiceColumns();
        auto it = columns.find(s->column);
        if (it == columns.end()) {
            Fail("unknown column " + std::to_string(s->column));
            return false;
        }
        const char* cmp = ComparisonSql(s->op);
        if (!cmp) {
            Fail("operator " + std::to_string(s->op) + " cannot compare a column");
            return false;
        }
        long long value = 0;
        if (it->second.kind == ColumnKind::Date) {
            if (!s->dateValue || !s->dateValue->IsValid()) {
                Fail(std::string("column ") + it->second.sql + " compares with a valid date only");
                return false;
            }
            value = DateToDayNumber(*s->dateValue);
        } else {
            if (!s->intValue) {
                Fail(std::string("column ") + it->second.sql + " compares with a number only");
                return false;
            }
            value = *s->intValue;
        }
        values.push_back(value);
        out = std::string("(") + it->second.sql + " " + cmp + " ?" + std::to_string(values.size()) + ")";
        return true;
    }
};

DQEWrapper::DQEWrapper(bool) : m_impl(std::make_unique<Impl>()) {}
DQEWrapper::~DQEWrapper() = default;

void DQEWrapper::SetTrans(int table) { m_impl->table = table; }
void DQEWrapper::SetSelect(long column) { m_impl->select.push_back(column); }

DQE::Statement* DQEWrapper::SetStatement(long column, DQE::SelectOp op, long value) {
    auto s = std::make_unique<DQE::Statement>();
    s->column = column;
    s->op = op;
    s->intValue = value;
    return m_impl->Own(std::move(s));
}

DQE::Statement* DQEWrapper::SetStatement(long column, DQE::SelectOp op, const DateType32& value) {
    auto s = std::make_unique<DQE::Statement>();
    s->column = column;
    s->op = op;
    s->dateValue = value;
    return m_impl->Own(std::move(s));
}

DQE::Statement* DQEWrapper::SetStatement(DQE::Statement* left, DQE::SelectOp op, DQE::Statement* right) {
    if (!left || !right || !m_impl->Owns(left) || !m_impl->Owns(right)) {
        m_impl->Fail("a joined condition names a statement this query did not make");
        return nullptr;
    }
    auto s = std::make_unique<DQE::Statement>();
    s->op = op;
    s->left = left;
    s->right = right;
    left->used = true;
    right->used = true;
    return m_impl->Own(std::move(s));
}

bool DQEWrapper::DoQuery() {
    Impl& q = *m_impl;
    q.rows.reset();
    q.onRow = false;
    q.values.clear();
    if (Host::FaultFails("DQE.DoQuery")) {
        q.Fail("the query engine failed");
        return false;
    }
    if (!q.error.empty()) return false;
    if (q.table != DQE::kInvoiceTable) {
        q.Fail("unknown table " + std::to_string(q.table));
        return false;
    }
    if (q.select.empty()) {
        q.Fail("no column selected");
        return false;
    }
    std::string sql = "SELECT ";
    q.kinds.clear();
    for (std::size_t i = 0; i < q.select.size(); ++i) {
        auto it = InvoiceColumns().find(q.select[i]);
        if (it == InvoiceColumns().end()) {
            q.Fail("unknown column " + std::to_string(q.select[i]));
            return false;
        }
        sql += (i ? ", " : "") + std::string(it->second.sql);
        q.kinds.push_back(it->second.kind);
    }
    sql += " FROM invoices";
    // The query's condition: every statement that no other one takes in.
    std::string where;
    for (const auto& s : q.statements) {
        if (s->used) continue;
        std::string part;
        if (!q.Render(s.get(), part, 0)) return false;
        where += (where.empty() ? "" : " AND ") + part;
    }
    if (!where.empty()) sql += " WHERE " + where;
    // In number order on every store: a file happens to walk its rows so, a
    // server promises no order without being asked.
    sql += " ORDER BY txn_id";
    q.sql = sql;

    Host::CompanyFile* open = Host::HostContext::Get().File();
    if (!open) {
        q.Fail("no company file is open");
        return false;
    }
    try {
        q.file = open->shared_from_this();
        q.rows = std::make_unique<Stmt>(q.file->Db(), q.sql.c_str());
        for (std::size_t i = 0; i < q.values.size(); ++i) q.rows->Bind(static_cast<int>(i + 1), q.values[i]);
        q.fresh = true;
    } catch (const Host::SqlError& e) {
        q.rows.reset();
        q.Fail(e.what());
        return false;
    }
    return true;
}

bool DQEWrapper::First() {
    Impl& q = *m_impl;
    if (!q.rows) return false;
    try {
        if (!q.fresh) {
            // Reset keeps the statement but forgets its values: bind again.
            q.rows->Reset();
            for (std::size_t i = 0; i < q.values.size(); ++i) q.rows->Bind(static_cast<int>(i + 1), q.values[i]);
        }
        q.fresh = false;
        q.onRow = q.rows->Step();
    } catch (const Host::SqlError& e) {
        q.Fail(e.what());
        q.onRow = false;
    }
    return q.onRow;
}

bool DQEWrapper::Next() {
    Impl& q = *m_impl;
    if (!q.rows || !q.onRow) return false;
    try {
        q.onRow = q.rows->Step();
    } catch (const Host::SqlError& e) {
        q.Fail(e.what());
        q.onRow = false;
    }
    return q.onRow;
}

long DQEWrapper::GetLong(int column) const {
    const Impl& q = *m_impl;
    if (!q.rows || !q.onRow || column < 0 || static_cast<std::size_t>(column) >= q.kinds.size()) return 0;
    return static_cast<long>(q.rows->Int(column));
}

unsigned long DQEWrapper::GetUnsignedLong(int column) const {
    return static_cast<std::uint32_t>(GetLong(column));
}

DateType32 DQEWrapper::GetDateType(int column) const {
    const Impl& q = *m_impl;
    DateType32 date;
    if (!q.rows || !q.onRow || column < 0 || static_cast<std::size_t>(column) >= q.kinds.size()) return date;
    if (q.kinds[static_cast<std::size_t>(column)] != ColumnKind::Date) return date;
    const long long dayNumber = q.rows->Int(column);
    Impl::KnownDate& known = q.knownDates[static_cast<std::size_t>(dayNumber) % q.knownDates.size()];
    if (!known.known || known.dayNumber != dayNumber) {
        known.date = DayNumberToDate(static_cast<long>(dayNumber));
        known.dayNumber = dayNumber;
        known.known = true;
    }
    return known.date;
}

const std::string& DQEWrapper::GetLastError() const { return m_impl->error; }
std::string DQEWrapper::GetSqlText() const { return m_impl->sql; }

// --- host functions ------------------------------------------------------------------
namespace Host {

Status AddInvoice(const InvoiceData& data, unsigned long& transactionId, DBMgr::DMTransaction* txn) {
    if (!data.txnDate.IsValid() || !data.dueDate.IsValid()) return Refused();
    unsigned long id = 0;
    Status status = Write("Invoice.Add", txn, [&](Host::Connection* db) {
        {
            Stmt known(db, "SELECT 1 FROM customers WHERE id = ?1");
            known.Bind(1, data.customer);
            if (!known.Step()) return Refused();
        }
        // A number asked for is taken as it is; otherwise the store numbers the row.
        const bool numbered = data.requestedTransactionId > 0;
        Stmt insert(db, Host::Records::InsertReturning(db, (numbered ? "INSERT INTO invoices(txn_id, customer_id, txn_date, due_date, amount, is_no_post, "
                                   "cleared_type, mod_time) VALUES(?8, ?1, ?2, ?3, ?4, ?5, ?6, ?7)"
                                 : "INSERT INTO invoices(customer_id, txn_date, due_date, amount, is_no_post, "
                                   "cleared_type, mod_time) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)"), "txn_id").c_str());
        if (numbered) insert.Bind(8, data.requestedTransactionId);
        insert.Bind(1, data.customer)
            .Bind(2, DateToDayNumber(data.txnDate))
            .Bind(3, DateToDayNumber(data.dueDate))
            .Bind(4, static_cast<long long>(data.amount.hundredths))
            .Bind(5, data.noPost ? 1 : 0)
            .Bind(6, data.clearedType)
            .Bind(7, static_cast<long long>(GetMXSystemTime()));
        long long rowid = 0;
        if (!Host::Records::NewId(db, insert, rowid)) return Status::GetFailed();
        if (numbered) Records::KeepIdsPast(db, "invoices", "txn_id", rowid);
        // Transaction ids are unsigned 32-bit wherever they are kept.
        if (rowid <= 0 || rowid > kMaxTransactionId) return Status::GetFailed();
        id = static_cast<unsigned long>(rowid);
        return Status::GetSucceeded();
    });
    if (status.Succeeded()) transactionId = id;
    return status;
}

Status MarkInvoicePaid(unsigned long transactionId, const DateType32& paidOn, DBMgr::DMTransaction* txn) {
    if (!paidOn.IsValid()) return Refused();
    return Write("Invoice.MarkPaid", txn, [&](Host::Connection* db) {
        Stmt(db, "UPDATE invoices SET is_paid = 1, paid_date = ?2, mod_time = ?3 WHERE txn_id = ?1")
            .Bind(1, static_cast<long long>(transactionId))
            .Bind(2, DateToDayNumber(paidOn))
            .Bind(3, static_cast<long long>(GetMXSystemTime()))
            .Run();
        return db->Changes() > 0 ? Status::GetSucceeded() : Missing();
    });
}

Status SetInvoiceModTime(unsigned long transactionId, DateAndTime modTime, DBMgr::DMTransaction* txn) {
    return Write("Invoice.SetModTime", txn, [&](Host::Connection* db) {
        Stmt(db, "UPDATE invoices SET mod_time = ?2 WHERE txn_id = ?1")
            .Bind(1, static_cast<long long>(transactionId))
            .Bind(2, static_cast<long long>(modTime))
            .Run();
        return db->Changes() > 0 ? Status::GetSucceeded() : Missing();
    });
}

} // namespace Host

namespace Host {

Util::Status ReadInvoices(const std::vector<unsigned long>& ascendingIds,
                          const std::function<void(const InvoiceRead&)>& each, OpenAmounts* open) {
    if (ascendingIds.empty() && !open) return Status::GetSucceeded();
    return Read("Trans.Read", nullptr, [&](Host::Connection* db) {
        OpenAmounts summed;
        const auto emit = [&](const Stmt& q) {
            InvoiceRead row;
            row.id = static_cast<unsigned long>(q.Int(0));
            row.customer = static_cast<int>(q.Int(1));
            row.txnDate = DayNumberToDate(static_cast<long>(q.Int(2)));
            row.dueDate = DayNumberToDate(static_cast<long>(q.Int(3)));
            row.amount.hundredths = q.Int(4);
            row.paid = q.Int(5) != 0;
            each(row);
        };
        // The open invoices the walk below does not pass: all of them, or
        // those before and after its range. Summed here rather than by GROUP
        // BY: the store's grouping sorts every open invoice first, which
        // costs several times the read.
        const auto sumOpen = [&](const char* range, unsigned long bound) {
            Stmt q(db, (std::string("SELECT customer_id, amount FROM invoices WHERE ") + kOpenInvoice + range).c_str());
            if (*range) q.Bind(1, static_cast<long long>(bound));
            while (q.Step()) summed.byCustomer[static_cast<int>(q.Int(0))] += q.Int(1);
        };
        constexpr const char* kColumns =
            "SELECT txn_id, customer_id, txn_date, due_date, amount, is_paid, is_no_post, cleared_type FROM invoices ";
        // A few are looked up one by one; many are read in one walk of the
        // table between the first and the last, which costs less than as
        // many lookups once they are more than a small part of that range.
        const unsigned long first = ascendingIds.empty() ? 0 : ascendingIds.front();
        const unsigned long last = ascendingIds.empty() ? 0 : ascendingIds.back();
        if (ascendingIds.size() < 64 || (last - first) / ascendingIds.size() > 64) {
            Stmt q(db, (std::string(kColumns) + "WHERE txn_id = ?1").c_str());
            unsigned long previous = 0;
            for (std::size_t i = 0; i < ascendingIds.size(); ++i) {
                if (i > 0 && ascendingIds[i] == previous) continue;
                previous = ascendingIds[i];
                if (previous > static_cast<unsigned long>(kMaxTransactionId)) break;
                q.Reset();
                q.Bind(1, static_cast<long long>(previous));
                if (q.Step()) emit(q);
            }
            if (open) {
                sumOpen("", 0);
                *open = std::move(summed);
            }
            return Status::GetSucceeded();
        }
        Stmt q(db, (std::string(kColumns) + "WHERE txn_id BETWEEN ?1 AND ?2 ORDER BY txn_id").c_str());
        q.Bind(1, static_cast<long long>(first)).Bind(2, static_cast<long long>(last));
        std::size_t at = 0;
        while ((open || at < ascendingIds.size()) && q.Step()) {
            const auto id = static_cast<unsigned long>(q.Int(0));
            while (at < ascendingIds.size() && ascendingIds[at] < id) ++at;
            if (at < ascendingIds.size() && ascendingIds[at] == id) emit(q);
            const bool isOpen = q.Int(5) == 0 && q.Int(6) == 0 && q.Int(7) != 2;  // as kOpenInvoice tests it
            if (open && isOpen) summed.byCustomer[static_cast<int>(q.Int(1))] += q.Int(4);
        }
        if (open) {
            sumOpen(" AND txn_id < ?1", first);
            sumOpen(" AND txn_id > ?1", last);
            *open = std::move(summed);
        }
        return Status::GetSucceeded();
    });
}

} // namespace Host
