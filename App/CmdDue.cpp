#include "CmdDue.h"

#include <CLI/CLI.hpp>

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <future>
#include <iostream>
#include <iterator>
#include <list>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "CmdPrefs.h"
#include "CmdSets.h"
#include "Csv.h"
#include "Delivery.h"
#include "FileLock.h"
#include "Host/CompanyLocation.h"
#include "Host/HostContext.h"
#include "Message.h"
#include "Outbox.h"
#include "Prefs/PrefsTag.h"
#include "Records/BulkReads.h"
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
    std::string base = Host::IsServerLocation(ctx.file) ? Host::DatabaseNameOf(ctx.file) : BaseName(ctx.file);
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
    std::string tag = Host::IsServerLocation(companyFile) ? Host::DatabaseNameOf(companyFile)
                                                          : BaseName(SendLock::Resolve(companyFile));
    for (char& c : tag) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') c = '-';
    }
    return tag.empty() ? "company" : tag;
}

// One name per reminder and company file, so that a reminder already in the
// outbox is recognised after an interrupted send instead of being sent
// twice, and two company files sharing a folder never share a name.
std::string MessageStem(bool statement, unsigned long txnId, unsigned long ruleId, int customer,
                        const DateType32& periodStart) {
    if (!statement) return "invoice-" + std::to_string(txnId) + "-rule-" + std::to_string(ruleId);
    char date[16];
    std::snprintf(date, sizeof date, "%04d%02d%02d", periodStart.GetYear(), periodStart.GetMonth(),
                  periodStart.GetDay());
    return "statement-" + std::to_string(ruleId) + "-customer-" + std::to_string(customer) + "-" + date;
}

