#pragma once

#include <boost/property_tree/ptree.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "Date/DateType32.h"

namespace app {

// A failure to report to the person: one line on standard error, exit 1.
class AppError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What every command shares: the global options and the open company file.
struct AppContext {
    std::string file;
    std::string today;  // YYYY-MM-DD or empty
    bool json = false;

    // Fixes the host clock to --today (at 08:00, before the usual prompt
    // hour) or leaves the system clock.
    void ApplyToday() const;
    // Opens the company file (creating it when asked); throws AppError.
    void Open(bool create = false) const;
    std::string Dir() const;
};

// A simple aligned text table.
class Table {
public:
    explicit Table(std::vector<std::string> headers) : m_headers(std::move(headers)) {}
    void Add(std::vector<std::string> row) { m_rows.push_back(std::move(row)); }
    bool Empty() const { return m_rows.empty(); }
    std::string Render() const;

private:
    std::vector<std::string> m_headers;
    std::vector<std::vector<std::string>> m_rows;
};

// JSON text of a tree (pretty), and a tree from JSON text (throws AppError
// naming `source` and the line).
std::string ToJson(const boost::property_tree::ptree& tree);
boost::property_tree::ptree FromJson(const std::string& text, const std::string& source);

// A JSON string literal (quoted, escaped) for hand-built output.
std::string JsonQuote(const std::string& text);

std::string FormatAmount(double amount);

} // namespace app
