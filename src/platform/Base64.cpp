#include "platform/Base64.h"

#include <array>

namespace platform {
namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

std::string base64Encode(const uint8_t* bytes, size_t size) {
    // Written into place: a library of thousands of snippets is megabytes, encoded at every save.
    std::string out((size + 2) / 3 * 4, '=');
    char* o = out.data();
    size_t i = 0;
    for (; i + 3 <= size; i += 3, o += 4) {
        const uint32_t n =
            static_cast<uint32_t>(bytes[i]) << 16 | static_cast<uint32_t>(bytes[i + 1]) << 8 | bytes[i + 2];
        o[0] = kAlphabet[n >> 18 & 63];
        o[1] = kAlphabet[n >> 12 & 63];
        o[2] = kAlphabet[n >> 6 & 63];
        o[3] = kAlphabet[n & 63];
    }
    if (i < size) {
        const uint32_t n = static_cast<uint32_t>(bytes[i]) << 16 | (i + 1 < size ? bytes[i + 1] << 8 : 0);
        o[0] = kAlphabet[n >> 18 & 63];
        o[1] = kAlphabet[n >> 12 & 63];
        if (i + 1 < size) o[2] = kAlphabet[n >> 6 & 63];
    }
    return out;
}

namespace {

constexpr int kNotInAlphabet = -1;

// The value of every byte as a base64 digit, kNotInAlphabet for the rest.
constexpr std::array<int8_t, 256> kDigitValues = [] {
    std::array<int8_t, 256> values{};
    values.fill(kNotInAlphabet);
    for (int i = 0; i < 64; ++i) values[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
    return values;
}();

// Strict: anything but the alphabet and final padding refuses the whole text. Lenient: such a
// character counts as zero bits in its place, so damage changes only the bytes it falls in.
std::optional<std::vector<uint8_t>> decode(std::string_view text, bool lenient) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::vector<uint8_t> out(text.size() / 4 * 3);
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    size_t written = 0;
    for (size_t i = 0; i < text.size(); i += 4) {
        int v[4] = {kDigitValues[in[i]], kDigitValues[in[i + 1]], kDigitValues[in[i + 2]], kDigitValues[in[i + 3]]};
        const bool last = i + 4 == text.size();
        if (!last && (v[0] | v[1] | v[2] | v[3]) >= 0) {  // the common case: four digits
            const uint32_t n = static_cast<uint32_t>(v[0] << 18 | v[1] << 12 | v[2] << 6 | v[3]);
            out[written] = static_cast<uint8_t>(n >> 16);
            out[written + 1] = static_cast<uint8_t>(n >> 8 & 0xFF);
            out[written + 2] = static_cast<uint8_t>(n & 0xFF);
            written += 3;
            continue;
        }
        int padding = 0;
        for (int k = 0; k < 4; ++k) {
            if (v[k] >= 0) continue;
            if (last && in[i + k] == '=' && k >= 2 && (k == 3 || in[i + 3] == '=')) {
                ++padding;
            } else if (!lenient) {
                return std::nullopt;
            }
            v[k] = 0;
        }
        const uint32_t n = static_cast<uint32_t>(v[0] << 18 | v[1] << 12 | v[2] << 6 | v[3]);
        out[written++] = static_cast<uint8_t>(n >> 16);
        if (padding < 2) out[written++] = static_cast<uint8_t>(n >> 8 & 0xFF);
        if (padding < 1) out[written++] = static_cast<uint8_t>(n & 0xFF);
    }
    out.resize(written);
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
