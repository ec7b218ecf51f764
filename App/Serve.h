#pragma once

#include <memory>
#include <string>

#include "AppContext.h"

namespace CLI {
class App;
}

namespace app {

// `serve`.
void RegisterServeCommands(CLI::App& cli, AppContext& ctx);

struct ServeOptions {
    int port = 0;             // 0: any free port
    bool open = false;        // start the person's browser on the URL
    std::string outbox;       // empty: "outbox" beside the company file
    std::size_t maxBody = 256 * 1024;
    double requestsPerSecond = 50;  // sustained, over every client together
    int burst = 200;
};

// The local web page over the company file that is open: the same functions
// the commands call, behind one gate that checks the access token, the
// origin of every change and the request rate.
class WebServer {
public:
    WebServer(const AppContext& ctx, const ServeOptions& options);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Binds 127.0.0.1 (the given port, or any); throws AppError.
    int Bind();
    // Serves until Stop(); returns false when listening failed.
    bool Listen();
    void Stop();

    int Port() const;
    const std::string& Token() const;
    // The address to open, carrying the token.
    std::string Url() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// `serve`: prints the URL and serves until interrupted; returns the exit status.
int Serve(const AppContext& ctx, const ServeOptions& options);

// Text made safe to place in HTML, in element content or a quoted attribute.
std::string HtmlEscape(const std::string& text);

} // namespace app
