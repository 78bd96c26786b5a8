#pragma once
#include <functional>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace testservers {

// One application route of the test backend: it answers from the backend's state, which it may
// change (under the backend's lock). Each group of routes lives in a file of its own and adds its
// routes to the backend's table.
using BackendRoute = std::function<void(const httplib::Request&, httplib::Response&, nlohmann::json& state)>;
using BackendRoutes = std::map<std::string, BackendRoute>;

}  // namespace testservers
