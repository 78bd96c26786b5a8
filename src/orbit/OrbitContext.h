#pragma once

namespace orbit {

class Reachability;

// The properties every event carries about its device, application and network. It reads the
// network through the client's reachability monitor, which outlives it.
class OrbitContext {
public:
    explicit OrbitContext(Reachability* reachability) : reachability_(reachability) {}

private:
    [[maybe_unused]] Reachability* const reachability_;
};

}  // namespace orbit
