#pragma once

// How every configuration class writes and reads its tree, in one place:
// scalars replace, sub-trees append, reads are by one-level key and raise
// the tree library's own errors, numbers go through the tree's stream
// conversion unless a field says otherwise.

#include <boost/property_tree/ptree.hpp>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "Date/DateType32.h"
#include "TxnReminderDefines.h"
#include "Util/TString.h"

namespace TxnReminderPtree {

using Tree = boost::property_tree::ptree;

// Error texts of the prefix parsers; the screens and the log show them.
constexpr const char kInvalidStoi[] = "invalid stoi argument";
constexpr const char kStoiOutOfRange[] = "stoi argument out of range";
constexpr const char kInvalidStoull[] = "invalid stoull argument";
constexpr const char kStoullOutOfRange[] = "stoull argument out of range";
// Logged in place of an exception text when there is none.
constexpr const char kUnknownException[] = "Unknown exception";

constexpr const char kTrue[] = "true";
constexpr const char kFalse[] = "false";

// --- writing ------------------------------------------------------------------

// Scalars: an existing child of the key gets the new value, else one is appended.
template <typename T>
void PutNumber(Tree& tree, const std::string& key, const T& value) {
    tree.put(key, value);
}
TXNREMINDER_API void PutText(Tree& tree, const std::string& key, const std::string& text);
TXNREMINDER_API void PutText(Tree& tree, const std::string& key, const Util::TString& text);
TXNREMINDER_API void PutBool(Tree& tree, const std::string& key, bool value);
TXNREMINDER_API void PutDate(Tree& tree, const std::string& key, const DateType32& date);

// Sub-trees (objects and arrays) are always appended, even under a key that
// is already there.
TXNREMINDER_API void AddSubTree(Tree& tree, const std::string& key, const Tree& child);
// One array element: a child with the empty key.
TXNREMINDER_API void AppendArrayElement(Tree& array, const Tree& element);

// --- reading ------------------------------------------------------------------
// A missing key raises ptree_bad_path ("No such node (key)"); a text that is
// not wholly a number of the wanted type (blanks around it allowed) raises
// ptree_bad_data ("conversion of data to type \"...\" failed").

TXNREMINDER_API const Tree& ReadChild(const Tree& tree, const std::string& key);
TXNREMINDER_API const std::string& ReadText(const Tree& tree, const std::string& key);
TXNREMINDER_API std::uint32_t ReadUInt32(const Tree& tree, const std::string& key);
TXNREMINDER_API std::int32_t ReadInt32(const Tree& tree, const std::string& key);
TXNREMINDER_API std::int16_t ReadInt16(const Tree& tree, const std::string& key);
TXNREMINDER_API DateType32 ReadDate(const Tree& tree, const std::string& key);
// Exactly "true" is true; any other text is false.
TXNREMINDER_API bool ReadFlag(const Tree& tree, const std::string& key);
// True when the tree itself (not a descendant) has a child of that key.
TXNREMINDER_API bool HasDirectChild(const Tree& tree, const std::string& key);

// The host string of a tree text: up to its first NUL.
TXNREMINDER_API Util::TString ToTString(const std::string& text);

// Appends the ids of the array under key, if the tree has it directly: each
// element's text through ParseUnsignedPrefix, low 32 bits kept. Ids before a
// bad element stay appended.
TXNREMINDER_API void AppendIdArray(const Tree& tree, const std::string& key, std::vector<int>& ids);

// --- text to number -------------------------------------------------------------

// Base-10 prefix of a text as a 32-bit int: leading white space skipped, an
// optional sign, then digits; anything after them is ignored. Throws
// std::invalid_argument(kInvalidStoi) without digits and
// std::out_of_range(kStoiOutOfRange) outside the 32-bit range.
TXNREMINDER_API int ParseIntPrefix(const std::string& text);
// The same as an unsigned 64-bit number; a leading '-' negates modulo 2^64.
// Throws std::invalid_argument(kInvalidStoull) / std::out_of_range(kStoullOutOfRange).
TXNREMINDER_API unsigned long long ParseUnsignedPrefix(const std::string& text);

// what() of an exception, or kUnknownException when it says nothing.
TXNREMINDER_API std::string ExceptionText(const std::exception& e);

} // namespace TxnReminderPtree
