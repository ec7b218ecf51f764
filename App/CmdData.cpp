#include "CmdData.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <unordered_set>

#include "CompanyFile.h"
#include "Csv.h"
#include "Host/CompanyLocation.h"
#include "Host/HostContext.h"
#include "Message.h"
#include "Prefs/PrefsTag.h"
#include "Sql.h"
#include "DB/DBManager.h"
#include "Records/BulkReads.h"
#include "Records/Groups.h"
#include "Records/Names.h"
#include "Records/Transactions.h"
#include "Util/Status.h"

namespace app {

namespace {
std::string Why(const Util::Status& s) {
    return std::string(Util::DescribeStatusCode(s.GetStatusCode())) + " (status " + std::to_string(s.GetStatusCode()) + ")";
}

// One unit of work for a whole command: everything or nothing reaches the file.
class UnitOfWork {
public:
    UnitOfWork() {
        DBMgr::IDBFileMgr* mgr = DBMgr::DBManager::GetActiveFileMgr();
        m_txn.reset(mgr ? mgr->CreateTransaction(0, 1) : nullptr);
        if (!m_txn) throw AppError("the company file cannot start a transaction");
        m_txn->BeginWrite();
    }
    DBMgr::DMTransaction* Get() { return m_txn.get(); }
    void Commit() {
        if (!m_txn->Commit()) throw AppError("the company file did not accept the changes; nothing was written");
    }

private:
    std::unique_ptr<DBMgr::DMTransaction> m_txn;  // rolls back unless committed
};

bool CustomerExists(int recNum) { return recNum > 0 && CName(recNum, 1).IsValid(); }

long long CountRows(const char* table) {
    Host::Stmt count(Host::HostContext::Get().File()->Db(), (std::string("SELECT count(*) FROM ") + table).c_str());
    return count.Step() ? count.Int(0) : 0;
}
} // namespace

bool ReadInvoice(unsigned long number, InvoiceView& out) {
    const TransHandle handle(NewTrans(1));
    if (!handle || !TransTag::ReadTrans(number, handle.get(), 0, 0, 4, 0)) return false;
    const TargType* target = handle->GetTargetByIndex(0);
    if (!target) return false;
    out.number = number;
    out.customer = target->GetCustomerRecNum();
    out.date = handle->GetTxnDate();
    out.dueDate = target->GetDueDate();
    out.amount = Bal2Double(target->GetAmount());
    out.paid = target->GetPaid();
    return true;
}

Addressee AddresseeOf(int customer) {
    Addressee a;
    CName name(customer, 1);
    if (!name.IsValid()) return a;
    a.name = name.GetQualifiedName().str();
    for (CName walk = name; walk.IsValid(); walk = CName(walk.GetParent(), 1)) {
        if (!walk.GetEmail().empty()) {
            a.email = walk.GetEmail().str();
            break;
        }
        if (walk.GetParent() == 0) break;
    }
    return a;
}

namespace {
template <class T>
void SortUnique(std::vector<T>& v) {
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
}
} // namespace

std::unordered_map<unsigned long, InvoiceView> ReadInvoices(std::vector<unsigned long> numbers) {
    SortUnique(numbers);
    std::unordered_map<unsigned long, InvoiceView> found;
    found.reserve(numbers.size());
    const Util::Status read = Host::ReadInvoices(numbers, [&](const Host::InvoiceRead& inv) {
        InvoiceView& v = found[inv.id];
        v.number = inv.id;
        v.customer = inv.customer;
        v.date = inv.txnDate;
        v.dueDate = inv.dueDate;
        v.amount = Bal2Double(inv.amount);
        v.paid = inv.paid;
    });
    if (!read.Succeeded()) throw AppError("the invoices cannot be read (see 'reminders log')");
    return found;
}

std::unordered_map<int, Addressee> AddresseesOf(std::vector<int> customers) {
    SortUnique(customers);
    std::unordered_map<int, Addressee> found;
    found.reserve(customers.size());
    if (customers.size() < kReadInBulk) {
        for (int c : customers) found[c] = AddresseeOf(c);
        return found;
    }
    std::vector<Host::AddresseeText> texts;
    if (!Host::LoadAddressees(customers, texts).Succeeded()) throw AppError("the customer list cannot be read");
    for (std::size_t i = 0; i < customers.size(); ++i) {
        found[customers[i]] = texts[i].found ? Addressee{std::move(texts[i].qualifiedName), std::move(texts[i].email)}
                                             : Addressee{};
    }
    return found;
}

std::unordered_map<int, Addressee> AddresseesOf(const std::unordered_map<unsigned long, InvoiceView>& invoices) {
    std::vector<int> customers;
    customers.reserve(invoices.size());
    for (const auto& entry : invoices) customers.push_back(entry.second.customer);
    return AddresseesOf(std::move(customers));
}

void ImportCustomers(const AppContext& ctx, const std::string& path) {
    const auto rows = ReadCustomersCsv(ReadCsvFile(path), path);
    std::map<long, const CustomerRow*> byId;
    for (const auto& r : rows) byId[r.id] = &r;
    // Every parent is in the file or in the company already, and no chain loops.
    for (const auto& r : rows) {
        std::set<long> seen{r.id};
        for (long p = r.parent; p != 0;) {
            if (!seen.insert(p).second) {
                throw CsvError(path + ":" + std::to_string(r.line) + ": parent: the parents form a loop");
            }
            auto it = byId.find(p);
            if (it != byId.end()) {
                p = it->second->parent;
            } else if (CustomerExists(static_cast<int>(p))) {
                break;
            } else {
                throw CsvError(path + ":" + std::to_string(r.line) + ": parent: no customer with id " + std::to_string(p));
            }
        }
    }
    // Parents before their jobs.
    std::vector<const CustomerRow*> order;
    std::set<long> placed;
    std::function<void(const CustomerRow*)> place = [&](const CustomerRow* r) {
        if (placed.count(r->id)) return;
        if (r->parent != 0 && byId.count(r->parent)) place(byId[r->parent]);
        placed.insert(r->id);
        order.push_back(r);
    };
    for (const auto& r : rows) place(&r);

    UnitOfWork work;
    int added = 0, updated = 0;
    for (const CustomerRow* r : order) {
        if (r->name.find(':') != std::string::npos) {
            throw CsvError(path + ":" + std::to_string(r->line) +
                           ": name: ':' separates a job from its customer and cannot appear in a name");
        }
        Host::CustomerData data;
        data.name = r->name;
        data.parent = static_cast<int>(r->parent);
        data.hidden = r->hidden;
        data.email = r->email;
        data.custType = r->type;
        data.terms = r->terms;
        const int id = static_cast<int>(r->id);
        if (CustomerExists(id)) {
            // The import keeps the customer's "since" date; without it the
            // update would overwrite that date with nothing.
            Host::CustomerData old;
            Util::Status s = Host::LoadCustomer(id, old);
            if (s.Succeeded() && s.GetStatusCode() != Util::Status::kRecordNotFound) {
                data.since = old.since;
                s = Host::UpdateCustomer(id, data, work.Get());
            } else if (s.Succeeded()) {
                s = Util::Status::Failure(Util::Status::kRecordNotFound);
            }
            if (!s.Succeeded()) {
                throw AppError(path + ":" + std::to_string(r->line) + ": customer " + std::to_string(id) +
                               " was not updated: " + Why(s) + "; nothing was imported");
            }
            ++updated;
        } else {
            data.requestedRecNum = id;
            int recNum = 0;
            const Util::Status s = Host::AddCustomer(data, recNum, work.Get());
            if (!s.Succeeded()) {
                throw AppError(path + ":" + std::to_string(r->line) + ": customer " + std::to_string(id) +
                               " was not added: " + Why(s) + " (is the name taken under the same parent?); nothing was imported");
            }
            ++added;
        }
    }
    work.Commit();
    if (ctx.json) {
        PrintJson({{"file", path}, {"imported", rows.size()}, {"added", added}, {"updated", updated}});
        return;
    }
    std::cout << "imported " << rows.size() << " customers and jobs from " << path << " (" << added << " added, "
              << updated << " updated)\n";
}

void ImportInvoices(const AppContext& ctx, const std::string& path) {
    const auto rows = ReadInvoicesCsv(ReadCsvFile(path), path);
    for (const auto& r : rows) {
        if (!CustomerExists(static_cast<int>(r.customer))) {
            throw CsvError(path + ":" + std::to_string(r.line) + ": customer: no customer or job with id " +
                           std::to_string(r.customer));
        }
        InvoiceView existing;
        if (ReadInvoice(r.number, existing)) {
            throw CsvError(path + ":" + std::to_string(r.line) + ": number: invoice " + std::to_string(r.number) +
                           " exists already");
        }
        if (r.dueDate < r.date) {
            throw CsvError(path + ":" + std::to_string(r.line) + ": due_date: before the invoice date");
        }
    }
    UnitOfWork work;
    const DateType32 today = GetSystemDate();
    for (const auto& r : rows) {
        Host::InvoiceData data;
        data.customer = static_cast<int>(r.customer);
        data.txnDate = r.date;
        data.dueDate = r.dueDate;
        data.amount = Double2Bal(r.amount);
        data.requestedTransactionId = r.number;
        unsigned long id = 0;
        Util::Status s = Host::AddInvoice(data, id, work.Get());
        if (s.Succeeded() && r.paid) {
            // Paid on its due date, or today when that is still to come.
            s = Host::MarkInvoicePaid(id, std::min(today, r.dueDate), work.Get());
        }
        if (!s.Succeeded()) {
            throw AppError(path + ":" + std::to_string(r.line) + ": invoice " + std::to_string(r.number) +
                           " was not added: " + Why(s) + "; nothing was imported");
        }
    }
    work.Commit();
    if (ctx.json) {
        PrintJson({{"file", path}, {"imported", rows.size()}});
        return;
    }
    std::cout << "imported " << rows.size() << " invoices from " << path << "\n";
}

void ListCustomers(const AppContext& ctx) {
    EdListViewIter iter(EdListTypeToList(EdListType_CustomerJob), 1, 1);
    CName name(1);
    nlohmann::ordered_json array = nlohmann::ordered_json::array();
    Table table({"id", "name", "e-mail", "type", "terms", "balance", "hidden"});
    std::size_t listed = 0;
    for (bool ok = iter.First(name); ok; ok = iter.Next(name)) {
        ++listed;
        const std::string email = name.GetEmail().str();
        const std::string balance = FormatAmount(Bal2Double(name.GetTotalEndingBalHome()));
        if (ctx.json) {
            array.push_back({{"id", name.GetRecNum()},
                             {"name", name.GetQualifiedName().str()},
                             {"parent", name.GetParent()},
                             {"email", JsonEmail(email)},
                             {"type", name.GetCustType().GetName().str()},
                             {"terms", name.GetTerms().GetName().str()},
                             {"balance", balance},
                             {"hidden", name.GetIsHidden()}});
        } else {
            table.Add({std::to_string(name.GetRecNum()), name.GetQualifiedName().str(), email.empty() ? "-" : email,
                       name.GetCustType().GetName().str(), name.GetTerms().GetName().str(), balance,
                       name.GetIsHidden() ? "hidden" : ""});
        }
    }
    // The list answers "nothing" both when there is nothing and when it could
    // not be read; only the first may be shown as an empty list.
    if (listed == 0 && CountRows("customers") != 0) {
        throw AppError("customers: the customer list cannot be read (see 'reminders log')");
    }
    if (ctx.json) {
        PrintJson({{"customers", array}});
    } else if (table.Empty()) {
        std::cout << "No customers. Import them with 'reminders import customers FILE.csv'.\n";
    } else {
        std::cout << table.Render();
    }
}

void ListInvoices(const AppContext& ctx, bool openOnly) {
    DQEWrapper query(true);
    query.SetTrans(DQE::kInvoiceTable);
    query.SetSelect(DQE::kColTransactionId);
    DQE::Statement* noPost = query.SetStatement(DQE::kColIsNoPost, DQE::SelectOp_Equal, 0L);
    if (openOnly) {
        DQE::Statement* unpaid = query.SetStatement(DQE::kColIsPaid, DQE::SelectOp_Equal, 0L);
        query.SetStatement(unpaid, DQE::SelectOp_And, noPost);
    }
    if (!query.DoQuery()) throw AppError("the invoices cannot be listed: " + query.GetLastError());
    std::vector<unsigned long> numbers;
    for (bool ok = query.First(); ok; ok = query.Next()) numbers.push_back(query.GetUnsignedLong(0));
    if (!query.GetLastError().empty()) throw AppError("the invoices cannot be listed: " + query.GetLastError());
    // Read in bulk: one lookup per invoice and per customer took seconds
    // for a hundred thousand invoices.
    const std::unordered_map<unsigned long, InvoiceView> invoices = ReadInvoices(numbers);
    const std::unordered_map<int, Addressee> customers = AddresseesOf(invoices);
    for (const unsigned long number : numbers) {
        if (invoices.count(number) == 0) {
            throw AppError("invoices: invoice " + std::to_string(number) + " cannot be read (see 'reminders log')");
        }
    }
    const auto invoiceAt = [&](std::size_t i) -> const InvoiceView& { return invoices.at(numbers[i]); };
    if (ctx.json) {
        PrintJsonList("invoices", numbers.size(), [&](std::size_t i) {
            const InvoiceView& inv = invoiceAt(i);
            return nlohmann::ordered_json{{"number", inv.number},
                                          {"customerId", inv.customer},
                                          {"customer", customers.at(inv.customer).name},
                                          {"date", FormatIsoDate(inv.date)},
                                          {"dueDate", FormatIsoDate(inv.dueDate)},
                                          {"amount", FormatAmount(inv.amount)},
                                          {"paid", inv.paid}};
        });
        return;
    }
    if (numbers.empty()) {
        std::cout << (openOnly ? "No open invoices.\n" : "No invoices.\n");
        return;
    }
    const DateType32 today = GetSystemDate();
    Table::Print(std::cout, {"invoice", "customer", "date", "due", "amount", "status"}, numbers.size(),
                 [&](std::size_t i, std::vector<std::string>& cells) {
                     const InvoiceView& inv = invoiceAt(i);
                     const long overdue = DateMinusDate(today, inv.dueDate);
                     cells = {std::to_string(inv.number), customers.at(inv.customer).name, FormatIsoDate(inv.date),
                              FormatIsoDate(inv.dueDate), FormatAmount(inv.amount),
                              inv.paid ? "paid" : (overdue > 0 ? std::to_string(overdue) + " days overdue" : "open")};
                 });
}

std::vector<CustomerView> LoadCustomers() {
    std::vector<CustomerView> out;
    EdListViewIter iter(EdListTypeToList(EdListType_CustomerJob), 1, 1);
    CName name(1);
    for (bool ok = iter.First(name); ok; ok = iter.Next(name)) {
        out.push_back({name.GetRecNum(), name.GetParent(), name.GetQualifiedName().str(), name.GetEmail().str(),
                       name.GetIsHidden() != 0});
    }
    return out;
}

std::vector<GroupView> LoadGroups() {
    std::vector<Host::GroupSummary> groups;
    const Util::Status s = Host::ListGroups(groups);
    if (!s.Succeeded()) throw AppError("the groups cannot be listed: " + Why(s));
    std::vector<GroupView> out;
    for (const auto& g : groups) out.push_back({g.id, g.name, g.description, static_cast<long>(g.memberCount)});
    return out;
}

std::vector<int> LoadGroupMembers(long id, std::string* name) {
    Group* raw = nullptr;
    const Util::Status s = Group::GetGroupById(id, raw);
    std::unique_ptr<Group> group(raw);
    if (!s.Succeeded()) throw AppError("groups show: group " + std::to_string(id) + " cannot be read: " + Why(s));
    if (!group) throw AppError("groups show: no group with id " + std::to_string(id));
    if (name) *name = group->GetGroupName();
    const std::unordered_set<int> members = group->GetTargetRecNumsOfTheGroup();
    std::vector<int> sorted(members.begin(), members.end());
    std::sort(sorted.begin(), sorted.end());
    return sorted;
}

long CreateGroup(const std::string& name, const std::vector<int>& customers) {
    for (int c : customers) {
        if (!CustomerExists(c)) throw AppError("groups create: no customer or job with id " + std::to_string(c));
    }
    long id = 0;
    const Util::Status s = Host::CreateCustomerGroup(name, "", customers, id);
    if (!s.Succeeded()) {
        throw AppError("groups create: group '" + name + "' was not created: " + Why(s) +
                       " (is the name empty, longer than 50 characters or taken?)");
    }
    return id;
}

void GroupsList(const AppContext& ctx) {
    std::vector<Host::GroupSummary> groups;
    const Util::Status s = Host::ListGroups(groups);
    if (!s.Succeeded()) throw AppError("the groups cannot be listed: " + Why(s));
    if (ctx.json) {
        nlohmann::ordered_json array = nlohmann::ordered_json::array();
        for (const auto& g : groups) {
            array.push_back({{"id", g.id}, {"name", g.name}, {"description", g.description}, {"members", g.memberCount}});
        }
        PrintJson({{"groups", array}});
        return;
    }
    if (groups.empty()) {
        std::cout << "No customer groups. Create one with 'reminders groups create NAME --customers ID,...'.\n";
        return;
    }
    Table table({"id", "name", "members", "description"});
    for (const auto& g : groups) table.Add({std::to_string(g.id), g.name, std::to_string(g.memberCount), g.description});
    std::cout << table.Render();
}

void GroupsCreate(const AppContext& ctx, const std::string& name, const std::vector<int>& customers) {
    const long id = CreateGroup(name, customers);
    if (ctx.json) {
        PrintJson({{"id", id}});
    } else {
        std::cout << id << "\n";
    }
}

void GroupsShow(const AppContext& ctx, long id) {
    Group* raw = nullptr;
    const Util::Status s = Group::GetGroupById(id, raw);
    std::unique_ptr<Group> group(raw);
    if (!s.Succeeded()) throw AppError("groups show: group " + std::to_string(id) + " cannot be read: " + Why(s));
    if (!group) throw AppError("groups show: no group with id " + std::to_string(id));
    const std::unordered_set<int> members = group->GetTargetRecNumsOfTheGroup();
    std::vector<int> sorted(members.begin(), members.end());
    std::sort(sorted.begin(), sorted.end());
    const std::unordered_map<int, Addressee> addressees = AddresseesOf(sorted);
    if (ctx.json) {
        nlohmann::ordered_json array = nlohmann::ordered_json::array();
        for (int m : sorted) {
            const Addressee& a = addressees.at(m);
            array.push_back({{"id", m}, {"name", a.name}, {"email", JsonEmail(a.email)}});
        }
        PrintJson({{"id", id},
                   {"name", group->GetGroupName()},
                   {"description", group->GetGroupDesc()},
                   {"members", array}});
        return;
    }
    std::cout << "Group " << id << ": " << group->GetGroupName() << "\n";
    if (!group->GetGroupDesc().empty()) std::cout << group->GetGroupDesc() << "\n";
    Table table({"id", "name", "e-mail"});
    for (int m : sorted) {
        const Addressee& a = addressees.at(m);
        table.Add({std::to_string(m), a.name.empty() ? "(deleted)" : a.name, a.email.empty() ? "no e-mail" : a.email});
    }
    std::cout << table.Render();
}

namespace {
struct InitOptions {
    bool sample = false;
    std::string name, email;
};

void Init(AppContext& ctx, const InitOptions& o) {
    // Checked before the file exists, so a refused address leaves no file behind.
    std::string why;
    if (!o.email.empty() && !IsPlausibleMailbox(o.email, why)) {
        throw AppError("init --email: not one e-mail address (" + why + "): '" + o.email + "'");
    }
    ctx.Open(true);
    const auto keep = [](const char* key, const std::string& value) {
        if (!value.empty() && DBPreferences::SetCompanyDBPreference(key, value).Failed()) {
            throw AppError(std::string("init: the company file was created, but ") + key + " could not be stored in it");
        }
    };
    keep("companyName", o.name);
    keep("companyEmail", o.email);
    if (!ctx.json) std::cout << "created " << Host::DisplayLocation(ctx.file) << "\n";
    if (o.sample) FillSample(ctx);
    if (ctx.json) PrintJson({{"created", Host::DisplayLocation(ctx.file)}, {"sample", o.sample}});
}

struct GroupOptions {
    std::string name;
    std::vector<int> customers;
    long id = 0;
};
} // namespace

void RegisterDataCommands(CLI::App& cli, AppContext& ctx) {
    auto initOptions = std::make_shared<InitOptions>();
    auto* init = cli.add_subcommand("init", "create a company file");
    init->add_flag("--sample", initOptions->sample, "fill it with a small sample company");
    init->add_option("--name", initOptions->name, "the company's name, used in messages");
    init->add_option("--email", initOptions->email, "the address reminders are sent from");
    init->callback([&ctx, initOptions] { Init(ctx, *initOptions); });

    auto* import = cli.add_subcommand("import", "load customers or invoices from a CSV file");
    import->require_subcommand(1);
    struct Kind {
        const char* name;
        const char* columns;
        void (*load)(const AppContext&, const std::string&);
    };
    for (const Kind& kind : {Kind{"customers", "id,name,parent,email,type,terms,hidden", ImportCustomers},
                             Kind{"invoices", "number,customer,date,due_date,amount,paid", ImportInvoices}}) {
        auto path = std::make_shared<std::string>();
        AddCommand(*import, ctx, kind.name, kind.columns, [&ctx, path, load = kind.load] { load(ctx, *path); })
            ->add_option("FILE", *path, "CSV file")
            ->required();
    }

    AddCommand(cli, ctx, "customers", "list customers and jobs", [&ctx] { ListCustomers(ctx); });
    auto openOnly = std::make_shared<bool>(false);
    AddCommand(cli, ctx, "invoices", "list invoices", [&ctx, openOnly] { ListInvoices(ctx, *openOnly); })
        ->add_flag("--open", *openOnly, "only unpaid invoices");

    auto group = std::make_shared<GroupOptions>();
    auto* groups = cli.add_subcommand("groups", "customer groups that reminder sets address");
    groups->require_subcommand(1);
    AddCommand(*groups, ctx, "list", "list the groups", [&ctx] { GroupsList(ctx); });
    auto* create = AddCommand(*groups, ctx, "create", "create a group",
                              [&ctx, group] { GroupsCreate(ctx, group->name, group->customers); });
    create->add_option("NAME", group->name, "group name")->required();
    create->add_option("--customers", group->customers, "customer or job ids")->delimiter(',')->required();
    AddCommand(*groups, ctx, "show", "show a group's members", [&ctx, group] { GroupsShow(ctx, group->id); })
        ->add_option("ID", group->id, "group id")
        ->required();
}

} // namespace app
