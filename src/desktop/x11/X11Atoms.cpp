#include "desktop/x11/X11Atoms.h"

#include <algorithm>

namespace desktop {

X11Atoms::X11Atoms(Display* display) {
    std::array<char*, std::size(kX11AtomNames.entries)> names{};
    // The names are literals, so each view ends in a null.
    for (size_t i = 0; i < names.size(); ++i) names[i] = const_cast<char*>(kX11AtomNames.entries[i].second.data());
    XInternAtoms(display, names.data(), int(names.size()), False, atoms_.data());
}

std::optional<X11Atom> X11Atoms::find(Atom atom) const {
    if (atom == None) return std::nullopt;
    const auto it = std::find(atoms_.begin(), atoms_.end(), atom);
    if (it == atoms_.end()) return std::nullopt;
    return static_cast<X11Atom>(it - atoms_.begin());
}

}  // namespace desktop
