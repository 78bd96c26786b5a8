#include "orbit/Logs/LogText.h"

#include <cctype>

#include "orbit/Utils/JSONUtils.h"
#include "orbit/Utils/Utf8.h"

namespace orbit {

std::string_view trimmedLogText(std::string_view text) {
    constexpr std::string_view blanks = " \t\n\r\v\f";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

std::string validUtf8Text(std::string text) {
    if (isValidUtf8(text)) return text;
    const auto written = writeJSON(nlohmann::json(std::move(text)), nullptr, InvalidUtf8::replace);
    const auto read = written ? readJSON(*written) : std::nullopt;
    return read && read->is_string() ? read->get<std::string>() : std::string();
}

bool isHexId(std::string_view text, size_t digits) {
    if (text.size() != digits) return false;
    for (const unsigned char c : text)
        if (!std::isxdigit(c)) return false;
    return true;
}

}  // namespace orbit
