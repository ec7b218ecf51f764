#include "CmdDue.h"

#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <list>
#include <map>
#include <set>
#include <utility>
#include <sstream>

#include "CmdSets.h"
#include "FileLock.h"
#include "Host/HostContext.h"
#include "Csv.h"
#include "Outbox.h"
#include "Prefs/PrefsTag.h"
#include "Records/Names.h"
#include "Records/ReminderRecords.h"
#include "Statements/StmtEditTag.h"
#include "StatusText.h"
#include "TargetGroupRule.h"
#include "TxnReminderEngine.h"
#include "TxnReminderRuleTemplate.h"

namespace app {

namespace {
std::string CompanyPref(const char* key, const std::string& fallback) {
    std::string value;
    return DBPreferences::GetCompanyDBPreference(key, value).Succeeded() && !value.empty() ? value : fallback;
}

std::string CompanyName(const AppContext& ctx) {
    std::string base = ctx.file.substr(ctx.file.find_last_of('/') == std::string::npos ? 0 : ctx.file.find_last_of('/') + 1);
    const std::size_t dot = base.rfind('.');
    if (dot != std::string::npos && dot > 0) base.erase(dot);
    return CompanyPref("companyName", base);
}

// Opening balance of a customer's (or job's) unpaid invoices up to a date.
double OpenBalance(int customer) {
    CName name(customer, 1);
    return name.IsValid() ? Bal2Double(name.GetTotalEndingBalHome()) : 0.0;
}

std::string MessageName(const DueItem& item) {
    // One name per reminder, so that a reminder already in the outbox is
    // recognised after an interrupted send instead of being sent twice.
    if (!item.statement) {
        return "invoice-" + std::to_string(item.record.GetTransactionId()) + "-rule-" +
               std::to_string(item.record.GetRuleId()) + ".eml";
    }
    char date[16];
    std::snprintf(date, sizeof date, "%04d%02d%02d", item.periodStart.GetYear(), item.periodStart.GetMonth(),
                  item.periodStart.GetDay());
    return "statement-" + std::to_string(item.record.GetRuleId()) + "-customer-" + std::to_string(item.customer) +
           "-" + date + ".eml";
}

Placeholders ValuesFor(const AppContext& ctx, const DueItem& item) {
    Placeholders v;
    v["customer"] = item.to.name;
    v["company"] = CompanyName(ctx);
    if (!item.statement) {
        v["invoice"] = std::to_string(item.invoice.number);
        v["amount"] = FormatAmount(item.invoice.amount);
        v["due_date"] = FormatIsoDate(item.invoice.dueDate);
        v["days_overdue"] = std::to_string(item.daysFromDue > 0 ? item.daysFromDue : 0);
    } else {
        v["amount"] = FormatAmount(OpenBalance(item.customer));
        v["statement_from"] = FormatIsoDate(item.rangeFrom);
        v["statement_to"] = FormatIsoDate(item.rangeTo);
    }
    return v;
}

// What is recorded as sent already. The selection leaves these out, so a hit
// here means a record that the selection did not see (made by a sender that
// did not hold the lock, or a status the selection reads differently); the
// send then writes no second row.
struct RecordedKeys {
    std::set<std::pair<unsigned long, unsigned long>> invoices;   // (invoice, rule)
    std::set<std::pair<unsigned long, long>> statements;          // (rule, customer)

