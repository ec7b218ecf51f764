#include "Records/Names.h"

#include "Records/BulkReads.h"

#include <cmath>
#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "RecordStore.h"
#include "Records/RecordText.h"

using Host::Records::kOpenInvoice;
using Host::Records::Missing;
using Host::Records::Read;
using Host::Records::Refused;
using Host::Records::Write;
using Host::Stmt;
using Util::Status;

// One row of the customer:job list with what is derived from its place in it.
struct NameRow {
    int id = 0;
    int parent = 0;
    std::string name;
    bool hidden = false;
    std::string email;
    std::string custType;
    std::string terms;
    long long since = 0;
    std::string qualifiedName;
    int subLevel = 0;
    std::int64_t balance = 0;
};

namespace {

// Deeper than any real list; stops a damaged file's parent loop.
constexpr int kMaxDepth = 64;

// The same test for a few customers' invoices: the unary plus keeps the
// planner on the per-customer index instead of scanning every open invoice
// through the index on the flags.
constexpr const char* kOpenInvoiceByCustomer = "+is_paid = 0 AND +is_no_post = 0 AND cleared_type <> 2";

NameRow RowFrom(const Stmt& q) {
    NameRow row;
    row.id = static_cast<int>(q.Int(0));
    row.parent = static_cast<int>(q.Int(1));
    row.name = q.Text(2);
    row.hidden = q.Int(3) != 0;
    row.email = Host::TruncateUtf8(q.Text(4), CName::kMaxEmailChars);
    row.custType = q.Text(5);
    row.terms = q.Text(6);
    row.since = q.Int(7);
    return row;
}

constexpr const char* kRowColumns = "id, parent_id, name, hidden, email, cust_type, terms, since";

// Fills qualified names, sub-levels and balances (own invoices plus those of
// every job below) of a whole list.
void Derive(std::vector<NameRow>& rows, const std::unordered_map<int, std::int64_t>& ownBalance) {
    std::unordered_map<int, std::size_t> index;
    for (std::size_t i = 0; i < rows.size(); ++i) index[rows[i].id] = i;
    for (NameRow& row : rows) {
        std::string qualified = row.name;
        int level = 0;
        int parent = row.parent;
        while (parent != 0 && level < kMaxDepth) {
            auto it = index.find(parent);
            if (it == index.end()) break;
            qualified = rows[it->second].name + ":" + qualified;
            parent = rows[it->second].parent;
            ++level;
        }
        row.qualifiedName = qualified;
        row.subLevel = level;
    }
    for (const auto& [customer, amount] : ownBalance) {
        int at = customer;
        for (int depth = 0; at != 0 && depth <= kMaxDepth; ++depth) {
            auto it = index.find(at);
            if (it == index.end()) break;
            rows[it->second].balance += amount;
            at = rows[it->second].parent;
        }
    }
}

std::vector<NameRow> LoadAllRows(Host::Connection* db) {
    std::vector<NameRow> rows;
    {
        Stmt q(db, (std::string("SELECT ") + kRowColumns + " FROM customers ORDER BY id").c_str());
        while (q.Step()) rows.push_back(RowFrom(q));
    }
    std::unordered_map<int, std::int64_t> own;
    Stmt sums(db, (std::string("SELECT customer_id, SUM(amount) FROM invoices WHERE ") + kOpenInvoice +
                   " GROUP BY customer_id")
                      .c_str());
    while (sums.Step()) own[static_cast<int>(sums.Int(0))] = sums.Int(1);
    Derive(rows, own);
    return rows;
}

// One name with its ancestors' names and its subtree's open balance.
Status LoadOneRow(Host::Connection* db, int recNum, NameRow& out) {
    Stmt q(db, (std::string("SELECT ") + kRowColumns + " FROM customers WHERE id = ?1").c_str());
    q.Bind(1, recNum);
    if (!q.Step()) return Status::NotFound();
    out = RowFrom(q);
    std::string qualified = out.name;
    int level = 0;
    int parent = out.parent;
    Stmt up(db, "SELECT name, parent_id FROM customers WHERE id = ?1");
    while (parent != 0 && level < kMaxDepth) {
        up.Reset();
        up.Bind(1, parent);
        if (!up.Step()) break;
        qualified = up.Text(0) + ":" + qualified;
        parent = static_cast<int>(up.Int(1));
        ++level;
    }
    out.qualifiedName = qualified;
    out.subLevel = level;
    Stmt bal(db, (std::string("WITH RECURSIVE sub(id) AS (SELECT ?1 UNION SELECT c.id FROM customers c "
                              "JOIN sub ON c.parent_id = sub.id) "
                              "SELECT COALESCE(SUM(amount), 0) FROM invoices WHERE customer_id IN (SELECT id FROM sub) AND ") +
                  kOpenInvoiceByCustomer)
                     .c_str());
    bal.Bind(1, recNum);
    out.balance = bal.Step() ? bal.Int(0) : 0;
    return Status::GetSucceeded();
}

bool IsValidEmailLength(const std::string& email) { return email.size() <= CName::kMaxEmailChars; }

Status CheckCustomer(Host::Connection* db, const Host::CustomerData& data, int self) {
    if (data.name.empty() || data.name.size() > CName::kMaxNameChars) return Refused();
    // The colon separates the levels of a qualified name.
    if (data.name.find(':') != std::string::npos || data.name.find('\0') != std::string::npos) return Refused();
    if (!IsValidEmailLength(data.email)) return Refused();
    if (data.parent < 0) return Refused();
    if (data.parent != 0) {
        // The parent must exist and must not be the record itself or lie below it.
        int at = data.parent;
        Stmt up(db, "SELECT parent_id FROM customers WHERE id = ?1");
        for (int depth = 0; at != 0; ++depth) {
            if (at == self || depth > kMaxDepth) return Refused();
            up.Reset();
            up.Bind(1, at);
            if (!up.Step()) return Refused();
            at = static_cast<int>(up.Int(0));
        }
    }
    Stmt taken(db, "SELECT id FROM customers WHERE parent_id = ?1 AND name = ?2 AND id <> ?3");
    taken.Bind(1, data.parent).Bind(2, data.name).Bind(3, self);
    if (taken.Step()) return Refused();
    return Status::GetSucceeded();
}

} // namespace

