// Tree conventions shared by the configuration classes, and the invoice
// rule with its criterion and message template.

#include <algorithm>
#include <boost/property_tree/exceptions.hpp>
#include <stdexcept>

#include "ConfigTreeSupport.h"
#include "PtreeHelpers.h"
#include "TxnReminderRule.h"

using testsupport::ConfigTreeTest;
using testsupport::Flat;
using testsupport::Keys;
using testsupport::Tree;
namespace tp = TxnReminderPtree;

namespace {

std::string BadPathText(const std::function<void()>& read) {
    try {
        read();
    } catch (const boost::property_tree::ptree_bad_path& e) {
        return e.what();
    }
    return "(no bad path)";
}

std::string BadDataText(const std::function<void()>& read) {
    try {
        read();
    } catch (const boost::property_tree::ptree_bad_data& e) {
        return e.what();
    }
    return "(no bad data)";
}

bool StartsWith(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

Tree CriterionTree(const char* days, const char* date, const char* schedule) {
    return Flat({{"days", days}, {"DateToCompare", date}, {"schedule", schedule}});
}

Tree TemplateTree(const char* id, const char* typeId) { return Flat({{"id", id}, {"typeId", typeId}}); }

Tree RuleTree(const char* id, const char* setId, const Tree& criterion, const Tree& message) {
    Tree t = Flat({{"id", id}, {"setId", setId}});
    t.add_child("criterion", criterion);
    t.add_child("template", message);
    return t;
}

TxnReminderRule MakeRule(int schedule, int days) {
    TxnReminderRule rule;
    rule.GetRuleCriteria().SetSchedule(schedule);
    rule.GetRuleCriteria().SetDays(days);
    return rule;
}

} // namespace

// --- tree conventions ------------------------------------------------------------

TEST(PtreeConventionsTest, ScalarsReplaceSubTreesAppendInWritingOrder) {
    Tree t;
    tp::PutNumber(t, "id", 1);
    tp::PutText(t, "name", std::string("a"));
    tp::PutNumber(t, "id", 2);
    tp::AddSubTree(t, "rules", Flat({{"x", "1"}}));
    tp::AddSubTree(t, "rules", Flat({{"x", "2"}}));
    EXPECT_EQ(Keys(t), (std::vector<std::string>{"id", "name", "rules", "rules"}));
    EXPECT_EQ(t.get<std::string>("id"), "2");
    auto range = t.equal_range("rules");
    std::vector<std::string> order;
    for (auto it = range.first; it != range.second; ++it) order.push_back(it->second.get<std::string>("x"));
    EXPECT_EQ(order, (std::vector<std::string>{"1", "2"}));

    Tree empty;
    EXPECT_TRUE(empty.empty());
    tp::AppendArrayElement(empty, Flat({{"v", "1"}}));
    EXPECT_EQ(Keys(empty), (std::vector<std::string>{""}));
}

TEST(PtreeConventionsTest, ReadsRaiseTheTreeLibraryErrors) {
    const Tree t = Flat({{"n", "12"}, {"blank", " 12 "}, {"bad", "12x"}, {"big", "4294967296"},
                         {"max", "4294967295"}, {"short", "32768"}, {"neg", "-32768"}, {"word", "true"}});
    EXPECT_EQ(tp::ReadInt32(t, "n"), 12);
    EXPECT_EQ(tp::ReadInt32(t, "blank"), 12);
    EXPECT_EQ(tp::ReadUInt32(t, "max"), 4294967295u);
    EXPECT_EQ(tp::ReadInt16(t, "neg"), -32768);
    EXPECT_TRUE(StartsWith(BadPathText([&] { tp::ReadText(t, "absent"); }), "No such node (absent)"));
    EXPECT_TRUE(StartsWith(BadPathText([&] { tp::ReadChild(t, "absent"); }), "No such node"));
    for (const char* key : {"bad", "word"}) {
        EXPECT_TRUE(StartsWith(BadDataText([&] { tp::ReadInt32(t, key); }), "conversion of data to type \"")) << key;
    }
    // Widths hold even where the platform's long is wider.
    EXPECT_TRUE(StartsWith(BadDataText([&] { tp::ReadUInt32(t, "big"); }), "conversion of data to type \""));
    EXPECT_TRUE(StartsWith(BadDataText([&] { tp::ReadInt32(t, "max"); }), "conversion of data to type \""));
    EXPECT_TRUE(StartsWith(BadDataText([&] { tp::ReadInt16(t, "short"); }), "conversion of data to type \""));
    EXPECT_TRUE(tp::ReadFlag(t, "word"));
    EXPECT_FALSE(tp::ReadFlag(t, "n"));
}

TEST(PtreeConventionsTest, SignedPrefixParseRaisesItsOwnTexts) {
    const std::pair<const char*, int> good[] = {
        {"12", 12},          {" 12 word", 12},   {"\t-5x", -5}, {"+7", 7}, {"007", 7},
        {"2147483647", 2147483647}, {"-2147483648", -2147483647 - 1}, {"00000000000000000000042", 42},
    };
    for (const auto& c : good) EXPECT_EQ(tp::ParseIntPrefix(c.first), c.second) << c.first;

    for (const char* text : {"", "   ", "abc", "- 5", "x12", "+"}) {
        try {
            tp::ParseIntPrefix(text);
            ADD_FAILURE() << text;
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "invalid stoi argument") << text;
        }
    }
    for (const char* text : {"2147483648", "-2147483649", "3000000000", "99999999999999999999999"}) {
        try {
            tp::ParseIntPrefix(text);
            ADD_FAILURE() << text;
        } catch (const std::out_of_range& e) {
            EXPECT_STREQ(e.what(), "stoi argument out of range") << text;
        }
    }
}

