#pragma once
#include <cstdlib>
#include <string_view>

// CI runs every benchmark program once with SABLIX_BENCH_SMOKE=1, so that none stops working
// unseen; no figure is judged there. A program whose set-up alone takes many seconds (thousands
// of files synced to disk, a stream of 100 MB) makes a smaller one then.
inline bool smokeRun() {
    const char* value = std::getenv("SABLIX_BENCH_SMOKE");
    return value && std::string_view(value) == "1";
}

// `full` in a measuring run, `smoke` in the smoke run.
template <typename T>
T smokeOr(T full, T smoke) {
    return smokeRun() ? smoke : full;
}
