#include "Message.h"

#include <gmime/gmime.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <memory>
#include <vector>

#include "AppContext.h"

namespace app {

namespace {
constexpr std::size_t kMaxAddress = 254;  // what SMTP carries in a path
constexpr std::size_t kMaxLocalPart = 64;
constexpr std::size_t kMaxLabel = 63;
const char* const kCompanyHeader = "X-Reminders-Company";

bool LocalPartChar(unsigned char c) {
    return std::isalnum(c) || std::string("!#$%&'*+-/=?^_`{|}~.").find(static_cast<char>(c)) != std::string::npos;
}

bool ValidDomain(const std::string& domain, std::string& why) {
    if (domain.find('.') == std::string::npos) {
        why = "the domain '" + domain + "' has no dot";
        return false;
    }
    std::size_t start = 0;
    while (start <= domain.size()) {
        std::size_t end = domain.find('.', start);
        if (end == std::string::npos) end = domain.size();
        const std::string label = domain.substr(start, end - start);
        if (label.empty() || label.size() > kMaxLabel || label.front() == '-' || label.back() == '-') {
            why = "the domain '" + domain + "' is not a host name";
            return false;
        }
        for (unsigned char c : label) {
            if (!std::isalnum(c) && c != '-') {
                why = "the domain '" + domain + "' is not a host name";
                return false;
            }
        }
        start = end + 1;
    }
    return true;
}

struct GObjectUnref {
    void operator()(void* p) const {
        if (p) g_object_unref(p);
    }
};
template <typename T>
using GPtr = std::unique_ptr<T, GObjectUnref>;

void InitOnce() {
    static const bool done = [] {
        g_mime_init();
        return true;
    }();
    (void)done;
}

// A bare address fit for MAIL FROM / RCPT TO: nothing that could end the
// command or open another.
bool UsableAddress(const std::string& a) {
    return a.find('@') != std::string::npos && std::none_of(a.begin(), a.end(), [](unsigned char c) {
               return c <= 0x20 || c == '<' || c == '>' || c == 0x7F;
           });
}

void CollectAddresses(InternetAddressList* list, std::vector<std::string>& out) {
    if (!list) return;
    const int n = internet_address_list_length(list);
    for (int i = 0; i < n; ++i) {
        InternetAddress* a = internet_address_list_get_address(list, i);
        if (INTERNET_ADDRESS_IS_MAILBOX(a)) {
            const char* addr = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(a));
            if (addr && UsableAddress(addr)) out.emplace_back(addr);
        } else if (INTERNET_ADDRESS_IS_GROUP(a)) {
            CollectAddresses(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(a)), out);
        }
    }
}

// The host clock counts local wall time; a Date header needs the instant and
// the offset the zone had at it.
GDateTime* LocalDateTime(long long wallSeconds) {
    const std::time_t wall = static_cast<std::time_t>(wallSeconds);
    std::tm fields {};
    gmtime_r(&wall, &fields);
    fields.tm_isdst = -1;
    const std::time_t instant = std::mktime(&fields);
    return g_date_time_new_from_unix_local(static_cast<gint64>(instant));
}

bool NeedsQuotedPrintable(const std::string& body) {
    std::size_t line = 0;
    for (unsigned char c : body) {
        if (c == '\n') {
            line = 0;
            continue;
        }
        if (c >= 0x80 || (c < 0x20 && c != '\t' && c != '\r')) return true;
        if (++line > 76) return true;
    }
    return false;
}

// Header values are single lines whatever the stored texts hold, and a text
// that looks like an encoded word would be decoded by the reader into
// something else: it is split apart.
std::string OneLine(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        if (c == '\r' || c == '\n' || c == '\t') c = ' ';
        if (c == '?' && !out.empty() && out.back() == '=') out += ' ';
        out += c;
    }
    return out;
}
} // namespace

bool IsPlausibleMailbox(const std::string& address, std::string& why) {
    if (address.empty()) {
        why = "empty";
        return false;
    }
    if (address.size() > kMaxAddress) {
        why = "longer than " + std::to_string(kMaxAddress) + " characters";
        return false;
    }
    for (unsigned char c : address) {
        if (c < 0x21 || c >= 0x7F) {
            why = c == '\r' || c == '\n' ? "holds a line break" : "holds a blank, a control or a non-ASCII character";
            return false;
        }
    }
    const std::size_t at = address.find('@');
    if (at == std::string::npos) {
        why = "no '@'";
        return false;
    }
    if (address.find('@', at + 1) != std::string::npos) {
        why = "more than one '@'";
        return false;
    }
    const std::string local = address.substr(0, at);
    const std::string domain = address.substr(at + 1);
    if (local.empty() || domain.empty()) {
        why = local.empty() ? "nothing before the '@'" : "nothing after the '@'";
        return false;
    }
    if (local.size() > kMaxLocalPart) {
        why = "the part before the '@' is longer than " + std::to_string(kMaxLocalPart) + " characters";
        return false;
    }
    for (unsigned char c : local) {
        if (!LocalPartChar(c)) {
            why = std::string("'") + static_cast<char>(c) + "' before the '@'";
            return false;
        }
    }
    if (local.front() == '.' || local.back() == '.' || local.find("..") != std::string::npos) {
        why = "misplaced '.' before the '@'";
        return false;
    }
    return ValidDomain(domain, why);
}

