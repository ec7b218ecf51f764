#include "Records/ReminderRecords.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "RecordStore.h"
#include "Records/RecordText.h"

using Host::Records::FitsInt32;
using Host::Records::NewId32;
using Host::Records::Missing;
using Host::Records::LoadById;
using Host::Records::Read;
using Host::Records::Write;
using Host::Stmt;
using Util::Status;

namespace {

Status ChangedOrMissing(Host::Connection* db, bool absentFails) {
    if (db->Changes() > 0) return Status::GetSucceeded();
    return absentFails ? Missing() : Status::NotFound();
}

template <class Id>
Status DeleteIds(const char* point, const char* sql, const Id* ids, std::size_t count, DBMgr::DMTransaction* txn) {
    if (count > 0 && !ids) return Status::GetFailed();
    return Write(point, txn, [&](Host::Connection* db) {
        Stmt del(db, sql);
        for (std::size_t i = 0; i < count; ++i) {
            del.Reset();
            del.Bind(1, static_cast<long long>(static_cast<std::int32_t>(ids[i])));
            del.Run();
        }
        return Status::GetSucceeded();
    });
}

} // namespace

// --- reminder sets -------------------------------------------------------------
namespace DMTransactionReminderSet {

namespace {
constexpr const char* kColumns = "id, name, is_active, txn_view, target_group_id";

DBTransactionReminderSet FromRow(const Stmt& row) {
    DBTransactionReminderSet rec;
    rec.RemindersetId = static_cast<std::int32_t>(row.Int(0));
    Host::CopyBoundedText(rec.Name, sizeof rec.Name, row.Text(1));
    rec.IsActive = static_cast<std::int16_t>(row.Int(2));
    rec.TransactionView = static_cast<std::int16_t>(row.Int(3));
    rec.TargetGroupId = static_cast<std::int32_t>(row.Int(4));
    return rec;
}
} // namespace

void IDBTransactionReminderSet::SetName(const char* name) { Host::CopyBoundedText(m_rec.Name, sizeof m_rec.Name, name); }
void IDBTransactionReminderSet::SetName(const std::string& name) {
    Host::CopyBoundedText(m_rec.Name, sizeof m_rec.Name, name);
}

Status IDBTransactionReminderSet::Add(DBMgr::DMTransaction* txn) {
    return Write("ReminderSet.Add", txn, [&](Host::Connection* db) {
        Stmt ins(db, Host::Records::InsertReturning(db, "INSERT INTO reminder_sets(name, is_active, txn_view, target_group_id) VALUES(?1, ?2, ?3, ?4)", "id").c_str());
        ins.Bind(1, Host::BoundedText(m_rec.Name, sizeof m_rec.Name))
            .Bind(2, m_rec.IsActive)
            .Bind(3, m_rec.TransactionView)
            .Bind(4, m_rec.TargetGroupId);
        std::int32_t id = 0;
        if (!NewId32(db, ins, id)) return Status::GetFailed();
        m_rec.RemindersetId = id;
        return Status::GetSucceeded();
    });
}

Status IDBTransactionReminderSet::Update(DBMgr::DMTransaction* txn) {
    return Write("ReminderSet.Update", txn, [&](Host::Connection* db) {
        Stmt(db, "UPDATE reminder_sets SET name = ?2, is_active = ?3, txn_view = ?4, target_group_id = ?5 WHERE id = ?1")
            .Bind(1, m_rec.RemindersetId)
            .Bind(2, Host::BoundedText(m_rec.Name, sizeof m_rec.Name))
            .Bind(3, m_rec.IsActive)
            .Bind(4, m_rec.TransactionView)
            .Bind(5, m_rec.TargetGroupId)
            .Run();
        return ChangedOrMissing(db, true);
    });
}

Status IDBTransactionReminderSet::Load(long id, DBMgr::DMTransaction* txn) {
    return LoadById("ReminderSet.Load", txn,
                    std::string("SELECT ") + kColumns + " FROM reminder_sets WHERE id = ?1", id,
                    [&](const Stmt& q) { m_rec = FromRow(q); });
}

Status IDBTransactionReminderSet::Delete(long id, DBMgr::DMTransaction* txn) {
    return Write("ReminderSet.Delete", txn, [&](Host::Connection* db) {
        Stmt(db, "DELETE FROM reminder_sets WHERE id = ?1").Bind(1, static_cast<std::int32_t>(id)).Run();
        return ChangedOrMissing(db, false);
    });
}

Status IDBTransactionReminderSet::BatchLoad(long view, std::vector<DBTransactionReminderSet>& out,
                                            DBMgr::DMTransaction* txn) {
    return Read("ReminderSet.BatchLoad", txn, [&](Host::Connection* db) {
        Stmt q(db, (std::string("SELECT ") + kColumns + " FROM reminder_sets WHERE txn_view = ?1 ORDER BY id").c_str());
        q.Bind(1, static_cast<std::int16_t>(view));
        std::vector<DBTransactionReminderSet> rows;
        while (q.Step()) rows.push_back(FromRow(q));
        out.insert(out.end(), rows.begin(), rows.end());
        return Status::GetSucceeded();
    });
}

Status IDBTransactionReminderSet::BatchLoadByTargetGroup(long view, long targetGroupId,
                                                         std::vector<DBTransactionReminderSet>& out,
                                                         DBMgr::DMTransaction* txn) {
    return Read("ReminderSet.BatchLoadByTargetGroup", txn, [&](Host::Connection* db) {
        Stmt q(db, (std::string("SELECT ") + kColumns +
                    " FROM reminder_sets WHERE txn_view = ?1 AND target_group_id = ?2 ORDER BY id")
                       .c_str());
        q.Bind(1, static_cast<std::int16_t>(view)).Bind(2, static_cast<std::int32_t>(targetGroupId));
        std::vector<DBTransactionReminderSet> rows;
        while (q.Step()) rows.push_back(FromRow(q));
        out.insert(out.end(), rows.begin(), rows.end());
        return Status::GetSucceeded();
    });
}

} // namespace DMTransactionReminderSet

