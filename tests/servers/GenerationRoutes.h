#pragma once
#include "servers/BackendRoute.h"
#include <functional>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace testservers {

class TestBackend;

// The generation proxy of the test backend. "/api/generate" answers 200 with a stream of
// server-sent events as the fixture's "generate" object scripts it (a missing object streams
// nothing but the end marker):
//   "fragments": ["Hel", "lo"]   one text event each ("content_block_delta")
//   "error": "message"           then an "error" event carrying this message
//   "done": true                 then "data: [DONE]" (the default; false ends the body without it)
//   "raw": "data: …\n"           the whole body as written here, in place of the three above
//   "chunkBytes": n              written in pieces of n bytes (cutting through UTF-8 sequences)
//                                instead of one event per write
//   "intervalMs": n              pause before every write but the first (at most 10 s)
//   "stepped": true              make each write but the first only once the test allowed it through
//                                POST /__test/generate/step (or after 30 s without)
//   "hold": true                 after the last write, keep the connection open, writing a comment
//                                line every 20 ms, until the client closes it (at most 30 s)
//   "cutOff": true               after the last write, drop the connection without ending the body
//   "flood": true                after the last write, write comment lines of 64 KiB as fast as the
//                                client takes them, until it closes the connection (at most 1 GiB)
// Error statuses and a server that never answers come from the backend's fail() and delay().
//   GET /__test/generate   {"streams": [...]} oldest first, one per stream started: "written"
//                          (writes of the script that went out), "writtenBytes" (all bytes
//                          written, flood lines included), "writtenAtNs" (steady-clock
//                          times of those writes), "closedByClient" (a write found the connection
//                          closed) and "complete" (the body was ended normally)
void installGenerationRoutes(httplib::Server& server, BackendRoutes& routes);

// The backend's "streams" list, asked over HTTP.
nlohmann::json generationStreams(const TestBackend& backend);
// Lets the newest stepped stream make its next write.
void stepGenerationStream(const TestBackend& backend);

// The body of one text event, as the route writes it.
std::string generationTextEvent(const std::string& text);

}  // namespace testservers
