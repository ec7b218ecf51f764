#pragma once

#include <memory>
#include <string>
#include <vector>

namespace app {

enum class StartTls { Required, Optional, Off };

struct SmtpSettings {
    std::string url;      // smtp://host:port or smtps://host:port
    std::string user;     // empty: no login
    std::string password; // never written anywhere
    StartTls startTls = StartTls::Required;
    long timeoutSeconds = 60;
};

struct SmtpOutcome {
    enum Kind {
        Accepted,  // the server took the message (2xx after DATA)
        Temporary, // 4xx, or no reply at all: try again later
        Permanent, // 5xx: the message will never go through as it is
        Setup,     // the settings or the server cannot work (TLS, login, URL): stop, keep everything queued
    };
    Kind kind = Temporary;
    long code = 0;     // the server's last reply code, 0 when none came
    std::string reply; // the server's last reply line, or what went wrong
};

// One connection to the mail server, kept open across messages: the handle
// hands its connection from one message to the next and reconnects by itself
// after a failure closed it.
class SmtpSession {
public:
    explicit SmtpSession(SmtpSettings settings);
    ~SmtpSession();
    SmtpSession(const SmtpSession&) = delete;
    SmtpSession& operator=(const SmtpSession&) = delete;

    SmtpOutcome Send(const std::string& from, const std::vector<std::string>& recipients, const std::string& content);

private:
    struct Handle;
    SmtpSettings m_settings;
    std::unique_ptr<Handle> m_handle;
};

// `text` with every occurrence of `secret` blanked out.
std::string Scrub(std::string text, const std::string& secret);

} // namespace app
