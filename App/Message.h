#pragma once

#include <string>
#include <vector>

namespace app {

// Whether `address` is one plausible mailbox (local@domain.tld, printable
// ASCII, within the lengths mail servers accept). On refusal `why` says what
// is wrong in a few words. Every place an address enters the company file
// asks this, so that nothing stored can later add or hide a recipient.
bool IsPlausibleMailbox(const std::string& address, std::string& why);

struct MailMessage {
    std::string fromName;    // display names: any text, quoted or encoded as needed
    std::string fromAddress;
    std::string toName;
    std::string toAddress;
    std::string subject;
    std::string body;        // UTF-8, '\n' line ends
    std::string messageId;   // without angle brackets
    std::string companyKey;  // which company file wrote it (a header of its own)
    long long wallSeconds = 0;  // the host clock: local wall time as seconds since 1970
};

// The message as RFC 5322 text with CRLF line ends. Throws AppError when an
// address is not one plausible mailbox.
std::string BuildMessage(const MailMessage& message);

// The company key a message text carries, or empty.
std::string CompanyKeyOf(const std::string& messageText);

// Sender and recipients of a stored message, from its From: and To: (and
// Cc:) headers, with its Message-ID. Empty fields when unreadable.
struct Envelope {
    std::string from;
    std::vector<std::string> to;
    std::string messageId;
};
Envelope ReadEnvelope(const std::string& content);

} // namespace app