double Bal2Double(const Bal& bal) { return static_cast<double>(bal.hundredths) / 100.0; }
Bal Double2Bal(double value) {
    Bal b;
    b.hundredths = static_cast<std::int64_t>(std::llround(value * 100.0));
    return b;
}

CAbstractEdListElement::~CAbstractEdListElement() = default;

CCustType::CCustType(int) {}
CCustType::CCustType(const std::string& name, int) : m_name(name) { m_valid = true; }
CTerm::CTerm(int) {}
CTerm::CTerm(const std::string& name, int) : m_name(name) { m_valid = true; }

CName::CName(int featureType) : m_featureType(featureType), m_custType(featureType), m_terms(featureType) {}

CName::CName(int recNum, int featureType) : CName(featureType) {
    NameRow row;
    Status status = Read("Name.Load", nullptr, [&](Host::Connection* db) { return LoadOneRow(db, recNum, row); });
    if (status.Succeeded() && status.GetStatusCode() == Status::kOk) {
        Fill(row);
    } else {
        m_recNum = recNum;
    }
}

Status CName::GetNameLinks(std::vector<NameLink>& links) {
    // Same fault point as a single name: it is the same read of the list.
    return Read("Name.Load", nullptr, [&](Host::Connection* db) {
        Stmt q(db, "SELECT id, parent_id, hidden, email FROM customers ORDER BY id");
        std::vector<NameLink> rows;
        while (q.Step()) {
            NameLink link;
            link.recNum = static_cast<int>(q.Int(0));
            link.parent = static_cast<int>(q.Int(1));
            link.hidden = q.Int(2) != 0;
            // The address as a single lookup keeps it, cut to its limit.
            const std::string_view email = q.TextView(3);
            link.hasEmail = Host::Utf8CutLength(email.data(), email.size(), CName::kMaxEmailChars) > 0;
            rows.push_back(link);
        }
        links = std::move(rows);
        return Status::GetSucceeded();
    });
}

Status CName::GetHiddenRecNums(std::vector<int>& hidden) {
    // Same fault point as a single name: it answers what single lookups would.
    return Read("Name.Load", nullptr, [&](Host::Connection* db) {
        Stmt q(db, "SELECT id FROM customers WHERE hidden <> 0 ORDER BY id");
        std::vector<int> rows;
        while (q.Step()) rows.push_back(static_cast<int>(q.Int(0)));
        hidden = std::move(rows);
        return Status::GetSucceeded();
    });
}

