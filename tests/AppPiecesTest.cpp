#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

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

TEST(CsvTest, CustomersAreCheckedRowByRowWithFileLineAndField) {
    const std::string header = "id,name,parent,email,type,terms,hidden\n";
    const auto ok = app::ReadCustomersCsv(header + "1,Acme,,ap@acme.test,Retail,Net 30,0\n\n2,Acme: Roof,1,,,,1\n", "c.csv");
    ASSERT_EQ(ok.size(), 2u);
    EXPECT_EQ(ok[1].parent, 1);
    EXPECT_TRUE(ok[1].hidden);

    auto error = [&](const std::string& body) {
        try {
            app::ReadCustomersCsv(header + body, "c.csv");
        } catch (const app::CsvError& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(error("1,Acme,,,,,0\n1,Other,,,,,0\n"), "c.csv:3: id: duplicate id 1");
    EXPECT_EQ(error("x,Acme,,,,,0\n"), "c.csv:2: id: not a whole number from 1 to 2147483647");
    EXPECT_EQ(error("1,,,,,,0\n"), "c.csv:2: name: empty");
    EXPECT_EQ(error("1,Acme,,not-an-address,,,0\n"), "c.csv:2: email: not one e-mail address (no '@'): 'not-an-address'");
    EXPECT_EQ(error("1,Acme,,,,,yes\n"), "c.csv:2: hidden: must be 0 or 1");
    EXPECT_EQ(error("1,Acme,1,,,,0\n"), "c.csv:2: parent: a customer cannot be its own parent");
    EXPECT_EQ(error("1,Acme\n"), "c.csv:2: parent: missing (the row has too few fields)");
    EXPECT_THROW(app::ReadCustomersCsv("id,name\n", "c.csv"), app::CsvError);  // missing columns
}

TEST(CsvTest, InvoicesRejectImpossibleDatesAmountsAndNumbers) {
    const std::string header = "number,customer,date,due_date,amount,paid\n";
    const auto ok = app::ReadInvoicesCsv(header + "1001,1,2026-02-01,2026-03-03,1250.50,0\n", "i.csv");
    ASSERT_EQ(ok.size(), 1u);
    EXPECT_EQ(ok[0].dueDate, Date(2026, 3, 3));
    EXPECT_DOUBLE_EQ(ok[0].amount, 1250.5);
    for (const char* bad : {"1001,1,2026-02-30,2026-03-03,1,0", "1001,1,2026-02-01,03/03/2026,1,0",
                            "1001,1,2026-02-01,2026-03-03,-5,0", "1001,1,2026-02-01,2026-03-03,nan,0",
                            "0,1,2026-02-01,2026-03-03,1,0", "4294967296,1,2026-02-01,2026-03-03,1,0",
                            "1001,1,2026-02-01,2026-03-03,1,2"}) {
        EXPECT_THROW(app::ReadInvoicesCsv(header + bad + "\n", "i.csv"), app::CsvError) << bad;
    }
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
