#pragma once

// The reminder record store: sets, invoice rules, own-table target groups and
// their members, and the execution history of sent invoice reminders.
//
// Calling convention of every load, write and delete:
//  - it returns Util::Status; a load of an absent record succeeds with status
//    code 6042 (Util::Status::kRecordNotFound); a delete of an absent record
//    succeeds with 6042 too; an update of an absent record fails with 6042;
//  - it takes a DBMgr::DMTransaction* last. A write through a transaction
//    becomes part of that transaction's unit of work (BeginWrite) and lasts
//    only if the caller commits; with null the call runs on the open company
//    file directly and stands by itself;
//  - each call is all or nothing: when it fails, none of its own writes
//    remain (writes made earlier through the same transaction are kept);
//  - ids are 32-bit and flags 16-bit: wider arguments are cut to that width.
//  - texts longer than a record's buffer are cut (whole UTF-8 characters)
//    and always NUL-terminated.
//
// Static calls may also be made through an object.
//
// Fault points (Host::FaultFails) are named "<Record>.<Call>": ReminderSet,
// ReminderRule, TargetGroup, TargetUser, ExecutionHistory, StmtRule,
// StmtStatus, MessageTemplate, e.g. "ReminderSet.Add", "TargetUser.BatchLoadAll",
// "StmtStatus.BatchLoadByRuleIdAndStatus"; the other services use
// "Group.GetGroupById", "GroupManager.SaveGroup", "Name.Load", "Name.List",
// "Name.GetAverageDaysToPay", "Customer.Add", "Invoice.Add", "Trans.New",
// "Trans.Read", "DQE.DoQuery".

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "DB/DBManager.h"
#include "Records/StmtReminderRecords.h"
#include "Util/HostApi.h"
#include "Util/Status.h"
#include "Util/TString.h"

// --- reminder sets -------------------------------------------------------------
namespace DMTransactionReminderSet {

struct DBTransactionReminderSet {
    std::int32_t RemindersetId = 0;
    char Name[128] = {};
    std::int16_t IsActive = 0;
    std::int16_t TransactionView = 0;
    std::int32_t TargetGroupId = 0;
};
static_assert(sizeof(DBTransactionReminderSet) == 140, "reminder set record is 140 bytes");

class HOST_API IDBTransactionReminderSet {
public:
    IDBTransactionReminderSet() = default;
    explicit IDBTransactionReminderSet(const DBTransactionReminderSet& record) : m_rec(record) {}

    void SetRemindersetId(long id) { m_rec.RemindersetId = static_cast<std::int32_t>(id); }
    void SetName(const char* name);
    void SetName(const std::string& name);
    void SetName(const Util::TString& name) { SetName(name.str()); }
    void SetIsActive(long isActive) { m_rec.IsActive = static_cast<std::int16_t>(isActive); }
    void SetTransactionView(long view) { m_rec.TransactionView = static_cast<std::int16_t>(view); }
    void SetTargetGroupId(long id) { m_rec.TargetGroupId = static_cast<std::int32_t>(id); }

    long GetRemindersetId() const { return m_rec.RemindersetId; }
    const char* GetName() const { return m_rec.Name; }
    short GetIsActive() const { return m_rec.IsActive; }
    short GetTransactionView() const { return m_rec.TransactionView; }
    long GetTargetGroupId() const { return m_rec.TargetGroupId; }
    const DBTransactionReminderSet& GetRecord() const { return m_rec; }
    void SetRecord(const DBTransactionReminderSet& record) { m_rec = record; }

    // Creates a new set; its id (GetRemindersetId) is the store's.
    Util::Status Add(DBMgr::DMTransaction* txn = nullptr);
    // Rewrites the set whose id the record holds.
    Util::Status Update(DBMgr::DMTransaction* txn = nullptr);
    Util::Status Load(long id, DBMgr::DMTransaction* txn = nullptr);

    static Util::Status Delete(long id, DBMgr::DMTransaction* txn = nullptr);
    // Sets of one view, in id order; appended to `out`.
    static Util::Status BatchLoad(long view, std::vector<DBTransactionReminderSet>& out,
                                  DBMgr::DMTransaction* txn = nullptr);
    static Util::Status BatchLoadByTargetGroup(long view, long targetGroupId, std::vector<DBTransactionReminderSet>& out,
                                               DBMgr::DMTransaction* txn = nullptr);

private:
    DBTransactionReminderSet m_rec;
};

} // namespace DMTransactionReminderSet

// --- invoice reminder rules ----------------------------------------------------
namespace DMTransactionReminderRule {

// An invoice rule keeps its interval as 32-bit seconds: the longest interval
// that fits, in whole days.
constexpr long kMaxInvoiceRuleDays = INT32_MAX / 86400;

struct DBTransactionReminderRule {
    std::int32_t RuleId = 0;
    std::int32_t RemindersetId = 0;
    std::int16_t DateToCompare = 0;
    std::int16_t Condition = 0;
    std::int32_t TriggerInterval = 0;
    std::int32_t MessageTemplateId = 0;
};
static_assert(sizeof(DBTransactionReminderRule) == 20, "reminder rule record is 20 bytes");

class HOST_API IDBTransactionReminderRule {
public:
    IDBTransactionReminderRule() = default;
    explicit IDBTransactionReminderRule(const DBTransactionReminderRule& record) : m_rec(record) {}

