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
