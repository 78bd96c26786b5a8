#include "orbit/Models/OrbitEvent.h"

#include "orbit/Utils/JSONUtils.h"
#include "orbit/Utils/OrbitAPIDateFormatter.h"

namespace orbit {
namespace {

const nlohmann::json* member(const nlohmann::json& dictionary, const char* key) {
    const auto found = dictionary.find(key);
    return found == dictionary.end() ? nullptr : &*found;
}

const std::string* stringMember(const nlohmann::json& dictionary, const char* key) {
    const auto* value = member(dictionary, key);
    return value && value->is_string() ? &value->get_ref<const std::string&>() : nullptr;
}

}  // namespace

OrbitEvent::OrbitEvent(std::string event, std::string distinctId, nlohmann::json properties, OrbitDate timestamp,
                       Uuid uuid, std::optional<std::string> apiKey)
    : event(std::move(event)),
      distinctId(std::move(distinctId)),
      properties(properties.is_object() ? std::move(properties) : nlohmann::json::object()),
      timestamp(timestamp),
      uuid(uuid),
      apiKey(std::move(apiKey)) {}

nlohmann::json OrbitEvent::toJSON() const {
    nlohmann::json json{{"event", event},
                        {"distinct_id", distinctId},
                        {"properties", properties},
                        {"timestamp", toISO8601String(timestamp)},
                        {"uuid", uuid.toString()}};
    if (apiKey) json["api_key"] = *apiKey;
    return json;
}

std::shared_ptr<OrbitEvent> OrbitEvent::fromJSON(const nlohmann::json& dictionary, const Now& now) {
    if (!dictionary.is_object() || dictionary.empty()) return nullptr;
    const auto* event = stringMember(dictionary, "event");
    if (!event) return nullptr;

    const auto* timestampText = stringMember(dictionary, "timestamp");
    const auto timestamp = toISO8601Date(timestampText ? *timestampText : toISO8601String(now()));

    const auto* givenProperties = member(dictionary, "properties");
    auto properties = givenProperties && givenProperties->is_object() ? *givenProperties : nlohmann::json::object();
    // Older files kept person properties beside the event.
    if (const auto* set = member(dictionary, "$set"); set && set->is_object()) properties["$set"] = *set;

    const std::string* distinctIdText = stringMember(dictionary, "distinct_id");
    if (!distinctIdText) distinctIdText = stringMember(properties, "distinct_id");
    if (!distinctIdText) return nullptr;
    std::string distinctId = *distinctIdText;  // a copy: it may live in the properties moved below

    const std::string* uuidText = stringMember(dictionary, "uuid");
    if (!uuidText) uuidText = stringMember(dictionary, "message_id");
    std::optional<Uuid> uuid;
    if (uuidText) uuid = Uuid::fromString(*uuidText);

    const auto* apiKey = stringMember(dictionary, "api_key");
    return std::make_shared<OrbitEvent>(*event, std::move(distinctId), std::move(properties),
                                        timestamp ? *timestamp : now(), uuid ? *uuid : Uuid::v7(),
                                        apiKey ? std::optional<std::string>(*apiKey) : std::nullopt);
}

std::shared_ptr<OrbitEvent> OrbitEvent::fromJSON(const std::string& bytes, const Now& now) {
    const auto dictionary = fromJSONData(bytes);
    return dictionary ? fromJSON(*dictionary, now) : nullptr;
}

}  // namespace orbit
