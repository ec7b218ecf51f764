// Tree conventions shared by the configuration classes, and the invoice
// rule with its criterion and message template.

#include <algorithm>

#include "ConfigTreeSupport.h"
#include "PtreeHelpers.h"
#include "TxnReminderRule.h"

using testsupport::ConfigTreeTest;
using testsupport::Flat;
using testsupport::Keys;
using testsupport::Outcome;
using testsupport::Tree;
namespace tp = TxnReminderPtree;

namespace {

const char* const kCriterionJson =
    "TxnReminder: Error occurred whiled parsing JSON at TxnReminderRuleCriteria::SetPtree, trace=";
const char* const kCriterionPtree = "TxnReminder: Error occurred whiled parsing Ptree at TxnReminderRuleCriteria::SetPtree";
const char* const kTemplatePtree = "TxnReminder: Error occurred whiled parsing Ptree at TxnReminderRuleTemplate::SetPtree";
const char* const kRulePtree = "TxnReminder: Error occurred whiled parsing Ptree at TxnReminderRule::SetPtree";

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

// days/date/schedule, and for a rule id/set id/criterion/template id.
std::string State(const TxnReminderRuleCriteria& c) {
    return std::to_string(c.GetDays()) + "/" + c.GetDateToCompare() + "/" + std::to_string(c.GetSchedule());
}
std::string State(const TxnReminderRule& r) {
    return std::to_string(r.GetRuleId()) + "/" + std::to_string(r.GetRuleSetId()) + "/" + State(r.GetRuleCriteria()) +
           "/" + std::to_string(r.GetRuleTemplate().GetTemplateId());
}

} // namespace

// --- tree conventions ------------------------------------------------------------

TEST(PtreeConventionsTest, ReadsHoldTheirWidthsAndRaiseTheTreeLibraryErrors) {
    const Tree t = Flat({{"n", "12"}, {"blank", " 12 "}, {"bad", "12x"}, {"big", "4294967296"},
                         {"max", "4294967295"}, {"short", "32768"}, {"neg", "-32768"}, {"word", "true"}});
    const char* const badData = "bad data: conversion of data to type ";
    auto read = [&](char kind, const char* key) {
        switch (kind) {
        case 'i': return Outcome([&] { return tp::ReadInt32(t, key); });
        case 'u': return Outcome([&] { return tp::ReadUInt32(t, key); });
        case 's': return Outcome([&] { return tp::ReadInt16(t, key); });
        case 'f': return Outcome([&] { return tp::ReadFlag(t, key); });
        case 't': return Outcome([&] { return tp::ReadText(t, key); });
        default: return Outcome([&] { tp::ReadChild(t, key); });
        }
    };
    const struct {
        char kind;
        const char* key;
        const char* want;
    } cases[] = {
        {'i', "n", "12"}, {'i', "blank", "12"}, {'u', "max", "4294967295"}, {'s', "neg", "-32768"},
        {'t', "absent", "bad path: No such node (absent)"}, {'c', "absent", "bad path: No such node (absent)"},
        {'i', "bad", badData}, {'i', "word", badData}, {'f', "word", "1"}, {'f', "n", "0"},
        // Widths hold even where the platform's long is wider.
        {'u', "big", badData}, {'i', "max", badData}, {'s', "short", badData},
    };
    for (const auto& c : cases) EXPECT_EQ(read(c.kind, c.key), c.want) << c.kind << " " << c.key;
}

