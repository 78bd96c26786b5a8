// libFuzzer target over the defaults file's read and the library's write. Whenever the fast path
// that lifts large data out before parsing gives a result, it must be exactly what parsing the
// bytes as they are gives (so the values read and the damage found are the same); and
// compactJson must write what dump() writes, or throw where it throws. Each '@' of the input becomes 64 KiB of
// base64, so that small inputs reach the fast path. The reader is internal to DefaultsFile.cpp,
// which is compiled in here. Not part of the build; from the top of the tree:
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -I src tests/platform/fuzz/defaults_read_fuzz.cpp \
//     src/platform/{Base64,BackupFile,DefaultsValue,JsonSalvage,JsonText,Utf8,Uuid,Log,Date}.cpp src/posix/*.cpp \
//     -licuuc -licui18n -o /tmp/defaults_read_fuzz
//   mkdir -p /tmp/defaults_read_corpus && printf '{\n\t"a": "x",\n\t"big": {\n\t\t"$data": "@"\n\t}\n}' \
//     > /tmp/defaults_read_corpus/seed
//   /tmp/defaults_read_fuzz -max_total_time=300 -max_len=4096 /tmp/defaults_read_corpus
#include "platform/DefaultsFile.cpp"

#include <cstdlib>

#include "platform/JsonText.h"

namespace {

// Both write the same bytes, or both refuse the value.
void checkWritten(const nlohmann::json& value) {
    std::string expected, written;
    bool expectedThrew = false, writtenThrew = false;
    try {
        expected = value.dump();
    } catch (const nlohmann::json::exception&) {
        expectedThrew = true;
    }
    try {
        written = platform::compactJson(value);
    } catch (const nlohmann::json::exception&) {
        writtenThrew = true;
    }
    if (expectedThrew != writtenThrew || written != expected) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string kLarge = [] {
        std::string text;
        while (text.size() < platform::LargeDataSplicer::kLargeData) text += "QUJD";
        return text;
    }();
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string bytes;
    for (const char c : input) {
        if (c == '@')
            bytes += kLarge;
        else
            bytes += c;
    }
    const auto check = [](const std::string& text) {
        const auto fast = platform::LargeDataLifter::parse(text);
        if (!fast) return;
        const auto plain = nlohmann::json::parse(text, nullptr, false);
        if (plain.is_discarded() || *fast != plain) std::abort();
    };
    checkWritten(nlohmann::json::parse(input, nullptr, false));
    checkWritten(nlohmann::json{{std::string(input), std::string(input)}, {"n", std::string(input)}});
    check(bytes);
    check(std::string(input));
    return 0;
}
