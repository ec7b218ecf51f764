#include "PtreeHelpers.h"

#include <cctype>
#include <limits>
#include <stdexcept>

namespace TxnReminderPtree {

void PutText(Tree& tree, const std::string& key, const std::string& text) { tree.put(key, text); }

void PutText(Tree& tree, const std::string& key, const Util::TString& text) { tree.put(key, text.str()); }

void PutBool(Tree& tree, const std::string& key, bool value) { tree.put(key, std::string(value ? kTrue : kFalse)); }

void PutDate(Tree& tree, const std::string& key, const DateType32& date) { tree.put(key, date); }

void AddSubTree(Tree& tree, const std::string& key, const Tree& child) { tree.add_child(key, child); }

void AppendArrayElement(Tree& array, const Tree& element) { array.push_back(Tree::value_type(std::string(), element)); }

const Tree& ReadChild(const Tree& tree, const std::string& key) { return tree.get_child(key); }

const std::string& ReadText(const Tree& tree, const std::string& key) { return tree.get_child(key).data(); }

std::uint32_t ReadUInt32(const Tree& tree, const std::string& key) {
    return tree.get_child(key).get_value<std::uint32_t>();
}

std::int32_t ReadInt32(const Tree& tree, const std::string& key) {
    return tree.get_child(key).get_value<std::int32_t>();
}

std::int16_t ReadInt16(const Tree& tree, const std::string& key) {
    return tree.get_child(key).get_value<std::int16_t>();
}

DateType32 ReadDate(const Tree& tree, const std::string& key) { return tree.get_child(key).get_value<DateType32>(); }

bool ReadFlag(const Tree& tree, const std::string& key) { return ReadText(tree, key) == kTrue; }

bool HasDirectChild(const Tree& tree, const std::string& key) { return tree.find(key) != tree.not_found(); }

Util::TString ToTString(const std::string& text) { return Util::TString(text.c_str()); }

void AppendIdArray(const Tree& tree, const std::string& key, std::vector<int>& ids) {
    const auto found = tree.find(key);
    if (found == tree.not_found()) return;
    for (const auto& element : found->second) {
        const unsigned long long id = ParseUnsignedPrefix(element.second.data());
        ids.push_back(static_cast<int>(static_cast<std::uint32_t>(id)));
    }
}

namespace {
// Skips leading white space and a sign; returns the index of the first digit
// (or of whatever stands there) and whether the sign was a minus.
std::size_t SkipToDigits(const std::string& text, bool& negative) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    return i;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
} // namespace

int ParseIntPrefix(const std::string& text) {
    bool negative = false;
    std::size_t i = SkipToDigits(text, negative);
    if (i >= text.size() || !IsDigit(text[i])) throw std::invalid_argument(kInvalidStoi);
    // Magnitude limit: 2^31 for negatives, 2^31 - 1 otherwise.
    const unsigned long long limit =
        static_cast<unsigned long long>(std::numeric_limits<int>::max()) + (negative ? 1u : 0u);
    unsigned long long magnitude = 0;
    bool overflow = false;
    for (; i < text.size() && IsDigit(text[i]); ++i) {
        if (!overflow) {
            magnitude = magnitude * 10 + static_cast<unsigned>(text[i] - '0');
            overflow = magnitude > limit;
        }
    }
    if (overflow) throw std::out_of_range(kStoiOutOfRange);
    return negative ? static_cast<int>(-static_cast<long long>(magnitude)) : static_cast<int>(magnitude);
}

unsigned long long ParseUnsignedPrefix(const std::string& text) {
    bool negative = false;
    std::size_t i = SkipToDigits(text, negative);
    if (i >= text.size() || !IsDigit(text[i])) throw std::invalid_argument(kInvalidStoull);
    constexpr unsigned long long kMax = std::numeric_limits<unsigned long long>::max();
    unsigned long long value = 0;
    bool overflow = false;
    for (; i < text.size() && IsDigit(text[i]); ++i) {
        const unsigned digit = static_cast<unsigned>(text[i] - '0');
        if (!overflow && value > (kMax - digit) / 10) overflow = true;
        if (!overflow) value = value * 10 + digit;
    }
    if (overflow) throw std::out_of_range(kStoullOutOfRange);
    return negative ? 0ull - value : value;
}

std::string ExceptionText(const std::exception& e) {
    const char* text = e.what();
    return (text && *text) ? std::string(text) : std::string(kUnknownException);
}

} // namespace TxnReminderPtree
