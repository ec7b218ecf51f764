#pragma once

// Runs the built `reminders` command on a company file in a temporary folder,
// as a person would, with optional environment settings, and reads back the
// company file directly for what the command left behind.

#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace testsupport {

struct CommandResult {
    int exit = -1;
    std::string out;
    std::string err;
};

class CommandRunner {
public:
    explicit CommandRunner(std::string binary) : m_binary(std::move(binary)) {
        char pattern[] = "/tmp/reminders-cmd-XXXXXX";
        m_dir = ::mkdtemp(pattern);
        m_file = m_dir + "/company.db";
    }
    ~CommandRunner() { std::filesystem::remove_all(m_dir); }
    CommandRunner(const CommandRunner&) = delete;
    CommandRunner& operator=(const CommandRunner&) = delete;

    const std::string& Dir() const { return m_dir; }
    const std::string& File() const { return m_file; }

    // `env VARS reminders --file <file> --today <today> args`; `args` and
    // `env` are shell text. An empty `today` leaves the option out.
    CommandResult Run(const std::string& args, const std::string& today = "2026-03-10",
                      const std::string& env = "", bool withFile = true) const {
        const std::string errFile = m_dir + "/stderr.txt";
        std::string cmd = (env.empty() ? std::string() : "env " + env + " ") + m_binary;
        if (withFile) cmd += " --file '" + m_file + "'";
        if (!today.empty()) cmd += " --today " + today;
        cmd += " " + args + " 2>'" + errFile + "' </dev/null";
        CommandResult r;
        FILE* pipe = ::popen(cmd.c_str(), "r");
        if (!pipe) return r;
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) r.out.append(buffer, n);
        const int status = ::pclose(pipe);
        r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::ifstream err(errFile, std::ios::binary);
        std::ostringstream text;
        text << err.rdbuf();
        r.err = text.str();
        return r;
    }

    void Write(const std::string& name, const std::string& text) const {
        std::ofstream(m_dir + "/" + name, std::ios::binary) << text;
    }

    // Rows of one query on the company file, "a|b\n" per row; writes are
    // allowed so that a test can damage the file as a careless hand would.
    std::string Sql(const std::string& sql) const {
        sqlite3* db = nullptr;
        std::string result;
        if (sqlite3_open_v2(m_file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
            sqlite3_stmt* st = nullptr;
            if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK) {
                while (sqlite3_step(st) == SQLITE_ROW) {
                    for (int c = 0; c < sqlite3_column_count(st); ++c) {
                        const unsigned char* t = sqlite3_column_text(st, c);
                        result += std::string(t ? reinterpret_cast<const char*>(t) : "NULL") +
                                  (c + 1 < sqlite3_column_count(st) ? "|" : "");
                    }
                    result += "\n";
                }
            } else {
                result = std::string("error: ") + sqlite3_errmsg(db);
            }
            sqlite3_finalize(st);
        }
        sqlite3_close(db);
        return result;
    }

private:
    std::string m_binary;
    std::string m_dir;
    std::string m_file;
};

} // namespace testsupport