    void SetRuleId(long id) { m_rec.RuleId = static_cast<std::int32_t>(id); }
    void SetRemindersetId(long id) { m_rec.RemindersetId = static_cast<std::int32_t>(id); }
    void SetDateToCompare(long value) { m_rec.DateToCompare = static_cast<std::int16_t>(value); }
    void SetCondition(long value) { m_rec.Condition = static_cast<std::int16_t>(value); }
    void SetTriggerInterval(long seconds) { m_rec.TriggerInterval = static_cast<std::int32_t>(seconds); }
    void SetMessageTemplateId(long id) { m_rec.MessageTemplateId = static_cast<std::int32_t>(id); }

    long GetRuleId() const { return m_rec.RuleId; }
    long GetRemindersetId() const { return m_rec.RemindersetId; }
    short GetDateToCompare() const { return m_rec.DateToCompare; }
    short GetCondition() const { return m_rec.Condition; }
    long GetTriggerInterval() const { return m_rec.TriggerInterval; }
    long GetMessageTemplateId() const { return m_rec.MessageTemplateId; }
    const DBTransactionReminderRule& GetRecord() const { return m_rec; }
    void SetRecord(const DBTransactionReminderRule& record) { m_rec = record; }

    Util::Status Add(DBMgr::DMTransaction* txn = nullptr);
    Util::Status Update(DBMgr::DMTransaction* txn = nullptr);
    // Absent: succeeds with 6042 and leaves the record as it was.
    Util::Status Load(long id, DBMgr::DMTransaction* txn = nullptr);

    static Util::Status Delete(long id, DBMgr::DMTransaction* txn = nullptr);
    // Rules of one set, in id order; appended to `out`.
    static Util::Status BatchLoad(long remindersetId, std::vector<DBTransactionReminderRule>& out,
                                  DBMgr::DMTransaction* txn = nullptr);
    // Deletes `count` rules by id; ids that do not exist are passed over.
    static Util::Status BatchDelete(const long* ids, std::size_t count, DBMgr::DMTransaction* txn = nullptr);
    static Util::Status BatchDelete(const unsigned long* ids, std::size_t count, DBMgr::DMTransaction* txn = nullptr);
    static Util::Status BatchDelete(const int* ids, std::size_t count, DBMgr::DMTransaction* txn = nullptr);
    static Util::Status BatchDelete(const unsigned int* ids, std::size_t count, DBMgr::DMTransaction* txn = nullptr);

private:
    DBTransactionReminderRule m_rec;
};

} // namespace DMTransactionReminderRule

// --- own-table target groups ---------------------------------------------------
namespace DMReminderTargetGroup {

struct DBReminderTargetGroup {
    std::int32_t TargetGroupId = 0;
    char Name[128] = {};
    std::int16_t TargetGroupType = 0;
    char Description[1026] = {};
};
static_assert(sizeof(DBReminderTargetGroup) == 1160, "target group record is 1,160 bytes");

class HOST_API IDBReminderTargetGroup {
public:
    IDBReminderTargetGroup() = default;
    explicit IDBReminderTargetGroup(const DBReminderTargetGroup& record) : m_rec(record) {}

    void SetTargetGroupId(long id) { m_rec.TargetGroupId = static_cast<std::int32_t>(id); }
    void SetName(const char* name);
    void SetName(const std::string& name);
    void SetName(const Util::TString& name) { SetName(name.str()); }
    void SetTargetGroupType(long type) { m_rec.TargetGroupType = static_cast<std::int16_t>(type); }
    void SetDescription(const char* text);
    void SetDescription(const std::string& text);
    void SetDescription(const Util::TString& text) { SetDescription(text.str()); }

    long GetTargetGroupId() const { return m_rec.TargetGroupId; }
    const char* GetName() const { return m_rec.Name; }
    short GetTargetGroupType() const { return m_rec.TargetGroupType; }
    const char* GetDescription() const { return m_rec.Description; }
    // Copy into a caller's buffer of `size` bytes (cut, NUL-terminated).
    void GetName(char* buffer, std::size_t size) const;
    void GetDescription(char* buffer, std::size_t size) const;
    const DBReminderTargetGroup& GetRecord() const { return m_rec; }
    void SetRecord(const DBReminderTargetGroup& record) { m_rec = record; }

    Util::Status Add(DBMgr::DMTransaction* txn = nullptr);
    Util::Status Update(DBMgr::DMTransaction* txn = nullptr);
    Util::Status Load(long id, DBMgr::DMTransaction* txn = nullptr);