TEST(PtreeConventionsTest, PrefixParsesRaiseTheirOwnTexts) {
    const char* const badInt = "invalid_argument: invalid stoi argument";
    const char* const bigInt = "out_of_range: stoi argument out of range";
    const struct {
        bool isUnsigned;
        const char* text;
        const char* want;
    } cases[] = {
        {false, "12", "12"}, {false, " 12 word", "12"}, {false, "\t-5x", "-5"}, {false, "+7", "7"}, {false, "007", "7"},
        {false, "2147483647", "2147483647"}, {false, "-2147483648", "-2147483648"},
        {false, "00000000000000000000042", "42"},
        {false, "", badInt}, {false, "   ", badInt}, {false, "abc", badInt}, {false, "- 5", badInt},
        {false, "x12", badInt}, {false, "+", badInt},
        {false, "2147483648", bigInt}, {false, "-2147483649", bigInt}, {false, "3000000000", bigInt},
        {false, "99999999999999999999999", bigInt},
        {true, " 12abc", "12"}, {true, "18446744073709551615", "18446744073709551615"},
        {true, "-1", "18446744073709551615"},
        {true, "18446744073709551616", "out_of_range: stoull argument out of range"},
        {true, "id7", "invalid_argument: invalid stoull argument"},
    };
    for (const auto& c : cases) {
        const std::string text = c.text;
        if (c.isUnsigned) {
            EXPECT_EQ(Outcome([&] { return tp::ParseUnsignedPrefix(text); }), c.want) << '"' << text << '"';
        } else {
            EXPECT_EQ(Outcome([&] { return tp::ParseIntPrefix(text); }), c.want) << '"' << text << '"';
        }
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
        EXPECT_EQ(State(back), State(c));
    }
    EXPECT_TRUE(Failures().empty());
}

