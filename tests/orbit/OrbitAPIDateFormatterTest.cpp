#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <random>

#include "OrbitTestSupport.h"
#include "orbit/Utils/OrbitAPIDateFormatter.h"
#include "support/ModelsTestSupport.h"

using orbit::OrbitDate;
using orbit::toISO8601Date;
using orbit::toISO8601String;

// Ten thousand instants between the years 1 and 9999, written under several zones and locales
// (a Thai locale counts years in another era, a Persian one writes other digits) and checked
// against Python's datetime in the same environment; each reads back to its millisecond.
TEST(OrbitDates, WrittenAsPythonWritesThemWhateverZoneOrLocale) {
    modelstest::TempDir folder;
    const std::string locales = (folder.path() / "locales").string();
    std::filesystem::create_directories(locales);
    for (const char* name : {"th_TH", "fa_IR", "de_DE"})
        testsupport::runCommand({"localedef", "-i", name, "-f", "UTF-8", locales + "/" + name + ".UTF-8"}, nullptr,
                                30000);
    setenv("LOCPATH", locales.c_str(), 1);

    std::mt19937_64 random(11);
    std::uniform_int_distribution<int64_t> instant(-62135596800LL * 1'000'000, 253402300799LL * 1'000'000);
    std::vector<int64_t> micros(10'000);
    for (auto& m : micros) m = instant(random);
    micros[0] = -1;  // just before 1970, where cutting must go down

    const std::vector<std::pair<std::string, std::string>> environments{{"UTC0", "C"},
                                                                        {"America/Los_Angeles", "de_DE.UTF-8"},
                                                                        {"Asia/Kathmandu", "th_TH.UTF-8"},
                                                                        {"<+1345>-13:45", "fa_IR.UTF-8"},
                                                                        {"EST5EDT,M3.2.0,M11.1.0", "C.UTF-8"}};
    for (const auto& [zone, locale] : environments) {
        SCOPED_TRACE(zone + " " + locale);
        setenv("TZ", zone.c_str(), 1);
        tzset();
        setenv("LC_ALL", locale.c_str(), 1);
        if (!std::setlocale(LC_ALL, ""))
            std::printf("locale %s is not available here; TZ alone varies\n", locale.c_str());
        std::string lines;
        for (const auto m : micros) {
            const OrbitDate date{std::chrono::microseconds(m)};
            const auto text = toISO8601String(date);
            lines += std::to_string(m) + " " + text + "\n";
            if (toISO8601Date(text) != std::chrono::floor<std::chrono::milliseconds>(date)) {
                ADD_FAILURE() << text << " does not read back";
                break;
            }
        }
        unsetenv("TZ");
        tzset();
        unsetenv("LC_ALL");
        std::setlocale(LC_ALL, "C");

        const auto path = folder.path() / "dates";
        modelstest::writeFile(path, lines);
        const auto python =
            orbittest::crossCheck("dates", path.string(), {"TZ=" + zone, "LC_ALL=" + locale, "LOCPATH=" + locales});
        if (!python) {
            unsetenv("LOCPATH");
            GTEST_SKIP() << "python3 is missing: the datetime cross-check did not run";
        }
        EXPECT_EQ(*python, "ok\n");
    }
    unsetenv("LOCPATH");
}

// Stored timestamps are read in the two forms written, and nothing near them.
TEST(OrbitDates, ReadOnlyTheTwoWireForms) {
    EXPECT_EQ(toISO8601Date("2024-01-02T03:04:05.678Z"), OrbitDate{std::chrono::milliseconds(1704164645678)});
    EXPECT_EQ(toISO8601Date("2024-01-02T03:04:05Z"), OrbitDate{std::chrono::milliseconds(1704164645000)});
    for (const char* bad : {"2024-01-02T03:04:05+01:00", "2024-01-02", "", "2024-01-02T03:04:05.67Z",
                            "2024-01-02T03:04:05.6789Z", "2024-02-30T03:04:05Z", "2024-01-02T24:04:05Z",
                            "2024-01-02 03:04:05Z", "2024-01-02T03:04:05z", "+024-01-02T03:04:05Z"})
        EXPECT_FALSE(toISO8601Date(bad).has_value()) << bad;
}
