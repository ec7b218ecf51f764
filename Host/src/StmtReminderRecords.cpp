#include "Records/StmtReminderRecords.h"

#include <cctype>

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

namespace DMStmtReminderRule {

namespace {
constexpr const char* kSelect =
    "SELECT id, set_id, schedule_day, frequency, date_range, txn_status, overdue_by, template_id, "
    "style_template_id, item_details, memo, due_date, customer_job, prep_date FROM stmt_reminder_rules ";
constexpr const char* kDeleteSql = "DELETE FROM stmt_reminder_rules WHERE id = ?1";

DBStmtReminderRule FromRow(const Stmt& row) {
    DBStmtReminderRule rec;
    rec.RuleId = static_cast<std::int32_t>(row.Int(0));
    rec.RemindersetId = static_cast<std::int32_t>(row.Int(1));
    rec.ScheduleDay = static_cast<std::uint16_t>(row.Int(2));
    rec.Frequency = static_cast<std::int16_t>(row.Int(3));
    rec.DateRange = static_cast<std::int16_t>(row.Int(4));
    rec.TxnStatus = static_cast<std::int16_t>(row.Int(5));
    rec.OverdueBy = static_cast<std::int16_t>(row.Int(6));
    rec.MessageTemplateId = static_cast<std::int32_t>(row.Int(7));
    rec.StyleTemplateId = static_cast<std::int32_t>(row.Int(8));
    rec.IsItemDetailsIncluded = static_cast<std::int16_t>(row.Int(9));
    rec.IsMemoIncluded = static_cast<std::int16_t>(row.Int(10));
    rec.IsDueDateIncluded = static_cast<std::int16_t>(row.Int(11));
    rec.IsCustomerJob = static_cast<std::int16_t>(row.Int(12));
    Host::CopyBoundedText(rec.EmailListPrepDate, sizeof rec.EmailListPrepDate, CompactToStatementDate(row.Text(13)));
    return rec;
}

// Binds every field but the id, as parameters 2 to 14.
void BindFields(Stmt& s, const DBStmtReminderRule& r) {
    s.Bind(2, r.RemindersetId)
        .Bind(3, r.ScheduleDay)
        .Bind(4, r.Frequency)
        .Bind(5, r.DateRange)
        .Bind(6, r.TxnStatus)
        .Bind(7, r.OverdueBy)
        .Bind(8, r.MessageTemplateId)
        .Bind(9, r.StyleTemplateId)
        .Bind(10, r.IsItemDetailsIncluded)
        .Bind(11, r.IsMemoIncluded)
        .Bind(12, r.IsDueDateIncluded)
        .Bind(13, r.IsCustomerJob)
        .Bind(14, Host::BoundedText(r.EmailListPrepDate, sizeof r.EmailListPrepDate));
}

template <class Id>
Status DeleteIds(const Id* ids, std::size_t count, DBMgr::DMTransaction* txn) {
    if (count > 0 && !ids) return Status::GetFailed();
    return Write("StmtRule.BatchDelete", txn, [&](Host::Connection* db) {
        Stmt del(db, kDeleteSql);
        for (std::size_t i = 0; i < count; ++i) {
            del.Reset();
            del.Bind(1, static_cast<long long>(static_cast<std::int32_t>(ids[i])));
            del.Run();
        }
        return Status::GetSucceeded();
    });
}
} // namespace

std::string CompactToStatementDate(const std::string& text) {
    if (text.size() != 8) return text;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return text;
    }
    return text.substr(0, 4) + "-" + text.substr(4, 2) + "-" + text.substr(6, 2);
}

void IDBStmtReminderRule::SetEmailListPrepDate(const char* text) {
    Host::CopyBoundedText(m_rec.EmailListPrepDate, sizeof m_rec.EmailListPrepDate, text);
}
void IDBStmtReminderRule::SetEmailListPrepDate(const std::string& text) {
    Host::CopyBoundedText(m_rec.EmailListPrepDate, sizeof m_rec.EmailListPrepDate, text);
}

