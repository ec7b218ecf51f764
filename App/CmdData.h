#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

#include "AppContext.h"

namespace CLI {
class App;
}

namespace app {

// `init`, `import customers|invoices`, `customers`, `invoices`, `groups list|create|show`.
void RegisterDataCommands(CLI::App& cli, AppContext& ctx);

// `init [--sample]`: the file is created by the caller; this fills the sample.
void FillSample(const AppContext& ctx);

void ImportCustomers(const AppContext& ctx, const std::string& path);
void ImportInvoices(const AppContext& ctx, const std::string& path);
void ListCustomers(const AppContext& ctx);
void ListInvoices(const AppContext& ctx, bool openOnly);

// Customers and jobs in list order (a job follows its customer).
struct CustomerView {
    int id = 0;
    int parent = 0;
    std::string name;  // "Customer:Job"
    std::string email;
    bool hidden = false;
};
std::vector<CustomerView> LoadCustomers();

struct GroupView {
    long id = 0;
    std::string name, description;
    long memberCount = 0;
};
std::vector<GroupView> LoadGroups();
// Member ids in order; throws AppError for an unknown group.
std::vector<int> LoadGroupMembers(long id, std::string* name = nullptr);
// Creates a group after checking every member; returns its id. Throws AppError.
long CreateGroup(const std::string& name, const std::vector<int>& customers);

void GroupsList(const AppContext& ctx);
void GroupsCreate(const AppContext& ctx, const std::string& name, const std::vector<int>& customers);
void GroupsShow(const AppContext& ctx, long id);

// One invoice as the application shows it.
struct InvoiceView {
    unsigned long number = 0;
    int customer = 0;
    DateType32 date;
    DateType32 dueDate;
    double amount = 0;
    bool paid = false;
};
bool ReadInvoice(unsigned long number, InvoiceView& out);
// Below this many records, single lookups cost less than a read of the whole table.
inline constexpr std::size_t kReadInBulk = 32;

// Many at once, by number (any order, repeats allowed): one walk of the
// table for many, single reads for a few. A number without an invoice is
// left out of the answer.
std::unordered_map<unsigned long, InvoiceView> ReadInvoices(std::vector<unsigned long> numbers);

// Name and the e-mail address a reminder goes to: a job without an address
// of its own uses its customer's.
struct Addressee {
    std::string name;           // "Customer:Job"
    std::string email;          // empty: none anywhere up the chain
};
Addressee AddresseeOf(int customer);
// Each of `customers` (any order, repeats allowed) as AddresseeOf gives it:
// a few looked up one by one, many in one read of the list.
std::unordered_map<int, Addressee> AddresseesOf(std::vector<int> customers);
// The same for the customers `invoices` are billed to.
std::unordered_map<int, Addressee> AddresseesOf(const std::unordered_map<unsigned long, InvoiceView>& invoices);

} // namespace app
