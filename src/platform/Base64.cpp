#include "platform/Base64.h"

namespace platform {
namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

std::string base64Encode(const uint8_t* bytes, size_t size) {
    std::string out;
    out.reserve((size + 2) / 3 * 4);
    for (size_t i = 0; i < size; i += 3) {
        const uint32_t n = static_cast<uint32_t>(bytes[i]) << 16 | (i + 1 < size ? bytes[i + 1] << 8 : 0) |
                           (i + 2 < size ? bytes[i + 2] : 0);
        out.push_back(kAlphabet[n >> 18 & 63]);
        out.push_back(kAlphabet[n >> 12 & 63]);
        out.push_back(i + 1 < size ? kAlphabet[n >> 6 & 63] : '=');
        out.push_back(i + 2 < size ? kAlphabet[n & 63] : '=');
    }
    return out;
}

namespace {

// Strict: anything but the alphabet and final padding refuses the whole text. Lenient: such a
// character counts as zero bits in its place, so damage changes only the bytes it falls in.
std::optional<std::vector<uint8_t>> decode(std::string_view text, bool lenient) {
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    if (text.size() % 4 != 0) return std::nullopt;
    std::vector<uint8_t> out;
    out.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        int v[4];
        int padding = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text[i + k];
            if (c == '=' && i + 4 == text.size() && k >= 2 && (k == 3 || text[i + 3] == '=')) {
                v[k] = 0;
                ++padding;
            } else if ((v[k] = value(c)) < 0) {
                if (!lenient) return std::nullopt;
                v[k] = 0;
            }
        }
        const uint32_t n = static_cast<uint32_t>(v[0] << 18 | v[1] << 12 | v[2] << 6 | v[3]);
        out.push_back(static_cast<uint8_t>(n >> 16));
        if (padding < 2) out.push_back(static_cast<uint8_t>(n >> 8 & 0xFF));
        if (padding < 1) out.push_back(static_cast<uint8_t>(n & 0xFF));
    }
    return out;
}

}  // namespace

std::optional<std::vector<uint8_t>> base64Decode(std::string_view text) { return decode(text, false); }

std::optional<std::vector<uint8_t>> base64DecodeLenient(std::string_view text) { return decode(text, true); }

std::string base64Encode(std::string_view bytes) {
    return base64Encode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

std::optional<std::string> base64DecodeString(std::string_view text) {
    auto bytes = base64Decode(text);
    if (!bytes) return std::nullopt;
    return std::string(bytes->begin(), bytes->end());
}

}  // namespace platform
