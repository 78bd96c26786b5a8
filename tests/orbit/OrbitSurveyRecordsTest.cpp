#include <gtest/gtest.h>

#include "orbit/OrbitConfig.h"
#include "orbit/Surveys/Models/OrbitSurveyResponse.h"

using orbit::OrbitSurveyResponse;
using orbit::OrbitSurveyResponseType;

// Each constructor sets only the fields of its kind; raw values outside the cases give nothing;
// a fresh configuration has a delegate and forces no language.
TEST(OrbitSurveyRecordsTest, ResponsesRawValuesAndTheDefaultConfiguration) {
    const auto link = OrbitSurveyResponse::link(false);
    EXPECT_EQ(link.type(), OrbitSurveyResponseType::link);
    EXPECT_EQ(link.linkClicked(), false);
    EXPECT_FALSE(link.ratingValue() || link.textValue() || link.selectedOptions());

    EXPECT_EQ(OrbitSurveyResponse::singleChoice(std::nullopt).type(), OrbitSurveyResponseType::singleChoice);
    EXPECT_FALSE(OrbitSurveyResponse::singleChoice(std::nullopt).selectedOptions());
    EXPECT_EQ(OrbitSurveyResponse::singleChoice("Yes").selectedOptions(), std::vector<std::string>{"Yes"});
    const auto several = OrbitSurveyResponse::multipleChoice(std::vector<std::string>{"a", "b"});
    EXPECT_EQ(several.selectedOptions(), (std::vector<std::string>{"a", "b"}));
    EXPECT_FALSE(several.linkClicked());
    EXPECT_EQ(OrbitSurveyResponse::rating(7).ratingValue(), 7);
    EXPECT_EQ(OrbitSurveyResponse::openEnded("text").textValue(), "text");

    EXPECT_EQ(orbit::orbitSurveyResponseType(4), OrbitSurveyResponseType::multipleChoice);
    for (const int raw : {-1, 5, 1 << 30}) EXPECT_FALSE(orbit::orbitSurveyResponseType(raw)) << raw;
    EXPECT_EQ(orbit::orbitDisplaySurveyRatingType(1), orbit::OrbitDisplaySurveyRatingType::emoji);
    for (const int raw : {-1, 2}) {
        EXPECT_FALSE(orbit::orbitDisplaySurveyTextContentType(raw)) << raw;
        EXPECT_FALSE(orbit::orbitDisplaySurveyRatingType(raw)) << raw;
    }

    const orbit::OrbitConfig config("phc_surveys");
    ASSERT_TRUE(config.surveysConfig.surveysDelegate);
    EXPECT_FALSE(config.surveysConfig.overrideDisplayLanguage);
}
