#include "CmdDue.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <iostream>
#include <list>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "CmdSets.h"
#include "Csv.h"
#include "FileLock.h"
#include "Host/HostContext.h"
#include "Message.h"
#include "Outbox.h"
#include "Prefs/PrefsTag.h"
#include "Records/Groups.h"
#include "Records/Names.h"
#include "Records/ReminderRecords.h"
#include "ReminderSendings.h"
#include "Statements/StmtEditTag.h"
#include "StatusText.h"
#include "TargetGroupRule.h"
#include "TxnReminderEngine.h"
#include "TxnReminderRuleTemplate.h"

namespace app {

namespace {
using Json = nlohmann::ordered_json;

std::string CompanyPref(const char* key, const std::string& fallback) {
    std::string value;
    return DBPreferences::GetCompanyDBPreference(key, value).Succeeded() && !value.empty() ? value : fallback;
}

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string CompanyName(const AppContext& ctx) {
    std::string base = BaseName(ctx.file);
    const std::size_t dot = base.rfind('.');
    if (dot != std::string::npos && dot > 0) base.erase(dot);
    return CompanyPref("companyName", base);
}

// Opening balance of a customer's (or job's) unpaid invoices up to a date.
double OpenBalance(int customer) {
    CName name(customer, 1);
    return name.IsValid() ? Bal2Double(name.GetTotalEndingBalHome()) : 0.0;
}

// The company file's name as it may stand in a file name.
std::string FileTag(const std::string& companyFile) {
    std::string tag = BaseName(SendLock::Resolve(companyFile));
    for (char& c : tag) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') c = '-';
    }
    return tag.empty() ? "company" : tag;
}

// One name per reminder and company file, so that a reminder already in the
// outbox is recognised after an interrupted send instead of being sent
// twice, and two company files sharing a folder never share a name.
std::string MessageStem(const DueItem& item) {
    if (!item.statement) {
        return "invoice-" + std::to_string(item.record.GetTransactionId()) + "-rule-" +
               std::to_string(item.record.GetRuleId());
    }
    char date[16];
    std::snprintf(date, sizeof date, "%04d%02d%02d", item.periodStart.GetYear(), item.periodStart.GetMonth(),
                  item.periodStart.GetDay());
    return "statement-" + std::to_string(item.record.GetRuleId()) + "-customer-" + std::to_string(item.customer) +
           "-" + date;
}

Placeholders ValuesFor(const std::string& company, const DueItem& item) {
    Placeholders v;
    v["customer"] = item.to.name;
    v["company"] = company;
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

// The sets whose groups hold each invoice's customer (or a record above it),
// for the invoices held by more than one group: the engine then uses the
// rules of one group only, and the other sets' rules wait for another day.
void NameOverlappingSets(const std::vector<TxnReminderSet>& sets, std::vector<DueItem>& items) {
    std::map<long, std::vector<std::string>> setsByGroup;
    for (const auto& set : sets) {
        if (set.GetTxnType() != FormViewType_Invoice || set.GetReminderSetStatus() != TxnReminderSetStatus_Active ||
            set.GetReminderRules().empty()) {
            continue;
        }
        setsByGroup[set.GetTargetGroupId()].push_back("'" + set.GetReminderSetName().str() + "' (#" +
                                                      std::to_string(set.GetRuleSetId()) + ")");
    }
    if (setsByGroup.size() < 2) return;
    std::vector<std::pair<long, std::unordered_set<int>>> members;
    for (const auto& entry : setsByGroup) {
        std::unordered_set<int> ids;
        if (!Group::GetTargetRecNumsOfTheGroup(entry.first, ids).Succeeded()) {
            throw AppError("the members of customer group " + std::to_string(entry.first) + " cannot be read");
        }
        members.emplace_back(entry.first, std::move(ids));
    }
    std::vector<NameLink> links;
    if (!CName::GetNameLinks(links).Succeeded()) throw AppError("the customer list cannot be read");
    std::unordered_map<int, int> parentOf;
    for (const auto& l : links) parentOf[l.recNum] = l.parent;
    std::unordered_map<int, std::vector<std::string>> byCustomer;
    for (auto& item : items) {
        if (item.statement) continue;
        auto known = byCustomer.find(item.customer);
        if (known == byCustomer.end()) {
            std::vector<std::string> names;
            std::size_t groups = 0;
            for (const auto& [groupId, ids] : members) {
                bool holds = false;
                int guard = 0;
                for (int walk = item.customer; walk != 0 && !holds && guard < 1000; ++guard) {
                    holds = ids.count(walk) != 0;
                    auto up = parentOf.find(walk);
                    walk = up == parentOf.end() ? 0 : up->second;
                }
                if (!holds) continue;
                ++groups;
                const auto& setNames = setsByGroup[groupId];
                names.insert(names.end(), setNames.begin(), setNames.end());
            }
            if (groups < 2) names.clear();
            known = byCustomer.emplace(item.customer, std::move(names)).first;
        }
        item.overlappingSets = known->second;
    }
}

std::string Joined(const std::vector<std::string>& parts, const std::string& separator) {
    std::string out;
    for (const auto& p : parts) out += (out.empty() ? "" : separator) + p;
    return out;
}

// The invoices held by more than one set's group, by combination of sets.
std::string OverlapReport(const DueList& due) {
    std::map<std::vector<std::string>, std::vector<unsigned long>> combinations;
    for (const auto& item : due.items) {
        if (!item.overlappingSets.empty()) combinations[item.overlappingSets].push_back(item.invoice.number);
    }
    if (combinations.empty()) return std::string();
    std::ostringstream out;
    out << "Some invoices' customers sit in the groups of more than one reminder set; each invoice gets one "
           "reminder a day, by one set's rules. Put each customer in one set's group:\n";
    std::size_t lines = 0;
    for (const auto& [sets, invoices] : combinations) {
        if (++lines > 20) {
            out << "  ... and " << combinations.size() - 20 << " more combinations of sets (see due --json)\n";
            break;
        }
        std::vector<std::string> shown;
        for (std::size_t i = 0; i < invoices.size() && i < 10; ++i) shown.push_back(std::to_string(invoices[i]));
        out << "  " << Joined(sets, ", ") << ": " << invoices.size() << (invoices.size() == 1 ? " invoice (" : " invoices (")
            << Joined(shown, ", ") << (invoices.size() > shown.size() ? ", ..." : "") << ")\n";
    }
    return out.str();
}

void ProgressBar(std::size_t done, std::size_t total) {
    const int width = 30;
    const int filled = total ? static_cast<int>(done * width / total) : width;
    std::cerr << "\r[" << std::string(static_cast<std::size_t>(filled), '#')
              << std::string(static_cast<std::size_t>(width - filled), ' ') << "] " << done << "/" << total << std::flush;
    if (done == total) std::cerr << "\n";
}

// Several record writes that reach the company file together or not at all.
class UnitOfWork {
public:
    UnitOfWork() {
        DBMgr::IDBFileMgr* mgr = DBMgr::DBManager::GetActiveFileMgr();
        m_txn.reset(mgr ? mgr->CreateTransaction(0, 1) : nullptr);
        if (m_txn) m_txn->BeginWrite();
    }
    DBMgr::DMTransaction* Get() { return m_txn.get(); }
    bool Commit() { return m_txn && m_txn->Commit(); }

private:
    std::unique_ptr<DBMgr::DMTransaction> m_txn;  // rolls back unless committed
};

Json NullIfEmpty(const std::string& text) { return text.empty() ? Json(nullptr) : Json(text); }
} // namespace

DueList CollectDue(bool fastMode) {
    DueList due;
    std::vector<TxnSendableReminderContainer> records;
    std::size_t invoiceCount = 0;
    const DateType32 today = GetSystemDate();
    std::unordered_set<unsigned long> sentToday;
    if (!Host::Sendings::SentOn(FormViewType_Invoice, today, sentToday).Succeeded()) {
        throw AppError("the reminders sent today cannot be read");
    }
    if (TxnReminderEngine::HasSendReminderPermission(FormViewType_Invoice, 0)) {
        TxnReminderEngine engine(FormViewType_Invoice);
        TxnReminderStatusCode status = TxnReminderStatus_Reset;
        bool duplicate = false;
        // The first due reminder may be one left for tomorrow: then the
        // whole list is needed to find another.
        const bool stopAtFirst = fastMode && sentToday.empty();
        if (!engine.PrepareReminderListToSend(status, records, duplicate, stopAtFirst)) {
            throw AppError("the due invoice reminders cannot be determined: " + StatusText(status));
        }
        due.duplicateFound = duplicate;
        // At most one reminder a day for an invoice: what another set's
        // group would add the same day waits.
        const auto kept = std::remove_if(records.begin(), records.end(), [&](const TxnSendableReminderContainer& r) {
            return sentToday.count(r.GetTransactionId()) != 0;
        });
        due.sentToday = static_cast<std::size_t>(records.end() - kept);
        records.erase(kept, records.end());
        if (fastMode && records.size() > 1) records.resize(1);
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
    const std::vector<TxnReminderSet> sets = LoadAllSets();
    for (const auto& set : sets) {
        for (const auto& r : set.GetReminderRules()) invoiceRules[r.GetRuleId()] = r;
        for (const auto& r : set.GetStatementReminderRules()) statementRules[r.GetRuleId()] = r;
    }
    // A customer's name, address (and, through the name, balance) are read
    // once however many of its invoices are due.
    std::unordered_map<int, Addressee> addressees;
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
        auto known = addressees.find(item.customer);
        if (known == addressees.end()) known = addressees.emplace(item.customer, AddresseeOf(item.customer)).first;
        item.to = known->second;
        due.items.push_back(std::move(item));
    }
    if (!fastMode) NameOverlappingSets(sets, due.items);
    return due;
}

std::string DueItemKey(const DueItem& item) { return MessageStem(item); }

RenderedText RenderDue(const AppContext& ctx, const DueItem& item) {
    const Placeholders values = ValuesFor(CompanyName(ctx), item);
    return {Render(item.subject, values), Render(item.body, values)};
}

namespace {
// Who the messages come from: read once per send, not once per message.
struct Sender {
    std::string company, from, domain, key;
};

Sender LoadSender(const AppContext& ctx) {
    Sender s;
    s.company = CompanyName(ctx);
    s.from = CompanyPref("companyEmail", "billing@company.test");
    s.domain = s.from.substr(s.from.find('@') + 1);
    if (!Host::Sendings::CompanyKey(s.key).Succeeded()) {
        throw AppError("the company file's key cannot be read; nothing was sent");
    }
    return s;
}

MailMessage Compose(const Sender& sender, const DueItem& item, const Placeholders& values) {
    MailMessage m;
    m.fromName = sender.company;
    m.fromAddress = sender.from;
    m.toName = item.to.name;
    m.toAddress = item.to.email;
    m.subject = Render(item.subject, values);
    m.body = Render(item.body, values);
    m.messageId = MessageStem(item) + "." + sender.key + "@" + sender.domain;
    m.companyKey = sender.key;
    m.wallSeconds = GetMXSystemTime();
    return m;
}
} // namespace

MailMessage ComposeDue(const AppContext& ctx, const DueItem& item) {
    const Sender sender = LoadSender(ctx);
    return Compose(sender, item, ValuesFor(sender.company, item));
}

void ShowDue(const AppContext& ctx, bool fastMode) {
    const DueList due = CollectDue(fastMode);
    const std::string company = CompanyName(ctx);
    if (ctx.json) {
        // The record's fields as numbers, as the engine gives them; what a
        // kind of reminder does not have is null.
        Json out = Json::array();
        for (const DueItem& item : due.items) {
            Json o;
            o["txnType"] = static_cast<int>(item.record.GetTxnType());
            o["transactionId"] = item.record.GetTransactionId();
            o["customerId"] = item.record.GetCustomerId();
            o["ruleId"] = item.record.GetRuleId();
            o["templateId"] = item.record.GetTemplateId();
            o["invoice"] = item.statement ? Json(nullptr) : Json(item.invoice.number);
            o["customer"] = item.to.name;
            o["email"] = NullIfEmpty(item.to.email);
            o["dueDate"] = item.statement ? Json(nullptr) : Json(FormatIsoDate(item.invoice.dueDate));
            o["daysFromDue"] = item.statement ? Json(nullptr) : Json(item.daysFromDue);
            o["rule"] = item.ruleText;
            o["subject"] = Render(item.subject, ValuesFor(company, item));
            o["overlappingSets"] = item.overlappingSets;
            out.push_back(std::move(o));
        }
        std::cout << out.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
        return;
    }
    for (const auto& note : due.notes) std::cout << note << "\n";
    const std::string sentToday =
        due.sentToday ? std::to_string(due.sentToday) + (due.sentToday == 1 ? " invoice has" : " invoices have") +
                            " had a reminder today already; the next one waits for another day.\n"
                      : std::string();
    if (due.items.empty()) {
        std::cout << sentToday << "Nothing is due on " << FormatIsoDate(GetSystemDate()) << ".\n";
        return;
    }
    Table table({"invoice", "customer", "e-mail", "due date", "days", "rule", "subject"});
    for (const auto& item : due.items) {
        table.Add({item.statement ? "statement" : std::to_string(item.invoice.number), item.to.name,
                   item.to.email.empty() ? "no e-mail" : item.to.email,
                   item.statement ? "" : FormatIsoDate(item.invoice.dueDate),
                   item.statement ? "" : std::to_string(item.daysFromDue), item.ruleText,
                   Render(item.subject, ValuesFor(company, item))});
    }
    std::cout << table.Render();
    std::cout << due.items.size() << (due.items.size() == 1 ? " reminder" : " reminders") << " due on "
              << FormatIsoDate(GetSystemDate()) << (fastMode ? " (fast mode: stopped at the first)" : "") << ".\n";
    std::cout << sentToday;
    const std::string overlaps = OverlapReport(due);
    if (!overlaps.empty()) {
        std::cout << overlaps;
    } else if (due.duplicateFound) {
        std::cout << "Some invoices belong to more than one reminder group; each gets one reminder.\n";
    }
}

SendSummary SendDue(const AppContext& ctx, const SendOptions& options) {
    const std::string companyFile = Host::HostContext::Get().CompanyFilePath();
    const std::string resolved = SendLock::Resolve(companyFile);
    // Beside the file itself, whatever name it was reached by, so that an
    // interrupted send is finished through any of them.
    const std::string outbox = options.outbox.empty()
                                   ? resolved.substr(0, resolved.find_last_of('/') == 0 ? 1 : resolved.find_last_of('/')) +
                                         "/outbox"
                                   : options.outbox;
    // One sender at a time per company file, from selection to the last
    // record: a second one waits and then finds everything recorded.
    const SendLock lock(companyFile, SendLock::DefaultTimeout());
    // A file with a second name keeps a write-ahead log per name: this
    // program starts from what the last sender folded into the file and
    // folds its own writes in before it lets the next one go.
    const bool severalNames = SendLock::HasSeveralNames(companyFile);
    if (severalNames) ctx.Open();
    struct FoldOnExit {
        bool active;
        ~FoldOnExit() {
            // Unfolded writes stay safe in the log; a sender reaching the
            // file by this name reads them from there, and the next fold takes them.
            if (active) static_cast<void>(Host::Sendings::FoldLog());
        }
    } fold{severalNames};

    const DueList due = CollectDue(false);
    SendSummary summary;
    if (!options.dryRun && !due.items.empty() && !MakeDirectories(outbox)) {
        throw AppError("send: cannot create the outbox folder '" + outbox + "'");
    }
    if (!options.dryRun) RemoveStaleTemporaries(outbox);
    const RecordedKeys recorded = LoadRecorded();
    const Sender sender = LoadSender(ctx);
    std::string why;
    if (!IsPlausibleMailbox(sender.from, why)) {
        throw AppError("send: the company's address '" + sender.from + "' is not one e-mail address (" + why +
                       "); nothing was sent");
    }
    const std::string& company = sender.company;
    const std::string& companyKey = sender.key;
    const std::string tag = FileTag(companyFile);
    const DateType32 today = GetSystemDate();
    const bool text = !options.quiet && !ctx.json;
    const bool showProgress = !options.quiet && due.items.size() > 20 && ::isatty(STDERR_FILENO);
    TxnReminderEngine invoices(FormViewType_Invoice);
    TxnReminderEngine statements(FormViewType_Statement);
    Json messages = Json::array();
    Json skipped = Json::array();
    std::size_t done = 0;
    for (const auto& item : due.items) {
        ++done;
        if (showProgress) ProgressBar(done, due.items.size());
        if (!options.only.empty() &&
            std::find(options.only.begin(), options.only.end(), DueItemKey(item)) == options.only.end()) {
            continue;
        }
        if (item.to.email.empty() || !IsPlausibleMailbox(item.to.email, why)) {
            const bool none = item.to.email.empty();
            ++(none ? summary.skippedNoEmail : summary.skippedBadEmail);
            const std::string reason = none ? "no e-mail" : "e-mail address '" + item.to.email + "' not usable: " + why;
            if (text) std::cout << "skipped (" << reason << "): " << item.to.name << " - " << item.ruleText << "\n";
            skipped.push_back({{"customer", item.to.name}, {"customerId", item.customer}, {"reason", reason}});
            continue;
        }
        const std::string stem = MessageStem(item);
        const std::string name = stem + "." + tag + ".eml";
        const std::string path = outbox + "/" + name;
        const Placeholders values = ValuesFor(company, item);
        const std::string subject = Render(item.subject, values);
        Json entry = {{"kind", item.statement ? "statement" : "invoice"},
                      {"invoice", item.statement ? Json(nullptr) : Json(item.invoice.number)},
                      {"ruleId", item.record.GetRuleId()},
                      {"customer", item.to.name},
                      {"email", item.to.email},
                      {"subject", subject},
                      {"file", path}};
        if (options.dryRun) {
            if (text) std::cout << "would write " << path << " to " << item.to.email << ": " << subject << "\n";
            (item.statement ? summary.statements : summary.invoiceReminders)++;
            messages.push_back(std::move(entry));
            continue;
        }
        if (FileExists(path)) {
            // Written by a send that stopped before recording it, if it is
            // this company file's at all.
            if (CompanyKeyOf(ReadWholeFile(path)) != companyKey) {
                ++summary.failed;
                std::cerr << "send: " << path << " was written for another company file; " << item.to.name << " - "
                          << item.ruleText << " not sent\n";
                continue;
            }
            ++summary.alreadyWritten;
        } else {
            if (!WriteFileAtomically(outbox, name, BuildMessage(Compose(sender, item, values)))) {
                ++summary.failed;
                std::cerr << "send: could not write " << path << "\n";
                continue;
            }
        }
        bool saved = false;
        if (!item.statement) {
            // The history row and the day it went out, together.
            UnitOfWork work;
            saved = work.Get() &&
                    (recorded.Has(item) || invoices.SaveReminderExecutionHistory(item.record.GetTransactionId(),
                                                                                  item.record.GetRuleId(),
                                                                                  TxnReminderExecutionStatus_Sent)) &&
                    Host::Sendings::Record(FormViewType_Invoice, item.record.GetTransactionId(),
                                           item.record.GetRuleId(), today, work.Get())
                        .Succeeded() &&
                    work.Commit();
        } else {
            // A record made before: never a second row for the same reminder.
            saved = recorded.Has(item) ||
                    statements.AddStatementReminderExecutionStatus(item.record.GetRuleId(), item.customer,
                                                                   ReminderExecutionStatus_Sent);
        }
        if (!saved) {
            ++summary.failed;
            std::cerr << "send: " << path << " was written but could not be recorded; the next send records it\n";
            continue;
        }
        (item.statement ? summary.statements : summary.invoiceReminders)++;
        messages.push_back(std::move(entry));
    }
    if (ctx.json && !options.quiet) {
        Json out;
        out["dryRun"] = options.dryRun;
        out["outbox"] = outbox;
        out["invoiceReminders"] = summary.invoiceReminders;
        out["statements"] = summary.statements;
        out["alreadyWritten"] = summary.alreadyWritten;
        out["skippedNoEmail"] = summary.skippedNoEmail;
        out["skippedBadEmail"] = summary.skippedBadEmail;
        out["failed"] = summary.failed;
        out["sentTodayAlready"] = due.sentToday;
        out["notes"] = due.notes;
        out["messages"] = std::move(messages);
        out["skipped"] = std::move(skipped);
        std::cout << out.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
    } else if (text) {
        for (const auto& note : due.notes) std::cout << note << "\n";
        std::cout << (options.dryRun ? "would send " : "sent ") << summary.invoiceReminders << " invoice reminder"
                  << (summary.invoiceReminders == 1 ? "" : "s") << " and " << summary.statements << " statement"
                  << (summary.statements == 1 ? "" : "s") << (options.dryRun ? "" : " to " + outbox);
        if (summary.alreadyWritten) std::cout << " (" << summary.alreadyWritten << " found already written)";
        std::cout << "; " << summary.skippedNoEmail << " skipped for want of an e-mail address";
        if (summary.skippedBadEmail) std::cout << ", " << summary.skippedBadEmail << " for an unusable one";
        if (summary.failed) std::cout << "; " << summary.failed << " failed";
        std::cout << ".\n";
        if (due.sentToday) {
            std::cout << due.sentToday << (due.sentToday == 1 ? " invoice has" : " invoices have")
                      << " had a reminder today already; the next one waits for another day.\n";
        }
        std::cout << OverlapReport(due);
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
    using History = DMReminderExecutionHistory::IDBReminderExecutionHistory;
    if (History::BatchLoadByTxnView(4, before).Failed()) throw AppError("purge: the history could not be read");
    TxnReminderEngine engine(FormViewType_Invoice);
    if (!engine.PurgeOldReminderExecutionHistory()) throw AppError("purge: the old history could not be purged");
    if (History::BatchLoadByTxnView(4, after).Failed()) {
        throw AppError("purge: the old history was purged, but what is left could not be counted");
    }
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
