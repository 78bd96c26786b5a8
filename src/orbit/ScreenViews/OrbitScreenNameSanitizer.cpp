#include "orbit/ScreenViews/OrbitScreenNameSanitizer.h"

namespace orbit::OrbitScreenNameSanitizer {
namespace {

std::string_view trimmed(std::string_view text) {
    const auto blank = " \t\r\n\v\f";
    const auto first = text.find_first_not_of(blank);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(blank) - first + 1);
}

std::optional<std::string_view> stripGeneric(std::string_view name, std::string_view wrapper) {
    if (name.size() < wrapper.size() + 2 || name.substr(0, wrapper.size()) != wrapper ||
        name[wrapper.size()] != '<' || name.back() != '>')
        return std::nullopt;
    return name.substr(wrapper.size() + 1, name.size() - wrapper.size() - 2);
}

std::optional<std::string_view> firstGenericArgument(std::string_view text) {
    long depth = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '<') ++depth;
        if (text[i] == '>') --depth;
        if (text[i] == ',' && depth == 0) return trimmed(text.substr(0, i));
    }
    const auto whole = trimmed(text);
    if (whole.empty()) return std::nullopt;
    return whole;
}

}  // namespace

std::optional<std::string> sanitize(std::string_view rawScreenName) {
    auto name = stripGeneric(rawScreenName, "UIHostingController").value_or(rawScreenName);
    bool changed = name.size() != rawScreenName.size();
    // Each round drops one wrapper, so the loop ends within the title's length.
    while (const auto inner = stripGeneric(name, "ModifiedContent")) {
        const auto argument = firstGenericArgument(*inner);
        if (!argument) break;
        name = *argument;
        changed = true;
    }
    if (name.empty()) return std::nullopt;
    if (changed && name == "AnyView") return std::nullopt;
    return std::string(name);
}

}  // namespace orbit::OrbitScreenNameSanitizer
