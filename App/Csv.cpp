#include "Csv.h"
#include "Message.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace app {

namespace {
// Well-formed UTF-8: no stray continuation bytes, overlong forms, surrogates
// or code points past U+10FFFF.
bool IsUtf8(const std::string& text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n;) {
        const unsigned c = p[i];
        std::size_t len = 0;
        unsigned lo = 0x80, hi = 0xBF;
        if (c < 0x80) len = 1;
        else if (c >= 0xC2 && c <= 0xDF) len = 2;
        else if (c == 0xE0) len = 3, lo = 0xA0;
        else if (c >= 0xE1 && c <= 0xEC) len = 3;
        else if (c == 0xED) len = 3, hi = 0x9F;
        else if (c >= 0xEE && c <= 0xEF) len = 3;
        else if (c == 0xF0) len = 4, lo = 0x90;
        else if (c >= 0xF1 && c <= 0xF3) len = 4;
        else if (c == 0xF4) len = 4, hi = 0x8F;
        else return false;
        if (i + len > n) return false;
        for (std::size_t k = 1; k < len; ++k) {
            const unsigned b = p[i + k];
            if (b < (k == 1 ? lo : 0x80u) || b > (k == 1 ? hi : 0xBFu)) return false;
        }
        i += len;
    }
    return true;
}

[[noreturn]] void Fail(const std::string& file, int line, const std::string& field, const std::string& what) {
    throw CsvError(file + ":" + std::to_string(line) + ": " + field + ": " + what);
}

std::string Trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return std::string();
    const auto e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

bool ParseLong(const std::string& text, long long min, long long max, long long& out) {
    const std::string t = Trim(text);
    if (t.empty() || t.size() > 18 || t.find_first_not_of("0123456789") != std::string::npos) return false;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(t.c_str(), &end, 10);
    if (errno != 0 || !end || *end != '\0' || v < min || v > max) return false;
    out = v;
    return true;
}

// Plain decimal amounts only: strtod would also take hexadecimal ("0x10" as
// 16), exponents and "inf". The bound keeps every balance, summed over a
// customer's invoices in hundredths, far inside 64 bits.
bool ParseAmount(const std::string& t, double& out) {
    const std::size_t dot = t.find('.');
    const std::string whole = t.substr(0, dot);
    const std::string fraction = dot == std::string::npos ? std::string() : t.substr(dot + 1);
    if (whole.empty() || whole.size() > 9 || whole.find_first_not_of("0123456789") != std::string::npos) return false;
    if (dot != std::string::npos &&
        (fraction.empty() || fraction.size() > 2 || fraction.find_first_not_of("0123456789") != std::string::npos)) {
        return false;
    }
    out = std::strtod(t.c_str(), nullptr);
    return true;
}

bool ParseFlag(const std::string& text, bool& out) {
    const std::string t = Trim(text);
    if (t == "0" || t.empty()) {
        out = false;
        return true;
    }
    if (t == "1") {
        out = true;
        return true;
    }
    return false;
}

// Maps header names to column positions and insists on the expected ones.
std::map<std::string, std::size_t> Columns(const CsvRow& header, const std::vector<std::string>& expected,
                                           const std::string& file) {
    std::map<std::string, std::size_t> cols;
    for (std::size_t i = 0; i < header.fields.size(); ++i) {
        const std::string name = Trim(header.fields[i]);
        // A second column of the same name would silently win over the first.
        if (!cols.emplace(name, i).second) Fail(file, header.line, "header", "column '" + name + "' appears twice");
    }
    for (const auto& name : expected) {
        if (!cols.count(name)) Fail(file, header.line, "header", "missing column '" + name + "'");
    }
    return cols;
}

const std::string& Field(const CsvRow& row, const std::map<std::string, std::size_t>& cols, const char* name,
                         const std::string& file) {
    const std::size_t i = cols.at(name);
    if (i >= row.fields.size()) Fail(file, row.line, name, "missing (the row has too few fields)");
    return row.fields[i];
}

// Every field of a row, before any is read: the text must be what a
// spreadsheet writes (UTF-8, no NUL), and a row may not hold more fields than
// the header names, since a stray comma shifts values into the wrong column.
void CheckRow(const CsvRow& row, const CsvRow& header, const std::string& file) {
    for (std::size_t i = 0; i < row.fields.size(); ++i) {
        const std::string field = &row == &header             ? std::string("header")
                                  : i < header.fields.size() ? Trim(header.fields[i])
                                                             : "field " + std::to_string(i + 1);
        if (row.fields[i].find('\0') != std::string::npos) Fail(file, row.line, field, "contains a NUL byte");
        if (!IsUtf8(row.fields[i])) Fail(file, row.line, field, "not UTF-8 text");
    }
    if (&row != &header && row.fields.size() > header.fields.size()) {
        Fail(file, row.line, "row", std::to_string(row.fields.size()) + " fields, but the header names " +
                                        std::to_string(header.fields.size()));
    }
}

