#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Models/Auth/AccountCoding.h"
#include "Models/Auth/AuthTokens.h"
#include "Models/Auth/User.h"

using nlohmann::json;
using sablix::AccountCodingError;
using sablix::AuthTokens;
using sablix::User;

namespace {

json userJson() {
    return {{"id", "5a0e1c2b-3d4f-4a5b-8c6d-7e8f9a0b1c2d"},
            {"email", "rowan@example.com"},
            {"displayName", "Rowan Tesk"},
            {"authProvider", "apple"},
            {"createdAt", "2026-01-31T10:30:00+01:00"},
            {"plan", "team"}};
}

json tokensJson() {
    return {{"accessToken", "a"},
            {"refreshToken", "r"},
            {"expiresAt", "2026-01-31T09:30:00Z"},
            {"userId", "5A0E1C2B-3D4F-4A5B-8C6D-7E8F9A0B1C2D"}};
}

TEST(AccountRecordsTest, RecordsRoundTripInTheirCanonicalForm) {
    const User user = User::fromJson(userJson());
    EXPECT_EQ(user.avatarURL, std::nullopt);
    EXPECT_EQ(user.authProvider, sablix::AuthProvider::apple);
    EXPECT_EQ(user.createdAt.iso8601(), "2026-01-31T09:30:00Z");
    const json encoded = user.toJson();
    EXPECT_EQ(encoded, (json{{"id", "5A0E1C2B-3D4F-4A5B-8C6D-7E8F9A0B1C2D"},
                             {"email", "rowan@example.com"},
                             {"displayName", "Rowan Tesk"},
                             {"authProvider", "apple"},
                             {"createdAt", "2026-01-31T09:30:00Z"}}))
        << "no avatarURL key, upper-case id, UTC without fraction";
    EXPECT_EQ(User::fromJson(encoded), user);

    json withNullPicture = userJson();
    withNullPicture["avatarURL"] = nullptr;
    EXPECT_EQ(User::fromJson(withNullPicture).avatarURL, std::nullopt);
    json withPicture = userJson();
    withPicture["avatarURL"] = "https://example.com/r.png";
    const User pictured = User::fromJson(withPicture);
    EXPECT_EQ(User::fromJson(json::parse(pictured.toJson().dump())), pictured);

    const AuthTokens tokens = AuthTokens::fromJson(tokensJson());
    EXPECT_EQ(tokens.expiresAt.unixSeconds(), 1769851800.0);
    EXPECT_EQ(AuthTokens::fromJson(tokens.toJson()), tokens);
}

TEST(AccountRecordsTest, AnythingOffFormFailsTheWholeRecord) {
    std::vector<std::pair<std::string, json>> users;
    auto userWith = [&](const std::string& what, const char* key, json value) {
        json user = userJson();
        if (value.is_discarded())
            user.erase(key);
        else
            user[key] = std::move(value);
        users.emplace_back(what, std::move(user));
    };
    userWith("another provider", "authProvider", "github");
    userWith("a provider in capitals", "authProvider", "Google");
    userWith("milliseconds", "createdAt", "2026-01-31T09:30:00.123Z");
    userWith("no zone", "createdAt", "2026-01-31T09:30:00");
    userWith("a date alone", "createdAt", "2026-01-31");
    userWith("seconds as a number", "createdAt", 1769851800);
    userWith("an id in braces", "id", "{5a0e1c2b-3d4f-4a5b-8c6d-7e8f9a0b1c2d}");
    userWith("an id without hyphens", "id", "5a0e1c2b3d4f4a5b8c6d7e8f9a0b1c2d");
    userWith("a number for a text", "displayName", 7);
    userWith("a null email", "email", nullptr);
    userWith("no email", "email", json(json::value_t::discarded));
    userWith("a picture that is not text", "avatarURL", false);
    users.emplace_back("an array", json::array({userJson()}));
    for (const auto& [what, value] : users)
        EXPECT_THROW(User::fromJson(value), AccountCodingError) << what << ": " << value.dump();

    json fractional = tokensJson();
    fractional["expiresAt"] = "2026-01-31T09:30:00.5Z";
    EXPECT_THROW(AuthTokens::fromJson(fractional), AccountCodingError);
    json noUser = tokensJson();
    noUser.erase("userId");
    EXPECT_THROW(AuthTokens::fromJson(noUser), AccountCodingError);
    try {
        AuthTokens::fromJson(fractional);
    } catch (const AccountCodingError& error) {
        EXPECT_STREQ(error.what(),
                     "The account data could not be read: \"expiresAt\" is not an ISO 8601 date-time to the second");
    }
}

}  // namespace