// --- invoice reminder rules ----------------------------------------------------
namespace DMTransactionReminderRule {

namespace {
constexpr const char* kSelect =
    "SELECT id, set_id, date_to_compare, condition, trigger_interval, template_id FROM reminder_rules ";

DBTransactionReminderRule FromRow(const Stmt& row) {
    DBTransactionReminderRule rec;
    rec.RuleId = static_cast<std::int32_t>(row.Int(0));
    rec.RemindersetId = static_cast<std::int32_t>(row.Int(1));
    rec.DateToCompare = static_cast<std::int16_t>(row.Int(2));
    rec.Condition = static_cast<std::int16_t>(row.Int(3));
    rec.TriggerInterval = static_cast<std::int32_t>(row.Int(4));
    rec.MessageTemplateId = static_cast<std::int32_t>(row.Int(5));
    return rec;
}

constexpr const char* kDeleteSql = "DELETE FROM reminder_rules WHERE id = ?1";
} // namespace

Status IDBTransactionReminderRule::Add(DBMgr::DMTransaction* txn) {
    return Write("ReminderRule.Add", txn, [&](Host::Connection* db) {
        Stmt ins(db, Host::Records::InsertReturning(db, "INSERT INTO reminder_rules(set_id, date_to_compare, condition, trigger_interval, template_id) "
                 "VALUES(?1, ?2, ?3, ?4, ?5)", "id").c_str());
        ins.Bind(1, m_rec.RemindersetId)
            .Bind(2, m_rec.DateToCompare)
            .Bind(3, m_rec.Condition)
            .Bind(4, m_rec.TriggerInterval)
            .Bind(5, m_rec.MessageTemplateId);
        std::int32_t id = 0;
        if (!NewId32(db, ins, id)) return Status::GetFailed();
        m_rec.RuleId = id;
        return Status::GetSucceeded();
    });
}

Status IDBTransactionReminderRule::Update(DBMgr::DMTransaction* txn) {
    return Write("ReminderRule.Update", txn, [&](Host::Connection* db) {
        Stmt(db, "UPDATE reminder_rules SET set_id = ?2, date_to_compare = ?3, condition = ?4, "
                 "trigger_interval = ?5, template_id = ?6 WHERE id = ?1")
            .Bind(1, m_rec.RuleId)
            .Bind(2, m_rec.RemindersetId)
            .Bind(3, m_rec.DateToCompare)
            .Bind(4, m_rec.Condition)
            .Bind(5, m_rec.TriggerInterval)
            .Bind(6, m_rec.MessageTemplateId)
            .Run();
        return ChangedOrMissing(db, true);
    });
}

Status IDBTransactionReminderRule::Load(long id, DBMgr::DMTransaction* txn) {
    return LoadById("ReminderRule.Load", txn, std::string(kSelect) + "WHERE id = ?1", id,
                    [&](const Stmt& q) { m_rec = FromRow(q); });
}

Status IDBTransactionReminderRule::Delete(long id, DBMgr::DMTransaction* txn) {
    return Write("ReminderRule.Delete", txn, [&](Host::Connection* db) {
        Stmt(db, kDeleteSql).Bind(1, static_cast<std::int32_t>(id)).Run();
        return ChangedOrMissing(db, false);
    });
}

Status IDBTransactionReminderRule::BatchLoad(long remindersetId, std::vector<DBTransactionReminderRule>& out,
                                             DBMgr::DMTransaction* txn) {
    return Read("ReminderRule.BatchLoad", txn, [&](Host::Connection* db) {
        Stmt q(db, (std::string(kSelect) + "WHERE set_id = ?1 ORDER BY id").c_str());
        q.Bind(1, static_cast<std::int32_t>(remindersetId));
        std::vector<DBTransactionReminderRule> rows;
        while (q.Step()) rows.push_back(FromRow(q));
        out.insert(out.end(), rows.begin(), rows.end());
        return Status::GetSucceeded();
    });
}

Status IDBTransactionReminderRule::BatchDelete(const long* ids, std::size_t count, DBMgr::DMTransaction* txn) {
    return DeleteIds("ReminderRule.BatchDelete", kDeleteSql, ids, count, txn);
}
Status IDBTransactionReminderRule::BatchDelete(const unsigned long* ids, std::size_t count,
                                               DBMgr::DMTransaction* txn) {
    return DeleteIds("ReminderRule.BatchDelete", kDeleteSql, ids, count, txn);
}
Status IDBTransactionReminderRule::BatchDelete(const int* ids, std::size_t count, DBMgr::DMTransaction* txn) {
    return DeleteIds("ReminderRule.BatchDelete", kDeleteSql, ids, count, txn);
}
Status IDBTransactionReminderRule::BatchDelete(const unsigned int* ids, std::size_t count,
                                               DBMgr::DMTransaction* txn) {
    return DeleteIds("ReminderRule.BatchDelete", kDeleteSql, ids, count, txn);
}

} // namespace DMTransactionReminderRule