bool IsBlankRow(const CsvRow& row) {
    for (const auto& f : row.fields) {
        if (!Trim(f).empty()) return false;
    }
    return true;
}
} // namespace

std::vector<CsvRow> ParseCsv(const std::string& text, const std::string& fileName) {
    std::vector<CsvRow> rows;
    CsvRow row;
    std::string field;
    int line = 1;
    row.line = 1;
    bool quoted = false;
    bool fieldStarted = false;
    std::size_t i = 0;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) i = 3;  // byte-order mark from spreadsheet exports
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"') {
                if (i + 1 < text.size() && text[i + 1] == '"') {
                    field += '"';
                    ++i;
                } else {
                    quoted = false;
                }
            } else {
                if (c == '\n') ++line;
                field += c;
            }
            continue;
        }
        if (c == '"' && !fieldStarted) {
            quoted = true;
            fieldStarted = true;
        } else if (c == ',') {
            row.fields.push_back(field);
            field.clear();
            fieldStarted = false;
        } else if (c == '\n' || c == '\r') {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            row.fields.push_back(field);
            field.clear();
            fieldStarted = false;
            rows.push_back(row);
            row = CsvRow();
            row.line = ++line;
        } else {
            field += c;
            fieldStarted = true;
        }
    }
    if (quoted) Fail(fileName, row.line, "row", "a quoted field is not closed");
    if (fieldStarted || !row.fields.empty() || !field.empty()) {
        row.fields.push_back(field);
        rows.push_back(row);
    }
    return rows;
}

bool ParseIsoDate(const std::string& text, DateType32& out) {
    const std::string t = Trim(text);
    if (t.size() != 10 || t[4] != '-' || t[7] != '-') return false;
    for (std::size_t i : {0u, 1u, 2u, 3u, 5u, 6u, 8u, 9u}) {
        if (t[i] < '0' || t[i] > '9') return false;
    }
    DateType32 d(std::stoi(t.substr(5, 2)), std::stoi(t.substr(8, 2)), std::stoi(t.substr(0, 4)));
    if (!d.IsValid() || d.GetYear() < 1901) return false;
    out = d;
    return true;
}

std::string FormatIsoDate(const DateType32& date) {
    // Without a stream for the dates a calendar holds: listings write one or
    // two per row, hundreds of thousands of rows.
    const int y = date.GetYear(), m = date.GetMonth(), d = date.GetDay();
    if (y >= 0 && y <= 9999 && m >= 0 && m <= 99 && d >= 0 && d <= 99) {
        const char text[10] = {static_cast<char>('0' + y / 1000),    static_cast<char>('0' + y / 100 % 10),
                               static_cast<char>('0' + y / 10 % 10), static_cast<char>('0' + y % 10),
                               '-',                                  static_cast<char>('0' + m / 10),
                               static_cast<char>('0' + m % 10),      '-',
                               static_cast<char>('0' + d / 10),      static_cast<char>('0' + d % 10)};
        return std::string(text, sizeof text);
    }
    std::ostringstream s;
    s << date;
    return s.str();
}

std::vector<CustomerRow> ReadCustomersCsv(const std::string& text, const std::string& file) {
    const auto rows = ParseCsv(text, file);
    if (rows.empty()) Fail(file, 1, "header", "the file is empty");
    CheckRow(rows[0], rows[0], file);
    const auto cols = Columns(rows[0], {"id", "name", "parent", "email", "type", "terms", "hidden"}, file);
    std::vector<CustomerRow> out;
    std::set<long> ids;
    for (std::size_t r = 1; r < rows.size(); ++r) {
        const CsvRow& row = rows[r];
        if (IsBlankRow(row)) continue;
        CheckRow(row, rows[0], file);
        CustomerRow c;
        c.line = row.line;
        long long v = 0;
        if (!ParseLong(Field(row, cols, "id", file), 1, 2147483647, v)) {
            Fail(file, row.line, "id", "not a whole number from 1 to 2147483647");
        }
        c.id = static_cast<long>(v);
        if (!ids.insert(c.id).second) Fail(file, row.line, "id", "duplicate id " + std::to_string(c.id));
        c.name = Trim(Field(row, cols, "name", file));
        if (c.name.empty()) Fail(file, row.line, "name", "empty");
        if (c.name.size() > 41) Fail(file, row.line, "name", "longer than 41 characters");
        const std::string parent = Trim(Field(row, cols, "parent", file));
        if (!parent.empty()) {
            if (!ParseLong(parent, 1, 2147483647, v)) Fail(file, row.line, "parent", "not a customer id");
            if (v == c.id) Fail(file, row.line, "parent", "a customer cannot be its own parent");
            c.parent = static_cast<long>(v);
        }
        c.email = Trim(Field(row, cols, "email", file));
        std::string why;
        if (!c.email.empty() && !IsPlausibleMailbox(c.email, why)) {
            Fail(file, row.line, "email", "not one e-mail address (" + why + "): '" + c.email.substr(0, 80) + "'");
        }
        c.type = Trim(Field(row, cols, "type", file));
        c.terms = Trim(Field(row, cols, "terms", file));
        if (!ParseFlag(Field(row, cols, "hidden", file), c.hidden)) Fail(file, row.line, "hidden", "must be 0 or 1");
        out.push_back(c);
    }
    return out;
}

