// libFuzzer target over the log's escaping of outside text: what comes out holds no control
// character (no byte below 0x20, no DEL, no UTF-8 form of C1 or of the line and paragraph
// separators), and reading its escapes back gives exactly the input. Not part of the build; from
// the top of the tree:
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -I src tests/posix/fuzz/log_text_fuzz.cpp \
//     src/posix/LogText.cpp -o /tmp/log_text_fuzz
//   /tmp/log_text_fuzz -max_total_time=180 -max_len=256
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "posix/LogText.h"

namespace {

std::string unescaped(std::string_view text) {
    std::string out;
    for (size_t at = 0; at < text.size(); ++at) {
        if (text[at] != '\\') {
            out += text[at];
            continue;
        }
        if (at + 1 < text.size() && text[at + 1] == '\\') {
            out += '\\';
            ++at;
        } else if (at + 3 < text.size() && text[at + 1] == 'x') {
            out += static_cast<char>(std::stoi(std::string(text.substr(at + 2, 2)), nullptr, 16));
            at += 3;
        } else {
            std::abort();  // a lone backslash: the escaping is ambiguous
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string escaped = posix::escapedForLog(input);
    for (size_t at = 0; at < escaped.size(); ++at) {
        const auto byte = static_cast<uint8_t>(escaped[at]);
        const auto next = at + 1 < escaped.size() ? static_cast<uint8_t>(escaped[at + 1]) : 0;
        const auto third = at + 2 < escaped.size() ? static_cast<uint8_t>(escaped[at + 2]) : 0;
        if (byte < 0x20 || byte == 0x7F) std::abort();
        if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) std::abort();
        if (byte == 0xE2 && next == 0x80 && (third == 0xA8 || third == 0xA9)) std::abort();
    }
    if (unescaped(escaped) != input) std::abort();
    return 0;
}
