#include "PgServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>

namespace testsupport {
namespace {

const char* const kBin = "/usr/lib/postgresql/15/bin/";

// initdb refuses to run as root, and a server must not own root's files.
std::string AsServerUser(const std::string& command) {
    return ::geteuid() == 0 ? "runuser -u postgres -- " + command : command;
}

std::string Quote(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Runs shell text; its exit code, and what it printed in `output`.
int Run(const std::string& command, std::string* output = nullptr) {
    FILE* pipe = ::popen(("(" + command + ") 2>&1 </dev/null").c_str(), "r");
    if (!pipe) return -1;
    std::string text;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
    const int status = ::pclose(pipe);
    if (output) *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string StopCommand(const std::string& folder) {
    return AsServerUser(std::string(kBin) + "pg_ctl -D " + Quote(folder + "/data") + " -m immediate stop");
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A port nobody listens on now; the server may still lose it to a quicker
// process, so starting retries with another.
int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}

std::string Conninfo(const std::string& folder, int port, const std::string& database) {
    return "host=" + folder + " port=" + std::to_string(port) + " user=postgres dbname=" + database +
           " connect_timeout=10";
}

struct PgConnDeleter {
    void operator()(PGconn* c) const { PQfinish(c); }
};
using PgConn = std::unique_ptr<PGconn, PgConnDeleter>;

PgConn Connect(const std::string& conninfo) {
    PgConn conn(PQconnectdb(conninfo.c_str()));
    // Notices ("does not exist, skipping") are not the test's output.
    PQsetNoticeProcessor(conn.get(), [](void*, const char*) {}, nullptr);
    return conn;
}

// Runs one administrative statement; throws with the server's words.
void Admin(const std::string& conninfo, const std::string& sql) {
    PgConn conn = Connect(conninfo);
    if (PQstatus(conn.get()) != CONNECTION_OK)
        throw std::runtime_error("cannot reach the test server: " + std::string(PQerrorMessage(conn.get())));
    std::unique_ptr<PGresult, decltype(&PQclear)> res(PQexec(conn.get(), sql.c_str()), &PQclear);
    if (PQresultStatus(res.get()) != PGRES_COMMAND_OK)
        throw std::runtime_error(sql + ": " + PQerrorMessage(conn.get()));
}

// The server this process's tests share: announced by the environment (one
// per CTest run) or started here on first use.
struct SharedServer {
    std::unique_ptr<PgServer> own;
    std::string folder;
    int port = 0;
};

SharedServer& Shared() {
    static SharedServer shared = [] {
        SharedServer s;
        const char* info = std::getenv("REMINDERS_TEST_PG_SERVER");
        if (info && *info) {
            std::istringstream in(ReadText(info));
            in >> s.folder >> s.port;
            if (s.folder.empty() || s.port == 0)
                throw std::runtime_error(std::string("no test server announced in ") + info);
        } else {
            s.own = std::make_unique<PgServer>();
            s.folder = s.own->Folder();
            s.port = s.own->Port();
        }
        return s;
    }();
    return shared;
}

std::string DatabaseOf(const std::string& url) {
    const std::size_t slash = url.find('/', url.find("://") + 3);
    if (slash == std::string::npos) return std::string();
    return url.substr(slash + 1, url.find('?', slash) - slash - 1);
}

} // namespace

PgServer::PgServer() {
    char pattern[] = "/tmp/reminders-pg-XXXXXX";
    if (!::mkdtemp(pattern)) throw std::runtime_error("cannot make a folder for the test server");
    m_folder = pattern;
    if (::geteuid() == 0) {
        const passwd* pw = ::getpwnam("postgres");
        if (!pw || ::chown(m_folder.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
            Run("rm -rf " + Quote(m_folder));
            throw std::runtime_error("running as root, the test server needs the postgres user");
        }
    }
    // From here on the folder is cleaned up however this process ends.
    Guard(::getpid());
    try {
        std::string out;
        if (Run(AsServerUser(std::string(kBin) + "initdb -D " + Quote(m_folder + "/data") +
                             " --no-locale -E UTF8 -A trust -U postgres --no-sync"),
                &out) != 0)
            throw std::runtime_error("initdb failed: " + out);
        // A stopped server keeps what it committed (the system still holds it),
        // which is all the tests ask of durability; syncing would only slow them.
        std::ofstream(m_folder + "/data/postgresql.conf", std::ios::app)
            << "listen_addresses = '127.0.0.1'\n"
            << "unix_socket_directories = '" << m_folder << "'\n"
            << "fsync = off\nfull_page_writes = off\n"
            << "max_connections = 100\nshared_buffers = 32MB\n";
        for (int attempt = 1;; ++attempt) {
            m_port = FreePort();
            try {
                Start();
                break;
            } catch (const std::runtime_error&) {
                if (attempt == 5) throw;
            }
        }
    } catch (...) {
        Release();
        throw;
    }
}

PgServer::~PgServer() { Release(); }

void PgServer::Release() {
    if (m_guardPipe < 0) return;
    // The guardian stops the server and removes the folder when it reads the
    // end of the pipe; waiting for it keeps the removal inside this process.
    ::close(m_guardPipe);
    m_guardPipe = -1;
    ::waitpid(m_guardian, nullptr, 0);
}

std::string PgServer::Url(const std::string& database, const std::string& password) const {
    return "postgresql://postgres" + (password.empty() ? std::string() : ":" + password) + "@127.0.0.1:" +
           std::to_string(m_port) + "/" + database;
}

std::string PgServer::Conninfo(const std::string& database) const {
    return testsupport::Conninfo(m_folder, m_port, database);
}

void PgServer::Kill() { Run(StopCommand(m_folder)); }

void PgServer::Start() {
    std::string out;
    const std::string log = m_folder + "/server.log";
    if (Run(AsServerUser(std::string(kBin) + "pg_ctl -D " + Quote(m_folder + "/data") + " -l " + Quote(log) +
                         " -w -t 60 -o '-p " + std::to_string(m_port) + "' start"),
            &out) != 0)
        throw std::runtime_error("the test server did not start: " + out + ReadText(log));
}

bool PgServer::Running() const {
    return Run(AsServerUser(std::string(kBin) + "pg_ctl -D " + Quote(m_folder + "/data") + " status")) == 0;
}

void PgServer::HandOver(pid_t owner) {
    const pid_t old = m_guardian;
    const int oldPipe = m_guardPipe;
    Guard(owner);
    // The old guardian must go without cleaning up: end it before it can
    // read the end of its pipe.
    ::kill(old, SIGKILL);
    ::waitpid(old, nullptr, 0);
    ::close(oldPipe);
    m_guardPipe = -1;
}

void PgServer::Guard(pid_t owner) {
    const std::string cleanup = StopCommand(m_folder) + " >/dev/null 2>&1; rm -rf " + Quote(m_folder);
    const bool ours = owner == ::getpid();
    int fds[2] = {-1, -1};
    if (ours && ::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("cannot guard the test server");
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("cannot guard the test server");
    if (pid == 0) {
        // Only async-signal-safe calls from here: the parent may have threads.
        ::setsid();
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
        for (int fd = 3; fd < 1024; ++fd)
            if (fd != fds[0]) ::close(fd);
        if (ours) {
            char c;
            for (;;) {
                const ssize_t n = ::read(fds[0], &c, 1);
                if (n > 0 || (n < 0 && errno == EINTR)) continue;
                break;
            }
        } else {
            while (::kill(owner, 0) == 0 || errno == EPERM) ::usleep(300000);
        }
        ::execl("/bin/sh", "sh", "-c", cleanup.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    m_guardian = pid;
    if (ours) {
        ::close(fds[0]);
        m_guardPipe = fds[1];
    } else {
        m_guardPipe = -1;
    }
}

void WriteServerInfo(const std::string& infoFile, const PgServer& server) {
    std::ofstream(infoFile) << server.Folder() << "\n" << server.Port() << "\n";
}

void StopAnnouncedServer(const std::string& infoFile) {
    std::istringstream in(ReadText(infoFile));
    std::string folder;
    in >> folder;
    if (folder.rfind("/tmp/reminders-pg-", 0) == 0) Run(StopCommand(folder) + "; rm -rf " + Quote(folder));
    std::remove(infoFile.c_str());
}

bool UsePostgres() {
    const char* store = std::getenv("REMINDERS_TEST_STORE");
    return store && std::string(store) == "postgresql";
}

std::string NewDatabase() {
    SharedServer& server = Shared();
    static int serial = 0;
    static std::mt19937 random{std::random_device{}()};
    const std::string name = "company_" + std::to_string(::getpid()) + "_" + std::to_string(++serial) + "_" +
                             std::to_string(random() % 100000);
    Admin(testsupport::Conninfo(server.folder, server.port, "postgres"),
          "CREATE DATABASE " + name + " TEMPLATE template0 STRATEGY FILE_COPY");
    return "postgresql://postgres@127.0.0.1:" + std::to_string(server.port) + "/" + name;
}

void CopyLocation(const std::string& from, const std::string& to) {
    if (!IsServerLocation(from)) {
        std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
        return;
    }
    // The server copies a database whole, as a file is copied.
    SharedServer& server = Shared();
    const std::string admin = testsupport::Conninfo(server.folder, server.port, "postgres");
    Admin(admin, "DROP DATABASE IF EXISTS " + DatabaseOf(to) + " WITH (FORCE)");
    Admin(admin, "CREATE DATABASE " + DatabaseOf(to) + " TEMPLATE " + DatabaseOf(from) + " STRATEGY FILE_COPY");
}

void DropDatabase(const std::string& url) {
    const std::string name = DatabaseOf(url);
    if (name.empty()) return;
    SharedServer& server = Shared();
    Admin(testsupport::Conninfo(server.folder, server.port, "postgres"),
          "DROP DATABASE IF EXISTS " + name + " WITH (FORCE)");
}

namespace {
// The index of the parenthesis that closes the one at `open`.
std::size_t Closing(const std::string& sql, std::size_t open) {
    int depth = 0;
    bool quoted = false;
    for (std::size_t i = open; i < sql.size(); ++i) {
        if (sql[i] == '\'') quoted = !quoted;
        if (quoted) continue;
        if (sql[i] == '(') ++depth;
        if (sql[i] == ')' && --depth == 0) return i;
    }
    return std::string::npos;
}

bool StartsWordAt(const std::string& lower, std::size_t at, const std::string& word) {
    return lower.compare(at, word.size(), word) == 0 &&
           (at == 0 || !(std::isalnum(static_cast<unsigned char>(lower[at - 1])) || lower[at - 1] == '_'));
}
} // namespace

std::string PortableSql(const std::string& input) {
    std::string sql = input;
    for (std::size_t at = 0;;) {
        std::string lower = sql;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        std::size_t next = std::string::npos;
        std::string rewritten;
        for (std::size_t i = at; i < lower.size() && next == std::string::npos; ++i) {
            if (StartsWordAt(lower, i, "group_concat(")) {
                const std::size_t open = i + 12, close = Closing(sql, open);
                if (close == std::string::npos) break;
                // The separator is the last argument at the top level, if there are two.
                std::size_t comma = std::string::npos;
                bool quoted = false;
                for (std::size_t j = open + 1, depth = 0; j < close; ++j) {
                    if (sql[j] == '\'') quoted = !quoted;
                    if (quoted) continue;
                    if (sql[j] == '(') ++depth;
                    if (sql[j] == ')') --depth;
                    if (sql[j] == ',' && depth == 0) comma = j;
                }
                const std::string value = sql.substr(open + 1, (comma == std::string::npos ? close : comma) - open - 1);
                const std::string sep = comma == std::string::npos ? "','" : sql.substr(comma + 1, close - comma - 1);
                rewritten = "string_agg((" + value + ")::text, " + sep + ")";
                sql.replace(i, close + 1 - i, rewritten);
                next = i + rewritten.size();
            } else if (StartsWordAt(lower, i, "char(")) {
                sql.replace(i, 4, "chr");
                next = i + 4;
            } else if (StartsWordAt(lower, i, "from (select")) {
                const std::size_t close = Closing(sql, i + 5);
                if (close == std::string::npos) break;
                std::size_t after = close + 1;
                while (after < sql.size() && sql[after] == ' ') ++after;
                const bool named = after < sql.size() && (std::isalpha(static_cast<unsigned char>(sql[after])) &&
                                                          !StartsWordAt(lower, after, "where") &&
                                                          !StartsWordAt(lower, after, "group") &&
                                                          !StartsWordAt(lower, after, "order"));
                if (!named) sql.insert(close + 1, " AS sub");
                next = i + 5;
            }
        }
        if (next == std::string::npos) return sql;
        at = next;
    }
}

std::string Sql(const std::string& location, const std::string& text) {
    std::string result;
    if (IsServerLocation(location)) {
        const std::string sql = PortableSql(text);
        PgConn conn = Connect(location);
        if (PQstatus(conn.get()) != CONNECTION_OK) return "error: " + std::string(PQerrorMessage(conn.get()));
        std::unique_ptr<PGresult, decltype(&PQclear)> res(PQexec(conn.get(), sql.c_str()), &PQclear);
        const ExecStatusType status = PQresultStatus(res.get());
        if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK)
            return "error: " + std::string(PQerrorMessage(conn.get()));
        for (int r = 0; r < PQntuples(res.get()); ++r) {
            for (int c = 0; c < PQnfields(res.get()); ++c) {
                result += PQgetisnull(res.get(), r, c) ? std::string("NULL") : PQgetvalue(res.get(), r, c);
                if (c + 1 < PQnfields(res.get())) result += "|";
            }
            result += "\n";
        }
        return result;
    }
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(location.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, text.c_str(), -1, &st, nullptr) == SQLITE_OK) {
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

} // namespace testsupport