// --- own-table target groups ---------------------------------------------------
namespace DMReminderTargetGroup {

namespace {
constexpr const char* kSelect = "SELECT id, name, group_type, description FROM reminder_target_groups ";

DBReminderTargetGroup FromRow(const Stmt& row) {
    DBReminderTargetGroup rec;
    rec.TargetGroupId = static_cast<std::int32_t>(row.Int(0));
    Host::CopyBoundedText(rec.Name, sizeof rec.Name, row.Text(1));
    rec.TargetGroupType = static_cast<std::int16_t>(row.Int(2));
    Host::CopyBoundedText(rec.Description, sizeof rec.Description, row.Text(3));
    return rec;
}
} // namespace

void IDBReminderTargetGroup::SetName(const char* name) { Host::CopyBoundedText(m_rec.Name, sizeof m_rec.Name, name); }
void IDBReminderTargetGroup::SetName(const std::string& name) {
    Host::CopyBoundedText(m_rec.Name, sizeof m_rec.Name, name);
}
void IDBReminderTargetGroup::SetDescription(const char* text) {
    Host::CopyBoundedText(m_rec.Description, sizeof m_rec.Description, text);
}
void IDBReminderTargetGroup::SetDescription(const std::string& text) {
    Host::CopyBoundedText(m_rec.Description, sizeof m_rec.Description, text);
}
void IDBReminderTargetGroup::GetName(char* buffer, std::size_t size) const {
    Host::CopyBoundedText(buffer, size, Host::BoundedText(m_rec.Name, sizeof m_rec.Name));
}
void IDBReminderTargetGroup::GetDescription(char* buffer, std::size_t size) const {
    Host::CopyBoundedText(buffer, size, Host::BoundedText(m_rec.Description, sizeof m_rec.Description));
}

Status IDBReminderTargetGroup::Add(DBMgr::DMTransaction* txn) {
    return Write("TargetGroup.Add", txn, [&](Host::Connection* db) {
        Stmt ins(db, Host::Records::InsertReturning(db, "INSERT INTO reminder_target_groups(name, group_type, description) VALUES(?1, ?2, ?3)", "id").c_str());
        ins.Bind(1, Host::BoundedText(m_rec.Name, sizeof m_rec.Name))
            .Bind(2, m_rec.TargetGroupType)
            .Bind(3, Host::BoundedText(m_rec.Description, sizeof m_rec.Description));
        std::int32_t id = 0;
        if (!NewId32(db, ins, id)) return Status::GetFailed();
        m_rec.TargetGroupId = id;
        return Status::GetSucceeded();
    });
}

Status IDBReminderTargetGroup::Update(DBMgr::DMTransaction* txn) {
    return Write("TargetGroup.Update", txn, [&](Host::Connection* db) {
        Stmt(db, "UPDATE reminder_target_groups SET name = ?2, group_type = ?3, description = ?4 WHERE id = ?1")
            .Bind(1, m_rec.TargetGroupId)
            .Bind(2, Host::BoundedText(m_rec.Name, sizeof m_rec.Name))
            .Bind(3, m_rec.TargetGroupType)
            .Bind(4, Host::BoundedText(m_rec.Description, sizeof m_rec.Description))
            .Run();
        return ChangedOrMissing(db, true);
    });
}

Status IDBReminderTargetGroup::Load(long id, DBMgr::DMTransaction* txn) {
    return LoadById("TargetGroup.Load", txn, std::string(kSelect) + "WHERE id = ?1", id,
                    [&](const Stmt& q) { m_rec = FromRow(q); });
}

Status IDBReminderTargetGroup::Delete(long id, DBMgr::DMTransaction* txn) {
    return Write("TargetGroup.Delete", txn, [&](Host::Connection* db) {
        Stmt(db, "DELETE FROM reminder_target_groups WHERE id = ?1").Bind(1, static_cast<std::int32_t>(id)).Run();
        return ChangedOrMissing(db, false);
    });
}

Status IDBReminderTargetGroup::BatchLoad(short targetGroupType, std::vector<DBReminderTargetGroup>& out,
                                         DBMgr::DMTransaction* txn) {
    return Read("TargetGroup.BatchLoad", txn, [&](Host::Connection* db) {
        Stmt q(db, (std::string(kSelect) + "WHERE group_type = ?1 ORDER BY id").c_str());
        q.Bind(1, targetGroupType);
        std::vector<DBReminderTargetGroup> rows;
        while (q.Step()) rows.push_back(FromRow(q));
        out.insert(out.end(), rows.begin(), rows.end());
        return Status::GetSucceeded();
    });
}

Status IDBReminderTargetGroup::BatchDelete(const DBReminderTargetGroup* records, std::size_t count,
                                           DBMgr::DMTransaction* txn) {
    if (count > 0 && !records) return Status::GetFailed();
    return Write("TargetGroup.BatchDelete", txn, [&](Host::Connection* db) {
        Stmt del(db, "DELETE FROM reminder_target_groups WHERE id = ?1");
        for (std::size_t i = 0; i < count; ++i) {
            del.Reset();
            del.Bind(1, records[i].TargetGroupId);
            del.Run();
        }
        return Status::GetSucceeded();
    });
}

Status IDBReminderTargetGroup::BatchDelete(const std::vector<DBReminderTargetGroup>& records,
                                           DBMgr::DMTransaction* txn) {
    return BatchDelete(records.data(), records.size(), txn);
}

} // namespace DMReminderTargetGroup

