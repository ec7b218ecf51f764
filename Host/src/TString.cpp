#include "Util/TString.h"

#include <ostream>

namespace Util {

namespace {
const std::shared_ptr<const std::string>& EmptyText() {
    static const std::shared_ptr<const std::string> empty = std::make_shared<const std::string>();
    return empty;
}
} // namespace

TString::TString() : m_text(EmptyText()) {}
TString::TString(const char* text) : m_text(text && *text ? std::make_shared<const std::string>(text) : EmptyText()) {}
TString::TString(const std::string& text)
    : m_text(text.empty() ? EmptyText() : std::make_shared<const std::string>(text)) {}
TString::TString(const char* text, std::size_t length)
    : m_text(length ? std::make_shared<const std::string>(text, length) : EmptyText()) {}

void TString::clear() { m_text = EmptyText(); }

std::ostream& operator<<(std::ostream& os, const TString& s) { return os << s.str(); }

} // namespace Util
