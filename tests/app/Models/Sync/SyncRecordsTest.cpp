#include <gtest/gtest.h>

#include "Models/Sync/ConflictData.h"
#include "Models/Sync/SyncMetadata.h"
#include "Models/Sync/SyncOperation.h"

namespace sablix {
namespace {

using nlohmann::json;

platform::Date at(const char* iso) { return *platform::Date::fromIso8601(iso); }

SnippetItem teamSnippet(std::optional<platform::Uuid> team = platform::Uuid::generate()) {
    return SnippetItem(platform::Uuid::generate(), "addr", "Main Street 1\n\xC3\xA9t\xC3\xA9", {"Work"}, team,
                       platform::Uuid::generate(), SnippetVisibility::editors, 4, at("2024-03-01T10:00:00Z"),
                       at("2024-03-02T11:30:15Z"), std::nullopt);
}

TEST(SyncRecords, MetadataDecodesStrictlyAndLeavesOutWhatIsAbsent) {
    const auto minimal = SyncMetadata::fromJson(json{{"syncStatus", "pendingDownload"}});
    EXPECT_EQ(minimal, (SyncMetadata{SyncStatus::pendingDownload, {}, {}, {}, {}, {}}));
    EXPECT_EQ(minimal.toJson(), (json{{"syncStatus", "pendingDownload"}}));
    EXPECT_EQ(SyncMetadata::fromJson(json{{"syncStatus", "error"}, {"serverVersion", nullptr}}).serverVersion,
              std::nullopt);

    for (const json& bad :
         {json{{"syncStatus", "Synced"}}, json::object(), json{{"syncStatus", "synced"}, {"serverVersion", "3"}},
          json{{"syncStatus", "synced"}, {"serverVersion", 3.5}},
          json{{"syncStatus", "synced"}, {"pendingOperation", "remove"}},
          json{{"syncStatus", "synced"}, {"lastSyncedAt", "yesterday"}}})
        EXPECT_THROW(SyncMetadata::fromJson(bad), SnippetCodingError) << bad.dump();
}

TEST(SyncRecords, MetadataWithAConflictSurvivesJson) {
    platform::FakeClock clock(at("2024-05-06T07:08:09Z"));
    SyncMetadata metadata = SyncMetadata::synced(7, clock);
    const SnippetItem local = teamSnippet();
    SnippetItem server = local;
    server.snippet = "changed on the server";
    metadata.pendingOperation = PendingOperation::remove;
    metadata.conflictData = ConflictData{local, server, at("2024-05-06T07:08:10Z")};

    const json coded = metadata.toJson();
    EXPECT_EQ(coded["lastSyncedAt"], "2024-05-06T07:08:09Z");
    EXPECT_EQ(coded["pendingOperation"], "delete");
    EXPECT_EQ(coded["conflictData"]["serverVersion"]["createdAt"], "2024-03-01T10:00:00Z");
    EXPECT_EQ(SyncMetadata::fromJson(json::parse(coded.dump())), metadata);

    json incomplete = coded["conflictData"];
    incomplete.erase("detectedAt");
    EXPECT_THROW(ConflictData::fromJson(incomplete), SnippetCodingError);
}

TEST(SyncRecords, OperationForASnippetCarriesItsJson) {
    platform::FakeClock clock;
    const SnippetItem personal = teamSnippet(std::nullopt);
    const auto operation = SyncOperation::forSnippet(personal, PendingOperation::update, clock);
    EXPECT_FALSE(operation.teamId);
    EXPECT_EQ(operation.retryCount, 0);
    EXPECT_FALSE(operation.lastError);
    EXPECT_EQ(operation.decodeSnippet(), personal);

    SnippetItem fractional = teamSnippet();
    fractional.updatedAt.secondsSince2001 += 0.6;  // dates travel to the whole second
    const auto decoded = SyncOperation::forSnippet(fractional, PendingOperation::create, clock).decodeSnippet();
    EXPECT_EQ(decoded.updatedAt, at("2024-03-02T11:30:15Z"));
    EXPECT_EQ(decoded.teamId, fractional.teamId);

    SyncOperation broken = operation;
    broken.payload.back() = ' ';
    EXPECT_NE(broken, operation);
    EXPECT_THROW(broken.decodeSnippet(), SnippetCodingError);
}

TEST(SyncRecords, OperationJsonCarriesThePayloadAsBase64) {
    SyncOperation operation{platform::Uuid::generate(),
                            EntityType::teamMember,
                            platform::Uuid::generate(),
                            PendingOperation::remove,
                            "{}",
                            std::nullopt,
                            at("2024-01-02T03:04:05Z"),
                            2,
                            "timed out"};
    EXPECT_EQ(operation.toJson()["payload"], "e30=");
    EXPECT_FALSE(operation.toJson().contains("teamId"));
    // Every padding length, and bytes that are not text.
    for (const std::string& payload :
         {std::string(), std::string("a"), std::string("ab"), std::string("abc"), std::string("\xFF\x00\xFE\x80", 4)}) {
        operation.payload = payload;
        EXPECT_EQ(SyncOperation::fromJson(json::parse(operation.toJson().dump())), operation);
    }

    const json good = operation.toJson();
    for (const char* bad : {"e30", "e3=0", "e3!=", "===="}) {
        json broken = good;
        broken["payload"] = bad;
        EXPECT_THROW(SyncOperation::fromJson(broken), SnippetCodingError) << bad;
    }
    json withoutRetries = good;
    withoutRetries.erase("retryCount");
    EXPECT_THROW(SyncOperation::fromJson(withoutRetries), SnippetCodingError);
}

}  // namespace
}  // namespace sablix
