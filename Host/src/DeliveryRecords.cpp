#include "DeliveryRecords.h"

#include <stdexcept>

#include "CompanyFile.h"
#include "Host/HostContext.h"
#include "Sql.h"

namespace Host {

namespace {
Host::Connection* Db() {
    CompanyFile* file = HostContext::Get().File();
    if (!file) throw std::runtime_error("no company file is open");
    return file->Db();
}
} // namespace

std::map<std::string, DeliveryRecord> LoadDeliveryRecords() {
    std::map<std::string, DeliveryRecord> records;
    Stmt rows(Db(), "SELECT name, message_id, recipient, state, attempts, reply, time, next_try FROM outbox_delivery");
    while (rows.Step()) {
        DeliveryRecord r;
        r.name = rows.Text(0);
        r.messageId = rows.Text(1);
        r.recipient = rows.Text(2);
        r.state = rows.Text(3);
        r.attempts = static_cast<int>(rows.Int(4));
        r.reply = rows.Text(5);
        r.time = rows.Int(6);
        r.nextTry = rows.Int(7);
        records.emplace(r.name, r);
    }
    return records;
}

void SaveDeliveryRecord(const DeliveryRecord& r) {
    // A crash test may stop the process here, just before the reply is kept.
    FaultFails("Delivery.Record");
    Stmt(Db(),
         "INSERT INTO outbox_delivery(name, message_id, recipient, state, attempts, reply, time, next_try) "
         "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8) ON CONFLICT(name) DO UPDATE SET message_id = excluded.message_id, "
         "recipient = excluded.recipient, state = excluded.state, attempts = excluded.attempts, "
         "reply = excluded.reply, time = excluded.time, next_try = excluded.next_try")
        .Bind(1, r.name)
        .Bind(2, r.messageId)
        .Bind(3, r.recipient)
        .Bind(4, r.state)
        .Bind(5, r.attempts)
        .Bind(6, r.reply)
        .Bind(7, r.time)
        .Bind(8, r.nextTry)
        .Run();
}

} // namespace Host
