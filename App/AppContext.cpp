#include "AppContext.h"

#include <CLI/CLI.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <sstream>

#include "CmdPrefs.h"
#include "Csv.h"
#include "Host/CompanyLocation.h"
#include "Host/HostContext.h"

namespace app {

void AppContext::ApplyToday() const {
    auto& ctx = Host::HostContext::Get();
    if (today.empty()) {
        ctx.UseSystemClock();
        return;
    }
    DateType32 day;
    if (!ParseIsoDate(today, day)) throw AppError("--today: not a date YYYY-MM-DD: '" + today + "'");
    ctx.FixClock(day, 8, 0, 0);
}

void AppContext::Open(bool create) const {
    auto& ctx = Host::HostContext::Get();
    if (!ctx.OpenCompanyFile(file, create).Succeeded()) throw AppError(ctx.LastOpenError());
    ApplyPermissions();
}

std::string AppContext::Dir() const {
    // A company on a server has no folder: its files stay where the program runs.
    if (Host::IsServerLocation(file)) return ".";
    const std::size_t slash = file.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : file.substr(0, slash == 0 ? 1 : slash);
}

std::string AppContext::BusyNote() const {
    if (Host::HostContext::Get().BusyCount() == 0) return std::string();
    return "company file '" + Host::DisplayLocation(file) + "' is busy (another program kept it locked past the wait); try again: ";
}

CLI::App* AddCommand(CLI::App& parent, AppContext& ctx, const std::string& name, const std::string& help,
                     std::function<void()> run) {
    CLI::App* sub = parent.add_subcommand(name, help);
    sub->callback([&ctx, run = std::move(run)] {
        ctx.Open();
        run();
    });
    return sub;
}

namespace {
// Columns as a terminal shows them: one per character, not per byte.
std::size_t Columns(const std::string& text) {
    std::size_t n = 0;
    for (char c : text) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}
} // namespace

void Table::Print(std::ostream& out, const std::vector<std::string>& headers, std::size_t rows, const RowSource& row) {
    std::vector<std::size_t> widths(headers.size(), 0);
    auto measure = [&](const std::vector<std::string>& cells) {
        for (std::size_t i = 0; i < cells.size() && i < widths.size(); ++i) widths[i] = std::max(widths[i], Columns(cells[i]));
    };
    std::vector<std::string> cells;
    measure(headers);
    for (std::size_t r = 0; r < rows; ++r) {
        cells.clear();
        row(r, cells);
        measure(cells);
    }
    std::string text;
    auto line = [&](const std::vector<std::string>& cells) {
        text.clear();
        for (std::size_t i = 0; i < widths.size(); ++i) {
            static const std::string kNone;
            const std::string& cell = i < cells.size() ? cells[i] : kNone;
            text += cell;
            if (i + 1 < widths.size()) text.append(widths[i] - Columns(cell) + 2, ' ');
        }
        while (!text.empty() && text.back() == ' ') text.pop_back();
        text += '\n';
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
    };
    line(headers);
    std::vector<std::string> rule;
    for (std::size_t w : widths) rule.push_back(std::string(w, '-'));
    line(rule);
    for (std::size_t r = 0; r < rows; ++r) {
        cells.clear();
        row(r, cells);
        line(cells);
    }
}

std::string Table::Render() const {
    std::ostringstream out;
    Print(out, m_headers, m_rows.size(), [this](std::size_t r, std::vector<std::string>& cells) { cells = m_rows[r]; });
    return out.str();
}

void AppendIndented(std::string_view text, std::size_t indent, std::string& out) {
    out.reserve(out.size() + text.size());
    for (char c : text) {
        out += c;
        if (c == '\n') out.append(indent, ' ');
    }
}

void FlushLarge(std::string& out, std::ostream& sink) {
    if (out.size() <= (1u << 16)) return;
    sink.write(out.data(), static_cast<std::streamsize>(out.size()));
    out.clear();
}

void PrintJsonList(const std::string& key, std::size_t count,
                   const std::function<nlohmann::ordered_json(std::size_t)>& element) {
    std::string out = "{\n  " + nlohmann::ordered_json(key).dump() + ": ";
    if (count == 0) {
        std::cout << out << "[]\n}\n";
        return;
    }
    out += "[\n";
    for (std::size_t i = 0; i < count; ++i) {
        // Inside the list each line of an element is indented twice more.
        out += "    ";
        AppendIndented(element(i).dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace), 4, out);
        out += i + 1 < count ? ",\n" : "\n";
        FlushLarge(out, std::cout);
    }
    out += "  ]\n}\n";
    std::cout.write(out.data(), static_cast<std::streamsize>(out.size()));
}

void PrintJson(const nlohmann::ordered_json& value) {
    // Texts that reached the company file before input was checked may hold
    // bytes that are not UTF-8; they are replaced rather than written raw.
    std::cout << value.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << "\n";
}

namespace {
// Configuration trees' lists: empty ones are childless nodes in the tree.
bool IsListKey(const std::string& key) {
    static const char* const kLists[] = {"sets", "rules", "statementRules", "customergroups", "customers", "history",
                                         "members", "events"};
    for (const char* k : kLists) {
        if (key == k) return true;
    }
    return false;
}

nlohmann::ordered_json Convert(const boost::property_tree::ptree& tree, bool list) {
    if (tree.empty()) {
        return list && tree.data().empty() ? nlohmann::ordered_json::array() : nlohmann::ordered_json(tree.data());
    }
    bool unnamed = true;
    for (const auto& child : tree) unnamed = unnamed && child.first.empty();
    if (unnamed || list) {
        nlohmann::ordered_json out = nlohmann::ordered_json::array();
        for (const auto& child : tree) out.push_back(Convert(child.second, false));
        return out;
    }
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    for (const auto& child : tree) out[child.first] = Convert(child.second, IsListKey(child.first));
    return out;
}

// Deepest nesting of brackets outside strings; stops counting past the limit.
int NestingDepth(const std::string& text, std::size_t& where) {
    int depth = 0, deepest = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\') ++i;
            else if (c == '"') inString = false;
            continue;
        }
        if (c == '"') inString = true;
        else if (c == '{' || c == '[') {
            if (++depth > deepest) {
                deepest = depth;
                where = i;
                if (deepest > kMaxJsonDepth) break;
            }
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
    return deepest;
}
} // namespace

nlohmann::ordered_json TreeToJson(const boost::property_tree::ptree& tree) { return Convert(tree, false); }

std::string ToJson(const boost::property_tree::ptree& tree) {
    return TreeToJson(tree).dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

boost::property_tree::ptree FromJson(const std::string& text, const std::string& source) {
    std::size_t where = 0;
    if (NestingDepth(text, where) > kMaxJsonDepth) {
        const long line = 1 + std::count(text.begin(), text.begin() + static_cast<long>(where), '\n');
        throw AppError(source + ":" + std::to_string(line) + ": nested deeper than " + std::to_string(kMaxJsonDepth) +
                       " levels; not a reminder set file");
    }
    std::istringstream in(text);
    boost::property_tree::ptree tree;
    try {
        boost::property_tree::read_json(in, tree);
    } catch (const boost::property_tree::json_parser_error& e) {
        throw AppError(source + ":" + std::to_string(e.line()) + ": not valid JSON: " + e.message());
    }
    return tree;
}

nlohmann::ordered_json JsonEmail(const std::string& email) { return email.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(email); }

std::string FormatAmount(double amount) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", amount);
    return text;
}

} // namespace app
