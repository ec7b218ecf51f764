#include <cstring>
#include <new>
#include <unordered_map>
#include <unordered_set>

#include "RecordStore.h"
#include "Statements/AgingBalancesQuery.h"
#include "Statements/ReminderEmailStateHandler.h"
#include "Statements/StmtEditTag.h"
#include "Util/MemoryManager.h"

using Host::Stmt;
using Util::Status;

// --- the statement request ---------------------------------------------------------

StmtEditTag* StmtEditTag::New() {
    if (Host::FaultFails("StmtEditTag.New")) return nullptr;
    return new (std::nothrow) StmtEditTag();
}

void StmtEditTag::Free(StmtEditTag* handle) { delete handle; }

StmtEditTag::StmtEditTag() = default;

StmtEditTag::~StmtEditTag() { Util::GetMemoryManager()->Free(m_customerList); }

void StmtEditTag::SetCustomerList(void* block) {
    if (block == m_customerList) return;
    Util::GetMemoryManager()->Free(m_customerList);
    m_customerList = block;
}

int StmtEditTag::GetCustomerCount() const {
    if (!m_customerList) return 0;
    StmtCustomerListHeader header;
    std::memcpy(&header, m_customerList, sizeof header);
    return header.count > 0 ? header.count : 0;
}

std::vector<int> StmtEditTag::GetCustomerIds() const {
    const int count = GetCustomerCount();
    std::vector<int> ids(static_cast<std::size_t>(count));
    if (count > 0) {
        const unsigned char* at = static_cast<const unsigned char*>(m_customerList) + kCustomerListHeaderBytes;
        for (std::size_t i = 0; i < ids.size(); ++i) {
            std::int32_t id = 0;
            std::memcpy(&id, at + i * sizeof id, sizeof id);
            ids[i] = id;
        }
    }
    return ids;
}

// --- the aging check ---------------------------------------------------------------

namespace {

// Deeper than any real list; stops a damaged file's parent loop.
constexpr int kMaxDepth = 64;

// The customers and every job below them.
std::vector<int> WithJobs(Host::Connection* db, const std::vector<int>& customers) {
    std::unordered_map<int, std::vector<int>> children;
    {
        Stmt q(db, "SELECT id, parent_id FROM customers WHERE parent_id <> 0");
        while (q.Step()) children[static_cast<int>(q.Int(1))].push_back(static_cast<int>(q.Int(0)));
    }
    std::vector<int> all;
    std::unordered_set<int> seen;
    std::vector<std::pair<int, int>> pending;
    for (int id : customers) pending.emplace_back(id, 0);
    while (!pending.empty()) {
        const auto [id, depth] = pending.back();
        pending.pop_back();
        if (depth > kMaxDepth || !seen.insert(id).second) continue;
        all.push_back(id);
        const auto below = children.find(id);
        if (below == children.end()) continue;
        for (int child : below->second) pending.emplace_back(child, depth + 1);
    }
    return all;
}

} // namespace

AgingBalancesQuery::AgingBalancesQuery() = default;
AgingBalancesQuery::~AgingBalancesQuery() = default;

Status AgingBalancesQuery::Execute(StmtEditTag* handle) {
    m_canShow = false;
    if (!handle) return Status::GetFailed();
    if (!handle->m_fromDate.IsValid() || !handle->m_toDate.IsValid() || !handle->m_statementDate.IsValid())
        return Status::GetFailed();
    bool found = false;
    const Status status = Host::Records::Read("AgingBalancesQuery.Execute", nullptr, [&](Host::Connection* db) {
        const long from = DateToDayNumber(handle->m_fromDate);
        const long to = DateToDayNumber(handle->m_toDate);
        // Overdue by more than N days on the statement date: due before S - N.
        const long overdueBy = handle->m_overdueByDays > 0 ? handle->m_overdueByDays : 0;
        const long dueBefore = DateToDayNumber(handle->m_statementDate) - overdueBy;
        Stmt q(db, "SELECT 1 FROM invoices WHERE customer_id = ?1 AND is_no_post = 0 "
                   "AND txn_date BETWEEN ?2 AND ?3 "
                   "AND (?4 = 0 OR (is_paid = 0 AND cleared_type <> 2)) "
                   "AND (?5 = 0 OR due_date < ?6) LIMIT 1");
        for (int customer : WithJobs(db, handle->GetCustomerIds())) {
            q.Reset();
            q.Bind(1, customer)
                .Bind(2, from)
                .Bind(3, to)
                .Bind(4, handle->m_openOrOverdueOnly ? 1 : 0)
                .Bind(5, handle->m_overdueOnly ? 1 : 0)
                .Bind(6, dueBefore);
            if (q.Step()) {
                found = true;
                break;
            }
        }
        return Status::GetSucceeded();
    });
    if (status.Succeeded()) m_canShow = found;
    return status;
}

// --- the reminder e-mail flow ------------------------------------------------------

ReminderEmailStateHandler* ReminderEmailStateHandler::Instance() {
    static ReminderEmailStateHandler handler;
    return &handler;
}

void ReminderEmailStateHandler::EnterReminderEmailFlow(int attachmentType, bool interactive, bool keepAttachments) {
    if (Host::FaultFails("ReminderEmailFlow.Enter")) return;
    m_enabled = true;
    m_attachmentType = attachmentType;
    m_interactive = interactive;
    m_keepAttachments = keepAttachments;
    ++m_enterCount;
}

bool ReminderEmailStateHandler::IsReminderEmailFlowEnabled() { return Instance()->m_enabled; }

void ReminderEmailStateHandler::ExitReminderEmailFlow() {
    if (!m_enabled) return;
    m_enabled = false;
    m_attachmentType = 0;
    m_interactive = false;
    m_keepAttachments = false;
    ++m_exitCount;
}
