#pragma once

// Helpers for the suites of the configuration trees: building small trees
// by hand, listing a tree's keys, and finding the engine's failure lines.

#include <boost/property_tree/ptree.hpp>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "HostFixture.h"

namespace testsupport {

using Tree = boost::property_tree::ptree;

// A flat tree of text values, children in the order given.
inline Tree Flat(std::initializer_list<std::pair<const char*, const char*>> entries) {
    Tree t;
    for (const auto& e : entries) t.push_back(Tree::value_type(e.first, Tree(e.second)));
    return t;
}

// An array of text elements (children with the empty key).
inline Tree TextArray(std::initializer_list<const char*> values) {
    Tree t;
    for (const char* v : values) t.push_back(Tree::value_type("", Tree(v)));
    return t;
}

inline std::vector<std::string> Keys(const Tree& t) {
    std::vector<std::string> keys;
    for (const auto& child : t) keys.push_back(child.first);
    return keys;
}

inline std::string SourceOf(const char* className) {
    return std::string("Features\\TxnReminder\\TxnReminder.Engine\\Src\\") + className;
}

// The fixture of the configuration suites: a fresh host with captured log.
class ConfigTreeTest : public HostFixture {
protected:
    // Messages of the failure lines (level 4, event type 5), in order.
    std::vector<std::string> Failures() const {
        std::vector<std::string> out;
        for (const auto& r : m_log) {
            if (r.level == 4 && r.eventType == 5) out.push_back(r.message);
        }
        return out;
    }
    // The one failure line with that message must come from that class's
    // source file and the named function.
    void ExpectFailureFrom(const std::string& message, const char* className, const std::string& function) const {
        int found = 0;
        for (const auto& r : m_log) {
            if (r.message != message) continue;
            ++found;
            EXPECT_EQ(r.level, 4);
            EXPECT_EQ(r.eventType, 5);
            EXPECT_EQ(r.file, SourceOf(className));
            EXPECT_EQ(r.function, function);
        }
        EXPECT_EQ(found, 1) << message;
    }
};

} // namespace testsupport