std::string MessageStem(const DueItem& item) {
    return MessageStem(item.statement, item.record.GetTransactionId(), item.record.GetRuleId(), item.customer,
                       item.periodStart);
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

// --- the due list as the listing and the send hold it -------------------------------
//
// A day's list can hold a million reminders. Each keeps its own numbers; its
// texts (customer, rule, templates, overlapping sets) are held once and
// shared by index, and templates are split at their placeholders once.

enum class Key : std::uint8_t { Customer, Company, Invoice, Amount, DueDate, DaysOverdue, StatementFrom, StatementTo, None };
const char* const kKeyNames[] = {"customer", "company",      "invoice",        "amount",
                                 "due_date", "days_overdue", "statement_from", "statement_to"};

// A template split at its placeholders. Filling it gives what Render gives
// with the same values: an unknown or absent key stays as written.
struct CompiledText {
    struct Piece {
        std::string literal;  // text before the placeholder
        Key key = Key::None;
        std::string raw;      // the placeholder as written
    };
    std::vector<Piece> pieces;
    std::string tail;
};

CompiledText Compile(const std::string& text) {
    CompiledText out;
    std::string literal;
    ScanPlaceholders(
        text, [&](const char* s, std::size_t n) { literal.append(s, n); },
        [&](const std::string& key, const std::string& raw) {
            Key known = Key::None;
            for (std::size_t k = 0; k < std::size(kKeyNames); ++k) {
                if (key == kKeyNames[k]) known = static_cast<Key>(k);
            }
            if (known == Key::None) {
                literal += raw;
            } else {
                out.pieces.push_back({std::move(literal), known, raw});
                literal.clear();
            }
        });
    out.tail = std::move(literal);
    return out;
}

struct RuleTexts {
    std::string ruleText, subject, body;  // templates as written
    CompiledText subjectParts, bodyParts;
};

struct StatementPeriod {
    DateType32 statementDate, from, to;
};

struct DueRow {
    TxnSendableReminderContainer record;
    std::int64_t amount = 0;  // hundredths: the invoice's, or the statement customer's open balance
    DateType32 invoiceDate, dueDate;
    std::int32_t customer = 0;
    std::uint32_t to = 0;       // addressees
    std::uint32_t texts = 0;    // texts
    std::uint32_t period = 0;   // periods (statements)
    std::uint32_t overlap = 0;  // overlaps (invoices)
    std::int32_t daysFromDue = 0;
    bool statement = false;
    bool invoiceFound = false;
    bool paid = false;
};

struct DueTable {
    std::vector<DueRow> rows;
    std::vector<Addressee> addressees{Addressee()};
    std::vector<RuleTexts> texts{RuleTexts()};
    std::vector<StatementPeriod> periods{StatementPeriod()};
    std::vector<std::vector<std::string>> overlaps{{}};
    bool duplicateFound = false;
    std::size_t sentToday = 0;
    std::vector<std::string> notes;

    unsigned long InvoiceNumber(const DueRow& r) const { return r.invoiceFound ? r.record.GetTransactionId() : 0; }
    const Addressee& To(const DueRow& r) const { return addressees[r.to]; }
    const RuleTexts& Texts(const DueRow& r) const { return texts[r.texts]; }
    const StatementPeriod& Period(const DueRow& r) const { return periods[r.period]; }
    std::string Stem(const DueRow& r) const {
        return MessageStem(r.statement, r.record.GetTransactionId(), r.record.GetRuleId(), r.customer,
                           Period(r).statementDate);
    }
};

// Appends the value of `key` for a row; false when that kind of reminder has none.
bool AppendValue(const DueTable& table, const DueRow& row, const std::string& company, Key key, std::string& out) {
    switch (key) {
    case Key::Customer:
        out += table.To(row).name;
        return true;
    case Key::Company:
        out += company;
        return true;
    case Key::Amount:
        out += FormatAmount(Bal2Double(Bal{row.amount}));
        return true;
    default:
        break;
    }
    if (!row.statement) {
        switch (key) {
        case Key::Invoice:
            out += std::to_string(table.InvoiceNumber(row));
            return true;
        case Key::DueDate:
            out += FormatIsoDate(row.dueDate);
            return true;
        case Key::DaysOverdue:
            out += std::to_string(row.daysFromDue > 0 ? row.daysFromDue : 0);
            return true;
        default:
            return false;
        }
    }
    switch (key) {
    case Key::StatementFrom:
        out += FormatIsoDate(table.Period(row).from);
        return true;
    case Key::StatementTo:
        out += FormatIsoDate(table.Period(row).to);
        return true;
    default:
        return false;
    }
}

void Fill(const CompiledText& text, const DueTable& table, const DueRow& row, const std::string& company,
          std::string& out) {
    out.clear();
    for (const auto& piece : text.pieces) {
        out += piece.literal;
        if (!AppendValue(table, row, company, piece.key, out)) out += piece.raw;
    }
    out += text.tail;
}

DueItem ItemOf(const DueTable& table, const DueRow& row) {
    DueItem item;
    item.record = row.record;
    item.statement = row.statement;
    item.customer = row.customer;
    if (!row.statement && row.invoiceFound) {
        item.invoice.number = row.record.GetTransactionId();
        item.invoice.customer = row.customer;
        item.invoice.date = row.invoiceDate;
        item.invoice.dueDate = row.dueDate;
        item.invoice.amount = Bal2Double(Bal{row.amount});
        item.invoice.paid = row.paid;
    }
    item.to = table.To(row);
    const RuleTexts& texts = table.Texts(row);
    item.ruleText = texts.ruleText;
    item.subject = texts.subject;
    item.body = texts.body;
    item.daysFromDue = row.daysFromDue;
    if (row.statement) {
        const StatementPeriod& p = table.Period(row);
        item.periodStart = p.statementDate;
        item.rangeFrom = p.from;
        item.rangeTo = p.to;
    }
    item.overlappingSets = table.overlaps[row.overlap];
    return item;
}

// What is recorded as sent already. The selection leaves these out, so a hit
// here means a record that the selection did not see (made by a sender that
// did not hold the lock, or a status the selection reads differently); the
// send then writes no second row.
struct RecordedKeys {
    std::vector<std::pair<unsigned long, unsigned long>> invoices;  // (invoice, rule), sorted
    std::vector<std::pair<unsigned long, long>> statements;         // (rule, customer), sorted

    bool Has(const DueRow& row) const {
        if (!row.statement) {
            return std::binary_search(invoices.begin(), invoices.end(),
                                      std::make_pair(row.record.GetTransactionId(), row.record.GetRuleId()));
        }
        return std::binary_search(statements.begin(), statements.end(),
                                  std::make_pair(row.record.GetRuleId(), static_cast<long>(row.customer)));
    }
};

RecordedKeys LoadRecorded() {
    RecordedKeys keys;
    {
        std::vector<DMReminderExecutionHistory::DBReminderExecutionHistory> rows;
        if (!DMReminderExecutionHistory::IDBReminderExecutionHistory::BatchLoadByTxnView(FormViewType_Invoice, rows)
                 .Succeeded()) {
            throw AppError("send: the reminder history cannot be read; nothing was sent");
        }
        for (const auto& r : rows) {
            if (r.Status == TxnReminderExecutionStatus_Sent || r.Status == TxnReminderExecutionStatus_SentManually) {
                keys.invoices.emplace_back(r.TransactionId, static_cast<unsigned long>(r.RuleId));
            }
        }
    }
    for (auto set : LoadAllSets()) {
        for (auto& rule : set.GetStatementReminderRules()) {
            std::vector<int> customers;
            if (!DMStmtReminderExecutionStatus::IDBStmtReminderExecutionStatus::BatchLoadByRuleIdAndStatus(
                     static_cast<long>(rule.GetRuleId()), ReminderExecutionStatus_Sent, customers)
                     .Succeeded()) {
                throw AppError("send: the statement status cannot be read; nothing was sent");
            }
            for (int c : customers) keys.statements.emplace_back(rule.GetRuleId(), c);
        }
    }
    std::sort(keys.invoices.begin(), keys.invoices.end());
    std::sort(keys.statements.begin(), keys.statements.end());
    return keys;
}

// Which groups of active invoice sets hold each name: its own memberships,
// then those of every name above it. Read once; a forecast keeps it from
// one day to the next.
struct OverlapIndex {
    std::map<long, std::vector<std::string>> setsByGroup;
    std::vector<long> groupIds;
    std::vector<NameLink> links;  // ascending record number
    int maxId = 0;
    bool bits = true;  // one bit per group; more groups than bits take the slower walk
    std::vector<std::uint64_t> own;
    std::vector<std::vector<int>> members;  // only when there are more groups than bits

    static OverlapIndex Read(const std::vector<TxnReminderSet>& sets) {
        OverlapIndex x;
        for (const auto& set : sets) {
            if (set.GetTxnType() != FormViewType_Invoice ||
                set.GetReminderSetStatus() != TxnReminderSetStatus_Active || set.GetReminderRules().empty()) {
                continue;
            }
            x.setsByGroup[set.GetTargetGroupId()].push_back("'" + set.GetReminderSetName().str() + "' (#" +
                                                            std::to_string(set.GetRuleSetId()) + ")");
        }
        if (x.setsByGroup.size() < 2) return x;
        if (!CName::GetNameLinks(x.links).Succeeded()) throw AppError("the customer list cannot be read");
        x.maxId = x.links.empty() ? 0 : x.links.back().recNum;
        for (const auto& entry : x.setsByGroup) x.groupIds.push_back(entry.first);
        x.bits = x.groupIds.size() <= 64;
        if (x.bits) x.own.assign(static_cast<std::size_t>(x.maxId) + 1, 0);
        for (std::size_t g = 0; g < x.groupIds.size(); ++g) {
            std::vector<int> ids;
            if (!Group::GetTargetRecNumList(x.groupIds[g], ids).Succeeded()) {
                throw AppError("the members of customer group " + std::to_string(x.groupIds[g]) + " cannot be read");
            }
            if (x.bits) {
                for (int id : ids) {
                    if (id > 0 && id <= x.maxId) x.own[static_cast<std::size_t>(id)] |= std::uint64_t{1} << g;
                }
            } else {
                std::sort(ids.begin(), ids.end());
                ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
                x.members.push_back(std::move(ids));
            }
        }
        return x;
    }

    int ParentOf(int recNum) const {
        auto it = std::lower_bound(links.begin(), links.end(), recNum,
                                   [](const NameLink& l, int v) { return l.recNum < v; });
        return it != links.end() && it->recNum == recNum ? it->parent : 0;
    }

    // The groups holding `customer` or a name above it, one bit each; only
    // with `bits`.
    std::uint64_t MaskOf(int customer) const {
        std::uint64_t mask = 0;
        int guard = 0;
        for (int walk = customer; walk != 0 && guard < 1000; ++guard, walk = ParentOf(walk)) {
            mask |= walk > 0 && walk <= maxId ? own[static_cast<std::size_t>(walk)] : 0;
        }
        return mask;
    }

    // The same, one flag per group; only without `bits`.
    void GroupsOf(int customer, std::vector<bool>& holds) const {
        holds.assign(groupIds.size(), false);
        for (std::size_t g = 0; g < groupIds.size(); ++g) {
            int guard = 0;
            for (int walk = customer; walk != 0 && !holds[g] && guard < 1000; ++guard) {
                holds[g] = std::binary_search(members[g].begin(), members[g].end(), walk);
                walk = ParentOf(walk);
            }
        }
    }
};

// The sets whose groups hold each invoice's customer (or a record above it),
// for the invoices held by more than one group: the engine then uses the
// rules of one group only, and the other sets' rules wait for another day.
void NameOverlappingSets(const OverlapIndex& index, DueTable& table) {
    if (index.setsByGroup.size() < 2) return;
    // Each combination of groups once: its sets' names, by the combination as
    // bits (up to 64 groups) or as flags.
    std::unordered_map<std::uint64_t, std::uint32_t> knownMasks;
    std::unordered_map<std::vector<bool>, std::uint32_t> knownFlags;
    std::vector<bool> holds;
    const auto combination = [&](auto& known, const auto& key, std::size_t held, auto holdsGroup) -> std::uint32_t {
        if (held < 2) return 0;
        auto k = known.find(key);
        if (k == known.end()) {
            std::vector<std::string> names;
            for (std::size_t g = 0; g < index.groupIds.size(); ++g) {
                if (!holdsGroup(g)) continue;
                const auto& setNames = index.setsByGroup.at(index.groupIds[g]);
                names.insert(names.end(), setNames.begin(), setNames.end());
            }
            table.overlaps.push_back(std::move(names));
            k = known.emplace(key, static_cast<std::uint32_t>(table.overlaps.size() - 1)).first;
        }
        return k->second;
    };
    // Per customer, its combination's index plus one once worked out: a
    // customer has many invoices, and a hash lookup per row cost as much as
    // working out the combinations.
    std::vector<std::uint32_t> listed(static_cast<std::size_t>(index.maxId) + 1, 0);
    std::unordered_map<int, std::uint32_t> unlisted;
    for (auto& row : table.rows) {
        if (row.statement) continue;
        std::uint32_t& found = row.customer > 0 && row.customer <= index.maxId
                                   ? listed[static_cast<std::size_t>(row.customer)]
                                   : unlisted[row.customer];
        if (found == 0) {
            std::uint32_t at = 0;
            if (index.bits) {
                const std::uint64_t mask = index.MaskOf(row.customer);
                at = combination(knownMasks, mask, static_cast<std::size_t>(__builtin_popcountll(mask)),
                                 [mask](std::size_t g) { return (mask >> g & 1u) != 0; });
            } else {
                index.GroupsOf(row.customer, holds);
                at = combination(knownFlags, holds, static_cast<std::size_t>(std::count(holds.begin(), holds.end(), true)),
                                 [&holds](std::size_t g) { return holds[g]; });
            }
            found = at + 1;
        }
        row.overlap = found - 1;
    }
}

// Names and addresses of the customers the rows go to: a few looked up one
// by one, many in one read of the list. Those in `known` are not read again;
// unless it is `kept` for another day, its entries are moved into the table.
void AddAddressees(DueTable& table, std::unordered_map<int, Addressee>& known, bool kept) {
    // The distinct customers, ascending: marked in an array by record number
    // when the numbers are compact, as they are in a company of any size;
    // sorted out of the rows otherwise.
    int maxCustomer = 0;
    bool compact = true;
    for (const auto& row : table.rows) {
        compact = compact && row.customer >= 0;
        maxCustomer = std::max(maxCustomer, row.customer);
    }
    compact = compact && static_cast<std::size_t>(maxCustomer) <= 4 * table.rows.size() + 1024;
    std::vector<int> customers, missing;
    std::vector<std::uint32_t> slot;
    if (compact) {
        slot.assign(static_cast<std::size_t>(maxCustomer) + 1, 0);
        for (const auto& row : table.rows) slot[static_cast<std::size_t>(row.customer)] = 1;
        for (int c = 1; c <= maxCustomer; ++c) {
            if (slot[static_cast<std::size_t>(c)]) customers.push_back(c);
        }
    } else {
        for (const auto& row : table.rows) {
            if (row.customer != 0) customers.push_back(row.customer);
        }
        std::sort(customers.begin(), customers.end());
        customers.erase(std::unique(customers.begin(), customers.end()), customers.end());
    }
    for (int c : customers) {
        if (known.count(c) == 0) missing.push_back(c);
    }
    for (auto& [customer, addressee] : AddresseesOf(std::move(missing))) known[customer] = std::move(addressee);
    const auto base = static_cast<std::uint32_t>(table.addressees.size());
    for (std::size_t i = 0; i < customers.size(); ++i) {
        const int c = customers[i];
        table.addressees.push_back(kept ? known[c] : std::move(known[c]));
        if (compact) slot[static_cast<std::size_t>(c)] = base + static_cast<std::uint32_t>(i);
    }
    for (auto& row : table.rows) {
        if (row.customer == 0) continue;
        if (compact) {
            row.to = slot[static_cast<std::size_t>(row.customer)];
            continue;
        }
        const auto at = std::lower_bound(customers.begin(), customers.end(), row.customer) - customers.begin();
        row.to = base + static_cast<std::uint32_t>(at);
    }
}

// The customers whose open balance a statement shows and `known` lacks, ascending.
std::vector<int> BalancesMissing(const DueTable& table, const std::unordered_map<int, std::int64_t>& known) {
    std::vector<int> missing;
    for (const auto& row : table.rows) {
        if (row.statement && row.record.GetRuleId() != 0 && known.count(row.customer) == 0) {
            missing.push_back(row.customer);
        }
    }
    std::sort(missing.begin(), missing.end());
    missing.erase(std::unique(missing.begin(), missing.end()), missing.end());
    return missing;
}

// The open balance each statement shows, read once per customer: from
// `open` when the invoice read summed it, else by a read of its own. Those in
// `known` are not read again.
void AddStatementBalances(DueTable& table, std::unordered_map<int, std::int64_t>& known,
                          const Host::OpenAmounts* open) {
    const std::vector<int> missing = BalancesMissing(table, known);
    if (missing.size() < kReadInBulk) {
        for (int c : missing) known[c] = Double2Bal(OpenBalance(c)).hundredths;
    } else {
        std::vector<Bal> balances(missing.size());
        const Util::Status read =
            open ? Host::OpenBalancesOf(*open, missing, balances) : Host::LoadOpenBalances(missing, balances);
        if (!read.Succeeded()) throw AppError("the customers' open balances cannot be read");
        for (std::size_t i = 0; i < missing.size(); ++i) known[missing[i]] = balances[i].hundredths;
    }
    for (auto& row : table.rows) {
        if (row.statement && row.record.GetRuleId() != 0) row.amount = known[row.customer];
    }
}

} // namespace

