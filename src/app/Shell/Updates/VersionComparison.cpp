#include "Shell/Updates/VersionComparison.h"

namespace sablix {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The run of digits starting at `at`, without its leading zeros; `at` moves past the run.
std::string_view digitRun(std::string_view text, size_t& at) {
    const size_t start = at;
    while (at < text.size() && isDigit(text[at])) ++at;
    std::string_view run = text.substr(start, at - start);
    const size_t firstSignificant = run.find_first_not_of('0');
    return firstSignificant == std::string_view::npos ? std::string_view() : run.substr(firstSignificant);
}

}  // namespace

int compareVersions(std::string_view a, std::string_view b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            // Compared as numbers of any length: more significant digits is larger, then digit by digit.
            const std::string_view x = digitRun(a, i), y = digitRun(b, j);
            if (x.size() != y.size()) return x.size() < y.size() ? -1 : 1;
            if (const int order = x.compare(y); order != 0) return order < 0 ? -1 : 1;
            continue;
        }
        // UTF-8 bytes order as their code points do.
        const auto x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[j]);
        if (x != y) return x < y ? -1 : 1;
        ++i;
        ++j;
    }
    const bool aLeft = i < a.size(), bLeft = j < b.size();
    return aLeft == bLeft ? 0 : (aLeft ? 1 : -1);
}

}  // namespace sablix
