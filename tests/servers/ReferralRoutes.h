#pragma once
#include "servers/BackendRoute.h"
#include <functional>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace testservers {

// The referral routes, answered from the fixture's "referrals" object:
//   /api/referrals/me     "referrals"."info"[bearer token] as it stands (any JSON), 401 for any
//                         other token
//   /api/referrals/apply  for a known bearer token and a body {"code": text}: 200
//                         {"success": true} when the code is among "referrals"."codes", otherwise
//                         400 {"error": "Invalid referral code"}; 401 for any other token
void installReferralRoutes(BackendRoutes& routes);

}  // namespace testservers
