#include "ReminderSendings.h"

#include "RecordStore.h"

namespace Host::Sendings {

using Records::Read;
using Records::Write;

Util::Status Record(int txnView, unsigned long txnId, unsigned long ruleId, const DateType32& day,
                    DBMgr::DMTransaction* txn) {
    return Write("ReminderSendings.Record", txn, [&](Host::Connection* db) {
        Stmt(db, "INSERT INTO reminder_sendings(txn_view, txn_id, rule_id, sent_on) VALUES(?1, ?2, ?3, ?4) "
                 "ON CONFLICT(txn_view, txn_id, rule_id) DO UPDATE SET sent_on = excluded.sent_on")
            .Bind(1, txnView)
            .Bind(2, txnId)
            .Bind(3, ruleId)
            .Bind(4, DateToDayNumber(day))
            .Step();
        return Util::Status::GetSucceeded();
    }, Records::Writes::kOneStatement);
}

Util::Status SentOn(int txnView, const DateType32& day, std::unordered_set<unsigned long>& txnIds) {
    txnIds.clear();
    return Read("ReminderSendings.SentOn", nullptr, [&](Host::Connection* db) {
        Stmt query(db, "SELECT txn_id FROM reminder_sendings WHERE sent_on = ?1 AND txn_view = ?2");
        query.Bind(1, DateToDayNumber(day)).Bind(2, txnView);
        while (query.Step()) txnIds.insert(static_cast<unsigned long>(query.Int(0)));
        return Util::Status::GetSucceeded();
    });
}

Util::Status CompanyKey(std::string& key) {
    key.clear();
    return Read("ReminderSendings.CompanyKey", nullptr, [&](Host::Connection* db) {
        Stmt query(db, "SELECT key FROM company_key WHERE id = 1");
        if (query.Step()) key = query.Text(0);
        return key.empty() ? Records::Missing() : Util::Status::GetSucceeded();
    });
}

Util::Status FoldLog() {
    return Read("ReminderSendings.FoldLog", nullptr, [&](Host::Connection* db) {
        // Only a file has a log of its own to fold.
        if (db->Kind() != Host::Connection::Store::kSqlite) return Util::Status::GetSucceeded();
        Stmt checkpoint(db, "PRAGMA wal_checkpoint(TRUNCATE)");
        // The first column is 1 when a reader kept part of the log.
        if (checkpoint.Step() && checkpoint.Int(0) != 0) return Util::Status::Failure(Util::Status::kBusy);
        return Util::Status::GetSucceeded();
    });
}

} // namespace Host::Sendings
