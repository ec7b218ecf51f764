// The one server a CTest run shares: `start FILE` starts it and announces it
// in FILE, `stop FILE` stops it. Should the run be cut short, the server goes
// once CTest itself has gone.

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "PgServer.h"

int main(int argc, char** argv) {
    if (argc != 3 || (std::strcmp(argv[1], "start") != 0 && std::strcmp(argv[1], "stop") != 0)) {
        std::fprintf(stderr, "usage: %s start|stop INFO-FILE\n", argv[0]);
        return 2;
    }
    const std::string info = argv[2];
    // A server an interrupted run left behind is of no use to this one.
    testsupport::StopAnnouncedServer(info);
    if (std::strcmp(argv[1], "stop") == 0) return 0;
    try {
        testsupport::PgServer server;
        testsupport::WriteServerInfo(info, server);
        server.HandOver(::getppid());
        std::printf("test server on port %d in %s\n", server.Port(), server.Folder().c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
