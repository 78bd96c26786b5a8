// The test backend as a program, for tests that drive the application from outside.
//   sablix_test_backend [fixture.json]
#include "servers/ServeUntilSignalled.h"
#include "servers/TestBackend.h"

int main(int argc, char** argv) {
    const auto fixture = argc > 1 ? testservers::TestBackend::loadFixture(argv[1])
                                  : testservers::TestBackend::loadFixture(SABLIX_TEST_FIXTURES_DIR "/backend.json");
    testservers::TestBackend backend(fixture);
    return testservers::serveUntilSignalled(backend, "sablix_test_backend");
}
