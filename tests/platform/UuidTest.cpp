#include <gtest/gtest.h>

#include "platform/Uuid.h"

using platform::Uuid;

TEST(Uuid, TextIsUpperCaseOutEitherCaseIn) {
    const auto upper = Uuid::fromString("7C9E6679-7425-40DE-944B-E07FC1F90AE7");
    const auto lower = Uuid::fromString("7c9e6679-7425-40de-944b-e07fc1f90ae7");
    ASSERT_TRUE(upper && lower);
    EXPECT_EQ(*upper, *lower);
    EXPECT_EQ(lower->toString(), "7C9E6679-7425-40DE-944B-E07FC1F90AE7");
    EXPECT_EQ(upper->bytes()[0], 0x7C);
    EXPECT_EQ(upper->bytes()[15], 0xE7);
    for (const char* bad : {"", "{7C9E6679-7425-40DE-944B-E07FC1F90AE7}", "7C9E66797425-40DE-944B-E07FC1F90AE7A",
                            "7C9E6679-7425-40DE-944B-E07FC1F90AEG", "7C9E6679-7425-40DE-944B-E07FC1F90AE",
                            "7C9E6679 7425 40DE 944B E07FC1F90AE7", "7C9E6679-742540DE-944B-E07FC1F90AE77",
                            "-C9E6679-7425-40DE-944B-E07FC1F90AE7"})
        EXPECT_FALSE(Uuid::fromString(bad).has_value()) << bad;
}
