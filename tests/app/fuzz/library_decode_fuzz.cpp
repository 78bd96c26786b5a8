// libFuzzer target over the decoding of the stored snippet library. Whatever the bytes, the fast
// reader of the usual shape, with the whole-tree parse behind it, must give exactly the snippets
// and the failures that parsing the whole array as one tree gives. The decoder is internal
// to SnippetController.cpp, which is compiled in here (SnippetSettings.h through moc). Not part of
// the build; from the top of the tree (one command per line):
//   /usr/lib/qt6/libexec/moc src/app/Snippets/SnippetSettings.h -o /tmp/moc_SnippetSettings.cpp
//   clang++ -std=c++20 -g -O1 -fPIC -fsanitize=fuzzer,address,undefined -I src -I src/app $(pkg-config --cflags Qt6Core) tests/app/fuzz/library_decode_fuzz.cpp /tmp/moc_SnippetSettings.cpp src/app/Snippets/{PlainLibraryReader,SnippetItem,SnippetSettings,SnippetLibraryCache,SnippetValidation}.cpp src/platform/{Base64,BackupFile,Clock,Date,Defaults,DefaultsValue,JsonSalvage,JsonText,Log,TextRules,Utf8,Uuid}.cpp src/posix/*.cpp $(pkg-config --libs Qt6Core) -licuuc -licui18n -o /tmp/library_decode_fuzz
//   mkdir -p /tmp/library_decode_corpus && printf '[{"id":"0C7E1A8B-3D7E-4A57-9B7A-2F1A4C2B9E11","snippetTitle":"sig","snippet":"Best,\\nA","tags":["a"],"createdAt":1.5,"version":2}]' > /tmp/library_decode_corpus/seed
//   /tmp/library_decode_fuzz -max_total_time=300 -max_len=4096 /tmp/library_decode_corpus
#include "Snippets/SnippetController.cpp"

#include <cstdlib>

namespace {

using nlohmann::json;

// The decoding as it was: the whole array parsed as one tree, then each record.
sablix::DecodedLibrary asOneTree(const platform::DefaultsValue::Data& bytes, const platform::Clock& clock) {
    sablix::DecodedLibrary decoded;
    const auto* text = reinterpret_cast<const char*>(bytes.data());
    json array = json::parse(text, text + bytes.size(), nullptr, false);
    if (array.is_discarded()) {
        auto salvaged = platform::jsonsalvage::salvageArrayOfObjects(std::string_view(text, bytes.size()));
        decoded.failures = std::move(salvaged.damaged);
        sablix::decodeRecords(salvaged.elements, clock, decoded);
        return decoded;
    }
    if (!array.is_array()) {
        decoded.failures.push_back(std::string("expected an array of snippets, found ") + array.type_name());
        return decoded;
    }
    sablix::decodeRecords(array.get_ref<const json::array_t&>(), clock, decoded);
    return decoded;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const platform::FakeClock clock;
    const platform::DefaultsValue::Data bytes(data, data + size);
    const auto expected = asOneTree(bytes, clock);
    const auto decoded = sablix::decodeLibrary(bytes, clock);
    if (decoded.items != expected.items || decoded.failures != expected.failures) std::abort();
    return 0;
}
