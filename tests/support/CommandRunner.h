#pragma once

// Runs the built `reminders` command on a company file in a temporary folder
// (or, under the PostgreSQL switch, on a fresh database of the tests' server),
// as a person would, with optional environment settings, and reads back the
// company directly for what the command left behind.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "PgServer.h"

namespace testsupport {

struct CommandResult {
    bool killed = false;  // ended by SIGKILL (a crash point, or the test's own kill)
    int exit = -1;
    std::string out;
    std::string err;
};

inline std::string ReadFileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A command started in the background, for racing or killing it: `line` is
// shell text (as CommandRunner::Line gives); its output lands in files in `dir`.
class Background {
public:
    Background(const std::string& line, const std::string& dir)
        : m_out(dir + "/out." + std::to_string(++Serial())), m_err(dir + "/err." + std::to_string(Serial())) {
        const std::string cmd = "exec " + line + " >'" + m_out + "' 2>'" + m_err + "' </dev/null";
        m_pid = ::fork();
        if (m_pid == 0) {
            ::execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }
    pid_t Pid() const { return m_pid; }
    CommandResult Wait() const {
        CommandResult r;
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        r.killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
        r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = ReadFileText(m_out);
        r.err = ReadFileText(m_err);
        return r;
    }

private:
    static int& Serial() {
        static int serial = 0;
        return serial;
    }
    std::string m_out, m_err;
    pid_t m_pid = -1;
};

class CommandRunner {
public:
    explicit CommandRunner(std::string binary) : m_binary(std::move(binary)) {
        char pattern[] = "/tmp/reminders-cmd-XXXXXX";
        m_dir = ::mkdtemp(pattern);
        m_file = UsePostgres() ? m_database = NewDatabase() : m_dir + "/company.db";
    }
    ~CommandRunner() {
        std::filesystem::remove_all(m_dir);
        if (!m_database.empty()) DropDatabase(m_database);
    }
    CommandRunner(const CommandRunner&) = delete;
    CommandRunner& operator=(const CommandRunner&) = delete;

    const std::string& Dir() const { return m_dir; }
    const std::string& File() const { return m_file; }
    // Later commands work on another company file (in this folder or not).
    void UseFile(std::string file) { m_file = std::move(file); }

    // `env VARS reminders --file <file> --today <today> args` as shell text;
    // `args` and `env` are shell text. An empty `today` leaves the option out.
    std::string Line(const std::string& args, const std::string& today = "2026-03-10", const std::string& env = "",
                     bool withFile = true) const {
        // A company on a server keeps its outbox and log where the program
        // runs: here that is this runner's folder, as beside a company file.
        const bool server = IsServerLocation(m_file);
        std::string cmd = (server ? "env -C '" + m_dir + "' " + env + " "
                                  : env.empty() ? std::string() : "env " + env + " ") + m_binary;
        if (withFile) cmd += " --file '" + m_file + "'";
        if (!today.empty()) cmd += " --today " + today;
        return cmd + " " + args;
    }

    CommandResult Run(const std::string& args, const std::string& today = "2026-03-10",
                      const std::string& env = "", bool withFile = true) const {
        const std::string errFile = m_dir + "/stderr.txt";
        const std::string cmd = Line(args, today, env, withFile) + " 2>'" + errFile + "' </dev/null";
        CommandResult r;
        FILE* pipe = ::popen(cmd.c_str(), "r");
        if (!pipe) return r;
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) r.out.append(buffer, n);
        const int status = ::pclose(pipe);
        r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.err = ReadFileText(errFile);
        return r;
    }

    void Write(const std::string& name, const std::string& text) const {
        std::ofstream(m_dir + "/" + name, std::ios::binary) << text;
    }

    std::string Sql(const std::string& sql) const { return testsupport::Sql(m_file, sql); }

    // Messages in the outbox beside the company file whose names start with `prefix`.
    std::size_t OutboxFiles(const std::string& prefix = "") const {
        std::size_t n = 0;
        if (!std::filesystem::exists(m_dir + "/outbox")) return 0;
        for (const auto& e : std::filesystem::directory_iterator(m_dir + "/outbox")) {
            const std::string name = e.path().filename().string();
            n += e.path().extension() == ".eml" && name.rfind(prefix, 0) == 0 ? 1 : 0;
        }
        return n;
    }

private:
    std::string m_binary;
    std::string m_dir;
    std::string m_file;
    std::string m_database;
};

} // namespace testsupport