// What a listing reads besides the selection and the due invoices.
struct ListingReads::Impl {
    std::optional<OverlapIndex> overlaps;
    std::unordered_map<int, Addressee> addressees;
    std::unordered_map<int, std::int64_t> balances;
};
ListingReads::ListingReads() : m_impl(new Impl) {}
ListingReads::~ListingReads() = default;

namespace {
// Asks the engines what is due today (invoice reminders, then statements)
// and reads what showing or sending each needs, one read per kind of record;
// what `keep` holds from an earlier day is not read again.
DueTable CollectTable(bool fastMode, ListingReads* keep = nullptr) {
    DueTable due;
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
    sentToday = std::unordered_set<unsigned long>();
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
    std::map<unsigned long, std::uint32_t> periodOfRule;
    if (records.size() > invoiceCount && !fastMode) {
        TxnReminderEngine engine(FormViewType_Statement);
        TxnReminderStatusCode status = TxnReminderStatus_Reset;
        std::list<std::pair<StmtEditTag*, TargetGroupRule>> requests;
        const bool ok = engine.GetStmtData(status, requests);
        for (auto& [handle, rule] : requests) {
            if (handle) {
                auto at = periodOfRule.find(rule.GetRuleId());
                if (at == periodOfRule.end()) {
                    due.periods.push_back({});
                    at = periodOfRule.emplace(rule.GetRuleId(), static_cast<std::uint32_t>(due.periods.size() - 1)).first;
                }
                due.periods[at->second] = {handle->m_statementDate, handle->m_fromDate, handle->m_toDate};
            }
            StmtEditTag::Free(handle);
        }
        if (!ok) throw AppError("the due statements cannot be prepared: " + StatusText(status));
    }

    // Rules and templates by id, read after the selection (it moves statement periods).
    std::map<unsigned long, const TxnReminderRule*> invoiceRules;
    std::map<unsigned long, const StatementReminderRule*> statementRules;
    const std::vector<TxnReminderSet> sets = LoadAllSets();
    for (const auto& set : sets) {
        for (const auto& r : set.GetReminderRules()) invoiceRules[r.GetRuleId()] = &r;
        for (const auto& r : set.GetStatementReminderRules()) statementRules[r.GetRuleId()] = &r;
    }
    // Each rule's texts once, however many of its reminders are due.
    std::map<std::pair<unsigned long, long>, std::uint32_t> invoiceTexts, statementTexts;
    auto addTexts = [&](RuleTexts texts) {
        texts.subjectParts = Compile(texts.subject);
        texts.bodyParts = Compile(texts.body);
        due.texts.push_back(std::move(texts));
        return static_cast<std::uint32_t>(due.texts.size() - 1);
    };
    TxnReminderEngine templates(FormViewType_Invoice);
    std::uint32_t someStatementDue = 0;

    due.rows.reserve(records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
        DueRow row;
        row.record = records[i];
        row.statement = i >= invoiceCount;
        const unsigned long ruleId = row.record.GetRuleId();
        if (fastMode && row.statement && ruleId == 0) {
            // Fast mode only says that some statement is due.
            if (!someStatementDue) {
                RuleTexts texts;
                texts.ruleText = "(a statement is due)";
                someStatementDue = addTexts(std::move(texts));
            }
            row.texts = someStatementDue;
            due.rows.push_back(row);
            continue;
        }
        if (!row.statement) {
            auto& index = invoiceTexts[{ruleId, 0}];
            if (!index) {
                RuleTexts texts;
                auto rule = invoiceRules.find(ruleId);
                if (rule != invoiceRules.end()) {
                    texts.ruleText = DescribeRule(*rule->second);
                    TxnReminderRuleTemplate t = rule->second->GetRuleTemplate();
                    texts.subject = t.GetTemplateSubject().str();
                    texts.body = t.GetTemplateBody().str();
                }
                index = addTexts(std::move(texts));
            }
            row.texts = index;
        } else {
            row.customer = row.record.GetCustomerId();
            auto& index = statementTexts[{ruleId, row.record.GetTemplateId()}];
            if (!index) {
                RuleTexts texts;
                auto rule = statementRules.find(ruleId);
                if (rule != statementRules.end()) texts.ruleText = DescribeRule(*rule->second);
                TxnReminderRuleTemplate t;
                if (row.record.GetTemplateId() > 0 && templates.GetReminderRuleTemplate(t, row.record.GetTemplateId())) {
                    texts.subject = t.GetTemplateSubject().str();
                    texts.body = t.GetTemplateBody().str();
                }
                if (texts.subject.empty()) texts.subject = "Your account statement from {{company}}";
                if (texts.body.empty()) {
                    texts.body = "Dear {{customer}},\n\nYour open balance with us is {{amount}}.\n\n{{company}}\n";
                }
                index = addTexts(std::move(texts));
            }
            row.texts = index;
            auto period = periodOfRule.find(ruleId);
            if (period != periodOfRule.end()) row.period = period->second;
        }
        due.rows.push_back(row);
    }
    records = std::vector<TxnSendableReminderContainer>();

    ListingReads once;
    ListingReads::Impl& reads = *(keep ? keep : &once)->m_impl;
    // The invoices, in one pass over their range of the table; the
    // statements' balances are summed in the same pass when many are due.
    std::optional<Host::OpenAmounts> open;
    if (BalancesMissing(due, reads.balances).size() >= kReadInBulk) open.emplace();
    std::vector<std::uint32_t> byInvoice;
    byInvoice.reserve(invoiceCount);
    for (std::uint32_t i = 0; i < invoiceCount; ++i) byInvoice.push_back(i);
    std::sort(byInvoice.begin(), byInvoice.end(), [&](std::uint32_t a, std::uint32_t b) {
        return due.rows[a].record.GetTransactionId() < due.rows[b].record.GetTransactionId();
    });
    {
        std::vector<unsigned long> ids;
        ids.reserve(byInvoice.size());
        for (std::uint32_t i : byInvoice) ids.push_back(due.rows[i].record.GetTransactionId());
        std::size_t at = 0;
        const Util::Status read = Host::ReadInvoices(ids, [&](const Host::InvoiceRead& inv) {
            while (at < byInvoice.size() && due.rows[byInvoice[at]].record.GetTransactionId() < inv.id) ++at;
            for (; at < byInvoice.size() && due.rows[byInvoice[at]].record.GetTransactionId() == inv.id; ++at) {
                DueRow& row = due.rows[byInvoice[at]];
                row.invoiceFound = true;
                row.customer = inv.customer;
                row.invoiceDate = inv.txnDate;
                row.dueDate = inv.dueDate;
                row.amount = inv.amount.hundredths;
                row.paid = inv.paid;
            }
        }, open ? &*open : nullptr);
        if (!read.Succeeded()) throw AppError("the due invoices cannot be read");
    }
    byInvoice = std::vector<std::uint32_t>();
    for (std::size_t i = 0; i < invoiceCount; ++i) {
        DueRow& row = due.rows[i];
        row.daysFromDue = static_cast<std::int32_t>(DateMinusDate(today, row.dueDate));
    }
    AddAddressees(due, reads.addressees, keep != nullptr);
    AddStatementBalances(due, reads.balances, open ? &*open : nullptr);
    if (!fastMode) {
        if (!reads.overlaps) reads.overlaps = OverlapIndex::Read(sets);
        NameOverlappingSets(*reads.overlaps, due);
    }
    return due;
}

// The invoices held by more than one set's group, by combination of sets.
std::string OverlapReport(const DueTable& due) {
    std::map<std::uint32_t, std::vector<unsigned long>> combinations;
    for (const auto& row : due.rows) {
        if (row.overlap != 0) combinations[row.overlap].push_back(due.InvoiceNumber(row));
    }
    if (combinations.empty()) return std::string();
    // In the order of the sets' names, as a listing of them reads.
    std::map<std::vector<std::string>, const std::vector<unsigned long>*> ordered;
    for (const auto& [index, invoices] : combinations) ordered.emplace(due.overlaps[index], &invoices);
    std::ostringstream out;
    out << "Some invoices' customers sit in the groups of more than one reminder set; each invoice gets one "
           "reminder a day, by one set's rules. Put each customer in one set's group:\n";
    std::size_t lines = 0;
    for (const auto& [sets, invoicesOf] : ordered) {
        const auto& invoices = *invoicesOf;
        if (++lines > 20) {
            out << "  ... and " << ordered.size() - 20 << " more combinations of sets (see due --json)\n";
            break;
        }
        std::string shown, setNames;
        for (std::size_t i = 0; i < invoices.size() && i < 10; ++i) shown += (i ? ", " : "") + std::to_string(invoices[i]);
        for (const auto& s : sets) setNames += (setNames.empty() ? "" : ", ") + s;
        out << "  " << setNames << ": " << invoices.size() << (invoices.size() == 1 ? " invoice (" : " invoices (")
            << shown << (invoices.size() > 10 ? ", ..." : "") << ")\n";
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

// True when the JSON writer quotes `text` as it is: printable ASCII without
// quotes or backslashes.
bool PlainJsonText(const std::string& text) {
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x80 || c == '"' || c == '\\') return false;
    }
    return true;
}

// A JSON string as the JSON writer spells it; plain text is quoted as it is.
void AppendJsonString(const std::string& text, std::string& out) {
    if (!PlainJsonText(text)) {
        out += Json(text).dump(-1, ' ', false, Json::error_handler_t::replace);
        return;
    }
    out += '"';
    out += text;
    out += '"';
}

// One due reminder as `due --json` prints it inside its array: the record's
// fields as numbers, as the engine gives them; what a kind of reminder does
// not have is null. A rule's text, a customer's name and address and a
// combination of overlapping sets are shared by many reminders: each is
// quoted once (or, for the many customers, looked at once) and copied after
// that. Each reminder is then written into room made for it at once: a few
// dozen small appends to the string cost more than the listing's reads.
class DueJsonWriter {
public:
    explicit DueJsonWriter(const DueTable& due)
        : m_due(due), m_rules(due.texts.size()), m_plain(due.addressees.size(), 0), m_overlaps(due.overlaps.size()) {}

