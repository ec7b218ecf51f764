#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "Date/DateType32.h"

namespace app {

// A CSV problem, already worded for the person who wrote the file:
// "<file>:<line>: <field>: <what is wrong>".
class CsvError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct CsvRow {
    int line = 0;  // 1-based line where the row starts
    std::vector<std::string> fields;
};

// Reads a whole CSV text (RFC 4180: quoted fields, doubled quotes, embedded
// line breaks). The first row is the header. Throws CsvError on an
// unterminated quote.
std::vector<CsvRow> ParseCsv(const std::string& text, const std::string& fileName);

struct CustomerRow {
    int line = 0;
    long id = 0;
    std::string name;
    long parent = 0;  // 0: a customer; otherwise the customer this job belongs to
    std::string email;
    std::string type;
    std::string terms;
    bool hidden = false;
};

struct InvoiceRow {
    int line = 0;
    unsigned long number = 0;
    long customer = 0;
    DateType32 date;
    DateType32 dueDate;
    double amount = 0;
    bool paid = false;
};

// Checks every row before anything is written; the first bad row throws.
// Header: id,name,parent,email,type,terms,hidden
std::vector<CustomerRow> ReadCustomersCsv(const std::string& text, const std::string& fileName);
// Header: number,customer,date,due_date,amount,paid
std::vector<InvoiceRow> ReadInvoicesCsv(const std::string& text, const std::string& fileName);

// YYYY-MM-DD of a real calendar date; false otherwise.
bool ParseIsoDate(const std::string& text, DateType32& out);
std::string FormatIsoDate(const DateType32& date);

std::string ReadWholeFile(const std::string& path);

// No line of an import file is longer; a longer one means the wrong file
// (or a device) was named.
inline constexpr std::size_t kMaxCsvLineBytes = 65536;
// The largest amount an invoice may carry.
inline constexpr const char* kMaxAmountText = "999999999.99";
// A CSV file, refused with CsvError ("<file>:<line>: row: ...") as soon as a
// line passes kMaxCsvLineBytes.
std::string ReadCsvFile(const std::string& path);
// A file of at most maxBytes; throws CsvError naming it otherwise.
std::string ReadLimitedFile(const std::string& path, std::size_t maxBytes);

} // namespace app
