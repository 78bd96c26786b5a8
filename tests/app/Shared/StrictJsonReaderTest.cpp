#include <gtest/gtest.h>
#include <stdexcept>

#include "Shared/StrictJsonReader.h"

using nlohmann::json;

namespace sablix {
namespace {

struct ReadError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
using RecordReader = StrictJsonReader<ReadError, kRecordWording>;
using SnippetReader = StrictJsonReader<ReadError, kSnippetWording>;

// The date rule each caller names decides what passes, and the failure keeps its caller's words.
TEST(StrictJsonReaderTest, TheDateRuleDecidesWhatPassesAndTheWordingWhatFailureSays) {
    struct Case {
        const char* name;
        json at;
        DateRule rule;
        bool recordWording;
        std::optional<double> secondsSince2001;  // none: fails with `failure`
        std::string failure;
    };
    const auto at = [](const char* text) { return platform::Date::fromIso8601(text)->secondsSince2001; };
    const std::vector<Case> cases = {
        {"a fraction under ISO 8601", "2026-01-31T09:30:00.250Z", DateRule::iso8601, false,
         at("2026-01-31T09:30:00.250Z"), ""},
        {"a fraction to the second", "2026-01-31T09:30:00.250Z", DateRule::toTheSecond, true, std::nullopt,
         "\"at\" is not an ISO 8601 date-time to the second"},
        {"a zone to the second", "2026-01-31T10:30:00+01:00", DateRule::toTheSecond, true, at("2026-01-31T09:30:00Z"),
         ""},
        {"seconds since 2001", 12.5, DateRule::secondsSince2001, false, 12.5, ""},
        {"text where seconds are due", "2026-01-31T09:30:00Z", DateRule::secondsSince2001, false, std::nullopt,
         "\"at\": not a number"},
        {"no date", "yesterday", DateRule::iso8601, false, std::nullopt, "\"at\": not an ISO 8601 date"},
        {"null, for a record", nullptr, DateRule::toTheSecond, true, std::nullopt, "\"at\" is missing"},
        {"null, for a snippet", nullptr, DateRule::iso8601, false, std::nullopt, "\"at\": missing"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const json object{{"at", c.at}};
        const auto read = [&] {
            return c.recordWording ? RecordReader::requiredDate(object, "at", c.rule)
                                   : SnippetReader::requiredDate(object, "at", c.rule);
        };
        if (c.secondsSince2001) {
            EXPECT_DOUBLE_EQ(read().secondsSince2001, *c.secondsSince2001);
            continue;
        }
        try {
            read();
            ADD_FAILURE() << "read a date it should refuse";
        } catch (const ReadError& error) {
            EXPECT_EQ(std::string(error.what()), c.failure);
        }
    }
}

}  // namespace
}  // namespace sablix