    void Append(const DueRow& row, const std::string& subject, std::string& out) {
        const Addressee& to = m_due.addressees[row.to];
        const std::uint8_t plain = Plainness(row.to);
        m_name.clear();
        m_email.clear();
        if (!(plain & kPlainName)) AppendJsonString(to.name, m_name);
        if (!to.email.empty() && !(plain & kPlainEmail)) AppendJsonString(to.email, m_email);
        const std::string& rule =
            Once(m_rules[row.texts], [&](std::string& text) { AppendJsonString(m_due.texts[row.texts].ruleText, text); });
        const std::string& overlaps =
            Once(m_overlaps[row.overlap], [&](std::string& text) { OverlapsJson(m_due.overlaps[row.overlap], text); });
        m_subject.clear();
        AppendJsonString(subject, m_subject);

        // Field names and punctuation are under 300 bytes, each number under 21.
        const std::size_t before = out.size();
        out.resize(before + 512 + to.name.size() + m_name.size() + to.email.size() + m_email.size() + rule.size() +
                   overlaps.size() + m_subject.size());
        char* p = &out[before];
        p = Put(p, "  {\n    \"txnType\": ");
        p = Number(p, static_cast<int>(row.record.GetTxnType()));
        p = Put(p, ",\n    \"transactionId\": ");
        p = Number(p, static_cast<long long>(row.record.GetTransactionId()));
        p = Put(p, ",\n    \"customerId\": ");
        p = Number(p, row.record.GetCustomerId());
        p = Put(p, ",\n    \"ruleId\": ");
        p = Number(p, static_cast<long long>(row.record.GetRuleId()));
        p = Put(p, ",\n    \"templateId\": ");
        p = Number(p, row.record.GetTemplateId());
        p = Put(p, ",\n    \"invoice\": ");
        p = row.statement ? Put(p, "null") : Number(p, static_cast<long long>(m_due.InvoiceNumber(row)));
        p = Put(p, ",\n    \"customer\": ");
        p = plain & kPlainName ? Quote(p, to.name) : Put(p, m_name);
        p = Put(p, ",\n    \"email\": ");
        p = to.email.empty() ? Put(p, "null") : plain & kPlainEmail ? Quote(p, to.email) : Put(p, m_email);
        p = Put(p, ",\n    \"dueDate\": ");
        p = row.statement ? Put(p, "null") : Quote(p, FormatIsoDate(row.dueDate));  // digits and dashes
        p = Put(p, ",\n    \"daysFromDue\": ");
        p = row.statement ? Put(p, "null") : Number(p, row.daysFromDue);
        p = Put(p, ",\n    \"rule\": ");
        p = Put(p, rule);
        p = Put(p, ",\n    \"subject\": ");
        p = Put(p, m_subject);
        p = Put(p, ",\n    \"overlappingSets\": ");
        p = Put(p, overlaps);
        p = Put(p, "\n  }");
        out.resize(static_cast<std::size_t>(p - out.data()));
    }

private:
    // A quoted JSON value is never empty, so empty means not made yet.
    template <class Make>
    static const std::string& Once(std::string& cached, Make make) {
        if (cached.empty()) make(cached);
        return cached;
    }