TEST(PtreeConventionsTest, UnsignedPrefixParseRaisesItsOwnTexts) {
    EXPECT_EQ(tp::ParseUnsignedPrefix(" 12abc"), 12u);
    EXPECT_EQ(tp::ParseUnsignedPrefix("18446744073709551615"), 18446744073709551615ull);
    EXPECT_EQ(tp::ParseUnsignedPrefix("-1"), 18446744073709551615ull);
    try {
        tp::ParseUnsignedPrefix("18446744073709551616");
        ADD_FAILURE();
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "stoull argument out of range");
    }
    try {
        tp::ParseUnsignedPrefix("id7");
        ADD_FAILURE();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "invalid stoull argument");
    }
}

// --- criterion -------------------------------------------------------------------

class RuleCriteriaTreeTest : public ConfigTreeTest {};

TEST_F(RuleCriteriaTreeTest, RoundTripsWithFixedKeysAndTexts) {
    for (const int schedule : {1, 2}) {
        TxnReminderRuleCriteria c;
        c.SetDays(-3);
        c.SetDateToCompare("due date");
        c.SetSchedule(schedule);
        Tree t;
        ASSERT_TRUE(c.GetPtree(t));
        EXPECT_EQ(Keys(t), (std::vector<std::string>{"days", "DateToCompare", "schedule"}));
        EXPECT_EQ(t.get<std::string>("days"), "-3");
        EXPECT_EQ(t.get<std::string>("schedule"), schedule == 1 ? "before" : "after");
        TxnReminderRuleCriteria back;
        ASSERT_TRUE(back.SetPtree(t));
        EXPECT_EQ(back.GetDays(), -3);
        EXPECT_EQ(back.GetSchedule(), schedule);
        EXPECT_EQ(back.GetDateToCompare(), "due date");
    }
    EXPECT_TRUE(Failures().empty());
}

TEST_F(RuleCriteriaTreeTest, DaysAreABaseTenPrefix) {
    TxnReminderRuleCriteria c;
    ASSERT_TRUE(c.SetPtree(CriterionTree(" 12 days", "", "after")));
    EXPECT_EQ(c.GetDays(), 12);
    EXPECT_EQ(c.GetDateToCompare(), "");

    const std::pair<const char*, const char*> bad[] = {{"twelve", "invalid stoi argument"},
                                                       {"3000000000", "stoi argument out of range"}};
    for (const auto& b : bad) {
        ClearLog();
        TxnReminderRuleCriteria fresh;
        EXPECT_FALSE(fresh.SetPtree(CriterionTree(b.first, "due date", "after")));
        EXPECT_EQ(fresh.GetDays(), -1);
        EXPECT_EQ(fresh.GetDateToCompare(), "");
        ExpectFailureFrom(
            std::string("TxnReminder: Error occurred whiled parsing JSON at TxnReminderRuleCriteria::SetPtree, trace=") +
                b.second,
            "TxnReminderRuleCriteria", "TxnReminderRuleCriteria::SetPtree");
    }
}

