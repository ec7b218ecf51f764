// What the importers accept and refuse, and the JSON the commands read and
// write, checked on the pieces themselves.

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "AppContext.h"
#include "Csv.h"

namespace {

// The error text of reading `body` under `header`, or "" when accepted.
std::string CsvError(bool invoices, const std::string& text) {
    try {
        if (invoices) {
            app::ReadInvoicesCsv(text, "f.csv");
        } else {
            app::ReadCustomersCsv(text, "f.csv");
        }
    } catch (const app::CsvError& e) {
        return e.what();
    }
    return "";
}

const std::string kCustomers = "id,name,parent,email,type,terms,hidden\n";
const std::string kInvoices = "number,customer,date,due_date,amount,paid\n";

} // namespace

TEST(CsvInputTest, EveryFieldIsStoredAsWrittenOrRefusedWithFileLineAndField) {
    struct Case {
        const char* what;
        bool invoices;
        std::string text;
        std::string error;  // "" accepted
    };
    const std::string amountError =
        "amount: not an amount from 0 to 999999999.99 (digits with at most two decimals, like 1250.00)";
    const Case cases[] = {
        {"plain amount", true, kInvoices + "1,1,2026-01-01,2026-02-01,1250.5,0\n", ""},
        {"largest amount", true, kInvoices + "1,1,2026-01-01,2026-02-01,999999999.99,0\n", ""},
        {"hexadecimal amount", true, kInvoices + "1,1,2026-01-01,2026-02-01,0x10,0\n", "f.csv:2: " + amountError},
        {"exponent amount", true, kInvoices + "1,1,2026-01-01,2026-02-01,1e3,0\n", "f.csv:2: " + amountError},
        {"infinite amount", true, kInvoices + "1,1,2026-01-01,2026-02-01,inf,0\n", "f.csv:2: " + amountError},
        {"amount past the bound", true, kInvoices + "1,1,2026-01-01,2026-02-01,999999999999.99,0\n",
         "f.csv:2: " + amountError},
        {"three decimals", true, kInvoices + "1,1,2026-01-01,2026-02-01,1.005,0\n", "f.csv:2: " + amountError},
        {"signed number", true, kInvoices + "+7,1,2026-01-01,2026-02-01,1,0\n",
         "f.csv:2: number: not a whole number from 1 to 4294967295"},
        {"extra field", true, kInvoices + "1,1,2026-01-01,2026-02-01,10,0,surplus\n",
         "f.csv:2: row: 7 fields, but the header names 6"},
        {"duplicated column", true, "number,customer,date,due_date,amount,paid,amount\n",
         "f.csv:1: header: column 'amount' appears twice"},
        {"NUL byte", false, kCustomers + std::string("1,Ac\0me,,,,,0\n", 14), "f.csv:2: name: contains a NUL byte"},
        {"NUL byte in the header", false, std::string("id,na\0me\n", 9), "f.csv:1: header: contains a NUL byte"},
        {"stray continuation byte", false, kCustomers + "1,Acme\x80,,,,,0\n", "f.csv:2: name: not UTF-8 text"},
        {"cut-off sequence", false, kCustomers + "1,Acme,,,\xE2\x82,,0\n", "f.csv:2: type: not UTF-8 text"},
        {"overlong slash", false, kCustomers + "1,Acme,,,,\xC0\xAF,0\n", "f.csv:2: terms: not UTF-8 text"},
        {"surrogate", false, kCustomers + "1,\xED\xA0\x80,,,,,0\n", "f.csv:2: name: not UTF-8 text"},
        {"past U+10FFFF", false, kCustomers + "1,\xF4\x90\x80\x80,,,,,0\n", "f.csv:2: name: not UTF-8 text"},
        {"accents and emoji", false, kCustomers + "1,Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8D\xB0,,,,,0\n", ""},
        {"duplicate id", false, kCustomers + "1,Acme,,,,,0\n1,Other,,,,,0\n", "f.csv:3: id: duplicate id 1"},
        {"id not a number", false, kCustomers + "x,Acme,,,,,0\n", "f.csv:2: id: not a whole number from 1 to 2147483647"},
        {"empty name", false, kCustomers + "1,,,,,,0\n", "f.csv:2: name: empty"},
        {"not an address", false, kCustomers + "1,Acme,,not-an-address,,,0\n",
         "f.csv:2: email: not one e-mail address (no '@'): 'not-an-address'"},
        {"hidden not a flag", false, kCustomers + "1,Acme,,,,,yes\n", "f.csv:2: hidden: must be 0 or 1"},
        {"own parent", false, kCustomers + "1,Acme,1,,,,0\n", "f.csv:2: parent: a customer cannot be its own parent"},
        {"too few fields", false, kCustomers + "1,Acme\n", "f.csv:2: parent: missing (the row has too few fields)"},
        {"missing columns", false, "id,name\n", "f.csv:1: header"},
        {"30 February", true, kInvoices + "1001,1,2026-02-30,2026-03-03,1,0\n", "f.csv:2: date"},
        {"date not ISO", true, kInvoices + "1001,1,2026-02-01,03/03/2026,1,0\n", "f.csv:2: due_date"},
        {"negative amount", true, kInvoices + "1001,1,2026-02-01,2026-03-03,-5,0\n", "f.csv:2: " + amountError},
        {"nan amount", true, kInvoices + "1001,1,2026-02-01,2026-03-03,nan,0\n", "f.csv:2: " + amountError},
        {"number 0", true, kInvoices + "0,1,2026-02-01,2026-03-03,1,0\n", "f.csv:2: number"},
        {"number past 32 bits", true, kInvoices + "4294967296,1,2026-02-01,2026-03-03,1,0\n", "f.csv:2: number"},
        {"paid not a flag", true, kInvoices + "1001,1,2026-02-01,2026-03-03,1,2\n", "f.csv:2: paid"},
    };
    for (const auto& c : cases) {
        const std::string error = CsvError(c.invoices, c.text);
        if (c.error.empty()) {
            EXPECT_EQ(error, "") << c.what;
        } else {
            EXPECT_EQ(error.substr(0, c.error.size()), c.error) << c.what << ": " << error;
        }
    }
}