Status IDBStmtReminderRule::Add(DBMgr::DMTransaction* txn) {
    return Write("StmtRule.Add", txn, [&](Host::Connection* db) {
        Stmt ins(db, Host::Records::InsertReturning(db, "INSERT INTO stmt_reminder_rules(set_id, schedule_day, frequency, date_range, txn_status, "
                     "overdue_by, template_id, style_template_id, item_details, memo, due_date, customer_job, "
                     "prep_date) VALUES(?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14)", "id").c_str());
        BindFields(ins, m_rec);
        std::int32_t id = 0;
        if (!NewId32(db, ins, id)) return Status::GetFailed();
        m_rec.RuleId = id;
        return Status::GetSucceeded();
    });
}

Status IDBStmtReminderRule::Update(DBMgr::DMTransaction* txn) {
    return Write("StmtRule.Update", txn, [&](Host::Connection* db) {
        Stmt upd(db, "UPDATE stmt_reminder_rules SET set_id = ?2, schedule_day = ?3, frequency = ?4, date_range = ?5, "
                     "txn_status = ?6, overdue_by = ?7, template_id = ?8, style_template_id = ?9, item_details = ?10, "
                     "memo = ?11, due_date = ?12, customer_job = ?13, prep_date = ?14 WHERE id = ?1");
        upd.Bind(1, m_rec.RuleId);
        BindFields(upd, m_rec);
        upd.Run();
        return db->Changes() > 0 ? Status::GetSucceeded() : Missing();
    });
}

Status IDBStmtReminderRule::Load(long id, DBMgr::DMTransaction* txn) {
    return LoadById("StmtRule.Load", txn, std::string(kSelect) + "WHERE id = ?1", id,
                    [&](const Stmt& q) { m_rec = FromRow(q); });
}

Status IDBStmtReminderRule::Delete(long ruleId, DBMgr::DMTransaction* txn) {
    return Write("StmtRule.Delete", txn, [&](Host::Connection* db) {
        Stmt(db, kDeleteSql).Bind(1, static_cast<std::int32_t>(ruleId)).Run();
        return db->Changes() > 0 ? Status::GetSucceeded() : Status::NotFound();
    });
}

Status IDBStmtReminderRule::BatchLoad(long remindersetId, std::vector<DBStmtReminderRule>& out,
                                      DBMgr::DMTransaction* txn) {
    return Read("StmtRule.BatchLoad", txn, [&](Host::Connection* db) {
        Stmt q(db, (std::string(kSelect) + "WHERE set_id = ?1 ORDER BY id").c_str());
        q.Bind(1, static_cast<std::int32_t>(remindersetId));
        std::vector<DBStmtReminderRule> rows;
        while (q.Step()) rows.push_back(FromRow(q));
        out.insert(out.end(), rows.begin(), rows.end());
        return Status::GetSucceeded();
    });
}

Status IDBStmtReminderRule::BatchDelete(const long* ids, std::size_t count, DBMgr::DMTransaction* txn) {
    return DeleteIds(ids, count, txn);
}
Status IDBStmtReminderRule::BatchDelete(const unsigned long* ids, std::size_t count, DBMgr::DMTransaction* txn) {
    return DeleteIds(ids, count, txn);
}
Status IDBStmtReminderRule::BatchDelete(const int* ids, std::size_t count, DBMgr::DMTransaction* txn) {
    return DeleteIds(ids, count, txn);
}
Status IDBStmtReminderRule::BatchDelete(const unsigned int* ids, std::size_t count, DBMgr::DMTransaction* txn) {
    return DeleteIds(ids, count, txn);
}

} // namespace DMStmtReminderRule

