#pragma once
#include <X11/Xlib.h>

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

#include "platform/EnumTable.h"

namespace desktop {

// Every atom the X11 layers compare against or send, by name.
enum class X11Atom {
    clipboard,
    primary,
    clipboardManager,
    // Targets that ask the owner to do something rather than name a data format.
    targets,
    timestamp,
    multiple,
    incr,
    saveTargets,
    deleteTarget,
    insertSelection,
    insertProperty,
    // The types text travels under.
    utf8String,
    textPlainUtf8,
    textPlain,
    text,
    compoundText,
    string,
    // Properties on this process's own windows: where answers to its requests land (and, written
    // empty, where it gets a server timestamp), and the targets it asks a clipboard manager to save.
    ownProperty,
    ownSaveTargets,
};

// Each atom's name, in the enumeration's order.
inline constexpr platform::EnumTable<X11Atom, 19> kX11AtomNames{{
    {X11Atom::clipboard, "CLIPBOARD"},
    {X11Atom::primary, "PRIMARY"},
    {X11Atom::clipboardManager, "CLIPBOARD_MANAGER"},
    {X11Atom::targets, "TARGETS"},
    {X11Atom::timestamp, "TIMESTAMP"},
    {X11Atom::multiple, "MULTIPLE"},
    {X11Atom::incr, "INCR"},
    {X11Atom::saveTargets, "SAVE_TARGETS"},
    {X11Atom::deleteTarget, "DELETE"},
    {X11Atom::insertSelection, "INSERT_SELECTION"},
    {X11Atom::insertProperty, "INSERT_PROPERTY"},
    {X11Atom::utf8String, "UTF8_STRING"},
    {X11Atom::textPlainUtf8, "text/plain;charset=utf-8"},
    {X11Atom::textPlain, "text/plain"},
    {X11Atom::text, "TEXT"},
    {X11Atom::compoundText, "COMPOUND_TEXT"},
    {X11Atom::string, "STRING"},
    {X11Atom::ownProperty, "SABLIX_CLIPBOARD"},
    {X11Atom::ownSaveTargets, "SABLIX_SAVE_TARGETS"},
}};

constexpr bool everyAtomInOrder() {
    size_t index = 0;
    for (const auto& [atom, name] : kX11AtomNames.entries)
        if (static_cast<size_t>(atom) != index++ || name.empty()) return false;
    return true;
}
static_assert(everyAtomInOrder(), "kX11AtomNames lists each X11Atom once, in the enumeration's order");

// The atoms of one connection's server, all interned at once.
class X11Atoms {
public:
    explicit X11Atoms(Display* display);

    Atom operator[](X11Atom atom) const { return atoms_[static_cast<size_t>(atom)]; }
    // Which of ours the atom is; none for any other.
    std::optional<X11Atom> find(Atom atom) const;

    static std::string_view name(X11Atom atom) { return kX11AtomNames.entries[static_cast<size_t>(atom)].second; }
    static std::optional<X11Atom> named(std::string_view name) { return kX11AtomNames.parse(name); }

private:
    std::array<Atom, std::size(kX11AtomNames.entries)> atoms_{};
};

}  // namespace desktop
