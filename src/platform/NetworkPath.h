#pragma once
#include <vector>

namespace platform {

// The kind of a network interface, as far as the machine can tell.
enum class InterfaceKind { wifi, cellular, wired, loopback, other };

// What the machine's traffic would go out through right now.
struct NetworkPath {
    bool satisfied = false;                 // a usable route leaves the machine
    std::vector<InterfaceKind> interfaces;  // the kinds of the interfaces that route uses
    bool isExpensive = false;               // traffic may cost the user (a cellular or metered link)
    bool isConstrained = false;             // the user asked to save data on this path

    bool uses(InterfaceKind kind) const {
        for (InterfaceKind candidate : interfaces)
            if (candidate == kind) return true;
        return false;
    }
    bool operator==(const NetworkPath&) const = default;
};

}  // namespace platform
