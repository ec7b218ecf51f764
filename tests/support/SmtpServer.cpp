#include "SmtpServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testsupport {

namespace {
std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}
} // namespace

SmtpServer::SmtpServer(std::string store) : m_store(std::move(store)) { Start(); }

SmtpServer::~SmtpServer() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
    }
}

void SmtpServer::Start() {
    if (m_pid > 0) Kill();
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("smtp server: pipe failed");
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("smtp server: fork failed");
    if (pid == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        ::close(fds[0]);
        ::close(fds[1]);
        ::execl("/usr/bin/python3", "python3", SMTP_SERVER_SCRIPT, m_store.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    m_pid = pid;
    std::string line;
    pollfd p{fds[0], POLLIN, 0};
    while (line.find('\n') == std::string::npos && ::poll(&p, 1, 15000) > 0) {
        char buffer[64];
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        line.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    if (line.rfind("PORT ", 0) != 0) {
        Kill();
        throw std::runtime_error("smtp server did not start (python3-aiosmtpd installed?): '" + line + "'");
    }
    m_port = std::stoi(line.substr(5));
}

void SmtpServer::Kill() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
    m_pid = -1;
}

void SmtpServer::Control(const std::string& json) const {
    const std::string path = m_store + "/control.json";
    std::ofstream(path + ".tmp") << json;
    std::rename((path + ".tmp").c_str(), path.c_str());
}

std::vector<SmtpServer::Message> SmtpServer::Received() const {
    std::vector<Message> out;
    std::istringstream log(Slurp(m_store + "/received.log"));
    std::string line;
    while (std::getline(log, line)) {
        std::istringstream fields(line);
        Message m;
        std::getline(fields, m.file, '\t');
        std::getline(fields, m.from, '\t');
        std::getline(fields, m.recipients, '\t');
        fields >> m.connection;
        m.content = Slurp(m_store + "/" + m.file);
        out.push_back(m);
    }
    return out;
}

int SmtpServer::Connections() const {
    std::istringstream log(Slurp(m_store + "/connections.log"));
    int n = 0;
    std::string line;
    while (std::getline(log, line)) ++n;
    return n;
}

} // namespace testsupport