TEST_F(RuleCriteriaTreeTest, FailuresKeepWhatWasAlreadyRead) {
    TxnReminderRuleCriteria c;
    c.SetSchedule(2);
    EXPECT_FALSE(c.SetPtree(CriterionTree("9", "due date", "Before")));
    EXPECT_EQ(c.GetDays(), 9);
    EXPECT_EQ(c.GetDateToCompare(), "due date");
    EXPECT_EQ(c.GetSchedule(), -1);
    ExpectFailureFrom(
        "TxnReminder: Error occurred whiled parsing JSON at TxnReminderRuleCriteria::SetPtree, trace=schedule is "
        "not before/after",
        "TxnReminderRuleCriteria", "TxnReminderRuleCriteria::SetPtree");

    ClearLog();
    TxnReminderRuleCriteria d;
    EXPECT_FALSE(d.SetPtree(Flat({{"days", "4"}, {"schedule", "after"}})));
    EXPECT_EQ(d.GetDays(), 4);
    EXPECT_EQ(d.GetSchedule(), -1);
    EXPECT_EQ(Failures(), (std::vector<std::string>{"TxnReminder: Error occurred whiled parsing JSON at "
                                                    "TxnReminderRuleCriteria::SetPtree, trace=No such node "
                                                    "(DateToCompare)"}));
}

TEST_F(RuleCriteriaTreeTest, UnsetScheduleWritesEmptyTextThatDoesNotReadBack) {
    TxnReminderRuleCriteria c;
    Tree t;
    EXPECT_TRUE(c.GetPtree(t));
    EXPECT_EQ(t.get<std::string>("schedule"), "");
    EXPECT_EQ(t.get<std::string>("days"), "-1");
    ExpectFailureFrom("TxnReminder: TxnReminderRuleCriteria::GetPtree schedule is not before/after",
                      "TxnReminderRuleCriteria", "TxnReminderRuleCriteria::GetPtree");
    TxnReminderRuleCriteria back;
    EXPECT_FALSE(back.SetPtree(t));
}

TEST_F(RuleCriteriaTreeTest, DateToCompareNumbersOnlyForInvoices) {
    TxnReminderRuleCriteria c;
    c.SetDateToCompare("due date");
    EXPECT_EQ(c.ConvertDateToCompareStringToNumericValue(FormViewType_Invoice), 1);
    c.SetDateToCompare("Due date");
    EXPECT_EQ(c.ConvertDateToCompareStringToNumericValue(FormViewType_Invoice), 0);
    EXPECT_EQ(TxnReminderRuleCriteria::GetDateToCompareString(1, FormViewType_Invoice), "due date");
    EXPECT_EQ(TxnReminderRuleCriteria::GetDateToCompareString(2, FormViewType_Invoice), "");
    EXPECT_TRUE(Failures().empty());

    c.SetDateToCompare("due date");
    EXPECT_EQ(c.ConvertDateToCompareStringToNumericValue(FormViewType_Statement), 0);
    ExpectFailureFrom(
        "TxnReminder:: ConvertDateToCompareStringToNumericValue: Default code should never be executed.",
        "TxnReminderRuleCriteria", "TxnReminderRuleCriteria::ConvertDateToCompareStringToNumericValue");
    EXPECT_EQ(TxnReminderRuleCriteria::GetDateToCompareString(1, FormViewType_Statement), "");
    ExpectFailureFrom("TxnReminder:: GetDateToCompareString: Default code should never be executed.",
                      "TxnReminderRuleCriteria", "TxnReminderRuleCriteria::GetDateToCompareString");
}

// --- template --------------------------------------------------------------------

class RuleTemplateTreeTest : public ConfigTreeTest {};

TEST_F(RuleTemplateTreeTest, RoundTripsTextsButNotTheTypeNumber) {
    TxnReminderRuleTemplate m(15, "Dear customer", "Payment due");
    m.SetTemplateId(42);
    Tree t;
    ASSERT_TRUE(m.GetPtree(t));
    EXPECT_EQ(Keys(t), (std::vector<std::string>{"id", "typeId", "body", "subject"}));
    EXPECT_EQ(t.get<std::string>("id"), "42");
    EXPECT_EQ(t.get<std::string>("typeId"), "15");

    TxnReminderRuleTemplate back;
    ASSERT_TRUE(back.SetPtree(t));
    EXPECT_EQ(back.GetTemplateId(), 42);
    EXPECT_EQ(back.GetTemplateTypeId(), -1);  // only "INV_TYPE" names the invoice type
    EXPECT_EQ(back.GetTemplateBody().str(), "Dear customer");
    EXPECT_EQ(back.GetTemplateSubject().str(), "Payment due");

    t.put("typeId", "INV_TYPE");
    t.put("body", std::string("Hi\0there", 8));
    ASSERT_TRUE(back.SetPtree(t));
    EXPECT_EQ(back.GetTemplateTypeId(), 15);
    EXPECT_EQ(back.GetTemplateBody().str(), "Hi");
    EXPECT_TRUE(Failures().empty());
}