// Days are a base-ten prefix; a failure keeps what was read before it.
TEST_F(RuleCriteriaTreeTest, ReadsStopAtTheFirstBadKey) {
    const struct {
        Tree tree;
        bool presetAfter;
        const char* state;
        const char* trace;  // null: read fine
    } cases[] = {
        {CriterionTree(" 12 days", "", "after"), false, "12//2", nullptr},
        {CriterionTree("twelve", "due date", "after"), false, "-1//-1", "invalid stoi argument"},
        {CriterionTree("3000000000", "due date", "after"), false, "-1//-1", "stoi argument out of range"},
        {CriterionTree("9", "due date", "Before"), true, "9/due date/-1", "schedule is not before/after"},
        {Flat({{"days", "4"}, {"schedule", "after"}}), false, "4//-1", "No such node (DateToCompare)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.state);
        ClearLog();
        TxnReminderRuleCriteria criterion;
        if (c.presetAfter) criterion.SetSchedule(2);
        EXPECT_EQ(criterion.SetPtree(c.tree), c.trace == nullptr);
        EXPECT_EQ(State(criterion), c.state);
        if (c.trace) {
            ExpectOnlyFailure(kCriterionJson + std::string(c.trace), "TxnReminderRuleCriteria",
                              "TxnReminderRuleCriteria::SetPtree");
        } else {
            EXPECT_TRUE(Failures().empty());
        }
    }
}

TEST_F(RuleCriteriaTreeTest, UnsetScheduleWritesEmptyTextThatDoesNotReadBack) {
    TxnReminderRuleCriteria c;
    Tree t;
    EXPECT_TRUE(c.GetPtree(t));
    EXPECT_EQ(t.get<std::string>("schedule"), "");
    EXPECT_EQ(t.get<std::string>("days"), "-1");
    ExpectFailureFrom("TxnReminder: TxnReminderRuleCriteria::GetPtree schedule is not before/after",
                      "TxnReminderRuleCriteria", "TxnReminderRuleCriteria::GetPtree");
    EXPECT_FALSE(TxnReminderRuleCriteria().SetPtree(t));
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
    ExpectOnlyFailure(kTemplatePtree, "TxnReminderRuleTemplate", "TxnReminderRuleTemplate::SetPtree");

    ClearLog();
    EXPECT_FALSE(m.SetPtree(TemplateTree("4294967295", "INV_TYPE")));
    EXPECT_FALSE(m.SetPtree(Flat({{"id", "1"}})));
    EXPECT_EQ(m.GetTemplateId(), 1);
    EXPECT_EQ(Failures(), (std::vector<std::string>{kTemplatePtree, kTemplatePtree}));
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
    EXPECT_EQ(State(back), "31/9/5/due date/1/77");
    EXPECT_EQ(back.GetRuleTemplate().GetTemplateSubject().str(), "subject");
    EXPECT_TRUE(Failures().empty());
}

TEST_F(RuleTreeTest, IdsAreThirtyTwoBits) {
    TxnReminderRule rule(0x100000009ul, 0x1FFFFFFFFul);
    EXPECT_EQ(rule.GetRuleSetId(), 9u);
    EXPECT_EQ(rule.GetRuleId(), 0xFFFFFFFFu);
    EXPECT_FALSE(rule.SetPtree(RuleTree("1", "4294967296", CriterionTree("1", "", "after"), TemplateTree("1", "x"))));
    ExpectOnlyFailure(kRulePtree, "TxnReminderRule", "TxnReminderRule::SetPtree");
}

// A failing criterion keeps the ids but not the criterion; a failing template
// keeps the ids and the criterion. The rule adds its own line last.
TEST_F(RuleTreeTest, FailingPartKeepsWhatCameBefore) {
    Tree bodyWithoutSubject = TemplateTree("1", "INV_TYPE");
    bodyWithoutSubject.put("body", "b");
    const struct {
        Tree tree;
        const char* state;
        std::vector<std::string> failures;
    } cases[] = {
        {RuleTree("5", "6", CriterionTree("3", "", "later"), TemplateTree("1", "x")), "5/6/10//2/-1",
         {kCriterionJson + std::string("schedule is not before/after"), kCriterionPtree}},
        {RuleTree("5", "6", CriterionTree("3", "", "before"), bodyWithoutSubject), "5/6/3//1/-1",
         {kTemplatePtree, kTemplatePtree}},
        {Flat({{"id", "5"}, {"setId", "6"}}), "5/6/10//2/-1", {kRulePtree}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.state);
        ClearLog();
        TxnReminderRule rule = MakeRule(2, 10);
        EXPECT_FALSE(rule.SetPtree(c.tree));
        EXPECT_EQ(State(rule), c.state);
        EXPECT_EQ(Failures(), c.failures);
        ASSERT_FALSE(m_log.empty());
        EXPECT_EQ(m_log.back().file, testsupport::SourceOf("TxnReminderRule"));
        EXPECT_EQ(m_log.back().function, "TxnReminderRule::SetPtree");
    }
}

TEST_F(RuleTreeTest, TemplateWithoutBodyComesOutEmptyInsideARule) {
    TxnReminderRule rule;
    rule.SetRuleTemplate(TxnReminderRuleTemplate(15, "kept?", "kept?"));
    ASSERT_TRUE(rule.SetPtree(RuleTree("1", "2", CriterionTree("1", "due date", "after"), TemplateTree("3", "INV_TYPE"))));
    EXPECT_TRUE(rule.GetRuleTemplate().GetTemplateBody().empty());
    EXPECT_TRUE(rule.GetRuleTemplate().GetTemplateSubject().empty());
    EXPECT_EQ(rule.GetRuleTemplate().GetTemplateTypeId(), 15);
}

TEST(RuleOrderTest, SortsInTheOrderRemindersFallDue) {
    std::vector<TxnReminderRule> rules = {MakeRule(1, 3), MakeRule(2, 10), MakeRule(1, 7), MakeRule(2, 2),
                                          MakeRule(0, 4)};
    std::sort(rules.begin(), rules.end());
    std::vector<std::pair<int, int>> got;
    for (const auto& r : rules) got.emplace_back(r.GetRuleCriteria().GetSchedule(), r.GetRuleCriteria().GetDays());
    EXPECT_EQ(got, (std::vector<std::pair<int, int>>{{1, 7}, {1, 3}, {0, 4}, {2, 2}, {2, 10}}));

    // Days compare as signed numbers; an unknown schedule never comes first.
    EXPECT_TRUE(MakeRule(2, -1) < MakeRule(2, 0));
    EXPECT_TRUE(MakeRule(1, 0) < MakeRule(1, -1));
    EXPECT_FALSE(MakeRule(-1, 0) < MakeRule(2, 5));
    EXPECT_FALSE(MakeRule(-1, 0) < MakeRule(0, 5));
    EXPECT_TRUE(MakeRule(1, 0) < MakeRule(-1, 0));
}
