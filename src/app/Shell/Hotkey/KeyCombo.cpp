#include "Shell/Hotkey/KeyCombo.h"

#include <array>
#include <utility>

#include "desktop/KeyLayout.h"

namespace sablix {
namespace {

struct ModifierBit {
    uint64_t eventFlag;
    uint32_t carbonMask;
};
constexpr std::array<ModifierBit, 4> kModifierBits{{
    {desktop::keycode::kControlFlag, desktop::carbon::kControlKey},
    {desktop::keycode::kOptionFlag, desktop::carbon::kOptionKey},
    {desktop::keycode::kShiftFlag, desktop::carbon::kShiftKey},
    {desktop::keycode::kCommandFlag, desktop::carbon::kCommandKey},
}};

// In display order, with the names Linux desktops give these keys (Option is Alt, Command is the
// Super key).
constexpr std::array<std::pair<uint32_t, const char*>, 4> kModifierNames{{
    {desktop::carbon::kControlKey, "Ctrl"},
    {desktop::carbon::kOptionKey, "Alt"},
    {desktop::carbon::kShiftKey, "Shift"},
    {desktop::carbon::kCommandKey, "Super"},
}};
constexpr const char* kJoiner = "+";

// Keys that type no text of their own, or whose text is no good name. Key code 51 is the key
// above Return, which Linux keyboards label Backspace; 117 is their Delete.
constexpr std::array<std::pair<uint32_t, const char*>, 22> kFixedNames{{
    {36, "Return"}, {48, "Tab"},    {49, "Space"}, {51, "Backspace"}, {53, "Escape"}, {117, "Delete"},
    {122, "F1"},    {120, "F2"},    {99, "F3"},    {118, "F4"},       {96, "F5"},     {97, "F6"},
    {98, "F7"},     {100, "F8"},    {101, "F9"},   {109, "F10"},      {103, "F11"},   {111, "F12"},
    {123, "Left"},  {124, "Right"}, {125, "Down"}, {126, "Up"},
}};

// Key codes are 16-bit; a larger one can only come from a hand-edited file.
constexpr uint32_t kLargestKeyCode = 0xFFFF;

std::optional<uint32_t> unsignedField(const nlohmann::json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_number_integer()) return std::nullopt;
    if (it->is_number_unsigned()) {
        const auto value = it->get<uint64_t>();
        if (value > UINT32_MAX) return std::nullopt;
        return static_cast<uint32_t>(value);
    }
    const auto value = it->get<int64_t>();
    if (value < 0 || value > static_cast<int64_t>(UINT32_MAX)) return std::nullopt;
    return static_cast<uint32_t>(value);
}

}  // namespace

std::string KeyCombo::displayString(desktop::KeyLayout& layout) const {
    std::string text;
    for (const auto& [mask, name] : kModifierNames)
        if (carbonModifiers & mask) text += std::string(name) + kJoiner;
    return text + keyName(keyCode, layout);
}

std::string KeyCombo::keyName(uint32_t keyCode, desktop::KeyLayout& layout) {
    for (const auto& [code, name] : kFixedNames)
        if (code == keyCode) return name;
    if (keyCode <= kLargestKeyCode)
        if (std::string name = layout.keyName(static_cast<int>(keyCode)); !name.empty()) return name;
    return "Key" + std::to_string(keyCode);
}

uint32_t KeyCombo::carbonModifiersFrom(uint64_t eventFlags) {
    uint32_t mask = 0;
    for (const auto& bit : kModifierBits)
        if (eventFlags & bit.eventFlag) mask |= bit.carbonMask;
    return mask;
}

bool KeyCombo::hasRequiredModifier(uint64_t eventFlags) {
    return (eventFlags &
            (desktop::keycode::kControlFlag | desktop::keycode::kOptionFlag | desktop::keycode::kCommandFlag)) != 0;
}

std::string KeyCombo::encoded() const {
    nlohmann::ordered_json json;
    json["keyCode"] = keyCode;
    json["carbonModifiers"] = carbonModifiers;
    return json.dump();
}

std::optional<KeyCombo> KeyCombo::fromJson(const nlohmann::json& json) {
    if (!json.is_object()) return std::nullopt;
    const auto keyCode = unsignedField(json, "keyCode");
    const auto carbonModifiers = unsignedField(json, "carbonModifiers");
    if (!keyCode || !carbonModifiers) return std::nullopt;
    return KeyCombo{*keyCode, *carbonModifiers};
}

std::optional<KeyCombo> KeyCombo::decode(std::string_view bytes) {
    const auto json = nlohmann::json::parse(bytes, nullptr, /*allow_exceptions=*/false);
    if (json.is_discarded()) return std::nullopt;
    return fromJson(json);
}

}  // namespace sablix