std::string BuildMessage(const MailMessage& m) {
    std::string why;
    if (!IsPlausibleMailbox(m.toAddress, why)) throw AppError("recipient '" + m.toAddress + "': " + why);
    if (!IsPlausibleMailbox(m.fromAddress, why)) throw AppError("sender '" + m.fromAddress + "': " + why);
    InitOnce();

    GPtr<GMimeMessage> message(g_mime_message_new(TRUE));
    g_mime_message_add_mailbox(message.get(), GMIME_ADDRESS_TYPE_FROM, OneLine(m.fromName).c_str(),
                               m.fromAddress.c_str());
    g_mime_message_add_mailbox(message.get(), GMIME_ADDRESS_TYPE_TO, OneLine(m.toName).c_str(), m.toAddress.c_str());
    g_mime_message_set_subject(message.get(), OneLine(m.subject).c_str(), "utf-8");
    GDateTime* date = LocalDateTime(m.wallSeconds);
    g_mime_message_set_date(message.get(), date);
    g_date_time_unref(date);
    g_mime_message_set_message_id(message.get(), OneLine(m.messageId).c_str());
    if (!m.companyKey.empty()) {
        g_mime_object_set_header(GMIME_OBJECT(message.get()), kCompanyHeader, OneLine(m.companyKey).c_str(), nullptr);
    }

    GPtr<GMimeTextPart> body(g_mime_text_part_new_with_subtype("plain"));
    std::string text;
    text.reserve(m.body.size() + 1);
    for (char c : m.body) {
        if (c != '\r') text += c;
    }
    if (text.empty() || text.back() != '\n') text += '\n';
    g_mime_text_part_set_text(body.get(), text.c_str());
    g_mime_text_part_set_charset(body.get(), "utf-8");
    g_mime_part_set_content_encoding(GMIME_PART(body.get()), NeedsQuotedPrintable(text)
                                                                 ? GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE
                                                                 : GMIME_CONTENT_ENCODING_7BIT);
    g_mime_message_set_mime_part(message.get(), GMIME_OBJECT(body.get()));

    GMimeFormatOptions* options = g_mime_format_options_new();
    g_mime_format_options_set_newline_format(options, GMIME_NEWLINE_FORMAT_DOS);
    char* formatted = g_mime_object_to_string(GMIME_OBJECT(message.get()), options);
    g_mime_format_options_free(options);
    std::string out = formatted ? formatted : "";
    g_free(formatted);
    if (out.empty()) throw AppError("the message could not be built");
    return out;
}

std::string CompanyKeyOf(const std::string& text) {
    const std::string name = std::string("\r\n") + kCompanyHeader + ":";
    const std::size_t headersEnd = text.find("\r\n\r\n");
    std::size_t at = text.find(name);
    if (at == std::string::npos || (headersEnd != std::string::npos && at > headersEnd)) return std::string();
    at += name.size();
    const std::size_t end = text.find("\r\n", at);
    std::string value = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    while (!value.empty() && value.front() == ' ') value.erase(0, 1);
    while (!value.empty() && value.back() == ' ') value.pop_back();
    return value;
}

Envelope ReadEnvelope(const std::string& content) {
    InitOnce();
    Envelope env;
    GMimeStream* stream = g_mime_stream_mem_new_with_buffer(content.data(), content.size());
    GMimeParser* parser = g_mime_parser_new_with_stream(stream);
    g_object_unref(stream);
    GMimeMessage* message = g_mime_parser_construct_message(parser, nullptr);
    g_object_unref(parser);
    if (!message) return env;
    std::vector<std::string> from;
    CollectAddresses(g_mime_message_get_from(message), from);
    if (from.size() == 1) env.from = from.front();
    CollectAddresses(g_mime_message_get_addresses(message, GMIME_ADDRESS_TYPE_TO), env.to);
    CollectAddresses(g_mime_message_get_addresses(message, GMIME_ADDRESS_TYPE_CC), env.to);
    if (const char* id = g_mime_message_get_message_id(message)) env.messageId = id;
    g_object_unref(message);
    return env;
}

} // namespace app
