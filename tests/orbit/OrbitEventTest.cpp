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

}  // namespace

// What the queue stores is what it reads back: every field, the time to the millisecond. (The
// wire form of each key is checked by the ingest server in OrbitApiTest.)
TEST(OrbitEvent, StoredAndReadBackUnchanged) {
    const OrbitEvent event("$screen", "user-1", {{"name", "Main"}, {"nested", {{"a", {1, 2.5, nullptr}}}}}, kNow,
                           orbit::Uuid::v7(), "token");
    const auto stored = orbit::toJSONData(event.toJSON());
    ASSERT_TRUE(stored);
    const auto read = OrbitEvent::fromJSON(*stored, [] { return OrbitDate{}; });
    ASSERT_TRUE(read);
    EXPECT_EQ(read->toJSON(), event.toJSON());
    EXPECT_EQ(read->timestamp, std::chrono::floor<std::chrono::milliseconds>(kNow));
}

// Older layouts ("message_id" for the identifier, person properties beside the event, the distinct
// id only among the properties) and wrongly typed optional keys still read; only an event without
// a name or a distinct id is refused.
TEST(OrbitEvent, OlderAndDamagedFilesReadAsFarAsTheyCan) {
    const auto legacy = OrbitEvent::fromJSON(json{{"event", "e"},
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

    const auto damaged = OrbitEvent::fromJSON(
        std::string(
            R"({"event":"e","distinct_id":"d","timestamp":"yesterday","properties":"none","uuid":"x","api_key":5})"),
        fixedNow);
    ASSERT_TRUE(damaged);
    EXPECT_EQ(damaged->timestamp, kNow);
    EXPECT_EQ(damaged->properties, json::object());
    EXPECT_EQ(damaged->uuid.toString()[14], '7');
    EXPECT_FALSE(damaged->apiKey);

    const std::string deep = R"({"event":"e","distinct_id":"d","properties":)" + std::string(100'000, '[');
    for (const std::string bad :
         {"{}", R"({"distinct_id":"d"})", R"({"event":1,"distinct_id":"d"})",
          R"({"event":"e","properties":{"distinct_id":2}})", "[1]", "not json", "{\"event\":", deep.c_str()})
        EXPECT_FALSE(OrbitEvent::fromJSON(bad)) << bad.substr(0, 40);
}

// Whatever a program puts into properties, storing never fails as a whole and never writes
// what JSON cannot carry: the offending entry goes, with a debug line, and the rest stays.
TEST(OrbitEvent, PropertiesJSONCannotCarryAreDropped) {
    orbittest::HedgeLogCapture log;
    json deep = json::array();
    for (int i = 0; i < 1000; ++i) deep = json::array({std::move(deep)});
    const json kept{{"huge", std::string(8 * 1024 * 1024, 'x')}, {"kept", {{"list", {1, "two", nullptr, true, 2.5}}}}};
    json properties{{"nan", std::nan("")},     {"infinite", std::numeric_limits<double>::infinity()},
                    {"bad text", "caf\xC3"},   {"nested nan", {1, {{"x", -std::numeric_limits<double>::infinity()}}}},
                    {"deep", std::move(deep)}, {"caf\xC3", 1}};
    properties.update(kept);

    const auto data = orbit::toJSONData(properties);
    ASSERT_TRUE(data);
    EXPECT_EQ(orbit::fromJSONData(*data), kept);
    EXPECT_TRUE(log.has("[Orbit] property: nested nan isn't serializable, dropping the item"));
}
