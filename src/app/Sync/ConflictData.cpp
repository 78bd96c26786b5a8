#include "Sync/ConflictData.h"

#include "Snippets/SnippetCoding.h"

namespace sablix {

using nlohmann::json;

json ConflictData::toJson() const {
    return json{{"localVersion", localVersion.toJson(DateCoding::iso8601)},
                {"serverVersion", serverVersion.toJson(DateCoding::iso8601)},
                {"detectedAt", detectedAt.iso8601()}};
}

ConflictData ConflictData::fromJson(const json& object, const platform::Clock& clock) {
    snippetCoding::requireObject(object, "conflict");
    auto snippet = [&](const char* key) {
        auto it = object.find(key);
        if (it == object.end() || it->is_null()) throw SnippetCodingError("\"" + std::string(key) + "\": missing");
        return SnippetItem::fromJson(*it, DateCoding::iso8601, clock);
    };
    SnippetItem local = snippet("localVersion");
    SnippetItem server = snippet("serverVersion");
    return ConflictData{std::move(local), std::move(server), snippetCoding::requiredDate(object, "detectedAt")};
}

}  // namespace sablix