namespace DMStmtReminderExecutionStatus {

Status IDBStmtReminderExecutionStatus::Add(DBMgr::DMTransaction* txn) {
    return Write("StmtStatus.Add", txn, [&](Host::Connection* db) {
        Stmt(db, "INSERT INTO stmt_reminder_status(rule_id, customer_id, status) VALUES(?1, ?2, ?3)")
            .Bind(1, m_rec.RuleId)
            .Bind(2, m_rec.CustomerId)
            .Bind(3, m_rec.Status)
            .Run();
        return Status::GetSucceeded();
    });
}

Status IDBStmtReminderExecutionStatus::Update(DBMgr::DMTransaction* txn) {
    return Write("StmtStatus.Update", txn, [&](Host::Connection* db) {
        Stmt(db, "UPDATE stmt_reminder_status SET status = ?3 WHERE rule_id = ?1 AND customer_id = ?2")
            .Bind(1, m_rec.RuleId)
            .Bind(2, m_rec.CustomerId)
            .Bind(3, m_rec.Status)
            .Run();
        return db->Changes() > 0 ? Status::GetSucceeded() : Missing();
    });
}

Status IDBStmtReminderExecutionStatus::Delete(long ruleId, DBMgr::DMTransaction* txn) {
    return Write("StmtStatus.Delete", txn, [&](Host::Connection* db) {
        Stmt(db, "DELETE FROM stmt_reminder_status WHERE rule_id = ?1").Bind(1, static_cast<std::int32_t>(ruleId)).Run();
        return db->Changes() > 0 ? Status::GetSucceeded() : Status::NotFound();
    });
}

Status IDBStmtReminderExecutionStatus::Delete(long ruleId, long customerId, DBMgr::DMTransaction* txn) {
    return Write("StmtStatus.Delete", txn, [&](Host::Connection* db) {
        Stmt(db, "DELETE FROM stmt_reminder_status WHERE rule_id = ?1 AND customer_id = ?2")
            .Bind(1, static_cast<std::int32_t>(ruleId))
            .Bind(2, static_cast<std::int32_t>(customerId))
            .Run();
        return db->Changes() > 0 ? Status::GetSucceeded() : Status::NotFound();
    });
}

Status IDBStmtReminderExecutionStatus::BatchLoadByRuleId(long ruleId, std::vector<DBStmtReminderExecutionStatus>& out,
                                                         DBMgr::DMTransaction* txn) {
    return Read("StmtStatus.BatchLoadByRuleId", txn, [&](Host::Connection* db) {
        Stmt q(db, "SELECT customer_id, rule_id, status FROM stmt_reminder_status WHERE rule_id = ?1 "
                   "ORDER BY customer_id");
        q.Bind(1, static_cast<std::int32_t>(ruleId));
        std::vector<DBStmtReminderExecutionStatus> rows;
        while (q.Step()) {
            DBStmtReminderExecutionStatus rec;
            rec.CustomerId = static_cast<std::int32_t>(q.Int(0));
            rec.RuleId = static_cast<std::int32_t>(q.Int(1));
            rec.Status = static_cast<std::int16_t>(q.Int(2));
            rows.push_back(rec);
        }
        out.insert(out.end(), rows.begin(), rows.end());
        return Status::GetSucceeded();
    });
}

Status IDBStmtReminderExecutionStatus::BatchLoadByRuleIdAndStatus(long ruleId, long status,
                                                                  std::vector<int>& customerIds,
                                                                  DBMgr::DMTransaction* txn) {
    return Read("StmtStatus.BatchLoadByRuleIdAndStatus", txn, [&](Host::Connection* db) {
        Stmt q(db, "SELECT customer_id FROM stmt_reminder_status WHERE rule_id = ?1 AND status = ?2 "
                   "ORDER BY customer_id");
        q.Bind(1, static_cast<std::int32_t>(ruleId)).Bind(2, static_cast<std::int16_t>(status));
        std::vector<int> ids;
        while (q.Step()) ids.push_back(static_cast<int>(q.Int(0)));
        customerIds.insert(customerIds.end(), ids.begin(), ids.end());
        return Status::GetSucceeded();
    });
}

} // namespace DMStmtReminderExecutionStatus