CName::~CName() = default;
CName::CName(const CName&) = default;
CName& CName::operator=(const CName&) = default;

void CName::Fill(const NameRow& row) {
    m_valid = true;
    m_recNum = row.id;
    m_hidden = row.hidden;
    m_parent = row.parent;
    m_name = Util::TString(row.name);
    m_qualifiedName = Util::TString(row.qualifiedName);
    m_email = Util::TString(row.email);
    m_custType = row.custType.empty() ? CCustType(m_featureType) : CCustType(row.custType, m_featureType);
    m_terms = row.terms.empty() ? CTerm(m_featureType) : CTerm(row.terms, m_featureType);
    m_timeStamp = static_cast<long>(static_cast<std::int32_t>(row.since));
    m_endingBal.hundredths = row.balance;
    m_subLevel = row.subLevel;
}

void CName::Reset() {
    const int featureType = m_featureType;
    *this = CName(featureType);
}

void CName::GetEmail(char* buffer, std::size_t size) const { Host::CopyBoundedText(buffer, size, m_email.str()); }

namespace {
template <class Key>
Status AverageDaysToPay(std::map<Key, Bal>& days) {
    return Read("Name.GetAverageDaysToPay", nullptr, [&](Host::Connection* db) {
        std::unordered_map<int, int> parentOf;
        {
            Stmt q(db, "SELECT id, parent_id FROM customers");
            while (q.Step()) parentOf[static_cast<int>(q.Int(0))] = static_cast<int>(q.Int(1));
        }
        // Days and count of paid invoices, rolled up from each job to every
        // level above it.
        std::unordered_map<int, std::pair<long long, long long>> totals;
        Stmt paid(db, "SELECT customer_id, SUM(paid_date - txn_date), COUNT(*) FROM invoices "
                      "WHERE is_paid <> 0 AND paid_date IS NOT NULL GROUP BY customer_id");
        while (paid.Step()) {
            int at = static_cast<int>(paid.Int(0));
            for (int depth = 0; at != 0 && depth <= kMaxDepth; ++depth) {
                auto& t = totals[at];
                t.first += paid.Int(1);
                t.second += paid.Int(2);
                auto it = parentOf.find(at);
                at = it == parentOf.end() ? 0 : it->second;
            }
        }
        for (auto& [recNum, value] : days) {
            auto it = totals.find(static_cast<int>(recNum));
            value = (it == totals.end() || it->second.second == 0)
                        ? Bal{}
                        : Double2Bal(static_cast<double>(it->second.first) / static_cast<double>(it->second.second));
        }
        return Status::GetSucceeded();
    });
}
} // namespace

Status CName::GetAverageDaysToPay(std::map<int, Bal>& days) { return AverageDaysToPay(days); }
Status CName::GetAverageDaysToPay(std::map<long, Bal>& days) { return AverageDaysToPay(days); }

// --- lists -------------------------------------------------------------------------
namespace {
long g_refreshCount = 0;
}

EdList* EdListTypeToList(int type) {
    static EdList customers(EdListType_CustomerJob);
    return type == EdListType_CustomerJob ? &customers : nullptr;
}

void EdListRefreshAllLists(int) { ++g_refreshCount; }
long EdListRefreshCount() { return g_refreshCount; }

EdListViewIter::EdListViewIter(EdList* list, int includeHidden, int includeJobs)
    : m_list(list), m_includeHidden(includeHidden != 0), m_includeJobs(includeJobs != 0) {}

EdListViewIter::~EdListViewIter() = default;

bool EdListViewIter::First(CAbstractEdListElement* element) {
    m_rows.reset();
    m_pos = 0;
    if (m_list && m_list->GetType() == EdListType_CustomerJob) {
        auto rows = std::make_unique<std::vector<NameRow>>();
        Status status = Read("Name.List", nullptr, [&](Host::Connection* db) {
            *rows = LoadAllRows(db);
            return Status::GetSucceeded();
        });
        if (status.Succeeded()) m_rows = std::move(rows);
    }
    return Deliver(element);
}

