// The test backend as a program, for tests that drive the application from outside: prints the
// port it listens on (one line), then serves until SIGTERM or SIGINT.
//   sablix_test_backend [fixture.json]
#include <csignal>
#include <cstdio>

#include "servers/TestBackend.h"

int main(int argc, char** argv) {
    // Blocked before any thread starts, so that every thread leaves them to sigwait below.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    const auto fixture = argc > 1 ? testservers::TestBackend::loadFixture(argv[1])
                                  : testservers::TestBackend::loadFixture(SABLIX_TEST_FIXTURES_DIR "/backend.json");
    testservers::TestBackend backend(fixture);
    if (!backend.start()) {
        std::fprintf(stderr, "sablix_test_backend: no port could be bound\n");
        return 1;
    }
    std::printf("%d\n", backend.port());
    std::fflush(stdout);

    int received = 0;
    sigwait(&signals, &received);
    backend.stop();
    return 0;
}
