#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "CmdData.h"
#include "CmdDue.h"
#include "Csv.h"
#include "HostFixture.h"
#include "Outbox.h"

using testsupport::Date;

TEST(CsvTest, QuotedFieldsDoubledQuotesAndLineBreaks) {
    const auto rows = app::ParseCsv("a,b\r\n\"x, y\",\"say \"\"hi\"\"\"\n\"two\nlines\",z", "f.csv");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[1].fields, (std::vector<std::string>{"x, y", "say \"hi\""}));
    EXPECT_EQ(rows[2].fields[0], "two\nlines");
    EXPECT_EQ(rows[2].line, 3);
    EXPECT_THROW(app::ParseCsv("a\n\"open", "f.csv"), app::CsvError);
}

TEST(CsvTest, RowsReadBackAsWritten) {
    const auto customers = app::ReadCustomersCsv(
        "id,name,parent,email,type,terms,hidden\n1,Acme,,ap@acme.test,Retail,Net 30,0\n\n2,Acme: Roof,1,,,,1\n", "c.csv");
    ASSERT_EQ(customers.size(), 2u);
    EXPECT_EQ(customers[1].parent, 1);
    EXPECT_TRUE(customers[1].hidden);
    const auto invoices = app::ReadInvoicesCsv(
        "number,customer,date,due_date,amount,paid\n1001,1,2026-02-01,2026-03-03,1250.50,0\n", "i.csv");
    ASSERT_EQ(invoices.size(), 1u);
    EXPECT_EQ(invoices[0].dueDate, Date(2026, 3, 3));
    EXPECT_DOUBLE_EQ(invoices[0].amount, 1250.5);
}

TEST(OutboxTest, RenderReplacesKnownPlaceholdersAndKeepsUnknownOnes) {
    const app::Placeholders values{{"customer", "Acme"}, {"amount", "12.00"}};
    EXPECT_EQ(app::Render("Dear {{customer}}, {{ amount }} is due. {{nope}} {{", values),
              "Dear Acme, 12.00 is due. {{nope}} {{");
}

TEST(OutboxTest, AtomicWriteLeavesOnlyCompleteFiles) {
    char pattern[] = "/tmp/outbox-test-XXXXXX";
    const std::string dir = ::mkdtemp(pattern);
    ASSERT_TRUE(app::MakeDirectories(dir + "/a/b"));
    EXPECT_TRUE(app::WriteFileAtomically(dir + "/a/b", "m.eml", "hello"));
    EXPECT_EQ(app::ReadWholeFile(dir + "/a/b/m.eml"), "hello");
    EXPECT_TRUE(app::WriteFileAtomically(dir + "/a/b", "m.eml", "again"));
    EXPECT_EQ(app::ReadWholeFile(dir + "/a/b/m.eml"), "again");
    EXPECT_FALSE(app::WriteFileAtomically(dir + "/missing", "m.eml", "x"));
    std::size_t files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir + "/a/b")) {
        (void)e;
        ++files;
    }
    EXPECT_EQ(files, 1u);  // no temporary file left behind
    std::filesystem::remove_all(dir);
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