TEST(CsvInputTest, ReadingStopsAtTheFirstOverlongLine) {
    struct Case {
        const char* what;
        std::string path;
        std::string error;  // "" read whole
    };
    char pattern[] = "/tmp/csv-read-XXXXXX";
    const std::string dir = ::mkdtemp(pattern);
    const std::string longLine = kInvoices + "1,1,2026-01-01,2026-02-01,1,0\n" + std::string(70000, 'x') + "\n";
    std::ofstream(dir + "/long.csv") << longLine;
    std::ofstream(dir + "/fine.csv") << kInvoices << std::string(60000, ' ') << "\n";
    const Case cases[] = {
        {"endless device", "/dev/zero", "/dev/zero:1: row: longer than 65536 bytes"},
        {"one long line", dir + "/long.csv", dir + "/long.csv:3: row: longer than 65536 bytes"},
        {"long but within the bound", dir + "/fine.csv", ""},
        {"missing file", dir + "/none.csv", dir + "/none.csv: cannot be read"},
    };
    for (const auto& c : cases) {
        std::string error;
        try {
            app::ReadCsvFile(c.path);
        } catch (const app::CsvError& e) {
            error = e.what();
        }
        if (c.error.empty()) {
            EXPECT_EQ(error, "") << c.what;
        } else {
            EXPECT_EQ(error.substr(0, c.error.size()), c.error) << c.what << ": " << error;
        }
    }
    std::filesystem::remove_all(dir);
}

TEST(JsonInputTest, NestingIsBoundedBeforeATreeIsBuilt) {
    auto nested = [](int depth, const std::string& inner) {
        return std::string(static_cast<std::size_t>(depth), '[') + inner + std::string(static_cast<std::size_t>(depth), ']');
    };
    struct Case {
        const char* what;
        std::string text;
        bool refused;
    };
    const Case cases[] = {
        {"at the bound", nested(app::kMaxJsonDepth, ""), false},
        {"one past the bound", nested(app::kMaxJsonDepth + 1, ""), true},
        {"fifteen thousand deep", nested(15000, ""), true},
        {"objects count too", "{\"a\":" + nested(app::kMaxJsonDepth, "") + "}", true},
        {"brackets inside strings", "{\"name\": \"" + std::string(5000, '[') + "\\\"{{{\"}", false},
    };
    for (const auto& c : cases) {
        std::string error;
        try {
            app::FromJson(c.text, "sets.json");
        } catch (const app::AppError& e) {
            error = e.what();
        }
        EXPECT_EQ(error.find("sets.json:1: nested deeper than 64 levels") == 0, c.refused) << c.what << ": " << error;
    }
}

TEST(JsonOutputTest, TreesKeepTheirListsAndTextsThroughTheWriter) {
    boost::property_tree::ptree set;
    set.put("name", "");
    set.put("id", "3");
    set.add_child("rules", boost::property_tree::ptree());
    boost::property_tree::ptree rule;
    rule.put("days", "5");
    boost::property_tree::ptree rules;
    rules.push_back({"", rule});
    set.add_child("statementRules", rules);
    const auto json = nlohmann::json::parse(app::ToJson(set));
    EXPECT_EQ(json.at("name"), "");
    EXPECT_EQ(json.at("id"), "3");
    EXPECT_EQ(json.at("rules"), nlohmann::json::array());
    EXPECT_EQ(json.at("statementRules"), nlohmann::json::parse(R"([{"days": "5"}])"));
    // What the writer produced reads back as the same tree.
    const auto back = app::FromJson(app::ToJson(set), "back");
    EXPECT_EQ(back.get_child("statementRules").front().second.get<std::string>("days"), "5");
    EXPECT_TRUE(back.get_child("rules").empty());
    // Bytes that are not UTF-8 never make the output invalid.
    set.put("name", "bad \xff byte");
    EXPECT_NO_THROW(nlohmann::json::parse(app::ToJson(set)));
}
