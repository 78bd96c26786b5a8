// The ingest server as a program, for tests that drive a client from outside: prints the port it
// listens on (one line), then serves until SIGTERM or SIGINT.
//   sablix_test_ingest [snapshot endpoint]
#include <csignal>
#include <cstdio>

#include "servers/IngestServer.h"

int main(int argc, char** argv) {
    // Blocked before any thread starts, so that every thread leaves them to sigwait below.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    testservers::IngestServer server(argc > 1 ? argv[1] : "/s/");
    if (!server.start()) {
        std::fprintf(stderr, "sablix_test_ingest: no port could be bound\n");
        return 1;
    }
    std::printf("%d\n", server.port());
    std::fflush(stdout);

    int received = 0;
    sigwait(&signals, &received);
    server.stop();
    return 0;
}
