#pragma once
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "orbit/Utils/Clock.h"
#include "orbit/Utils/Uuid.h"

namespace orbit {

// One analytics event. Its JSON dictionary is both the queue's file and one element of an
// upload. Shared by pointer: before-send hooks edit it in place, and it has no lock of its own.
class OrbitEvent {
public:
    OrbitEvent(std::string event, std::string distinctId, nlohmann::json properties, OrbitDate timestamp, Uuid uuid,
               std::optional<std::string> apiKey = std::nullopt);

    std::string event;
    std::string distinctId;
    nlohmann::json properties;  // an object
    OrbitDate timestamp;
    Uuid uuid;
    std::optional<std::string> apiKey;

    nlohmann::json toJSON() const;

    // Nothing when the dictionary is empty, has no string "event" or no distinct id. Missing or
    // wrongly typed optional keys take their defaults; now dates an event that has no timestamp.
    static std::shared_ptr<OrbitEvent> fromJSON(const nlohmann::json& dictionary, const Now& now = systemNow);
    // Likewise from JSON text; nothing when it is not a JSON object.
    static std::shared_ptr<OrbitEvent> fromJSON(const std::string& bytes, const Now& now = systemNow);
};

}  // namespace orbit
