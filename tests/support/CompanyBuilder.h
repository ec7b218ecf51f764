#pragma once

// Builds the records a storage or selection test starts from: customers and
// jobs, invoices, permission groups, old own-table target groups and reminder
// sets, written straight to the open company file.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Date/DateType32.h"
#include "Records/Groups.h"
#include "Records/Names.h"
#include "Records/ReminderRecords.h"
#include "Records/Transactions.h"

namespace testsupport {

// A customer (parent 0) or a job of `parent`.
inline int AddName(const std::string& name, int parent = 0, const std::string& email = "", bool hidden = false) {
    Host::CustomerData data;
    data.name = name;
    data.parent = parent;
    data.email = email;
    data.hidden = hidden;
    int recNum = 0;
    EXPECT_TRUE(Host::AddCustomer(data, recNum).Succeeded()) << name;
    return recNum;
}

inline unsigned long AddOpenInvoice(int customer, const DateType32& dueDate) {
    Host::InvoiceData data;
    data.customer = customer;
    data.txnDate = DateSub(dueDate, 30);
    data.dueDate = dueDate;
    data.amount = Double2Bal(100.0);
    unsigned long id = 0;
    EXPECT_TRUE(Host::AddInvoice(data, id).Succeeded());
    return id;
}

inline long AddPermissionGroup(const std::string& name, const std::vector<int>& members,
                               const std::string& description = "") {
    long id = 0;
    EXPECT_TRUE(Host::CreateCustomerGroup(name, description, members, id).Succeeded()) << name;
    return id;
}

// An own-table group with its member rows, outside any unit of work.
inline long AddOldGroup(const std::string& name, const std::vector<int>& members,
                        const std::string& description = "") {
    DMReminderTargetGroup::IDBReminderTargetGroup group;
    group.SetName(name);
    group.SetDescription(description);
    group.SetTargetGroupType(1);
    EXPECT_TRUE(group.Add().Succeeded()) << name;
    std::vector<DMReminderTargetUser::DBReminderTargetUser> rows;
    for (int member : members) rows.emplace_back(member, group.GetTargetGroupId());
    EXPECT_TRUE(DMReminderTargetUser::IDBReminderTargetUser::BatchInsert(rows).Succeeded());
    return group.GetTargetGroupId();
}

inline long AddReminderSet(const std::string& name, long view, long groupId, bool active = true) {
    DMTransactionReminderSet::IDBTransactionReminderSet set;
    set.SetName(name);
    set.SetIsActive(active ? 1 : 0);
    set.SetTransactionView(view);
    set.SetTargetGroupId(groupId);
    EXPECT_TRUE(set.Add().Succeeded()) << name;
    return set.GetRemindersetId();
}

inline void AddHistory(unsigned long txnId, unsigned long ruleId, int status, long view = 4) {
    DMReminderExecutionHistory::IDBReminderExecutionHistory entry;
    entry.SetTransactionId(txnId);
    entry.SetTransactionView(view);
    entry.SetRuleId(ruleId);
    entry.SetStatus(status);
    EXPECT_TRUE(entry.Add().Succeeded());
}

} // namespace testsupport