std::vector<InvoiceRow> ReadInvoicesCsv(const std::string& text, const std::string& file) {
    const auto rows = ParseCsv(text, file);
    if (rows.empty()) Fail(file, 1, "header", "the file is empty");
    CheckRow(rows[0], rows[0], file);
    const auto cols = Columns(rows[0], {"number", "customer", "date", "due_date", "amount", "paid"}, file);
    std::vector<InvoiceRow> out;
    std::set<unsigned long> numbers;
    for (std::size_t r = 1; r < rows.size(); ++r) {
        const CsvRow& row = rows[r];
        if (IsBlankRow(row)) continue;
        CheckRow(row, rows[0], file);
        InvoiceRow inv;
        inv.line = row.line;
        long long v = 0;
        if (!ParseLong(Field(row, cols, "number", file), 1, 4294967295LL, v)) {
            Fail(file, row.line, "number", "not a whole number from 1 to 4294967295");
        }
        inv.number = static_cast<unsigned long>(v);
        if (!numbers.insert(inv.number).second) Fail(file, row.line, "number", "duplicate invoice number " + std::to_string(v));
        if (!ParseLong(Field(row, cols, "customer", file), 1, 2147483647, v)) {
            Fail(file, row.line, "customer", "not a customer or job id");
        }
        inv.customer = static_cast<long>(v);
        if (!ParseIsoDate(Field(row, cols, "date", file), inv.date)) Fail(file, row.line, "date", "not a date YYYY-MM-DD");
        if (!ParseIsoDate(Field(row, cols, "due_date", file), inv.dueDate)) {
            Fail(file, row.line, "due_date", "not a date YYYY-MM-DD");
        }
        if (!ParseAmount(Trim(Field(row, cols, "amount", file)), inv.amount)) {
            Fail(file, row.line, "amount", "not an amount from 0 to " + std::string(kMaxAmountText) +
                                               " (digits with at most two decimals, like 1250.00)");
        }
        if (!ParseFlag(Field(row, cols, "paid", file), inv.paid)) Fail(file, row.line, "paid", "must be 0 or 1");
        out.push_back(inv);
    }
    return out;
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read '" + path + "'");
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

namespace {
// Reads in pieces so that a device or a runaway file is refused as soon as
// it breaks a bound, not when memory runs out.
template <typename Check>
std::string ReadBounded(const std::string& path, Check check) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw CsvError(path + ": cannot be read");
    std::string text;
    char buffer[65536];
    while (in) {
        in.read(buffer, sizeof buffer);
        const std::size_t got = static_cast<std::size_t>(in.gcount());
        if (got == 0) break;
        text.append(buffer, got);
        check(text, got);
    }
    if (in.bad()) throw CsvError(path + ": cannot be read");
    return text;
}
} // namespace

std::string ReadCsvFile(const std::string& path) {
    std::size_t lineStart = 0;
    int line = 1;
    return ReadBounded(path, [&](const std::string& text, std::size_t got) {
        for (std::size_t i = text.size() - got; i < text.size(); ++i) {
            if (text[i] != '\n') continue;
            if (i - lineStart > kMaxCsvLineBytes) break;
            lineStart = i + 1;
            ++line;
        }
        if (text.size() - lineStart > kMaxCsvLineBytes) {
            Fail(path, line, "row", "longer than " + std::to_string(kMaxCsvLineBytes) + " bytes; not a CSV file of this kind");
        }
    });
}

std::string ReadLimitedFile(const std::string& path, std::size_t maxBytes) {
    return ReadBounded(path, [&](const std::string& text, std::size_t) {
        if (text.size() > maxBytes) {
            throw CsvError(path + ": larger than " + std::to_string(maxBytes) + " bytes; not a file of this kind");
        }
    });
}

} // namespace app