    // Deletes the group record only (its member rows: DeleteByTargetGroup).
    static Util::Status Delete(long id, DBMgr::DMTransaction* txn = nullptr);
    // Groups of one type, in id order; appended to `out`.
    static Util::Status BatchLoad(short targetGroupType, std::vector<DBReminderTargetGroup>& out,
                                  DBMgr::DMTransaction* txn = nullptr);
    // Deletes the groups named by the records' ids.
    static Util::Status BatchDelete(const DBReminderTargetGroup* records, std::size_t count,
                                    DBMgr::DMTransaction* txn = nullptr);
    static Util::Status BatchDelete(const std::vector<DBReminderTargetGroup>& records,
                                    DBMgr::DMTransaction* txn = nullptr);

private:
    DBReminderTargetGroup m_rec;
};

} // namespace DMReminderTargetGroup

// --- own-table target group members -------------------------------------------
namespace DMReminderTargetUser {

struct DBReminderTargetUser {
    DBReminderTargetUser() = default;
    DBReminderTargetUser(long customerRecNum, long targetGroupId)
        : CustomerRecNum(static_cast<std::int32_t>(customerRecNum)),
          TargetGroupId(static_cast<std::int32_t>(targetGroupId)) {}

    long GetCustomerRecNum() const { return CustomerRecNum; }
    long GetTargetGroupId() const { return TargetGroupId; }
    void SetCustomerRecNum(long recNum) { CustomerRecNum = static_cast<std::int32_t>(recNum); }
    void SetTargetGroupId(long id) { TargetGroupId = static_cast<std::int32_t>(id); }

    std::int32_t CustomerRecNum = 0;
    std::int32_t TargetGroupId = 0;
};
static_assert(sizeof(DBReminderTargetUser) == 8, "target user record is 8 bytes");

class HOST_API IDBReminderTargetUser {
public:
    // Member rows of one group, ordered by customer; appended to `out`.
    static Util::Status BatchLoad(long targetGroupId, std::vector<DBReminderTargetUser>& out,
                                  DBMgr::DMTransaction* txn = nullptr);
    // Every member row of every group, ordered by group then customer.
    static Util::Status BatchLoadAll(std::vector<DBReminderTargetUser>& out, DBMgr::DMTransaction* txn = nullptr);
    // Inserts rows; a row that is already stored is kept once.
    static Util::Status BatchInsert(const DBReminderTargetUser* rows, std::size_t count,
                                    DBMgr::DMTransaction* txn = nullptr);
    static Util::Status BatchInsert(const std::vector<DBReminderTargetUser>& rows, DBMgr::DMTransaction* txn = nullptr);
    // Deletes rows matching (customer, group); a count of 0 succeeds.
    static Util::Status BatchDelete(const DBReminderTargetUser* rows, std::size_t count,
                                    DBMgr::DMTransaction* txn = nullptr);
    static Util::Status BatchDelete(const std::vector<DBReminderTargetUser>& rows, DBMgr::DMTransaction* txn = nullptr);
    static Util::Status DeleteByTargetGroup(long targetGroupId, DBMgr::DMTransaction* txn = nullptr);
};

} // namespace DMReminderTargetUser

// --- execution history of invoice reminders -----------------------------------
namespace DMReminderExecutionHistory {

struct DBReminderExecutionHistory {
    std::int32_t HistoryId = 0;        // the store's row id; callers need not set it
    std::uint32_t TransactionId = 0;
    std::int16_t TransactionView = 0;
    std::int16_t Reserved1 = 0;
    std::int32_t RuleId = 0;
    std::int16_t Status = 0;
    std::int16_t Reserved2 = 0;
};
static_assert(sizeof(DBReminderExecutionHistory) == 20, "history record is 20 bytes");

class HOST_API IDBReminderExecutionHistory {
public:
    IDBReminderExecutionHistory() = default;
    explicit IDBReminderExecutionHistory(const DBReminderExecutionHistory& record) : m_rec(record) {}

    void SetTransactionId(unsigned long id) { m_rec.TransactionId = static_cast<std::uint32_t>(id); }
    void SetTransactionView(long view) { m_rec.TransactionView = static_cast<std::int16_t>(view); }
    void SetRuleId(unsigned long id) { m_rec.RuleId = static_cast<std::int32_t>(id); }
    void SetStatus(long status) { m_rec.Status = static_cast<std::int16_t>(status); }

    unsigned long GetTransactionId() const { return m_rec.TransactionId; }
    short GetTransactionView() const { return m_rec.TransactionView; }
    long GetRuleId() const { return m_rec.RuleId; }
    short GetStatus() const { return m_rec.Status; }
    long GetHistoryId() const { return m_rec.HistoryId; }
    const DBReminderExecutionHistory& GetRecord() const { return m_rec; }

    // Appends one history entry (HistoryId is the store's).
    Util::Status Add(DBMgr::DMTransaction* txn = nullptr);

    // Entries of one view, ordered by transaction then by when they were
    // added; appended to `out`.
    static Util::Status BatchLoadByTxnView(long view, std::vector<DBReminderExecutionHistory>& out,
                                           DBMgr::DMTransaction* txn = nullptr);
    static Util::Status DeleteByTxnId(unsigned long transactionId, long view, DBMgr::DMTransaction* txn = nullptr);

private:
    DBReminderExecutionHistory m_rec;
};

} // namespace DMReminderExecutionHistory
