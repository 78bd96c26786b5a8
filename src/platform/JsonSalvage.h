#pragma once
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

// Reading what can be read of JSON text that does not parse as a whole. A tolerant scanner that
// trusts only quotes, escapes and brackets cuts the text into values; each is parsed alone, so a
// damaged value costs only itself.
namespace platform::jsonsalvage {

// A value nested deeper than this (arrays and objects) is not read: what reads, copies or
// destroys it recurses once per level, and a stack has room for only so many.
inline constexpr size_t kMaxNesting = 512;

// The end of the value that starts at `start`: a comma or closing bracket at its own level, the
// bracket that closes it, or the end of the text.
size_t valueEnd(std::string_view text, size_t start);

// Makes damaged text parse where that is safe, keeping its length so that offsets (and base64
// alignment) hold: a byte that is not part of well-formed UTF-8 becomes '?', an escape of a lone
// surrogate becomes \ufffd, and the backslash of an escape JSON does not know becomes '?' (the
// byte after it is then read as any other). True when anything was replaced.
bool repair(std::string& text);

struct Object {
    std::vector<std::pair<std::string, nlohmann::json>> members;  // in text order
    std::set<std::string> repaired;                               // keys whose value parsed only after repair()
    std::set<std::string> lost;                                   // keys whose value could not be read
    bool unnamedLoss = false;                                     // some bytes could not even be tied to a key
};
// The members of a top-level object, value by value; a value nested deeper than kMaxNesting is lost.
Object salvageObject(std::string_view text);

struct Array {
    std::vector<nlohmann::json> elements;
    std::vector<std::string> damaged;  // one description per stretch of bytes that was left out
};
// The elements of a top-level array of objects (one nested deeper than kMaxNesting is damaged). After a damaged element, reading starts again at
// the next '{' from which an element parses, so damage that throws quotes out of step (a quote
// or backslash lost or gained) still costs only the elements it falls in.
Array salvageArrayOfObjects(std::string_view text);

}  // namespace platform::jsonsalvage