// --- own-table target group members -------------------------------------------
namespace DMReminderTargetUser {

namespace {
Status LoadRows(const char* point, const char* sql, long groupId, bool bindGroup, std::vector<DBReminderTargetUser>& out,
                DBMgr::DMTransaction* txn) {
    return Read(point, txn, [&](Host::Connection* db) {
        Stmt q(db, sql);
        if (bindGroup) q.Bind(1, static_cast<std::int32_t>(groupId));
        std::vector<DBReminderTargetUser> rows;
        while (q.Step()) rows.emplace_back(static_cast<long>(q.Int(0)), static_cast<long>(q.Int(1)));
        out.insert(out.end(), rows.begin(), rows.end());
        return Status::GetSucceeded();
    });
}
} // namespace

Status IDBReminderTargetUser::BatchLoad(long targetGroupId, std::vector<DBReminderTargetUser>& out,
                                        DBMgr::DMTransaction* txn) {
    return LoadRows("TargetUser.BatchLoad",
                    "SELECT customer_id, group_id FROM reminder_target_users WHERE group_id = ?1 ORDER BY customer_id",
                    targetGroupId, true, out, txn);
}

Status IDBReminderTargetUser::BatchLoadAll(std::vector<DBReminderTargetUser>& out, DBMgr::DMTransaction* txn) {
    return LoadRows("TargetUser.BatchLoadAll",
                    "SELECT customer_id, group_id FROM reminder_target_users ORDER BY group_id, customer_id", 0, false,
                    out, txn);
}

Status IDBReminderTargetUser::BatchInsert(const DBReminderTargetUser* rows, std::size_t count,
                                          DBMgr::DMTransaction* txn) {
    if (count > 0 && !rows) return Status::GetFailed();
    return Write("TargetUser.BatchInsert", txn, [&](Host::Connection* db) {
        Stmt ins(db, "INSERT INTO reminder_target_users(customer_id, group_id) VALUES(?1, ?2) ON CONFLICT DO NOTHING");
        for (std::size_t i = 0; i < count; ++i) {
            ins.Reset();
            ins.Bind(1, rows[i].CustomerRecNum).Bind(2, rows[i].TargetGroupId);
            ins.Run();
        }
        return Status::GetSucceeded();
    });
}

Status IDBReminderTargetUser::BatchInsert(const std::vector<DBReminderTargetUser>& rows, DBMgr::DMTransaction* txn) {
    return BatchInsert(rows.data(), rows.size(), txn);
}

Status IDBReminderTargetUser::BatchDelete(const DBReminderTargetUser* rows, std::size_t count,
                                          DBMgr::DMTransaction* txn) {
    if (count > 0 && !rows) return Status::GetFailed();
    return Write("TargetUser.BatchDelete", txn, [&](Host::Connection* db) {
        Stmt del(db, "DELETE FROM reminder_target_users WHERE customer_id = ?1 AND group_id = ?2");
        for (std::size_t i = 0; i < count; ++i) {
            del.Reset();
            del.Bind(1, rows[i].CustomerRecNum).Bind(2, rows[i].TargetGroupId);
            del.Run();
        }
        return Status::GetSucceeded();
    });
}

Status IDBReminderTargetUser::BatchDelete(const std::vector<DBReminderTargetUser>& rows, DBMgr::DMTransaction* txn) {
    return BatchDelete(rows.data(), rows.size(), txn);
}

Status IDBReminderTargetUser::DeleteByTargetGroup(long targetGroupId, DBMgr::DMTransaction* txn) {
    return Write("TargetUser.DeleteByTargetGroup", txn, [&](Host::Connection* db) {
        Stmt(db, "DELETE FROM reminder_target_users WHERE group_id = ?1")
            .Bind(1, static_cast<std::int32_t>(targetGroupId))
            .Run();
        return Status::GetSucceeded();
    });
}

} // namespace DMReminderTargetUser

