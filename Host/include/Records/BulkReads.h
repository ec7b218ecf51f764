#pragma once

// Reads of many invoices or names at once, for callers that would otherwise
// look each one up by itself: one pass over the table instead of a query per
// record, with the same answers the single lookups give.

#include <functional>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "Date/DateType32.h"
#include "Records/Names.h"
#include "Util/HostApi.h"
#include "Util/Status.h"

namespace Host {

// One invoice as TransTag::ReadTrans gives it.
struct InvoiceRead {
    unsigned long id = 0;
    int customer = 0;
    DateType32 txnDate;
    DateType32 dueDate;
    Bal amount;
    bool paid = false;
};
// The amounts of the open (unpaid, posted) invoices, summed by the customer
// or job each is billed to, without the jobs below it.
struct OpenAmounts {
    std::unordered_map<int, std::int64_t> byCustomer;  // hundredths
};
// Calls `each` for every invoice among `ascendingIds` (sorted, repeats
// allowed: once per distinct id), in ascending order; an id without an
// invoice is left out. Many ids are read in one walk of their range of the
// table, a few by single lookups. With `open`, the same read also sums every
// open invoice of the company into it: the walk passes most of them anyway.
HOST_API Util::Status ReadInvoices(const std::vector<unsigned long>& ascendingIds,
                                   const std::function<void(const InvoiceRead&)>& each, OpenAmounts* open = nullptr);

// What a message to a customer or job needs: the qualified name
// ("Customer:Job") and the e-mail address of the name itself or, when it has
// none, of the nearest name above it that has one, as CName gives them.
struct AddresseeText {
    bool found = false;  // false: no such record
    std::string qualifiedName;
    std::string email;
};
// out[i] answers recNums[i]; one read of the whole list.
HOST_API Util::Status LoadAddressees(const std::vector<int>& recNums, std::vector<AddresseeText>& out);
// Open balances as CName::GetTotalEndingBalHome gives them (the name's own
// unpaid posted invoices and those of every job below it); out[i] answers
// recNums[i]. One read of the open invoices, summed by customer.
HOST_API Util::Status LoadOpenBalances(const std::vector<int>& recNums, std::vector<Bal>& out);
// The same balances from open amounts read before (by ReadInvoices).
HOST_API Util::Status OpenBalancesOf(const OpenAmounts& open, const std::vector<int>& recNums, std::vector<Bal>& out);

} // namespace Host
