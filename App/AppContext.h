#pragma once

#include <boost/property_tree/ptree.hpp>
#include <functional>
#include <iosfwd>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "Date/DateType32.h"

namespace CLI {
class App;
}

namespace app {

// A failure to report to the person: one line on standard error, exit 1.
class AppError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What every command shares: the global options, the open company file and
// the exit status a command's callback leaves for main to return.
struct AppContext {
    std::string file = "company.db";
    std::string today;  // YYYY-MM-DD or empty
    bool json = false;
    int exitCode = 0;

    // Fixes the host clock to --today (at 08:00, before the usual prompt
    // hour) or leaves the system clock.
    void ApplyToday() const;
    // Opens the company file (creating it when asked); throws AppError.
    void Open(bool create = false) const;
    std::string Dir() const;
    // Prefix for a failure that followed a "busy" answer from SQLite, so the
    // person knows to try again rather than look for damage; empty otherwise.
    std::string BusyNote() const;
};

// Adds a subcommand of `parent` whose callback opens the company file and
// then runs `run`; returns it for its options.
CLI::App* AddCommand(CLI::App& parent, AppContext& ctx, const std::string& name, const std::string& help,
                     std::function<void()> run);

// A simple aligned text table.
class Table {
public:
    explicit Table(std::vector<std::string> headers) : m_headers(std::move(headers)) {}
    void Add(std::vector<std::string> row) { m_rows.push_back(std::move(row)); }
    bool Empty() const { return m_rows.empty(); }
    std::string Render() const;

    // A table too long to keep: `row(i, cells)` fills row i's cells and is
    // called twice per row, once to measure the columns and once to print.
    using RowSource = std::function<void(std::size_t, std::vector<std::string>&)>;
    static void Print(std::ostream& out, const std::vector<std::string>& headers, std::size_t rows,
                      const RowSource& row);

private:
    std::vector<std::string> m_headers;
    std::vector<std::vector<std::string>> m_rows;
};

// Every command's machine-readable output goes through one JSON writer, so
// that what a program reads is always valid JSON of one shape.
void PrintJson(const nlohmann::ordered_json& value);
// {"key": [...]} exactly as PrintJson prints it, made and printed an element
// at a time: a list of every invoice held whole as one document took some
// 1,700 bytes per invoice.
void PrintJsonList(const std::string& key, std::size_t count,
                   const std::function<nlohmann::ordered_json(std::size_t)>& element);
// Appends `text` with each line after its first moved in by `indent` spaces:
// JSON printed on its own, placed deeper in a document.
void AppendIndented(std::string_view text, std::size_t indent, std::string& out);
// Writes `out` to `sink` and empties it once it holds more than 64 KiB, so
// that a long list is printed as it is made.
void FlushLarge(std::string& out, std::ostream& sink);

// A configuration tree as JSON. Trees cannot tell an empty list from an
// empty text, so the children named in `listKeys` (and every node whose
// children are all unnamed) come out as lists; leaves stay texts, as the
// tree reader expects them back.
nlohmann::ordered_json TreeToJson(const boost::property_tree::ptree& tree);
// JSON text of a tree (pretty), through TreeToJson.
std::string ToJson(const boost::property_tree::ptree& tree);

// Nesting deeper than this is refused before a tree is built: the tree is
// copied and destroyed recursively, and a few kilobytes of brackets would
// otherwise exhaust the stack.
inline constexpr int kMaxJsonDepth = 64;
// A tree from JSON text; throws AppError naming `source` and the line when
// the text is not JSON or nests too deep.
boost::property_tree::ptree FromJson(const std::string& text, const std::string& source);

// An e-mail address as JSON: null when there is none.
nlohmann::ordered_json JsonEmail(const std::string& email);

std::string FormatAmount(double amount);

} // namespace app