    // Whether an addressee's name and address can be quoted as they are,
    // worked out on its first reminder.
    static constexpr std::uint8_t kLookedAt = 1, kPlainName = 2, kPlainEmail = 4;
    std::uint8_t Plainness(std::uint32_t at) {
        std::uint8_t& plain = m_plain[at];
        if (!plain) {
            const Addressee& to = m_due.addressees[at];
            plain = kLookedAt | (PlainJsonText(to.name) ? kPlainName : 0) | (PlainJsonText(to.email) ? kPlainEmail : 0);
        }
        return plain;
    }

    static void OverlapsJson(const std::vector<std::string>& sets, std::string& out) {
        if (sets.empty()) {
            out += "[]";
            return;
        }
        out += '[';
        for (std::size_t i = 0; i < sets.size(); ++i) {
            out += i ? ",\n      " : "\n      ";
            AppendJsonString(sets[i], out);
        }
        out += "\n    ]";
    }

    template <std::size_t N>
    static char* Put(char* p, const char (&text)[N]) {
        std::memcpy(p, text, N - 1);
        return p + N - 1;
    }
    static char* Put(char* p, const std::string& text) {
        std::memcpy(p, text.data(), text.size());
        return p + text.size();
    }
    static char* Quote(char* p, const std::string& text) {
        *p++ = '"';
        p = Put(p, text);
        *p++ = '"';
        return p;
    }
    static char* Number(char* p, long long value) { return std::to_chars(p, p + 20, value).ptr; }

    const DueTable& m_due;
    std::string m_subject, m_name, m_email;  // quoted where plain text would not do
    std::vector<std::string> m_rules;       // per rule texts
    std::vector<std::uint8_t> m_plain;      // per addressee
    std::vector<std::string> m_overlaps;  // per combination of sets
};
} // namespace

DueList CollectDue(bool fastMode) {
    DueTable table = CollectTable(fastMode);
    DueList due;
    due.duplicateFound = table.duplicateFound;
    due.sentToday = table.sentToday;
    due.notes = std::move(table.notes);
    due.items.reserve(table.rows.size());
    for (const auto& row : table.rows) due.items.push_back(ItemOf(table, row));
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

MailMessage Compose(const Sender& sender, const DueTable& due, const DueRow& row, long long wallSeconds) {
    MailMessage m;
    m.fromName = sender.company;
    m.fromAddress = sender.from;
    m.toName = due.To(row).name;
    m.toAddress = due.To(row).email;
    Fill(due.Texts(row).subjectParts, due, row, sender.company, m.subject);
    Fill(due.Texts(row).bodyParts, due, row, sender.company, m.body);
    m.messageId = due.Stem(row) + "." + sender.key + "@" + sender.domain;
    m.companyKey = sender.key;
    m.wallSeconds = wallSeconds;
    return m;
}
} // namespace

MailMessage ComposeDue(const AppContext& ctx, const DueItem& item) {
    const Sender sender = LoadSender(ctx);
    return Compose(sender, item, ValuesFor(sender.company, item));
}

void ShowDue(const AppContext& ctx, bool fastMode) {
    const DueTable due = CollectTable(fastMode);
    const std::string company = CompanyName(ctx);
    std::string subject;
    if (ctx.json) {
        // Printed as it is made, a piece at a time: the whole list as one
        // document would take several times the memory of the list itself.
        if (due.rows.empty()) {
            std::cout << "[]\n";
            return;
        }
        std::string out = "[\n";
        DueJsonWriter json(due);
        for (std::size_t i = 0; i < due.rows.size(); ++i) {
            const DueRow& row = due.rows[i];
            Fill(due.Texts(row).subjectParts, due, row, company, subject);
            json.Append(row, subject, out);
            out += i + 1 < due.rows.size() ? ",\n" : "\n]\n";
            FlushLarge(out, std::cout);
        }
        std::cout.write(out.data(), static_cast<std::streamsize>(out.size()));
        return;
    }
    for (const auto& note : due.notes) std::cout << note << "\n";
    const std::string sentToday =
        due.sentToday ? std::to_string(due.sentToday) + (due.sentToday == 1 ? " invoice has" : " invoices have") +
                            " had a reminder today already; the next one waits for another day.\n"
                      : std::string();
    if (due.rows.empty()) {
        std::cout << sentToday << "Nothing is due on " << FormatIsoDate(GetSystemDate()) << ".\n";
        return;
    }
    // Made twice per row rather than kept: a table of every due reminder
    // held whole took some 900 bytes per row.
    Table::Print(std::cout, {"invoice", "customer", "e-mail", "due date", "days", "rule", "subject"}, due.rows.size(),
                 [&](std::size_t i, std::vector<std::string>& cells) {
                     const DueRow& row = due.rows[i];
                     const Addressee& to = due.To(row);
                     Fill(due.Texts(row).subjectParts, due, row, company, subject);
                     cells = {row.statement ? "statement" : std::to_string(due.InvoiceNumber(row)), to.name,
                              to.email.empty() ? "no e-mail" : to.email,
                              row.statement ? "" : FormatIsoDate(row.dueDate),
                              row.statement ? "" : std::to_string(row.daysFromDue), due.Texts(row).ruleText, subject};
                 });
    std::cout << due.rows.size() << (due.rows.size() == 1 ? " reminder" : " reminders") << " due on "
              << FormatIsoDate(GetSystemDate()) << (fastMode ? " (fast mode: stopped at the first)" : "") << ".\n";
    std::cout << sentToday;
    const std::string overlaps = OverlapReport(due);
    if (!overlaps.empty()) {
        std::cout << overlaps;
    } else if (due.duplicateFound) {
        std::cout << "Some invoices belong to more than one reminder group; each gets one reminder.\n";
    }
}