// --- execution history ------------------------------------------------------------
namespace DMReminderExecutionHistory {

Status IDBReminderExecutionHistory::Add(DBMgr::DMTransaction* txn) {
    return Write("ExecutionHistory.Add", txn, [&](Host::Connection* db) {
        Stmt ins(db, Host::Records::InsertReturning(db, "INSERT INTO reminder_history(txn_id, txn_view, rule_id, status) VALUES(?1, ?2, ?3, ?4)", "id").c_str());
        ins.Bind(1, static_cast<long long>(m_rec.TransactionId))
            .Bind(2, m_rec.TransactionView)
            .Bind(3, m_rec.RuleId)
            .Bind(4, m_rec.Status);
        long long id = 0;
        if (!Host::Records::NewId(db, ins, id)) return Status::GetFailed();
        if (!Host::Records::FitsInt32(id)) {
            // Written without a savepoint of its own: an id the record
            // cannot hold takes its row back out by hand.
            Stmt(db, "DELETE FROM reminder_history WHERE id = ?1").Bind(1, id).Run();
            return Status::GetFailed();
        }
        m_rec.HistoryId = static_cast<std::int32_t>(id);
        return Status::GetSucceeded();
    }, Host::Records::Writes::kOneStatement);
}

Status IDBReminderExecutionHistory::BatchLoadByTxnView(long view, std::vector<DBReminderExecutionHistory>& out,
                                                       DBMgr::DMTransaction* txn) {
    return Read("ExecutionHistory.BatchLoadByTxnView", txn, [&](Host::Connection* db) {
        const auto record = [](const Stmt& q) {
            DBReminderExecutionHistory rec;
            rec.HistoryId = static_cast<std::int32_t>(q.Int(0));
            rec.TransactionId = static_cast<std::uint32_t>(q.Int(1));
            rec.TransactionView = static_cast<std::int16_t>(q.Int(2));
            rec.RuleId = static_cast<std::int32_t>(q.Int(3));
            rec.Status = static_cast<std::int16_t>(q.Int(4));
            return rec;
        };
        // The table as the store keeps it, sorted here by transaction and
        // id: an index walk in (transaction, id) order would look each row
        // up in the table, which costs several times the sort. A file keeps
        // rows in id order, so its sort finds little to move; a server
        // promises no order at all. A transaction id that is not stored as a
        // number sorts as SQL sorts it, so such a table is left to SQL.
        std::vector<DBReminderExecutionHistory> rows;
        struct Key {
            long long transaction, id;
            std::size_t row;
            bool operator<(const Key& k) const {
                return transaction != k.transaction ? transaction < k.transaction : id < k.id;
            }
        };
        std::vector<Key> order;
        bool plain = true;
        {
            Stmt q(db, "SELECT id, txn_id, txn_view, rule_id, status FROM reminder_history WHERE +txn_view = ?1");
            q.Bind(1, static_cast<std::int16_t>(view));
            while (q.Step()) {
                if (!q.IsInteger(1)) {
                    plain = false;
                    break;
                }
                order.push_back({q.Int(1), q.Int(0), rows.size()});
                rows.push_back(record(q));
            }
        }
        if (plain) {
            if (!std::is_sorted(order.begin(), order.end())) {
                std::sort(order.begin(), order.end());
                std::vector<DBReminderExecutionHistory> sorted;
                sorted.reserve(rows.size());
                for (const auto& entry : order) sorted.push_back(rows[entry.row]);
                rows.swap(sorted);
            }
        } else {
            rows.clear();
            Stmt q(db, "SELECT id, txn_id, txn_view, rule_id, status FROM reminder_history "
                       "WHERE txn_view = ?1 ORDER BY txn_id, id");
            q.Bind(1, static_cast<std::int16_t>(view));
            while (q.Step()) rows.push_back(record(q));
        }
        out.insert(out.end(), rows.begin(), rows.end());
        return Status::GetSucceeded();
    });
}

Status IDBReminderExecutionHistory::DeleteByTxnId(unsigned long transactionId, long view, DBMgr::DMTransaction* txn) {
    return Write("ExecutionHistory.DeleteByTxnId", txn, [&](Host::Connection* db) {
        Stmt(db, "DELETE FROM reminder_history WHERE txn_view = ?1 AND txn_id = ?2")
            .Bind(1, static_cast<std::int16_t>(view))
            .Bind(2, static_cast<long long>(static_cast<std::uint32_t>(transactionId)))
            .Run();
        return ChangedOrMissing(db, false);
    });
}

} // namespace DMReminderExecutionHistory
