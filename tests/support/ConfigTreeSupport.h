#pragma once

// Helpers for the suites of the configuration trees and text parsers:
// building small trees by hand, listing a tree's keys, what a call gives or
// throws, and the engine's failure lines.

#include <boost/property_tree/exceptions.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <initializer_list>
#include <sstream>
#include <stdexcept>
#include <string>
#include <type_traits>
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

// The tree as one line of JSON: keys, their order and every value at once.
inline std::string Json(const Tree& t) {
    std::ostringstream out;
    boost::property_tree::write_json(out, t, false);
    std::string text = out.str();
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

// What a call gives, printed, or what it throws as "kind: text". A tree
// library conversion error is cut before the type's name, which is the
// compiler's.
template <class F>
std::string Outcome(F&& call) {
    try {
        std::ostringstream out;
        if constexpr (std::is_void_v<decltype(call())>) {
            call();
            out << "returned";
        } else {
            out << call();
        }
        return out.str();
    } catch (const boost::property_tree::ptree_bad_data& e) {
        const std::string what = e.what();
        return "bad data: " + what.substr(0, what.find('"'));
    } catch (const boost::property_tree::ptree_bad_path& e) {
        return std::string("bad path: ") + e.what();
    } catch (const std::invalid_argument& e) {
        return std::string("invalid_argument: ") + e.what();
    } catch (const std::out_of_range& e) {
        return std::string("out_of_range: ") + e.what();
    }
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
    // The one line with that message is a failure line from that class's
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
    // That failure line is the only one.
    void ExpectOnlyFailure(const std::string& message, const char* className, const std::string& function) const {
        EXPECT_EQ(Failures(), std::vector<std::string>{message});
        ExpectFailureFrom(message, className, function);
    }
};

} // namespace testsupport