namespace {
// The rows of one batch whose files are in place and whose records are due,
// recorded in one unit of work: the history row and the day each invoice
// reminder went out, and each statement's status. When anything in it fails
// the unit is undone and the rows are tried one at a time, so that one bad
// row costs no other its record.
class Recorder {
public:
    Recorder(const DueTable& due, const RecordedKeys& recorded)
        : m_due(due), m_recorded(recorded), m_today(GetSystemDate()) {}

    // ok[i] says whether rows[i] is recorded.
    std::vector<bool> Record(const std::vector<std::size_t>& rows) {
        std::vector<bool> ok(rows.size(), false);
        if (rows.empty()) return ok;
        {
            UnitOfWork work;
            bool all = work.Get() != nullptr;
            for (std::size_t i = 0; all && i < rows.size(); ++i) all = RecordOne(m_due.rows[rows[i]], work.Get());
            if (all && work.Commit()) return std::vector<bool>(rows.size(), true);
        }
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const DueRow& row = m_due.rows[rows[i]];
            if (row.statement) {
                ok[i] = RecordOne(row, nullptr);
            } else {
                UnitOfWork work;
                ok[i] = work.Get() && RecordOne(row, work.Get()) && work.Commit();
            }
        }
        return ok;
    }

private:
    bool RecordOne(const DueRow& row, DBMgr::DMTransaction* txn) {
        const unsigned long ruleId = row.record.GetRuleId();
        if (!row.statement) {
            return (m_recorded.Has(row) || m_invoices.SaveReminderExecutionHistory(row.record.GetTransactionId(), ruleId,
                                                                                  TxnReminderExecutionStatus_Sent)) &&
                   Host::Sendings::Record(FormViewType_Invoice, row.record.GetTransactionId(), ruleId, m_today, txn)
                       .Succeeded();
        }
        // A record made before: never a second row for the same reminder.
        return m_recorded.Has(row) ||
               m_statements.AddStatementReminderExecutionStatus(ruleId, row.customer, ReminderExecutionStatus_Sent);
    }

    const DueTable& m_due;
    const RecordedKeys& m_recorded;
    const DateType32 m_today;
    TxnReminderEngine m_invoices{FormViewType_Invoice};
    TxnReminderEngine m_statements{FormViewType_Statement};
};
} // namespace

struct DueDay::Impl {
    DueTable table;
    std::string company;
    RecordedKeys none;  // the selection already leaves out what is recorded
    std::unique_ptr<DueJsonWriter> json;  // made when the first line is asked for with its JSON
};

DueDay::DueDay(const AppContext& ctx, ListingReads* keep)
    : m_impl(new Impl{CollectTable(false, keep), CompanyName(ctx), {}, nullptr}) {}
DueDay::~DueDay() = default;

std::size_t DueDay::Size() const { return m_impl->table.rows.size(); }

DueDay::Line DueDay::At(std::size_t i, bool withJson) const {
    const DueTable& due = m_impl->table;
    const DueRow& row = due.rows.at(i);
    Line line;
    line.statement = row.statement;
    line.transactionId = row.statement ? 0 : row.record.GetTransactionId();
    line.invoice = due.InvoiceNumber(row);
    line.customerId = row.customer;
    line.ruleId = row.record.GetRuleId();
    line.templateId = row.record.GetTemplateId();
    line.customer = due.To(row).name;
    line.email = due.To(row).email;
    line.ruleText = due.Texts(row).ruleText;
    Fill(due.Texts(row).subjectParts, due, row, m_impl->company, line.subject);
    if (withJson) {
        if (!m_impl->json) m_impl->json = std::make_unique<DueJsonWriter>(due);
        m_impl->json->Append(row, line.subject, line.json);
    }
    return line;
}

void DueDay::RecordSent(const std::vector<std::size_t>& rows) {
    Recorder recorder(m_impl->table, m_impl->none);
    for (bool ok : recorder.Record(rows)) {
        if (!ok) throw AppError("a reminder could not be recorded as sent");
    }
}

namespace {
// Messages built ahead of the loop that writes them, a run of rows at a
// time: building is about half of a send's work and each message stands
// alone, so while the loop writes and records one run a second thread
// builds the next (the first run is built on both). A message that could not
// be built fails when its row asks for it, as if it were built there. The
// builders call nothing of the host, which serves one thread: the clock is
// read here, once a run, and handed to them.
class MessagesAhead {
public:
    using Build = std::function<std::string(std::size_t row, long long wallSeconds)>;
    using Wanted = std::function<bool(std::size_t)>;
    MessagesAhead(std::size_t rows, Build build, Wanted wanted)
        : m_rows(rows), m_build(std::move(build)), m_wanted(std::move(wanted)) {}
    ~MessagesAhead() {
        if (m_next.valid()) m_next.wait();
    }
    MessagesAhead(const MessagesAhead&) = delete;
    MessagesAhead& operator=(const MessagesAhead&) = delete;

    std::string Take(std::size_t row) {
        if (row < m_from || row >= m_from + m_built.size()) Move(row);
        Built& b = m_built[row - m_from];
        if (!b.made) return m_build(row, GetMXSystemTime());
        if (b.error) std::rethrow_exception(b.error);
        return std::move(b.text);
    }

private:
    struct Built {
        bool made = false;
        std::string text;
        std::exception_ptr error;
    };
    static constexpr std::size_t kRun = 256;

    std::size_t RunLength(std::size_t from) const { return std::min(kRun, m_rows - from); }

    std::vector<std::size_t> Todo(std::size_t from, bool first) const {
        std::vector<std::size_t> todo;
        for (std::size_t i = 0; i < RunLength(from); ++i) {
            if ((first && i == 0) || m_wanted(from + i)) todo.push_back(i);
        }
        return todo;
    }

    void BuildSome(std::vector<Built>& run, std::size_t from, const std::vector<std::size_t>& todo,
                   std::size_t begin, std::size_t end, long long now) const {
        for (std::size_t k = begin; k < end; ++k) {
            Built& b = run[todo[k]];
            b.made = true;
            try {
                b.text = m_build(from + todo[k], now);
            } catch (...) {
                b.error = std::current_exception();
            }
        }
    }

