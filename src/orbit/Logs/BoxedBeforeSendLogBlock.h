#pragma once
#include <functional>
#include <memory>

#include "orbit/Logs/OrbitLogRecord.h"

namespace orbit {

// One log hook as an object, for callers that configure the client through a list of objects.
struct BoxedBeforeSendLogBlock {
    using Block = std::function<std::shared_ptr<OrbitLogRecord>(std::shared_ptr<OrbitLogRecord>)>;

    explicit BoxedBeforeSendLogBlock(Block block) : block(std::move(block)) {}

    Block block;
};

}  // namespace orbit