    bool Has(const DueItem& item) const {
        if (!item.statement) return invoices.count({item.record.GetTransactionId(), item.record.GetRuleId()}) != 0;
        return statements.count({item.record.GetRuleId(), item.customer}) != 0;
    }
};

RecordedKeys LoadRecorded() {
    RecordedKeys keys;
    std::vector<DMReminderExecutionHistory::DBReminderExecutionHistory> rows;
    if (!DMReminderExecutionHistory::IDBReminderExecutionHistory::BatchLoadByTxnView(FormViewType_Invoice, rows)
             .Succeeded()) {
        throw AppError("send: the reminder history cannot be read; nothing was sent");
    }
    for (const auto& r : rows) {
        if (r.Status == TxnReminderExecutionStatus_Sent || r.Status == TxnReminderExecutionStatus_SentManually) {
            keys.invoices.insert({r.TransactionId, static_cast<unsigned long>(r.RuleId)});
        }
    }
    for (auto set : LoadAllSets()) {
        for (auto& rule : set.GetStatementReminderRules()) {
            std::vector<int> customers;
            if (!DMStmtReminderExecutionStatus::IDBStmtReminderExecutionStatus::BatchLoadByRuleIdAndStatus(static_cast<long>(rule.GetRuleId()),
                                                                            ReminderExecutionStatus_Sent, customers)
                     .Succeeded()) {
                throw AppError("send: the statement status cannot be read; nothing was sent");
            }
            for (int c : customers) keys.statements.insert({rule.GetRuleId(), c});
        }
    }
    return keys;
}

void ProgressBar(std::size_t done, std::size_t total) {
    const int width = 30;
    const int filled = total ? static_cast<int>(done * width / total) : width;
    std::cerr << "\r[" << std::string(static_cast<std::size_t>(filled), '#')
              << std::string(static_cast<std::size_t>(width - filled), ' ') << "] " << done << "/" << total << std::flush;
    if (done == total) std::cerr << "\n";
}
} // namespace

DueList CollectDue(bool fastMode) {
    DueList due;
    std::vector<TxnSendableReminderContainer> records;
    std::size_t invoiceCount = 0;
    if (TxnReminderEngine::HasSendReminderPermission(FormViewType_Invoice, 0)) {
        TxnReminderEngine engine(FormViewType_Invoice);
        TxnReminderStatusCode status = TxnReminderStatus_Reset;
        bool duplicate = false;
        if (!engine.PrepareReminderListToSend(status, records, duplicate, fastMode)) {
            throw AppError("the due invoice reminders cannot be determined: " + StatusText(status));
        }
        due.duplicateFound = duplicate;
    } else {
        due.notes.push_back(
            "invoice reminders: not permitted (prefs send-invoice-reminders is deny, or the feature is off); none "
            "selected");
    }
    invoiceCount = records.size();
    if (!(fastMode && !records.empty())) {
        if (TxnReminderEngine::HasSendReminderPermission(FormViewType_Statement, 0)) {
            TxnReminderEngine engine(FormViewType_Statement);
            TxnReminderStatusCode status = TxnReminderStatus_Reset;
            if (!engine.PrepareReminderListToSendForStmt(status, records, fastMode)) {
                throw AppError("the due statements cannot be determined: " + StatusText(status));
            }
        } else {
            due.notes.push_back(
                "statements: not permitted (prefs send-statements is deny, or the feature is off); none selected");
        }
    }

    // The statement requests give each due statement rule its period and
    // the range of transactions its statement shows.
    struct StatementPeriod {
        DateType32 statementDate, from, to;
    };
    std::map<unsigned long, StatementPeriod> periods;
    if (records.size() > invoiceCount && !fastMode) {
        TxnReminderEngine engine(FormViewType_Statement);
        TxnReminderStatusCode status = TxnReminderStatus_Reset;
        std::list<std::pair<StmtEditTag*, TargetGroupRule>> requests;
        const bool ok = engine.GetStmtData(status, requests);
        for (auto& [handle, rule] : requests) {
            if (handle) periods[rule.GetRuleId()] = {handle->m_statementDate, handle->m_fromDate, handle->m_toDate};
            StmtEditTag::Free(handle);
        }
        if (!ok) throw AppError("the due statements cannot be prepared: " + StatusText(status));
    }

    // Rules and templates by id, read after the selection (it moves statement periods).
    std::map<unsigned long, TxnReminderRule> invoiceRules;
    std::map<unsigned long, StatementReminderRule> statementRules;
    for (auto set : LoadAllSets()) {
        for (const auto& r : set.GetReminderRules()) invoiceRules[r.GetRuleId()] = r;
        for (const auto& r : set.GetStatementReminderRules()) statementRules[r.GetRuleId()] = r;
    }
    const DateType32 today = GetSystemDate();
    TxnReminderEngine templates(FormViewType_Invoice);
    for (std::size_t i = 0; i < records.size(); ++i) {
        DueItem item;
        item.record = records[i];
        item.statement = i >= invoiceCount;
        if (fastMode && item.statement && item.record.GetRuleId() == 0) {
            // Fast mode only says that some statement is due.
            item.ruleText = "(a statement is due)";
            due.items.push_back(item);
            continue;
        }
        if (!item.statement) {
            ReadInvoice(item.record.GetTransactionId(), item.invoice);
            item.customer = item.invoice.customer;
            item.daysFromDue = DateMinusDate(today, item.invoice.dueDate);
            auto rule = invoiceRules.find(item.record.GetRuleId());
            if (rule != invoiceRules.end()) {
                item.ruleText = DescribeRule(rule->second);
                TxnReminderRuleTemplate& t = rule->second.GetRuleTemplate();
                item.subject = t.GetTemplateSubject().str();
                item.body = t.GetTemplateBody().str();
            }
        } else {
            item.customer = item.record.GetCustomerId();
            auto rule = statementRules.find(item.record.GetRuleId());
            if (rule != statementRules.end()) item.ruleText = DescribeRule(rule->second);
            auto period = periods.find(item.record.GetRuleId());
            if (period != periods.end()) {
                item.periodStart = period->second.statementDate;
                item.rangeFrom = period->second.from;
                item.rangeTo = period->second.to;
            }
            TxnReminderRuleTemplate t;
            if (item.record.GetTemplateId() > 0 && templates.GetReminderRuleTemplate(t, item.record.GetTemplateId())) {
                item.subject = t.GetTemplateSubject().str();
                item.body = t.GetTemplateBody().str();
            }
            if (item.subject.empty()) item.subject = "Your account statement from {{company}}";
            if (item.body.empty()) item.body = "Dear {{customer}},\n\nYour open balance with us is {{amount}}.\n\n{{company}}\n";
        }
        item.to = AddresseeOf(item.customer);
        due.items.push_back(item);
    }
    return due;
}

std::string DueItemKey(const DueItem& item) { return MessageName(item); }

RenderedText RenderDue(const AppContext& ctx, const DueItem& item) {
    const Placeholders values = ValuesFor(ctx, item);
    return {Render(item.subject, values), Render(item.body, values)};
}

OutgoingMessage ComposeDue(const AppContext& ctx, const DueItem& item) {
    const std::string from = CompanyPref("companyEmail", "billing@company.test");
    const std::string domain = from.substr(from.find('@') == std::string::npos ? 0 : from.find('@') + 1);
    const std::string name = MessageName(item);
    const RenderedText text = RenderDue(ctx, item);
    OutgoingMessage m;
    m.from = from;
    m.to = item.to.name + " <" + item.to.email + ">";
    m.subject = text.subject;
    m.body = text.body;
    m.messageId = name.substr(0, name.size() - 4) + "@" + domain;
    m.dateSeconds = GetMXSystemTime();
    return m;
}

void ShowDue(const AppContext& ctx, bool fastMode) {
    const DueList due = CollectDue(fastMode);
    const std::string company = CompanyName(ctx);
    if (ctx.json) {
        // The record's fields as numbers, as the engine gives them; the
        // tree writer would quote them, so the array is written here.
        std::ostringstream out;
        out << "[";
        for (std::size_t i = 0; i < due.items.size(); ++i) {
            const DueItem& item = due.items[i];
            out << (i ? ",\n" : "\n") << "  {\"txnType\": " << static_cast<int>(item.record.GetTxnType())
                << ", \"transactionId\": " << item.record.GetTransactionId()
                << ", \"customerId\": " << item.record.GetCustomerId() << ", \"ruleId\": " << item.record.GetRuleId()
                << ", \"templateId\": " << item.record.GetTemplateId()
                << ", \"invoice\": " << JsonQuote(item.statement ? "" : std::to_string(item.invoice.number))
                << ", \"customer\": " << JsonQuote(item.to.name)
                << ", \"email\": " << JsonQuote(item.to.email.empty() ? "no e-mail" : item.to.email)
                << ", \"dueDate\": " << JsonQuote(item.statement ? "" : FormatIsoDate(item.invoice.dueDate))
                << ", \"daysFromDue\": " << (item.statement ? 0 : item.daysFromDue)
                << ", \"rule\": " << JsonQuote(item.ruleText)
                << ", \"subject\": " << JsonQuote(Render(item.subject, ValuesFor(ctx, item))) << "}";
        }
        out << (due.items.empty() ? "]\n" : "\n]\n");
        std::cout << out.str();
        return;
    }
    for (const auto& note : due.notes) std::cout << note << "\n";
    if (due.items.empty()) {
        std::cout << "Nothing is due on " << FormatIsoDate(GetSystemDate()) << ".\n";
        return;
    }
    Table table({"invoice", "customer", "e-mail", "due date", "days", "rule", "subject"});
    for (const auto& item : due.items) {
        table.Add({item.statement ? "statement" : std::to_string(item.invoice.number), item.to.name,
                   item.to.email.empty() ? "no e-mail" : item.to.email,
                   item.statement ? "" : FormatIsoDate(item.invoice.dueDate),
                   item.statement ? "" : std::to_string(item.daysFromDue), item.ruleText,
                   Render(item.subject, ValuesFor(ctx, item))});
    }
    std::cout << table.Render();
    std::cout << due.items.size() << (due.items.size() == 1 ? " reminder" : " reminders") << " due on "
              << FormatIsoDate(GetSystemDate()) << (fastMode ? " (fast mode: stopped at the first)" : "") << ".\n";
    if (due.duplicateFound) {
        std::cout << "Some invoices belong to more than one reminder group; each gets one reminder.\n";
    }
    (void)company;
}

SendSummary SendDue(const AppContext& ctx, const SendOptions& options) {
    const std::string outbox = options.outbox.empty() ? ctx.Dir() + "/outbox" : options.outbox;
    // One sender at a time per company file, from selection to the last
    // record: a second one waits and then finds everything recorded.
    const SendLock lock(Host::HostContext::Get().CompanyFilePath(), SendLock::DefaultTimeout());
    const DueList due = CollectDue(false);
    SendSummary summary;
    if (!options.dryRun && !due.items.empty() && !MakeDirectories(outbox)) {
        throw AppError("send: cannot create the outbox folder '" + outbox + "'");
    }
    if (!options.dryRun) RemoveStaleTemporaries(outbox);
    const RecordedKeys recorded = LoadRecorded();
    const bool showProgress = !options.quiet && due.items.size() > 20 && ::isatty(STDERR_FILENO);
    TxnReminderEngine invoices(FormViewType_Invoice);
    TxnReminderEngine statements(FormViewType_Statement);
    std::size_t done = 0;
    for (const auto& item : due.items) {
        ++done;
        if (showProgress) ProgressBar(done, due.items.size());
        if (!options.only.empty() &&
            std::find(options.only.begin(), options.only.end(), MessageName(item)) == options.only.end()) {
            continue;
        }
        if (item.to.email.empty()) {
            ++summary.skippedNoEmail;
            if (!options.quiet) std::cout << "skipped (no e-mail): " << item.to.name << " - " << item.ruleText << "\n";
            continue;
        }
        const std::string name = MessageName(item);
        if (options.dryRun) {
            if (!options.quiet) {
                std::cout << "would write " << outbox << "/" << name << " to " << item.to.email << ": "
                          << Render(item.subject, ValuesFor(ctx, item)) << "\n";
            }
            (item.statement ? summary.statements : summary.invoiceReminders)++;
            continue;
        }
        const std::string path = outbox + "/" + name;
        if (FileExists(path)) {
            ++summary.alreadyWritten;  // written by a send that stopped before recording it
        } else {
            if (!WriteFileAtomically(outbox, name, FormatMessage(ComposeDue(ctx, item)))) {
                ++summary.failed;
                std::cerr << "send: could not write " << path << "\n";
                continue;
            }
        }
        bool saved = false;
        if (recorded.Has(item)) {
            saved = true;  // a record made before: never a second row for the same reminder
        } else if (!item.statement) {
            saved = invoices.SaveReminderExecutionHistory(item.record.GetTransactionId(), item.record.GetRuleId(),
                                                          TxnReminderExecutionStatus_Sent);
        } else {
            saved = statements.AddStatementReminderExecutionStatus(item.record.GetRuleId(), item.customer,
                                                                   ReminderExecutionStatus_Sent);
        }
        if (!saved) {
            ++summary.failed;
            std::cerr << "send: " << path << " was written but could not be recorded; the next send records it\n";
            continue;
        }
        (item.statement ? summary.statements : summary.invoiceReminders)++;
    }
    if (!options.quiet) {
        for (const auto& note : due.notes) std::cout << note << "\n";
        std::cout << (options.dryRun ? "would send " : "sent ") << summary.invoiceReminders << " invoice reminder"
                  << (summary.invoiceReminders == 1 ? "" : "s") << " and " << summary.statements << " statement"
                  << (summary.statements == 1 ? "" : "s") << (options.dryRun ? "" : " to " + outbox);
        if (summary.alreadyWritten) std::cout << " (" << summary.alreadyWritten << " found already written)";
        std::cout << "; " << summary.skippedNoEmail << " skipped for want of an e-mail address";
        if (summary.failed) std::cout << "; " << summary.failed << " failed";
        std::cout << ".\n";
    }
    return summary;
}

std::vector<HistoryRow> LoadHistory() {
    std::vector<DMReminderExecutionHistory::DBReminderExecutionHistory> rows;
    const Util::Status s = DMReminderExecutionHistory::IDBReminderExecutionHistory::BatchLoadByTxnView(4, rows);
    if (!s.Succeeded()) throw AppError("history: the reminder history cannot be read");
    std::vector<HistoryRow> out;
    for (const auto& r : rows) {
        HistoryRow h;
        h.invoice = r.TransactionId;
        h.ruleId = r.RuleId;
        h.status = r.Status;
        InvoiceView inv;
        h.invoiceKnown = ReadInvoice(r.TransactionId, inv);
        h.customer = h.invoiceKnown ? AddresseeOf(inv.customer).name : "(deleted)";
        h.statusText = r.Status == 1 ? "sent" : (r.Status == 2 ? "sent by hand" : std::to_string(r.Status));
        out.push_back(h);
    }
    return out;
}

void ShowHistory(const AppContext& ctx) {
    const std::vector<HistoryRow> rows = LoadHistory();
    if (ctx.json) {
        boost::property_tree::ptree array;
        for (const auto& r : rows) {
            boost::property_tree::ptree o;
            o.put("transactionId", r.invoice);
            o.put("ruleId", r.ruleId);
            o.put("status", r.status);
            array.push_back({"", o});
        }
        boost::property_tree::ptree root;
        root.add_child("history", array);
        std::cout << ToJson(root);
        return;
    }
    if (rows.empty()) {
        std::cout << "No invoice reminders have been recorded yet.\n";
        return;
    }
    Table table({"invoice", "customer", "rule", "status"});
    for (const auto& r : rows) {
        table.Add({std::to_string(r.invoice), r.customer, std::to_string(r.ruleId), r.statusText});
    }
    std::cout << table.Render();
}

void Purge(const AppContext&) {
    std::vector<DMReminderExecutionHistory::DBReminderExecutionHistory> before, after;
    DMReminderExecutionHistory::IDBReminderExecutionHistory::BatchLoadByTxnView(4, before);
    TxnReminderEngine engine(FormViewType_Invoice);
    if (!engine.PurgeOldReminderExecutionHistory()) throw AppError("purge: the old history could not be purged");
    DMReminderExecutionHistory::IDBReminderExecutionHistory::BatchLoadByTxnView(4, after);
    std::cout << "purged " << before.size() - after.size() << " history entries of invoices paid long ago ("
              << after.size() << " kept)\n";
}

void Migrate(const AppContext&) {
    TxnReminderEngine engine(FormViewType_Invoice);
    const Util::Status s = engine.MigrateOldTargetGroupAndUserTableToNewDLPTables();
    if (!s.Succeeded()) throw AppError("migrate: the old target groups were not moved; nothing changed");
    std::cout << "old target groups moved to customer groups\n";
}

} // namespace app
