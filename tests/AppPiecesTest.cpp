// The application's pieces on their own: what the importers accept and
// refuse, the JSON read and written, the outbox and the due listing.

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "AppContext.h"
#include "CmdData.h"
#include "CmdDue.h"
#include "Csv.h"
#include "HostFixture.h"
#include "Outbox.h"

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
        "f.csv:2: amount: not an amount from 0 to 999999999.99 (digits with at most two decimals, like 1250.00)";
    std::vector<Case> cases = {
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
        {"number 0", true, kInvoices + "0,1,2026-02-01,2026-03-03,1,0\n", "f.csv:2: number"},
        {"number past 32 bits", true, kInvoices + "4294967296,1,2026-02-01,2026-03-03,1,0\n", "f.csv:2: number"},
        {"paid not a flag", true, kInvoices + "1001,1,2026-02-01,2026-03-03,1,2\n", "f.csv:2: paid"},
    };
    // What a number parser of the language would take, and no more than cents.
    auto withAmount = [](const char* amount) { return kInvoices + "1,1,2026-01-01,2026-02-01," + amount + ",0\n"; };
    for (const char* amount : {"1250.5", "999999999.99"}) cases.push_back({amount, true, withAmount(amount), ""});
    for (const char* amount : {"0x10", "1e3", "inf", "nan", "-5", "1.005", "999999999999.99"}) {
        cases.push_back({amount, true, withAmount(amount), amountError});
    }
    for (const auto& c : cases) {
        const std::string error = CsvError(c.invoices, c.text);
        if (c.error.empty()) {
            EXPECT_EQ(error, "") << c.what;
        } else {
            EXPECT_EQ(error.substr(0, c.error.size()), c.error) << c.what << ": " << error;
        }
    }
}

TEST(CsvInputTest, QuotedFieldsAndRowsReadBackAsWritten) {
    const auto rows = app::ParseCsv("a,b\r\n\"x, y\",\"say \"\"hi\"\"\"\n\"two\nlines\",z", "f.csv");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[1].fields, (std::vector<std::string>{"x, y", "say \"hi\""}));
    EXPECT_EQ(rows[2].fields[0], "two\nlines");
    EXPECT_EQ(rows[2].line, 3);
    EXPECT_THROW(app::ParseCsv("a\n\"open", "f.csv"), app::CsvError);

    const auto customers = app::ReadCustomersCsv(kCustomers + "1,Acme,,ap@acme.test,Retail,Net 30,0\n\n2,Acme: Roof,1,,,,1\n", "c.csv");
    ASSERT_EQ(customers.size(), 2u);
    EXPECT_EQ(customers[1].parent, 1);
    EXPECT_TRUE(customers[1].hidden);
    const auto invoices = app::ReadInvoicesCsv(kInvoices + "1001,1,2026-02-01,2026-03-03,1250.50,0\n", "i.csv");
    ASSERT_EQ(invoices.size(), 1u);
    EXPECT_EQ(invoices[0].dueDate, testsupport::Date(2026, 3, 3));
    EXPECT_DOUBLE_EQ(invoices[0].amount, 1250.5);
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

