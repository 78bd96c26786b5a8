#pragma once
#include <functional>
#include <memory>

#include "orbit/Models/OrbitEvent.h"

namespace orbit {

// One event hook as an object, for callers that configure the client through a list of objects.
struct BoxedBeforeSendBlock {
    using Block = std::function<std::shared_ptr<OrbitEvent>(std::shared_ptr<OrbitEvent>)>;

    explicit BoxedBeforeSendBlock(Block block) : block(std::move(block)) {}

    Block block;
};

}  // namespace orbit
