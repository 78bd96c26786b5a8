#pragma once
#include <csignal>
#include <cstdio>
#include <pthread.h>

namespace testservers {

// Runs a test server as a program for tests that drive the application from outside: prints the
// port it listens on (one line), then serves until SIGTERM or SIGINT. Call it before the server
// has started any thread: the signals are blocked here, so that every thread leaves them to the
// sigwait below.
template <class Server>
int serveUntilSignalled(Server& server, const char* program) {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    if (!server.start()) {
        std::fprintf(stderr, "%s: no port could be bound\n", program);
        return 1;
    }
    std::printf("%d\n", server.port());
    std::fflush(stdout);

    int received = 0;
    sigwait(&signals, &received);
    server.stop();
    return 0;
}

}  // namespace testservers