// Listings write dates without a stream for the ones a calendar holds; the
// rest (as a damaged file may store them) still come out as the stream
// writes them.
TEST(CsvInputTest, DatesAreWrittenYearMonthDayPaddedWhateverTheyHold) {
    const std::pair<DateType32, const char*> cases[] = {
        {DateType32(3, 10, 2026), "2026-03-10"},  {DateType32(), "0000-00-00"},
        {DateType32(12, 31, 9999), "9999-12-31"}, {DateType32(1, 1, 10000), "10000-01-01"},
        {DateType32(2, 3, 1), "0001-02-03"},      {DateType32(99, 99, 2024), "2024-99-99"},
        {DateType32(100, 5, 2024), "2024-100-05"}, {DateType32(255, 255, 65535), "65535-255-255"},
    };
    for (const auto& [date, text] : cases) EXPECT_EQ(app::FormatIsoDate(date), text);
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

TEST(OutboxTest, RenderReplacesKnownPlaceholdersAndKeepsUnknownOnes) {
    const app::Placeholders values{{"customer", "Acme"}, {"amount", "12.00"}};
    EXPECT_EQ(app::Render("Dear {{customer}}, {{ amount }} is due. {{nope}} {{", values),
              "Dear Acme, 12.00 is due. {{nope}} {{");
}

TEST(OutboxTest, BatchPutsEachFileWholeInPlaceOrLeavesNothing) {
    struct Case {
        const char* what;
        int files;
        bool commit;
        int blocked;  // index whose name is taken by a folder (-1: none)
    };
    const Case cases[] = {
        {"a few, flushed one by one", 3, true, -1},
        {"many, flushed at once", 40, true, -1},
        {"one that cannot be renamed into place", 12, true, 5},
        {"ended without a commit", 12, false, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        char pattern[] = "/tmp/outbox-batch-XXXXXX";
        const std::string dir = ::mkdtemp(pattern);
        if (c.blocked >= 0) {
            std::filesystem::create_directories(dir + "/m" + std::to_string(c.blocked) + ".eml/inside");
        }
        std::vector<bool> ok;
        {
            app::OutboxBatch batch(dir);
            for (int i = 0; i < c.files; ++i) {
                ASSERT_TRUE(batch.Add("m" + std::to_string(i) + ".eml", "message " + std::to_string(i)));
            }
            if (c.commit) ok = batch.Commit();
        }
        std::size_t entries = 0;
        for (const auto& e : std::filesystem::directory_iterator(dir)) {
            EXPECT_NE(e.path().filename().string()[0], '.') << "temporary left: " << e.path();
            ++entries;
        }
        if (!c.commit) {
            EXPECT_EQ(entries, 0u);
        } else {
            ASSERT_EQ(ok.size(), static_cast<std::size_t>(c.files));
            EXPECT_EQ(entries, static_cast<std::size_t>(c.files));
            for (int i = 0; i < c.files; ++i) {
                EXPECT_EQ(ok[static_cast<std::size_t>(i)], i != c.blocked) << i;
                if (i != c.blocked) {
                    EXPECT_EQ(app::ReadWholeFile(dir + "/m" + std::to_string(i) + ".eml"), "message " + std::to_string(i));
                }
            }
        }
        std::filesystem::remove_all(dir);
    }
}

namespace {
class DueListingTest : public testsupport::HostFixture {};

// Standard output of `body`, as text.
template <class Body>
std::string Printed(Body body) {
    std::ostringstream captured;
    std::streambuf* saved = std::cout.rdbuf(captured.rdbuf());
    body();
    std::cout.rdbuf(saved);
    return captured.str();
}
} // namespace

// The listing is printed piece by piece and its subjects filled from split
// templates; it must read exactly as the JSON writer would print the items
// with their subjects rendered one by one, whatever the names and templates hold.
TEST_F(DueListingTest, JsonListingReadsAsTheItemsRenderedOneByOne) {
    app::AppContext ctx;
    ctx.file = FilePath();
    ctx.json = true;
    app::FillSample(ctx);
    const std::vector<std::pair<const char*, const char*>> variants = {
        {"as made", ""},
        {"odd placeholders",
         "UPDATE message_templates SET subject = '{{ customer }} owes {{amount}} ({{invoice}}, {{due_date}}, "
         "{{days_overdue}} days) {{statement_from}}-{{statement_to}} {{nope}} {{company}}{{{{x}} }}{{'"},
        {"names to escape",
         "UPDATE customers SET name = name || ' \"Q\" \\ ' || char(233) || char(9) || 'x', "
         "email = CASE WHEN id % 2 = 0 THEN '' ELSE email END"},
    };
    for (const auto& [what, sql] : variants) {
        SCOPED_TRACE(what);
        if (*sql) testsupport::QueryText(sql);
        if (std::string(what) == "names to escape") {
            ASSERT_GT(testsupport::QueryInt("SELECT count(*) FROM customers WHERE name LIKE '%\"Q\"%'"), 0);
        }
        const app::DueList due = app::CollectDue(false);
        const auto invoices = std::count_if(due.items.begin(), due.items.end(), [](const app::DueItem& i) { return !i.statement; });
        ASSERT_GT(invoices, 0);
        ASSERT_LT(static_cast<std::size_t>(invoices), due.items.size()) << "statements too";
        nlohmann::ordered_json expected = nlohmann::ordered_json::array();
        for (const auto& item : due.items) {
            nlohmann::ordered_json o;
            o["txnType"] = static_cast<int>(item.record.GetTxnType());
            o["transactionId"] = item.record.GetTransactionId();
            o["customerId"] = item.record.GetCustomerId();
            o["ruleId"] = item.record.GetRuleId();
            o["templateId"] = item.record.GetTemplateId();
            o["invoice"] = item.statement ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(item.invoice.number);
            o["customer"] = item.to.name;
            o["email"] = item.to.email.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(item.to.email);
            o["dueDate"] = item.statement ? nlohmann::ordered_json(nullptr)
                                          : nlohmann::ordered_json(app::FormatIsoDate(item.invoice.dueDate));
            o["daysFromDue"] = item.statement ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(item.daysFromDue);
            o["rule"] = item.ruleText;
            o["subject"] = app::RenderDue(ctx, item).subject;
            o["overlappingSets"] = item.overlappingSets;
            expected.push_back(std::move(o));
        }
        EXPECT_EQ(Printed([&] { app::ShowDue(ctx, false); }),
                  expected.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n");
    }
}
