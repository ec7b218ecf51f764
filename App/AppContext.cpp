#include "AppContext.h"

#include <boost/property_tree/json_parser.hpp>
#include <cstdio>
#include <sstream>

#include "CmdPrefs.h"
#include "Csv.h"
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
    const std::size_t slash = file.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : file.substr(0, slash == 0 ? 1 : slash);
}

std::string Table::Render() const {
    std::vector<std::size_t> widths(m_headers.size(), 0);
    auto measure = [&](const std::vector<std::string>& row) {
        for (std::size_t i = 0; i < row.size() && i < widths.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    };
    measure(m_headers);
    for (const auto& r : m_rows) measure(r);
    std::ostringstream out;
    auto line = [&](const std::vector<std::string>& row) {
        std::string text;
        for (std::size_t i = 0; i < widths.size(); ++i) {
            const std::string cell = i < row.size() ? row[i] : std::string();
            text += cell;
            if (i + 1 < widths.size()) text += std::string(widths[i] - cell.size() + 2, ' ');
        }
        while (!text.empty() && text.back() == ' ') text.pop_back();
        out << text << '\n';
    };
    line(m_headers);
    std::vector<std::string> rule;
    for (std::size_t w : widths) rule.push_back(std::string(w, '-'));
    line(rule);
    for (const auto& r : m_rows) line(r);
    return out.str();
}

std::string ToJson(const boost::property_tree::ptree& tree) {
    std::ostringstream out;
    boost::property_tree::write_json(out, tree, true);
    return out.str();
}

boost::property_tree::ptree FromJson(const std::string& text, const std::string& source) {
    std::istringstream in(text);
    boost::property_tree::ptree tree;
    try {
        boost::property_tree::read_json(in, tree);
    } catch (const boost::property_tree::json_parser_error& e) {
        throw AppError(source + ":" + std::to_string(e.line()) + ": not valid JSON: " + e.message());
    }
    return tree;
}

std::string JsonQuote(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char esc[8];
                    std::snprintf(esc, sizeof esc, "\\u%04x", c);
                    out += esc;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

std::string FormatAmount(double amount) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", amount);
    return text;
}

} // namespace app
