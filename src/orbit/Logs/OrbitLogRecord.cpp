#include "orbit/Logs/OrbitLogRecord.h"

namespace orbit {

nlohmann::json OrbitLogRecord::toStorageJSON() const { return {{"body", body}}; }

std::shared_ptr<OrbitLogRecord> OrbitLogRecord::fromStorageJSON(const nlohmann::json& dictionary) {
    if (!dictionary.is_object()) return nullptr;
    const auto body = dictionary.find("body");
    if (body == dictionary.end() || !body->is_string()) return nullptr;
    return std::make_shared<OrbitLogRecord>(body->get<std::string>());
}

}  // namespace orbit
