#include "GenerateCompany.h"

#include <algorithm>
#include <iostream>
#include <memory>
#include <random>
#include <stdexcept>
#include <vector>

#include "DB/DBManager.h"
#include "Host/HostContext.h"
#include "Records/Groups.h"
#include "Records/Names.h"
#include "Records/ReminderRecords.h"
#include "Records/Transactions.h"
#include "TxnReminderEngine.h"
#include "TxnReminderSet.h"
#include "TxnSendableReminderContainer.h"

namespace bench {

namespace {
void Check(const Util::Status& s, const std::string& what) {
    if (!s.Succeeded()) throw std::runtime_error(what + " failed (status " + std::to_string(s.GetStatusCode()) + ")");
}

TxnReminderRule MakeRule(int schedule, int days, const std::string& subject) {
    TxnReminderRule rule;
    TxnReminderRuleCriteria criteria;
    criteria.SetDateToCompare("due date");
    criteria.SetSchedule(schedule);
    criteria.SetDays(days);
    rule.SetRuleCriteria(criteria);
    TxnReminderRuleTemplate t(15, Util::TString("Dear {{customer}}, invoice {{invoice}} for {{amount}} is due."),
                              Util::TString(subject));
    rule.SetRuleTemplate(t);
    return rule;
}
} // namespace

CompanyShape BenchShape(int openInvoices) {
    CompanyShape shape;
    shape.openInvoices = openInvoices;
    shape.customers = openInvoices / 5;
    shape.jobs = shape.customers / 5;
    shape.paidInvoices = openInvoices / 5;
    shape.groups = 20;
    shape.groupSize = shape.customers / 5;
    shape.invoiceSets = 20;
    shape.statementSets = 2;
    shape.history = openInvoices / 10 * 3;
    return shape;
}

long SelectInvoiceReminders(bool fastMode) {
    TxnReminderEngine engine(FormViewType_Invoice);
    TxnReminderStatusCode status = TxnReminderStatus_Reset;
    std::vector<TxnSendableReminderContainer> out;
    bool duplicate = false;
    if (!engine.PrepareReminderListToSend(status, out, duplicate, fastMode)) return -1;
    return static_cast<long>(out.size());
}

void GenerateCompany(const std::string& path, const CompanyShape& shape, bool progress) {
    auto& host = Host::HostContext::Get();
    const DateType32 today(shape.todayMonth, shape.todayDay, shape.todayYear);
    host.FixClock(today, 8, 0, 0);
    if (!host.OpenCompanyFile(path, true).Succeeded()) throw std::runtime_error(host.LastOpenError());
    std::mt19937 random(shape.seed);
    auto chance = [&](double share) { return std::uniform_real_distribution<double>(0, 1)(random) < share; };
    auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
    auto note = [&](const std::string& what) {
        if (progress) std::cerr << "generate: " << what << std::endl;
    };

    std::unique_ptr<DBMgr::DMTransaction> txn(DBMgr::DBManager::GetActiveFileMgr()->CreateTransaction(0, 1));
    if (!txn) throw std::runtime_error("no transaction");
    txn->BeginWrite();

    std::vector<int> customers, billable;
    customers.reserve(static_cast<std::size_t>(shape.customers));
    for (int i = 0; i < shape.customers; ++i) {
        Host::CustomerData c;
        c.name = "Customer " + std::to_string(i + 1);
        if (!chance(shape.noEmailShare)) c.email = "ap" + std::to_string(i + 1) + "@customer.test";
        c.hidden = chance(shape.hiddenShare);
        c.custType = i % 3 == 0 ? "Wholesale" : "Retail";
        c.terms = "Net 30";
        c.since = MakeDateAndTime(DateSub(today, 30 + static_cast<long>(pick(3000))), 9, 0, 0);
        int id = 0;
        Check(Host::AddCustomer(c, id, txn.get()), "adding a customer");
        customers.push_back(id);
    }
    billable = customers;
    for (int i = 0; i < shape.jobs && !customers.empty(); ++i) {
        Host::CustomerData j;
        j.name = "Job " + std::to_string(i + 1);
        j.parent = billable.size() > customers.size() && chance(shape.subJobShare)
                       ? billable[customers.size() + pick(billable.size() - customers.size())]
                       : customers[pick(customers.size())];
        j.hidden = chance(shape.hiddenShare);
        if (chance(0.3)) j.email = "site" + std::to_string(i + 1) + "@customer.test";
        int id = 0;
        Check(Host::AddCustomer(j, id, txn.get()), "adding a job");
        billable.push_back(id);
    }
    note(std::to_string(customers.size()) + " customers, " + std::to_string(billable.size() - customers.size()) + " jobs");

    std::vector<long> groups;
    for (int g = 0; g < shape.groups && !customers.empty(); ++g) {
        std::vector<int> members;
        const int size = std::min<int>(shape.groupSize, static_cast<int>(customers.size()));
        // Overlapping groups: each a random sample of the customers.
        std::vector<int> pool = customers;
        for (int k = 0; k < size; ++k) {
            const std::size_t at = static_cast<std::size_t>(k) + pick(pool.size() - static_cast<std::size_t>(k));
            std::swap(pool[static_cast<std::size_t>(k)], pool[at]);
            members.push_back(pool[static_cast<std::size_t>(k)]);
        }
        if (billable.size() > customers.size()) {
            for (int k = 0; k < size; ++k) {
                if (chance(shape.jobMemberShare))
                    members.push_back(billable[customers.size() + pick(billable.size() - customers.size())]);
            }
        }
        long id = 0;
        Check(Host::CreateCustomerGroup("Group " + std::to_string(g + 1), "", members, id, txn.get()), "adding a group");
        groups.push_back(id);
    }
    note(std::to_string(groups.size()) + " groups of " + std::to_string(shape.groupSize));

    std::vector<unsigned long> openIds;
    openIds.reserve(static_cast<std::size_t>(shape.openInvoices));
    const int total = shape.openInvoices + shape.paidInvoices;
    int paidLeft = shape.paidInvoices;
    for (int i = 0; i < total; ++i) {
        Host::InvoiceData inv;
        inv.customer = billable[pick(billable.size())];
        inv.dueDate = DateAdd(today, -300 + static_cast<long>(pick(static_cast<std::size_t>(std::max(1, shape.dueSpanDays)))));
        inv.txnDate = DateSub(inv.dueDate, 30);
        inv.amount.hundredths = 1000 + static_cast<std::int64_t>(pick(500000));
        unsigned long id = 0;
        Check(Host::AddInvoice(inv, id, txn.get()), "adding an invoice");
        const bool paid = paidLeft > 0 && static_cast<int>(pick(static_cast<std::size_t>(total - i))) < paidLeft;
        if (paid) {
            --paidLeft;
            Check(Host::MarkInvoicePaid(id, std::min(today, DateAdd(inv.txnDate, 20)), txn.get()), "paying an invoice");
        } else {
            openIds.push_back(id);
        }
        if (progress && (i + 1) % 200000 == 0) note(std::to_string(i + 1) + " invoices");
    }
    note(std::to_string(openIds.size()) + " open and " + std::to_string(shape.paidInvoices) + " paid invoices");
    // The engine's storage helper takes a transaction of its own for each set.
    if (!txn->Commit()) throw std::runtime_error("the generated names and invoices were not committed");

    // Reminder sets: the rules come from a fixed menu, 2 to 6 per set.
    const std::pair<int, int> menu[] = {{1, 10}, {1, 5}, {2, 0}, {2, 7}, {2, 15}, {2, 30}, {2, 60}, {2, 90}};
    std::vector<unsigned long> ruleIds;
    for (int s = 0; s < shape.invoiceSets && !groups.empty(); ++s) {
        TxnReminderSet set(0, FormViewType_Invoice);
        set.SetReminderSetName(Util::TString("Invoice reminders " + std::to_string(s + 1)));
        set.SetTargetGroupId(groups[shape.randomSetGroups ? pick(groups.size()) : static_cast<std::size_t>(s) % groups.size()]);
        TxnReminderSetStatus active =
            chance(shape.inactiveSetShare) ? TxnReminderSetStatus_Inactive : TxnReminderSetStatus_Active;
        set.SetReminderStatus(active);
        std::vector<TxnReminderRule> rules;
        const int count = chance(shape.emptySetShare) ? 0 : 2 + static_cast<int>(pick(5));
        std::vector<std::size_t> order(std::size(menu));
        for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
        std::shuffle(order.begin(), order.end(), random);
        for (int r = 0; r < count; ++r) {
            const auto& m = menu[order[static_cast<std::size_t>(r)]];
            rules.push_back(MakeRule(m.first, m.second, "Reminder " + std::to_string(r + 1)));
        }
        set.SetReminderRules(rules);
        TxnReminderEngine engine(FormViewType_Invoice);
        TxnReminderStatusCode status = TxnReminderStatus_Reset;
        if (!engine.AddOrUpdateReminderSet(status, set)) {
            throw std::runtime_error("saving an invoice reminder set failed (status " + std::to_string(status) + ")");
        }
        for (const auto& r : set.GetReminderRules()) ruleIds.push_back(r.GetRuleId());
    }
    for (int s = 0; s < shape.statementSets && !groups.empty(); ++s) {
        TxnReminderSet set(0, FormViewType_Statement);
        set.SetReminderSetName(Util::TString("Statements " + std::to_string(s + 1)));
        set.SetTargetGroupId(groups[(static_cast<std::size_t>(s) + 1) % groups.size()]);
        TxnReminderSetStatus active = TxnReminderSetStatus_Active;
        set.SetReminderStatus(active);
        StatementReminderRule rule;
        rule.SetScheduleDayWithFrequency(static_cast<unsigned short>(s % 2 == 0 ? 1 : 2), static_cast<short>(s % 2 == 0 ? 1 : 0));
        std::vector<StatementReminderRule> rules{rule};
        set.SetStatementReminderRules(rules);
        TxnReminderEngine engine(FormViewType_Statement);
        TxnReminderStatusCode status = TxnReminderStatus_Reset;
        if (!engine.AddOrUpdateReminderSet(status, set)) {
            throw std::runtime_error("saving a statement reminder set failed (status " + std::to_string(status) + ")");
        }
    }
    note(std::to_string(shape.invoiceSets) + " invoice sets, " + std::to_string(shape.statementSets) + " statement sets");

    txn->BeginWrite();
    for (int h = 0; h < shape.history && !openIds.empty() && !ruleIds.empty(); ++h) {
        DMReminderExecutionHistory::IDBReminderExecutionHistory row;
        row.SetTransactionId(openIds[pick(openIds.size())]);
        row.SetTransactionView(FormViewType_Invoice);
        row.SetRuleId(ruleIds[pick(ruleIds.size())]);
        // Mostly carried out (1, 2); the rest does not block (3, -1).
        const int statuses[] = {1, 1, 1, 1, 1, 1, 2, 2, 3, -1};
        row.SetStatus(static_cast<short>(statuses[pick(10)]));
        Check(row.Add(txn.get()), "adding history");
    }
    note(std::to_string(shape.history) + " history rows");
    if (!txn->Commit()) throw std::runtime_error("the generated company was not committed");
    host.SetPreference("paymentReminderState", "1");
}

} // namespace bench
