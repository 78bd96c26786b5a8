// The ingest server as a program, for tests that drive a client from outside.
//   sablix_test_ingest [snapshot endpoint]
#include "servers/IngestServer.h"
#include "servers/ServeUntilSignalled.h"

int main(int argc, char** argv) {
    testservers::IngestServer server(argc > 1 ? argv[1] : "/s/");
    return testservers::serveUntilSignalled(server, "sablix_test_ingest");
}
