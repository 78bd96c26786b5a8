#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "OrbitTestSupport.h"
#include "orbit/Models/OrbitEvent.h"
#include "orbit/Utils/JSONUtils.h"
#include "orbit/Utils/OrbitAPIDateFormatter.h"

using nlohmann::json;
using orbit::OrbitDate;
using orbit::OrbitEvent;

namespace {

const OrbitDate kNow{std::chrono::microseconds(1704164645678999)};  // 2024-01-02T03:04:05.678999Z
OrbitDate fixedNow() { return kNow; }

json keysOf(const json& object) {
    auto keys = json::array();
    for (const auto& [key, value] : object.items()) keys.push_back(key);
    return keys;
}

}  // namespace

// What the queue stores is what it reads back: every field, the time to the millisecond.
TEST(OrbitEvent, StoredAndReadBackUnchanged) {
    const auto id = orbit::Uuid::fromString("018cc820-db2e-7abc-8def-0123456789ab");
    ASSERT_TRUE(id);
    OrbitEvent event("$screen", "user-1", {{"name", "Main"}, {"count", 3}, {"nested", {{"a", {1, 2.5, nullptr}}}}},
                     kNow, *id, "token");
    EXPECT_EQ(keysOf(event.toJSON()), json({"api_key", "distinct_id", "event", "properties", "timestamp", "uuid"}));
    EXPECT_EQ(event.toJSON()["uuid"], "018CC820-DB2E-7ABC-8DEF-0123456789AB");
    EXPECT_EQ(event.toJSON()["timestamp"], "2024-01-02T03:04:05.678Z");

    const auto stored = orbit::toJSONData(event.toJSON());
    ASSERT_TRUE(stored);
    const auto read = OrbitEvent::fromJSON(*stored);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->event, "$screen");
    EXPECT_EQ(read->distinctId, "user-1");
    EXPECT_EQ(read->properties, event.properties);
    EXPECT_EQ(read->uuid, *id);
    EXPECT_EQ(read->apiKey, "token");
    EXPECT_EQ(read->timestamp, std::chrono::floor<std::chrono::milliseconds>(kNow));

    event.apiKey.reset();
    EXPECT_EQ(event.toJSON().size(), 5u);
}

TEST(OrbitEvent, OlderAndDamagedFilesReadAsFarAsTheyCan) {
    // Older layouts: "message_id" for the identifier, person properties beside the event, the
    // distinct id only among the properties.
    auto legacy = OrbitEvent::fromJSON(json{{"event", "e"},
                                            {"message_id", "018cc820-db2e-7abc-8def-0123456789ab"},
                                            {"$set", {{"plan", "pro"}}},
                                            {"properties", {{"distinct_id", "from-properties"}, {"$set", 1}}},
                                            {"timestamp", "2024-01-02T03:04:05Z"}},
                                       fixedNow);
    ASSERT_TRUE(legacy);
    EXPECT_EQ(legacy->distinctId, "from-properties");
    EXPECT_EQ(legacy->uuid.toString(), "018CC820-DB2E-7ABC-8DEF-0123456789AB");
    EXPECT_EQ(legacy->properties["$set"], json({{"plan", "pro"}}));
    EXPECT_EQ(orbit::toISO8601String(legacy->timestamp), "2024-01-02T03:04:05.000Z");

    // Wrongly typed optional keys count as missing.
    auto damaged = OrbitEvent::fromJSON(json{{"event", "e"},
                                             {"distinct_id", "d"},
                                             {"timestamp", "yesterday"},
                                             {"properties", "none"},
                                             {"uuid", "not-a-uuid"},
                                             {"api_key", 5}},
                                        fixedNow);
    ASSERT_TRUE(damaged);
    EXPECT_EQ(damaged->timestamp, kNow);
    EXPECT_EQ(damaged->properties, json::object());
    EXPECT_EQ(damaged->uuid.toString()[14], '7');
    EXPECT_FALSE(damaged->apiKey);
    const auto bare = OrbitEvent::fromJSON(json{{"event", "e"}, {"distinct_id", "d"}}, fixedNow);
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->timestamp, std::chrono::floor<std::chrono::milliseconds>(kNow));

    std::string deep(100'000, '[');
    for (const auto& bad : {json::object(), json{{"distinct_id", "d"}}, json{{"event", 1}, {"distinct_id", "d"}},
                            json{{"event", "e"}, {"properties", {{"distinct_id", 2}}}}, json::array({1})})
        EXPECT_FALSE(OrbitEvent::fromJSON(bad)) << bad;
    for (const std::string& bad : {std::string("not json"), std::string("[1]"), std::string("{\"event\":"),
                                   std::string("{\"event\":\"e\",\"distinct_id\":\"d\",\"properties\":") + deep})
        EXPECT_FALSE(OrbitEvent::fromJSON(bad)) << bad.substr(0, 40);
}

// Whatever a program puts into properties, storing never fails as a whole and never writes
// what JSON cannot carry: the offending entry goes, with a debug line, and the rest stays.
TEST(OrbitEvent, PropertiesJSONCannotCarryAreDropped) {
    orbittest::HedgeLogCapture log;
    json deep = json::array();
    for (int i = 0; i < 1000; ++i) deep = json::array({std::move(deep)});
    const std::string huge(8 * 1024 * 1024, 'x');
    json properties{{"nan", std::nan("")},
                    {"infinite", std::numeric_limits<double>::infinity()},
                    {"bad text", "caf\xC3"},
                    {"nested nan", {1, {{"x", -std::numeric_limits<double>::infinity()}}}},
                    {"deep", std::move(deep)},
                    {"huge", huge},
                    {"kept", {{"list", {1, "two", nullptr, true, 2.5}}}}};
    properties["caf\xC3"] = 1;

    const auto sanitized = orbit::sanitizeDictionary(properties);
    ASSERT_TRUE(sanitized);
    EXPECT_EQ(keysOf(*sanitized), json({"huge", "kept"}));
    for (const char* key : {"nan", "infinite", "bad text", "nested nan", "deep"})
        EXPECT_TRUE(log.has(std::string("[Orbit] property: ") + key + " isn't serializable, dropping the item")) << key;
    const auto data = orbit::toJSONData(properties);
    ASSERT_TRUE(data);
    EXPECT_EQ(orbit::fromJSONData(*data), *sanitized);

    EXPECT_FALSE(orbit::toJSONData(json::object()));
    EXPECT_FALSE(orbit::toJSONData(std::nullopt));
}
