#pragma once

// Statement reminder records: one rule record per statement rule and one
// execution-status record per (rule, customer). Same calling convention as
// Records/ReminderRecords.h.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "DB/DBManager.h"
#include "Util/HostApi.h"
#include "Util/Status.h"
#include "Util/TString.h"

namespace DMStmtReminderRule {

struct DBStmtReminderRule {
    std::int32_t RuleId = 0;
    std::int32_t RemindersetId = 0;
    std::uint16_t ScheduleDay = 0;
    std::int16_t Frequency = 0;
    std::int16_t DateRange = 0;
    std::int16_t TxnStatus = 0;
    std::int16_t OverdueBy = 0;
    std::int16_t Reserved = 0;
    std::int32_t MessageTemplateId = 0;
    std::int32_t StyleTemplateId = 0;
    std::int16_t IsItemDetailsIncluded = 0;
    std::int16_t IsMemoIncluded = 0;
    std::int16_t IsDueDateIncluded = 0;
    std::int16_t IsCustomerJob = 0;
    // As BatchLoad hands it back: YYYY-MM-DD (written as YYYYMMDD).
    char EmailListPrepDate[12] = {};
};
static_assert(sizeof(DBStmtReminderRule) == 48, "statement rule record layout");

class HOST_API IDBStmtReminderRule {
public:
    IDBStmtReminderRule() = default;
    explicit IDBStmtReminderRule(const DBStmtReminderRule& record) : m_rec(record) {}

    void SetRuleId(long id) { m_rec.RuleId = static_cast<std::int32_t>(id); }
    void SetRemindersetId(long id) { m_rec.RemindersetId = static_cast<std::int32_t>(id); }
    void SetMessageTemplateId(long id) { m_rec.MessageTemplateId = static_cast<std::int32_t>(id); }
    void SetStyleTemplateId(long id) { m_rec.StyleTemplateId = static_cast<std::int32_t>(id); }
    void SetScheduleDay(unsigned long day) { m_rec.ScheduleDay = static_cast<std::uint16_t>(day); }
    void SetFrequency(long value) { m_rec.Frequency = static_cast<std::int16_t>(value); }
    void SetDateRange(long value) { m_rec.DateRange = static_cast<std::int16_t>(value); }
    void SetTxnStatus(long value) { m_rec.TxnStatus = static_cast<std::int16_t>(value); }
    void SetOverdueBy(long value) { m_rec.OverdueBy = static_cast<std::int16_t>(value); }
    void SetIsItemDetailsIncluded(long value) { m_rec.IsItemDetailsIncluded = static_cast<std::int16_t>(value); }
    void SetIsMemoIncluded(long value) { m_rec.IsMemoIncluded = static_cast<std::int16_t>(value); }
    void SetIsDueDateIncluded(long value) { m_rec.IsDueDateIncluded = static_cast<std::int16_t>(value); }
    void SetIsCustomerJob(long value) { m_rec.IsCustomerJob = static_cast<std::int16_t>(value); }
    // The compact date text (eight digits, YYYYMMDD); cut to 11 characters.
    void SetEmailListPrepDate(const char* text);
    void SetEmailListPrepDate(const std::string& text);
    void SetEmailListPrepDate(const Util::TString& text) { SetEmailListPrepDate(text.str()); }

    long GetRuleId() const { return m_rec.RuleId; }
    long GetRemindersetId() const { return m_rec.RemindersetId; }
    const char* GetEmailListPrepDate() const { return m_rec.EmailListPrepDate; }
    const DBStmtReminderRule& GetRecord() const { return m_rec; }
    void SetRecord(const DBStmtReminderRule& record) { m_rec = record; }

    // Creates a new rule; GetRuleId gives the store's id afterwards.
    Util::Status Add(DBMgr::DMTransaction* txn = nullptr);
    Util::Status Update(DBMgr::DMTransaction* txn = nullptr);
    Util::Status Load(long id, DBMgr::DMTransaction* txn = nullptr);

    static Util::Status Delete(long ruleId, DBMgr::DMTransaction* txn = nullptr);
    // Rules of one set in id order, the date in the form YYYY-MM-DD; appended.
    static Util::Status BatchLoad(long remindersetId, std::vector<DBStmtReminderRule>& out,
                                  DBMgr::DMTransaction* txn = nullptr);
    static Util::Status BatchDelete(const long* ids, std::size_t count, DBMgr::DMTransaction* txn = nullptr);
    static Util::Status BatchDelete(const unsigned long* ids, std::size_t count, DBMgr::DMTransaction* txn = nullptr);
    static Util::Status BatchDelete(const int* ids, std::size_t count, DBMgr::DMTransaction* txn = nullptr);
    static Util::Status BatchDelete(const unsigned int* ids, std::size_t count, DBMgr::DMTransaction* txn = nullptr);

private:
    DBStmtReminderRule m_rec;
};

// The statement form (YYYY-MM-DD) of a stored compact date (YYYYMMDD); any
// other text is handed back unchanged.
HOST_API std::string CompactToStatementDate(const std::string& text);

} // namespace DMStmtReminderRule

namespace DMStmtReminderExecutionStatus {

struct DBStmtReminderExecutionStatus {
    std::int32_t CustomerId = 0;
    std::int32_t RuleId = 0;
    std::int16_t Status = 0;
    std::int16_t Reserved = 0;
};
static_assert(sizeof(DBStmtReminderExecutionStatus) == 12, "statement status record is 12 bytes");

class HOST_API IDBStmtReminderExecutionStatus {
public:
    IDBStmtReminderExecutionStatus() = default;

    void SetCustomerId(long id) { m_rec.CustomerId = static_cast<std::int32_t>(id); }
    void SetRuleId(long id) { m_rec.RuleId = static_cast<std::int32_t>(id); }
    void SetStatus(long status) { m_rec.Status = static_cast<std::int16_t>(status); }
    long GetCustomerId() const { return m_rec.CustomerId; }
    long GetRuleId() const { return m_rec.RuleId; }
    short GetStatus() const { return m_rec.Status; }
    const DBStmtReminderExecutionStatus& GetRecord() const { return m_rec; }

    // Creates the (rule, customer) record; fails when it exists already.
    Util::Status Add(DBMgr::DMTransaction* txn = nullptr);
    // Changes the status of the (rule, customer) record; fails with 6042
    // when there is none.
    Util::Status Update(DBMgr::DMTransaction* txn = nullptr);

    // Every customer's record of a rule.
    static Util::Status Delete(long ruleId, DBMgr::DMTransaction* txn = nullptr);
    // One customer's record of a rule.
    static Util::Status Delete(long ruleId, long customerId, DBMgr::DMTransaction* txn);
    // Records of a rule ordered by customer; appended to `out`.
    static Util::Status BatchLoadByRuleId(long ruleId, std::vector<DBStmtReminderExecutionStatus>& out,
                                          DBMgr::DMTransaction* txn = nullptr);
    // Customers of a rule whose status equals `status`, ascending; appended.
    static Util::Status BatchLoadByRuleIdAndStatus(long ruleId, long status, std::vector<int>& customerIds,
                                                   DBMgr::DMTransaction* txn = nullptr);

private:
    DBStmtReminderExecutionStatus m_rec;
};

} // namespace DMStmtReminderExecutionStatus