bool EdListViewIter::Next(CAbstractEdListElement* element) {
    if (m_rows && m_pos < m_rows->size()) ++m_pos;
    return Deliver(element);
}

bool EdListViewIter::Deliver(CAbstractEdListElement* element) {
    if (!element) return false;
    while (m_rows && m_pos < m_rows->size()) {
        const NameRow& row = (*m_rows)[m_pos];
        if ((m_includeHidden || !row.hidden) && (m_includeJobs || row.parent == 0)) break;
        ++m_pos;
    }
    auto* name = dynamic_cast<CName*>(element);
    if (!m_rows || m_pos >= m_rows->size() || !name) {
        if (name) name->Reset();
        element->m_valid = false;
        return false;
    }
    name->Fill((*m_rows)[m_pos]);
    return true;
}

// --- host functions ------------------------------------------------------------------
namespace Host {

Status AddCustomer(const CustomerData& data, int& recNum, DBMgr::DMTransaction* txn) {
    int id = 0;
    Status status = Write("Customer.Add", txn, [&](Host::Connection* db) {
        Status ok = CheckCustomer(db, data, 0);
        if (ok.Failed()) return ok;
        // A number asked for is taken as it is; otherwise the store numbers the row.
        const bool numbered = data.requestedRecNum > 0;
        Stmt insert(db, Host::Records::InsertReturning(db, (numbered ? "INSERT INTO customers(id, parent_id, name, hidden, email, cust_type, terms, since) "
                                   "VALUES(?8, ?1, ?2, ?3, ?4, ?5, ?6, ?7)"
                                 : "INSERT INTO customers(parent_id, name, hidden, email, cust_type, terms, since) "
                                   "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)"), "id").c_str());
        if (numbered) insert.Bind(8, data.requestedRecNum);
        insert.Bind(1, data.parent)
            .Bind(2, data.name)
            .Bind(3, data.hidden ? 1 : 0)
            .Bind(4, data.email)
            .Bind(5, data.custType)
            .Bind(6, data.terms)
            .Bind(7, static_cast<long long>(data.since != 0 ? data.since : GetMXSystemTime()));
        std::int32_t added = 0;
        if (!Records::NewId32(db, insert, added)) return Status::GetFailed();
        if (numbered) Records::KeepIdsPast(db, "customers", "id", added);
        id = added;
        return Status::GetSucceeded();
    });
    if (status.Succeeded()) recNum = id;
    return status;
}

Status UpdateCustomer(int recNum, const CustomerData& data, DBMgr::DMTransaction* txn) {
    return Write("Customer.Update", txn, [&](Host::Connection* db) {
        {
            Stmt exists(db, "SELECT 1 FROM customers WHERE id = ?1");
            exists.Bind(1, recNum);
            if (!exists.Step()) return Missing();
        }
        Status ok = CheckCustomer(db, data, recNum);
        if (ok.Failed()) return ok;
        Stmt upd(db, "UPDATE customers SET parent_id = ?2, name = ?3, hidden = ?4, email = ?5, cust_type = ?6, "
                     "terms = ?7, since = CASE WHEN ?8 = 0 THEN since ELSE ?8 END WHERE id = ?1");
        upd.Bind(1, recNum)
            .Bind(2, data.parent)
            .Bind(3, data.name)
            .Bind(4, data.hidden ? 1 : 0)
            .Bind(5, data.email)
            .Bind(6, data.custType)
            .Bind(7, data.terms)
            .Bind(8, static_cast<long long>(data.since));
        upd.Run();
        return Status::GetSucceeded();
    });
}

Status LoadCustomer(int recNum, CustomerData& data) {
    return Read("Customer.Load", nullptr, [&](Host::Connection* db) {
        Stmt q(db, "SELECT parent_id, name, hidden, email, cust_type, terms, since FROM customers WHERE id = ?1");
        q.Bind(1, recNum);
        if (!q.Step()) return Status::NotFound();
        data.parent = static_cast<int>(q.Int(0));
        data.name = q.Text(1);
        data.hidden = q.Int(2) != 0;
        data.email = q.Text(3);
        data.custType = q.Text(4);
        data.terms = q.Text(5);
        data.since = q.Int(6);
        return Status::GetSucceeded();
    });
}

Status FindCustomer(const std::string& name, int parent, int& recNum) {
    return Read("Customer.Find", nullptr, [&](Host::Connection* db) {
        Stmt q(db, "SELECT id FROM customers WHERE parent_id = ?1 AND name = ?2");
        q.Bind(1, parent).Bind(2, name);
        if (!q.Step()) return Status::NotFound();
        recNum = static_cast<int>(q.Int(0));
        return Status::GetSucceeded();
    });
}

namespace {
// The whole list by record number, with what a bulk lookup needs of each.
struct ListEntry {
    int id = 0;
    int parent = 0;
    std::string name, email;
};

const ListEntry* Find(const std::vector<ListEntry>& list, int id) {
    auto it = std::lower_bound(list.begin(), list.end(), id, [](const ListEntry& e, int v) { return e.id < v; });
    return it != list.end() && it->id == id ? &*it : nullptr;
}
} // namespace

Status LoadAddressees(const std::vector<int>& recNums, std::vector<AddresseeText>& out) {
    out.assign(recNums.size(), AddresseeText());
    if (recNums.empty()) return Status::GetSucceeded();
    return Read("Name.Load", nullptr, [&](Host::Connection* db) {
        std::vector<ListEntry> list;
        Stmt q(db, "SELECT id, parent_id, name, email FROM customers ORDER BY id");
        while (q.Step()) {
            const std::string_view name = q.TextView(2), email = q.TextView(3);
            list.push_back({static_cast<int>(q.Int(0)), static_cast<int>(q.Int(1)), std::string(name),
                            std::string(email.substr(0, Utf8CutLength(email.data(), email.size(), CName::kMaxEmailChars)))});
        }
        for (std::size_t i = 0; i < recNums.size(); ++i) {
            const ListEntry* self = Find(list, recNums[i]);
            if (!self) continue;
            AddresseeText& a = out[i];
            a.found = true;
            a.qualifiedName = self->name;
            int level = 0;
            for (const ListEntry* up = self; up->parent != 0 && level < kMaxDepth; ++level) {
                up = Find(list, up->parent);
                if (!up) break;
                a.qualifiedName = up->name + ":" + a.qualifiedName;
            }
            level = 0;
            for (const ListEntry* walk = self; walk && level <= kMaxDepth; ++level) {
                if (!walk->email.empty()) {
                    a.email = walk->email;
                    break;
                }
                if (walk->parent == 0) break;
                walk = Find(list, walk->parent);
            }
        }
        return Status::GetSucceeded();
    });
}

Status LoadOpenBalances(const std::vector<int>& recNums, std::vector<Bal>& out) {
    out.assign(recNums.size(), Bal());
    if (recNums.empty()) return Status::GetSucceeded();
    // Asked for no invoice, the invoice read sums every open one.
    OpenAmounts open;
    const Status read = ReadInvoices({}, [](const InvoiceRead&) {}, &open);
    if (read.Failed()) return read;
    return OpenBalancesOf(open, recNums, out);
}

Status OpenBalancesOf(const OpenAmounts& open, const std::vector<int>& recNums, std::vector<Bal>& out) {
    out.assign(recNums.size(), Bal());
    if (recNums.empty()) return Status::GetSucceeded();
    return Read("Name.Load", nullptr, [&](Host::Connection* db) {
        std::unordered_map<int, std::int64_t> wanted;
        for (int id : recNums) wanted.emplace(id, 0);
        std::unordered_map<int, int> parentOf;
        {
            Stmt links(db, "SELECT id, parent_id FROM customers WHERE parent_id <> 0");
            while (links.Step()) parentOf[static_cast<int>(links.Int(0))] = static_cast<int>(links.Int(1));
        }
        // Each name's own open amount counts for it and every name above it.
        for (const auto& [customer, amount] : open.byCustomer) {
            int at = customer;
            for (int depth = 0; at != 0 && depth <= kMaxDepth; ++depth) {
                auto w = wanted.find(at);
                if (w != wanted.end()) w->second += amount;
                auto up = parentOf.find(at);
                at = up == parentOf.end() ? 0 : up->second;
            }
        }
        for (std::size_t i = 0; i < recNums.size(); ++i) out[i].hundredths = wanted[recNums[i]];
        return Status::GetSucceeded();
    });
}

} // namespace Host