    void Move(std::size_t row) {
        const long long now = GetMXSystemTime();
        const bool ready = m_next.valid() && row >= m_nextFrom && row < m_nextFrom + RunLength(m_nextFrom);
        if (m_next.valid()) {
            std::vector<Built> next = m_next.get();
            if (ready) m_built = std::move(next);
        }
        if (ready) {
            m_from = m_nextFrom;
        } else {
            m_from = row;
            m_built.assign(RunLength(row), Built{});
            const std::vector<std::size_t> todo = Todo(row, true);
            const std::size_t half = todo.size() / 2;
            if (todo.size() < 16 || std::thread::hardware_concurrency() < 2) {
                BuildSome(m_built, row, todo, 0, todo.size(), now);
            } else {
                std::thread other([&] { BuildSome(m_built, row, todo, half, todo.size(), now); });
                BuildSome(m_built, row, todo, 0, half, now);
                other.join();
            }
        }
        m_nextFrom = m_from + m_built.size();
        if (m_nextFrom >= m_rows) return;
        // Which rows want a message is decided here, on this thread.
        std::vector<std::size_t> todo = Todo(m_nextFrom, false);
        const std::size_t from = m_nextFrom;
        m_next = std::async(std::launch::async, [this, from, now, todo = std::move(todo)] {
            std::vector<Built> run(RunLength(from));
            BuildSome(run, from, todo, 0, todo.size(), now);
            return run;
        });
    }

    std::size_t m_rows;
    Build m_build;
    Wanted m_wanted;
    std::size_t m_from = 0;
    std::vector<Built> m_built;
    std::size_t m_nextFrom = 0;
    std::future<std::vector<Built>> m_next;
};
} // namespace

