#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

// A real SMTP server on 127.0.0.1 (a Python process on a free port) that
// keeps every message it accepts in `store`. Stopped when destroyed.
class SmtpServer {
public:
    explicit SmtpServer(std::string store);
    ~SmtpServer();
    SmtpServer(const SmtpServer&) = delete;
    SmtpServer& operator=(const SmtpServer&) = delete;

    int Port() const { return m_port; }
    std::string Url() const { return "smtp://127.0.0.1:" + std::to_string(m_port); }

    // Bends the server from its next command on: a JSON object with any of
    // "defer", "reject", "drop" (lists of recipients: 451, 550, connection cut
    // in DATA), "once" (each applies to a recipient's first try only),
    // "delay" (seconds before answering DATA), "password" (for AUTH).
    void Control(const std::string& json) const;

    // SIGKILL, as a crash of the mail server; Start brings up a new one on a
    // new port with the same store (and control).
    void Kill();
    void Start();

    struct Message {
        std::string file; // within the store
        std::string from;
        std::string recipients; // comma-separated
        int connection = 0;     // numbered from 1 per server process
        std::string content;
    };
    std::vector<Message> Received() const;
    // Connections the server accepted, over all its processes.
    int Connections() const;

private:
    std::string m_store;
    pid_t m_pid = -1;
    int m_port = 0;
};

} // namespace testsupport
