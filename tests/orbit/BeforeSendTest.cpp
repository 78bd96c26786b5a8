#include <gtest/gtest.h>

#include "OrbitTestSupport.h"
#include "orbit/Models/OrbitKnownUnsafeEditableEvent.h"
#include "orbit/OrbitConfig.h"

using orbit::OrbitConfig;
using orbit::OrbitEvent;
using orbit::OrbitLogRecord;
using EventPointer = std::shared_ptr<OrbitEvent>;

namespace {

EventPointer event(const std::string& name) {
    return std::make_shared<OrbitEvent>(name, "d", nlohmann::json::object(), orbit::systemNow(), orbit::Uuid::v7());
}

// A hook that appends its mark to the event's "trail" property.
OrbitConfig::Hook mark(const std::string& name) {
    return [name](EventPointer e) {
        e->properties["trail"] = e->properties.value("trail", std::string()) + name;
        return e;
    };
}

}  // namespace

TEST(BeforeSend, HooksRunInOrderUntilOneDrops) {
    OrbitConfig config("token");
    const auto untouched = event("a");
    EXPECT_EQ(config.beforeSend.run(untouched), untouched);

    config.setBeforeSend(mark("1"), mark("2"));
    EXPECT_EQ(config.beforeSend.run(event("a"))->properties["trail"], "12");

    config.setBeforeSend({orbit::BoxedBeforeSendBlock(mark("x")), orbit::BoxedBeforeSendBlock(mark("y"))});
    EXPECT_EQ(config.beforeSend.run(event("a"))->properties["trail"], "xy");

    bool laterCalled = false;
    config.setBeforeSend(std::vector<OrbitConfig::Hook>{[](EventPointer) { return EventPointer(); },
                                                        [&](EventPointer e) {
                                                            laterCalled = true;
                                                            return e;
                                                        }});
    EXPECT_FALSE(config.beforeSend.run(event("a")));
    EXPECT_FALSE(laterCalled);

    config.setBeforeSend(std::vector<OrbitConfig::Hook>{});
    EXPECT_EQ(config.beforeSend.run(untouched), untouched);

    // A hook may replace the chain it runs in; the next record meets the new chain.
    config.setBeforeSend([&config](EventPointer e) {
        config.setBeforeSend(mark("new"));
        return e;
    });
    EXPECT_FALSE(config.beforeSend.run(event("a"))->properties.contains("trail"));
    EXPECT_EQ(config.beforeSend.run(event("a"))->properties["trail"], "new");

    orbit::OrbitLogsConfig logs;
    logs.setBeforeSend([](std::shared_ptr<OrbitLogRecord> r) {
        r->body += "!";
        return r;
    });
    EXPECT_EQ(logs.runBeforeSend(std::make_shared<OrbitLogRecord>("hi"))->body, "hi!");
    logs.setBeforeSend({orbit::BoxedBeforeSendLogBlock([](auto) { return std::shared_ptr<OrbitLogRecord>(); })});
    EXPECT_FALSE(logs.runBeforeSend(std::make_shared<OrbitLogRecord>("hi")));

    EXPECT_TRUE(orbit::OrbitKnownUnsafeEditableEvent::contains("$feature_flag_called"));
    EXPECT_TRUE(orbit::OrbitKnownUnsafeEditableEvent::contains("survey dismissed"));
    EXPECT_FALSE(orbit::OrbitKnownUnsafeEditableEvent::contains("$Screen"));
}

TEST(DebugLog, SilentUntilSwitchedOn) {
    std::vector<std::string> lines;
    orbit::setHedgeLogSink([&](const std::string& line) { lines.push_back(line); });
    orbit::hedgeLog("before");
    orbit::toggleHedgeLog(true);
    orbit::hedgeLog("during");
    orbit::toggleHedgeLog(false);
    orbit::hedgeLog("after");
    orbit::setHedgeLogSink(nullptr);
    EXPECT_EQ(lines, std::vector<std::string>{"[Orbit] during"});
}