SendSummary SendDue(const AppContext& ctx, const SendOptions& options) {
    const std::string companyFile = Host::HostContext::Get().CompanyFilePath();
    const std::string resolved = SendLock::Resolve(companyFile);
    // Beside the file itself, whatever name it was reached by, so that an
    // interrupted send is finished through any of them.
    const std::string outbox = options.outbox.empty()
                                   ? Host::IsServerLocation(companyFile) ? ctx.Dir() + "/outbox"
                                   : resolved.substr(0, resolved.find_last_of('/') == 0 ? 1 : resolved.find_last_of('/')) +
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

    const DueTable due = CollectTable(false);
    SendSummary summary;
    if (!options.dryRun && !due.rows.empty() && !MakeDirectories(outbox)) {
        throw AppError("send: cannot create the outbox folder '" + outbox + "'");
    }
    // What the outbox holds, read once: a send looks up every reminder's name in it.
    std::unordered_set<std::string> inOutbox;
    if (!options.dryRun) RemoveStaleTemporaries(outbox, &inOutbox);
    const RecordedKeys recorded = LoadRecorded();
    const Sender sender = LoadSender(ctx);
    std::string why;
    if (!IsPlausibleMailbox(sender.from, why)) {
        throw AppError("send: the company's address '" + sender.from + "' is not one e-mail address (" + why +
                       "); nothing was sent");
    }
    const std::string tag = FileTag(companyFile);
    const bool text = !options.quiet && !ctx.json;
    const bool json = ctx.json && !options.quiet;
    const bool showProgress = !options.quiet && due.rows.size() > 20 && ::isatty(STDERR_FILENO);
    const std::unordered_set<std::string> only(options.only.begin(), options.only.end());
    auto pathOf = [&](const DueRow& row) { return outbox + "/" + due.Stem(row) + "." + tag + ".eml"; };
    auto subjectOf = [&](const DueRow& row) {
        std::string subject;
        Fill(due.Texts(row).subjectParts, due, row, sender.company, subject);
        return subject;
    };

    // What the JSON report lists, kept as row numbers until it is printed.
    std::vector<std::size_t> sentRows, skippedRows;
    Recorder recorder(due, recorded);
    OutboxBatch batch(outbox);
    std::vector<std::size_t> written;    // rows of the batch's new files, in the order written
    std::vector<std::size_t> toRecord;   // rows whose files are in place, waiting for their records
    // Files are made durable and recorded a batch at a time: a crash leaves
    // at most one batch written and not recorded, which the next send finds
    // in the outbox and records without writing it again.
    constexpr std::size_t kBatchFiles = 512;
    constexpr std::size_t kBatchBytes = 8u << 20;
    auto flush = [&] {
        // Nothing of this batch is in the outbox yet: a sender that lost its
        // lock stops here rather than race the one that may hold it now.
        lock.Confirm();
        const std::vector<bool> placed = batch.Commit();
        for (std::size_t i = 0; i < written.size(); ++i) {
            if (placed[i]) {
                toRecord.push_back(written[i]);
            } else {
                ++summary.failed;
                std::cerr << "send: could not write " << pathOf(due.rows[written[i]]) << "\n";
            }
        }
        written.clear();
        std::sort(toRecord.begin(), toRecord.end());
        // A sender whose lock on a server ended may have been overtaken:
        // another one can select what this batch did not record and write
        // it again. What is not recorded is taken back out of the outbox,
        // unless its record is there after all (a commit whose answer was lost).
        auto withdrawUnrecorded = [&](const std::vector<bool>& saved) {
            std::vector<bool> withdrawn(toRecord.size(), false);
            if (std::find(saved.begin(), saved.end(), false) == saved.end() || lock.Held()) return withdrawn;
            const RecordedKeys now = LoadRecorded();
            for (std::size_t i = 0; i < toRecord.size(); ++i) {
                const DueRow& row = due.rows[toRecord[i]];
                withdrawn[i] = !saved[i] && !now.Has(row) && ::unlink(pathOf(row).c_str()) == 0;
                if (withdrawn[i]) {
                    ++summary.failed;
                    std::cerr << "send: the send lock was lost before " << pathOf(row)
                              << " was recorded; it was taken out of the outbox for the sender that holds the lock now\n";
                }
            }
            return withdrawn;
        };
        std::vector<bool> saved;
        try {
            saved = recorder.Record(toRecord);
        } catch (const std::exception&) {
            try {
                withdrawUnrecorded(std::vector<bool>(toRecord.size(), false));
            } catch (const std::exception& e) {
                std::cerr << "send: " << e.what() << "\n";
            }
            throw;
        }
        const std::vector<bool> withdrawn = withdrawUnrecorded(saved);
        for (std::size_t i = 0; i < toRecord.size(); ++i) {
            const DueRow& row = due.rows[toRecord[i]];
            if (withdrawn[i]) continue;
            if (!saved[i]) {
                ++summary.failed;
                std::cerr << "send: " << pathOf(row) << " was written but could not be recorded; the next send records it\n";
                continue;
            }
            (row.statement ? summary.statements : summary.invoiceReminders)++;
            if (json) sentRows.push_back(toRecord[i]);
        }
        toRecord.clear();
    };

    // The rows the loop below builds a message for, as far as can be told
    // before it looks into the outbox.
    const auto chosen = [&](const DueRow& row) { return only.empty() || only.count(due.Stem(row)) != 0; };
    const auto usable = [](const Addressee& to, std::string& why) {
        return !to.email.empty() && IsPlausibleMailbox(to.email, why);
    };
    const auto wanted = [&](std::size_t r) {
        std::string ignored;
        return chosen(due.rows[r]) && usable(due.To(due.rows[r]), ignored);
    };
    MessagesAhead ahead(
        due.rows.size(),
        [&](std::size_t r, long long wallSeconds) { return BuildMessage(Compose(sender, due, due.rows[r], wallSeconds)); },
        wanted);

    std::size_t done = 0;
    for (std::size_t r = 0; r < due.rows.size(); ++r) {
        const DueRow& row = due.rows[r];
        ++done;
        if (showProgress && (done % 64 == 0 || done == due.rows.size())) ProgressBar(done, due.rows.size());
        if (!chosen(row)) continue;
        const Addressee& to = due.To(row);
        if (!usable(to, why)) {
            const bool none = to.email.empty();
            ++(none ? summary.skippedNoEmail : summary.skippedBadEmail);
            if (text) {
                const std::string reason = none ? "no e-mail" : "e-mail address '" + to.email + "' not usable: " + why;
                std::cout << "skipped (" << reason << "): " << to.name << " - " << due.Texts(row).ruleText << "\n";
            }
            if (json) skippedRows.push_back(r);
            continue;
        }
        const std::string name = due.Stem(row) + "." + tag + ".eml";
        const std::string path = outbox + "/" + name;
        if (options.dryRun) {
            if (text) std::cout << "would write " << path << " to " << to.email << ": " << subjectOf(row) << "\n";
            (row.statement ? summary.statements : summary.invoiceReminders)++;
            if (json) sentRows.push_back(r);
            continue;
        }
        if (inOutbox.count(name) != 0) {
            // Written by a send that stopped before recording it, if it is
            // this company file's at all.
            if (CompanyKeyOf(ReadWholeFile(path)) != sender.key) {
                ++summary.failed;
                std::cerr << "send: " << path << " was written for another company file; " << to.name << " - "
                          << due.Texts(row).ruleText << " not sent\n";
                continue;
            }
            ++summary.alreadyWritten;
            toRecord.push_back(r);
        } else if (batch.Add(name, ahead.Take(r))) {
            written.push_back(r);
        } else {
            ++summary.failed;
            std::cerr << "send: could not write " << path << "\n";
        }
        if (batch.Size() >= kBatchFiles || batch.Bytes() >= kBatchBytes || toRecord.size() >= kBatchFiles) flush();
    }
    flush();

    if (json) {
        Json messages = Json::array();
        for (std::size_t r : sentRows) {
            const DueRow& row = due.rows[r];
            messages.push_back({{"kind", row.statement ? "statement" : "invoice"},
                                {"invoice", row.statement ? Json(nullptr) : Json(due.InvoiceNumber(row))},
                                {"ruleId", row.record.GetRuleId()},
                                {"customer", due.To(row).name},
                                {"email", due.To(row).email},
                                {"subject", subjectOf(row)},
                                {"file", pathOf(row)}});
        }
        Json skipped = Json::array();
        for (std::size_t r : skippedRows) {
            const DueRow& row = due.rows[r];
            const Addressee& to = due.To(row);
            const bool none = to.email.empty();
            if (!none) IsPlausibleMailbox(to.email, why);
            const std::string reason = none ? "no e-mail" : "e-mail address '" + to.email + "' not usable: " + why;
            skipped.push_back({{"customer", to.name}, {"customerId", row.customer}, {"reason", reason}});
        }
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
    std::vector<unsigned long> numbers;
    for (const auto& r : rows) numbers.push_back(r.TransactionId);
    const std::unordered_map<unsigned long, InvoiceView> invoices = ReadInvoices(std::move(numbers));
    const std::unordered_map<int, Addressee> customers = AddresseesOf(invoices);
    std::vector<HistoryRow> out;
    for (const auto& r : rows) {
        HistoryRow h;
        h.invoice = r.TransactionId;
        h.ruleId = r.RuleId;
        h.status = r.Status;
        const auto inv = invoices.find(r.TransactionId);
        h.invoiceKnown = inv != invoices.end();
        h.customer = h.invoiceKnown ? customers.at(inv->second.customer).name : "(deleted)";
        h.statusText = r.Status == 1 ? "sent" : (r.Status == 2 ? "sent by hand" : std::to_string(r.Status));
        out.push_back(h);
    }
    return out;
}

void ShowHistory(const AppContext& ctx) {
    const std::vector<HistoryRow> rows = LoadHistory();
    if (ctx.json) {
        PrintJsonList("history", rows.size(), [&](std::size_t i) {
            const HistoryRow& r = rows[i];
            return nlohmann::ordered_json{{"transactionId", r.invoice},
                                          {"ruleId", r.ruleId},
                                          {"status", r.status},
                                          {"statusText", r.statusText},
                                          {"customer", r.invoiceKnown ? Json(r.customer) : Json(nullptr)}};
        });
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

void Purge(const AppContext& ctx) {
    std::vector<DMReminderExecutionHistory::DBReminderExecutionHistory> before, after;
    using History = DMReminderExecutionHistory::IDBReminderExecutionHistory;
    if (History::BatchLoadByTxnView(4, before).Failed()) throw AppError("purge: the history could not be read");
    TxnReminderEngine engine(FormViewType_Invoice);
    if (!engine.PurgeOldReminderExecutionHistory()) throw AppError("purge: the old history could not be purged");
    if (History::BatchLoadByTxnView(4, after).Failed()) {
        throw AppError("purge: the old history was purged, but what is left could not be counted");
    }
    if (ctx.json) {
        PrintJson({{"purged", before.size() - after.size()}, {"kept", after.size()}});
        return;
    }
    std::cout << "purged " << before.size() - after.size() << " history entries of invoices paid long ago ("
              << after.size() << " kept)\n";
}

void Migrate(const AppContext& ctx) {
    TxnReminderEngine engine(FormViewType_Invoice);
    const Util::Status s = engine.MigrateOldTargetGroupAndUserTableToNewDLPTables();
    if (!s.Succeeded()) throw AppError("migrate: the old target groups were not moved; nothing changed");
    if (ctx.json) {
        PrintJson({{"migrated", true}});
        return;
    }
    std::cout << "old target groups moved to customer groups\n";
}

void RegisterDueCommands(CLI::App& cli, AppContext& ctx) {
    auto fast = std::make_shared<bool>(false);
    AddCommand(cli, ctx, "due", "what is due today", [&ctx, fast] { ShowDue(ctx, *fast); })
        ->add_flag("--fast", *fast, "stop at the first due reminder (what the daily prompt asks)");

    auto o = std::make_shared<SendOptions>();
    auto* send = AddCommand(cli, ctx, "send", "write the due reminders to the outbox and record them", [&ctx, o] {
        RequireAllowed(o->dryRun ? Action::Send : Action::SendWithoutPreview);
        const SendSummary s = SendDue(ctx, *o);
        if (s.failed) {
            const std::string busy = ctx.BusyNote();
            if (!busy.empty()) std::cerr << "reminders: " << busy << s.failed << " not sent\n";
            ctx.exitCode = 1;
        } else if (!o->dryRun && DeliverIfConfigured(ctx, o->outbox, false)) {
            ctx.exitCode = 1;
        }
    });
    send->add_flag("--dry-run", o->dryRun, "show what would be sent; write and record nothing");
    send->add_option("--outbox", o->outbox, "folder for the messages (default: outbox/ beside the file)");

    AddCommand(cli, ctx, "history", "invoice reminders recorded as sent", [&ctx] { ShowHistory(ctx); });
    AddCommand(cli, ctx, "purge", "remove the history of invoices paid long ago", [&ctx] {
        RequireAllowed(Action::Purge);
        Purge(ctx);
    });
    AddCommand(cli, ctx, "migrate", "move old target groups into customer groups", [&ctx] { Migrate(ctx); });
}

} // namespace app
