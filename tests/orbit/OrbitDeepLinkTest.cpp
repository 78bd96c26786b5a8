#include <gtest/gtest.h>

#include "OrbitClientFixture.h"
#include "orbit/OrbitDeepLinkHelper.h"

using nlohmann::json;
using orbittest::Client;
using orbittest::names;

// Hostile and ordinary referrers alike give "$referrer" unchanged, and a domain only when the
// referrer is a URL with a host.
TEST(OrbitDeepLinkTest, PropertiesFromTheLinkAndItsReferrer) {
    const std::string link = "sablix://open?snippet=42";
    const struct {
        std::optional<std::string> referrer;
        json expected;
    } cases[] = {
        {std::nullopt, {{"url", link}}},
        {"https://www.example.com/page?q=1",
         {{"url", link}, {"$referrer", "https://www.example.com/page?q=1"}, {"$referring_domain", "www.example.com"}}},
        {"not a url", {{"url", link}, {"$referrer", "not a url"}}},
        {"mailto:someone@example.com", {{"url", link}, {"$referrer", "mailto:someone@example.com"}}},
        {"file:///etc/passwd", {{"url", link}, {"$referrer", "file:///etc/passwd"}}},
        {"", {{"url", link}, {"$referrer", ""}}},
        {std::string("http://a\0b.com", 14), {{"url", link}, {"$referrer", std::string("http://a\0b.com", 14)}}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(orbit::OrbitDeepLinkHelper::buildDeepLinkProperties(link, c.referrer), c.expected)
            << c.referrer.value_or("(none)");
    EXPECT_EQ(orbit::OrbitDeepLinkHelper::absoluteURL("no url at all"), std::nullopt);
    EXPECT_TRUE(orbit::OrbitDeepLinkHelper::isFileURL("file:///tmp/x"));
}

// A list skips file URLs and keeps its order; only a web-browsing activity with a page counts, its
// referrer giving the domain; text that is no URL, and anything before set-up, sends nothing.
TEST(OrbitDeepLinkTest, EachLinkThatOpenedTheApplicationIsOneEvent) {
    auto unset = orbit::OrbitSDK::make(nullptr, orbit::OrbitHost::standard());
    unset->captureDeepLink("sablix://before");

    Client client;
    auto& sdk = *client.sdk;
    sdk.captureDeepLink(std::vector<std::string>{"sablix://one", "file:///tmp/two", "https://sablix.app/three"});
    sdk.captureDeepLink("no url at all");
    sdk.captureDeepLink(orbit::OrbitUserActivity{"com.sablix.handoff", "https://sablix.app/doc", std::nullopt});
    sdk.captureDeepLink(orbit::OrbitUserActivity{orbit::OrbitUserActivity::browsingWebType, "https://sablix.app/four",
                                                 "https://search.example.org/?q=sablix"});
    const auto events = client.sent(3);
    ASSERT_EQ(names(events), (std::vector<std::string>{"Deep Link Opened", "Deep Link Opened", "Deep Link Opened"}));
    EXPECT_EQ(events[0]["properties"]["url"], "sablix://one");
    EXPECT_FALSE(events[0]["properties"].contains("$referrer"));
    EXPECT_EQ(events[1]["properties"]["url"], "https://sablix.app/three");
    EXPECT_EQ(events[2]["properties"]["url"], "https://sablix.app/four");
    EXPECT_EQ(events[2]["properties"]["$referring_domain"], "search.example.org");
}