TEST_F(RuleTemplateTreeTest, BodyIsOptionalButNeedsItsSubject) {
    TxnReminderRuleTemplate m(15, "old body", "old subject");
    ASSERT_TRUE(m.SetPtree(TemplateTree("7", "INV_TYPE")));
    EXPECT_EQ(m.GetTemplateId(), 7);
    EXPECT_EQ(m.GetTemplateBody().str(), "old body");
    EXPECT_EQ(m.GetTemplateSubject().str(), "old subject");

    Tree noSubject = TemplateTree("8", "x");
    noSubject.put("body", "new body");
    EXPECT_FALSE(m.SetPtree(noSubject));
    EXPECT_EQ(m.GetTemplateId(), 8);
    EXPECT_EQ(m.GetTemplateBody().str(), "old body");
    ExpectFailureFrom("TxnReminder: Error occurred whiled parsing Ptree at TxnReminderRuleTemplate::SetPtree",
                      "TxnReminderRuleTemplate", "TxnReminderRuleTemplate::SetPtree");

    ClearLog();
    EXPECT_FALSE(m.SetPtree(TemplateTree("4294967295", "INV_TYPE")));
    EXPECT_FALSE(m.SetPtree(Flat({{"id", "1"}})));
    EXPECT_EQ(m.GetTemplateId(), 1);
    EXPECT_EQ(Failures().size(), 2u);
}

// --- rule ------------------------------------------------------------------------

class RuleTreeTest : public ConfigTreeTest {};

TEST_F(RuleTreeTest, RoundTripsIdsCriterionAndTemplate) {
    TxnReminderRule rule(9, 31);
    rule.GetRuleCriteria().SetSchedule(1);
    rule.GetRuleCriteria().SetDays(5);
    rule.GetRuleCriteria().SetDateToCompare("due date");
    TxnReminderRuleTemplate m(15, "body", "subject");
    m.SetTemplateId(77);
    rule.SetRuleTemplate(m);

    Tree t;
    ASSERT_TRUE(rule.GetPtree(t));
    EXPECT_EQ(Keys(t), (std::vector<std::string>{"id", "setId", "criterion", "template"}));
    EXPECT_EQ(t.get<std::string>("id"), "31");
    EXPECT_EQ(t.get<std::string>("setId"), "9");

    TxnReminderRule back;
    ASSERT_TRUE(back.SetPtree(t));
    EXPECT_EQ(back.GetRuleSetId(), 9u);
    EXPECT_EQ(back.GetRuleId(), 31u);
    EXPECT_EQ(back.GetRuleCriteria().GetSchedule(), 1);
    EXPECT_EQ(back.GetRuleCriteria().GetDays(), 5);
    EXPECT_EQ(back.GetRuleCriteria().GetDateToCompare(), "due date");
    EXPECT_EQ(back.GetRuleTemplate().GetTemplateId(), 77);
    EXPECT_EQ(back.GetRuleTemplate().GetTemplateSubject().str(), "subject");
    EXPECT_TRUE(Failures().empty());

    // Writing again replaces the ids and appends second sub-trees.
    ASSERT_TRUE(rule.GetPtree(t));
    EXPECT_EQ(Keys(t), (std::vector<std::string>{"id", "setId", "criterion", "template", "criterion", "template"}));
}

TEST_F(RuleTreeTest, IdsAreThirtyTwoBits) {
    TxnReminderRule rule(0x100000009ul, 0x1FFFFFFFFul);
    EXPECT_EQ(rule.GetRuleSetId(), 9u);
    EXPECT_EQ(rule.GetRuleId(), 0xFFFFFFFFu);
    EXPECT_FALSE(rule.SetPtree(RuleTree("1", "4294967296", CriterionTree("1", "", "after"), TemplateTree("1", "x"))));
    ExpectFailureFrom("TxnReminder: Error occurred whiled parsing Ptree at TxnReminderRule::SetPtree",
                      "TxnReminderRule", "TxnReminderRule::SetPtree");
}

