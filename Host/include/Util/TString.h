#pragma once

#include <iosfwd>
#include <memory>
#include <string>

#include "Util/HostApi.h"

namespace Util {

// The host string: copies share one immutable text, so passing names around
// by value costs a reference count, not an allocation.
class HOST_API TString {
public:
    TString();
    TString(const char* text);          // NOLINT: implicit by design, like the host's
    TString(const std::string& text);   // NOLINT
    TString(const char* text, std::size_t length);

    const char* c_str() const { return m_text->c_str(); }
    const std::string& str() const { return *m_text; }
    std::size_t length() const { return m_text->size(); }
    bool empty() const { return m_text->empty(); }
    void clear();

    bool operator==(const TString& o) const { return *m_text == *o.m_text; }
    bool operator!=(const TString& o) const { return !(*this == o); }
    bool operator<(const TString& o) const { return *m_text < *o.m_text; }

    // True when both share one text (the host's sharing rule made observable).
    bool SharesTextWith(const TString& o) const { return m_text == o.m_text; }

private:
    std::shared_ptr<const std::string> m_text;
};

HOST_API std::ostream& operator<<(std::ostream& os, const TString& s);

} // namespace Util
