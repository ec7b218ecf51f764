// Target groups as the screens send them, and target users as the screens
// receive them.

#include <tuple>

#include "ConfigTreeSupport.h"
#include "TxnReminderTargetGroup.h"
#include "TxnReminderTargetUser.h"

using testsupport::ConfigTreeTest;
using testsupport::Date;
using testsupport::Flat;
using testsupport::Keys;
using testsupport::TextArray;
using testsupport::Tree;

namespace {

Tree GroupTree(const char* typeId = "2") {
    return Flat({{"id", "14"}, {"typeId", typeId}, {"name", "Slow payers"}, {"description", "Over 60 days"}});
}

const char kGroupFailure[] = "TxnReminder: Error occurred whiled parsing Ptree at TxnReminderTargetGroup::SetPtree";

} // namespace

class TargetGroupTreeTest : public ConfigTreeTest {};

TEST_F(TargetGroupTreeTest, ReadsAnEditAndAppendsItsIds) {
    Tree t = GroupTree();
    t.add_child("addedtargetuserids", TextArray({"3", " 12abc", "4294967297"}));
    t.add_child("removedtargetuserids", TextArray({"-1"}));
    t.add_child("updatedtargetuserids", TextArray({}));

    TxnReminderTargetGroup g;
    g.AddTargetUserIds(1);
    ASSERT_TRUE(g.SetPtree(t));
    EXPECT_EQ(g.GetTargetGroupId(), 14);
    EXPECT_EQ(g.GetTargetGroupType(), 2);
    EXPECT_EQ(g.GetTargetGroupName().str(), "Slow payers");
    EXPECT_EQ(g.GetTargetGroupDescription().str(), "Over 60 days");
    EXPECT_EQ(g.GetTargetUserIds(), (std::vector<int>{1, 3, 12, 1}));
    EXPECT_EQ(g.GetRemovedTargetUserIds(), (std::vector<int>{-1}));
    EXPECT_TRUE(g.GetUpdatedTargetUserIds().empty());

    // Without the arrays the id lists stay as they are.
    ASSERT_TRUE(g.SetPtree(GroupTree()));
    EXPECT_EQ(g.GetTargetUserIds().size(), 4u);
    EXPECT_TRUE(Failures().empty());
}

// The type keeps the low sixteen bits of a prefix number; a failed read keeps the type before.
TEST_F(TargetGroupTreeTest, TypeKeepsTheLowSixteenBits) {
    TxnReminderTargetGroup g;
    const std::tuple<const char*, bool, int> rows[] = {
        {"70000", true, 4464}, {" 40000 x", true, -25536}, {"none", false, -25536}, {"4294967296", false, -25536}};
    for (const auto& [text, read, type] : rows) {
        EXPECT_EQ(g.SetPtree(GroupTree(text)), read) << text;
        EXPECT_EQ(g.GetTargetGroupType(), type) << text;
    }
    EXPECT_EQ(Failures(), (std::vector<std::string>{kGroupFailure, kGroupFailure}));
}

TEST_F(TargetGroupTreeTest, BadIdElementFailsAfterEarlierIdsWereAppended) {
    Tree t = GroupTree();
    t.put("name", "New name");
    t.add_child("addedtargetuserids", TextArray({"5"}));
    t.add_child("removedtargetuserids", TextArray({"6", "seven", "8"}));
    t.add_child("updatedtargetuserids", TextArray({"9"}));
    TxnReminderTargetGroup g;
    EXPECT_FALSE(g.SetPtree(t));
    EXPECT_EQ(g.GetTargetGroupName().str(), "New name");
    EXPECT_EQ(g.GetTargetUserIds(), (std::vector<int>{5}));
    EXPECT_EQ(g.GetRemovedTargetUserIds(), (std::vector<int>{6}));
    EXPECT_TRUE(g.GetUpdatedTargetUserIds().empty());
    ExpectFailureFrom(kGroupFailure, "TxnReminderTargetGroup", "TxnReminderTargetGroup::SetPtree");

    Tree huge = GroupTree();
    huge.add_child("addedtargetuserids", TextArray({"18446744073709551616"}));
    EXPECT_FALSE(g.SetPtree(huge));

    // Names and description are stored together, after both were read.
    Tree noDescription = Flat({{"id", "15"}, {"typeId", "1"}, {"name", "Other"}});
    EXPECT_FALSE(g.SetPtree(noDescription));
    EXPECT_EQ(g.GetTargetGroupId(), 15);
    EXPECT_EQ(g.GetTargetGroupType(), 1);
    EXPECT_EQ(g.GetTargetGroupName().str(), "Slow payers");  // from the tree before
}

