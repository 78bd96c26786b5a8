#pragma once
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

namespace orbit {

// One application log line on its way to the logs queue.
class OrbitLogRecord {
public:
    explicit OrbitLogRecord(std::string body) : body(std::move(body)) {}

    std::string body;

    // The record's file in the logs queue, keys named after its fields.
    nlohmann::json toStorageJSON() const;
    // Nothing when the dictionary has no string "body".
    static std::shared_ptr<OrbitLogRecord> fromStorageJSON(const nlohmann::json& dictionary);
};

}  // namespace orbit