TEST_F(RuleTreeTest, FailingCriterionKeepsIdsButNotTheCriterion) {
    TxnReminderRule rule = MakeRule(2, 10);
    EXPECT_FALSE(rule.SetPtree(RuleTree("5", "6", CriterionTree("3", "", "later"), TemplateTree("1", "x"))));
    EXPECT_EQ(rule.GetRuleId(), 5u);
    EXPECT_EQ(rule.GetRuleSetId(), 6u);
    EXPECT_EQ(rule.GetRuleCriteria().GetSchedule(), 2);
    EXPECT_EQ(rule.GetRuleCriteria().GetDays(), 10);
    EXPECT_EQ(Failures(), (std::vector<std::string>{
                              "TxnReminder: Error occurred whiled parsing JSON at TxnReminderRuleCriteria::SetPtree, "
                              "trace=schedule is not before/after",
                              "TxnReminder: Error occurred whiled parsing Ptree at TxnReminderRuleCriteria::SetPtree",
                          }));
    ExpectFailureFrom("TxnReminder: Error occurred whiled parsing Ptree at TxnReminderRuleCriteria::SetPtree",
                      "TxnReminderRule", "TxnReminderRule::SetPtree");
}

TEST_F(RuleTreeTest, FailingTemplateKeepsIdsAndCriterion) {
    TxnReminderRule rule = MakeRule(2, 10);
    Tree message = TemplateTree("1", "INV_TYPE");
    message.put("body", "b");
    EXPECT_FALSE(rule.SetPtree(RuleTree("5", "6", CriterionTree("3", "", "before"), message)));
    EXPECT_EQ(rule.GetRuleId(), 5u);
    EXPECT_EQ(rule.GetRuleCriteria().GetSchedule(), 1);
    EXPECT_EQ(rule.GetRuleCriteria().GetDays(), 3);
    EXPECT_EQ(rule.GetRuleTemplate().GetTemplateId(), -1);
    EXPECT_EQ(Failures(), (std::vector<std::string>{
                              "TxnReminder: Error occurred whiled parsing Ptree at TxnReminderRuleTemplate::SetPtree",
                              "TxnReminder: Error occurred whiled parsing Ptree at TxnReminderRuleTemplate::SetPtree",
                          }));
    EXPECT_EQ(m_log.back().file, testsupport::SourceOf("TxnReminderRule"));
}

TEST_F(RuleTreeTest, TemplateWithoutBodyComesOutEmptyInsideARule) {
    TxnReminderRule rule;
    rule.SetRuleTemplate(TxnReminderRuleTemplate(15, "kept?", "kept?"));
    ASSERT_TRUE(rule.SetPtree(RuleTree("1", "2", CriterionTree("1", "due date", "after"), TemplateTree("3", "INV_TYPE"))));
    EXPECT_TRUE(rule.GetRuleTemplate().GetTemplateBody().empty());
    EXPECT_TRUE(rule.GetRuleTemplate().GetTemplateSubject().empty());
    EXPECT_EQ(rule.GetRuleTemplate().GetTemplateTypeId(), 15);

    ClearLog();
    EXPECT_FALSE(rule.SetPtree(Flat({{"id", "1"}, {"setId", "2"}})));
    ExpectFailureFrom("TxnReminder: Error occurred whiled parsing Ptree at TxnReminderRule::SetPtree",
                      "TxnReminderRule", "TxnReminderRule::SetPtree");
}

TEST(RuleOrderTest, SortsInTheOrderRemindersFallDue) {
    std::vector<TxnReminderRule> rules = {MakeRule(1, 3), MakeRule(2, 10), MakeRule(1, 7), MakeRule(2, 2),
                                          MakeRule(0, 4)};
    std::sort(rules.begin(), rules.end());
    std::vector<std::pair<int, int>> got;
    for (const auto& r : rules) got.emplace_back(r.GetRuleCriteria().GetSchedule(), r.GetRuleCriteria().GetDays());
    EXPECT_EQ(got, (std::vector<std::pair<int, int>>{{1, 7}, {1, 3}, {0, 4}, {2, 2}, {2, 10}}));

    // Days compare as signed numbers.
    EXPECT_TRUE(MakeRule(2, -1) < MakeRule(2, 0));
    EXPECT_TRUE(MakeRule(1, 0) < MakeRule(1, -1));
    // An unknown schedule never comes first.
    EXPECT_FALSE(MakeRule(-1, 0) < MakeRule(2, 5));
    EXPECT_FALSE(MakeRule(-1, 0) < MakeRule(0, 5));
    EXPECT_TRUE(MakeRule(1, 0) < MakeRule(-1, 0));
}