TEST_F(TargetGroupTreeTest, WrittenTreeCarriesNoTypeSoItDoesNotReadBack) {
    TxnReminderTargetGroup g;
    g.SetTargetGroupId(14);
    g.SetTargetGroupType(3);
    g.SetTargetGroupName("Slow payers");
    g.SetTargetUserIds({1, 2});
    Tree t;
    ASSERT_TRUE(g.GetPtree(t));
    EXPECT_EQ(Keys(t), (std::vector<std::string>{"id", "name", "description"}));
    EXPECT_EQ(t.get<std::string>("description"), "");
    TxnReminderTargetGroup back;
    EXPECT_FALSE(back.SetPtree(t));
    EXPECT_EQ(back.GetTargetGroupId(), 14);
}

class TargetUserTreeTest : public ConfigTreeTest {
protected:
    // `high` lands above the moment's 32 bits.
    long MonthsFor(long secondsAgo, long high = 0) {
        const DateAndTime now = GetMXSystemTime();
        TxnReminderTargetUser user;
        user.SetTargetAgeAsYear(static_cast<long>(now - secondsAgo) + high);
        Tree t;
        user.GetPtree(t);
        return t.get<long>("monthsascustomer");
    }
};

TEST_F(TargetUserTreeTest, MonthsAsCustomerCountThirtyDayMonthsAndYearsOfTwelve) {
    Ctx().FixClock(Date(2026, 3, 10), 8);
    const long day = 86400;
    const std::pair<long, long> cases[] = {
        {20 * day, 0},      {-5 * day, 0},      {30 * day, 0},  {30 * day + 1, 1}, {59 * day, 1},
        {364 * day, 12},    {365 * day, 12},    {400 * day, 13}, {730 * day, 24},  {3 * 365 * day + 95 * day, 39},
    };
    for (const auto& c : cases) EXPECT_EQ(MonthsFor(c.first), c.second) << c.first / day << " days";
    // The moment is a 32-bit value: a wider one keeps its low 32 bits.
    EXPECT_EQ(MonthsFor(400 * day, 1L << 32), 13);
}

TEST_F(TargetUserTreeTest, WritesTheScreensKeysAndReadsThemBack) {
    TxnReminderTargetUser user;
    user.SetTargetId(31);
    user.SetTargetName("Acme Ltd");
    user.SetTargetTypes("Retail");
    user.SetTargetBalance(0.1);
    user.SetTargetAvgDaysToPay(12.5);
    user.SetTargetTerms("Net 30");
    user.SetTargetEmailId("ap@acme.test");
    user.setTargetGroupName("Slow payers");
    user.SetTargetGroupId(14);
    Tree t;
    ASSERT_TRUE(user.GetPtree(t));
    EXPECT_EQ(Keys(t), (std::vector<std::string>{"id", "name", "type", "overdue", "avgdaystopay", "terms",
                                                 "monthsascustomer", "emailid", "customergroup"}));
    EXPECT_EQ(t.get<std::string>("overdue"), "0.10000000000000001");
    EXPECT_EQ(t.get<std::string>("avgdaystopay"), "12.5");
    EXPECT_EQ(Keys(t.get_child("customergroup")), (std::vector<std::string>{"id", "name"}));
    EXPECT_EQ(t.get<std::string>("customergroup.name"), "Slow payers");

    TxnReminderTargetUser back;
    ASSERT_TRUE(back.SetPtree(t));
    Tree again;
    ASSERT_TRUE(back.GetPtree(again));
    EXPECT_EQ(again, t);

    t.erase("customergroup");
    EXPECT_FALSE(back.SetPtree(t));
    EXPECT_EQ(Failures().size(), 1u);
}
