#include "Smtp.h"

#include <curl/curl.h>

#include <cstring>
#include <mutex>
#include <stdexcept>

namespace app {

namespace {
struct Upload {
    const std::string* content = nullptr;
    std::size_t sent = 0;
};

std::size_t ReadUpload(char* buffer, std::size_t size, std::size_t count, void* user) {
    auto* upload = static_cast<Upload*>(user);
    const std::size_t left = upload->content->size() - upload->sent;
    const std::size_t n = std::min(left, size * count);
    std::memcpy(buffer, upload->content->data() + upload->sent, n);
    upload->sent += n;
    return n;
}

// Only what the server says is kept: what we send includes the login.
int OnDebug(CURL*, curl_infotype type, char* data, std::size_t size, void* user) {
    if (type != CURLINFO_HEADER_IN) return 0;
    std::string line(data, size);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (!line.empty()) static_cast<std::vector<std::string>*>(user)->push_back(line);
    return 0;
}

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string Bracketed(const std::string& address) { return "<" + address + ">"; }
} // namespace

struct SmtpSession::Handle {
    CURL* curl = nullptr;
    std::vector<std::string> lines; // the server's replies to this message
    char error[CURL_ERROR_SIZE] = {};
    ~Handle() {
        if (curl) curl_easy_cleanup(curl);
    }
};

std::string Scrub(std::string text, const std::string& secret) {
    if (secret.empty()) return text;
    for (std::size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at)) {
        text.replace(at, secret.size(), "***");
    }
    return text;
}

SmtpSession::SmtpSession(SmtpSettings settings) : m_settings(std::move(settings)), m_handle(new Handle) {
    GlobalInit();
    m_handle->curl = curl_easy_init();
    if (!m_handle->curl) throw std::runtime_error("the mail library could not start");
}

SmtpSession::~SmtpSession() = default;

SmtpOutcome SmtpSession::Send(const std::string& from, const std::vector<std::string>& recipients,
                              const std::string& content) {
    CURL* c = m_handle->curl;
    curl_slist* rcpt = nullptr;
    for (const auto& r : recipients) rcpt = curl_slist_append(rcpt, Bracketed(r).c_str());
    Upload upload{&content, 0};
    m_handle->lines.clear();
    m_handle->error[0] = '\0';
    const std::string mailFrom = Bracketed(from);

    curl_easy_setopt(c, CURLOPT_URL, m_settings.url.c_str());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_MAIL_FROM, mailFrom.c_str());
    curl_easy_setopt(c, CURLOPT_MAIL_RCPT, rcpt);
    curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(c, CURLOPT_READFUNCTION, ReadUpload);
    curl_easy_setopt(c, CURLOPT_READDATA, &upload);
    curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(content.size()));
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, m_settings.timeoutSeconds);
    curl_easy_setopt(c, CURLOPT_SERVER_RESPONSE_TIMEOUT, m_settings.timeoutSeconds);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, m_handle->error);
    curl_easy_setopt(c, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(c, CURLOPT_DEBUGFUNCTION, OnDebug);
    curl_easy_setopt(c, CURLOPT_DEBUGDATA, &m_handle->lines);
    const long tls = m_settings.startTls == StartTls::Required   ? static_cast<long>(CURLUSESSL_ALL)
                     : m_settings.startTls == StartTls::Optional ? static_cast<long>(CURLUSESSL_TRY)
                                                                 : static_cast<long>(CURLUSESSL_NONE);
    curl_easy_setopt(c, CURLOPT_USE_SSL, tls);
    if (!m_settings.user.empty()) {
        curl_easy_setopt(c, CURLOPT_USERNAME, m_settings.user.c_str());
        curl_easy_setopt(c, CURLOPT_PASSWORD, m_settings.password.c_str());
    }

    const CURLcode rc = curl_easy_perform(c);
    curl_easy_setopt(c, CURLOPT_MAIL_RCPT, nullptr);
    curl_slist_free_all(rcpt);

    SmtpOutcome out;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &out.code);
    const std::string why = m_handle->error[0] ? m_handle->error : curl_easy_strerror(rc);
    // The reply that decided, not the farewell to QUIT that may follow it.
    const std::string prefix = std::to_string(out.code);
    for (auto it = m_handle->lines.rbegin(); it != m_handle->lines.rend(); ++it) {
        if (it->compare(0, prefix.size(), prefix) == 0) {
            out.reply = Scrub(*it, m_settings.password);
            break;
        }
    }
    switch (rc) {
    case CURLE_OK:
        out.kind = SmtpOutcome::Accepted;
        return out;
    case CURLE_USE_SSL_FAILED:
        out.kind = SmtpOutcome::Setup;
        out.reply =
            "the server does not offer STARTTLS, and smtp-starttls is required (the login and the messages "
            "would cross the network unencrypted)";
        return out;
    case CURLE_LOGIN_DENIED:
    case CURLE_AUTH_ERROR:
        out.kind = SmtpOutcome::Setup;
        out.reply = "the server refused the login of smtp-user '" + m_settings.user + "'" +
                    (out.reply.empty() ? std::string() : " (" + out.reply + ")");
        return out;
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CACERT_BADFILE:
        out.kind = SmtpOutcome::Setup;
        out.reply = Scrub(why, m_settings.password);
        return out;
    default:
        break;
    }
    if (out.code >= 500 && out.code < 600) {
        out.kind = SmtpOutcome::Permanent;
    } else if (out.code >= 400 && out.code < 500) {
        out.kind = SmtpOutcome::Temporary;
    } else {
        // No final reply: refused, timed out or cut off. Whatever the server
        // had by then, it did not say it took the message.
        out.kind = SmtpOutcome::Temporary;
        out.code = 0;
        out.reply = Scrub(why, m_settings.password);
    }
    return out;
}

} // namespace app
