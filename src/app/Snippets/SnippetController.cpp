#include "Snippets/SnippetController.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "Snippets/PlainLibraryReader.h"
#include "Snippets/SnippetSettings.h"
#include "platform/BackupFile.h"
#include "platform/JsonSalvage.h"
#include "platform/JsonText.h"
#include "platform/TextRules.h"

namespace sablix {
namespace {

using nlohmann::json;

const char* const kDecodeFailedMessage = "Failed to decode snippets: %s";
const char* const kEncodeFailedMessage = "Failed to encode snippets: %s";
const char* const kUpdateFailedMessage = "Failed to save updated snippet";
const char* const kAppendFailedMessage = "Failed to save new snippet";
const char* const kDeleteFailedMessage = "Failed to save the library after deleting a snippet";
const char* const kBackupFailedMessage = "Failed to keep a copy of the unreadable snippet library: %s";
const char* const kBackupKeptMessage = "Kept a copy of the unreadable snippet library as %s";

struct DecodedLibrary {
    std::vector<SnippetItem> items;
    std::vector<std::string> failures;  // one description per record (or for the whole value) left out
};

void decodeRecords(const std::vector<json>& records, const platform::Clock& clock, DecodedLibrary& decoded) {
    decoded.items.reserve(decoded.items.size() + records.size());
    for (size_t i = 0; i < records.size(); ++i) {
        try {
            decoded.items.push_back(SnippetItem::fromJson(records[i], DateCoding::secondsSince2001, clock));
        } catch (const std::exception& e) {
            decoded.failures.push_back("snippet " + std::to_string(i) + ": " + e.what());
        }
    }
}

// The bytes of `item.toJson().dump()`, written without building the JSON object: its members in
// the object's order (by name), each value as the JSON writer writes it.
void appendRecord(std::string& out, const SnippetItem& item) {
    const auto member = [&out](const char* name) {
        out += out.back() == '{' ? "\"" : ",\"";
        out += name;
        out += "\":";
    };
    const auto date = [&](const char* name, platform::Date value) {
        member(name);
        platform::appendCompactJson(out, json(value.secondsSince2001));
    };
    out += '{';
    date("createdAt", item.createdAt);
    if (item.deletedAt) date("deletedAt", *item.deletedAt);
    member("id");
    platform::appendJsonString(out, item.id.toString());
    if (item.ownerId) {
        member("ownerId");
        platform::appendJsonString(out, item.ownerId->toString());
    }
    member("snippet");
    platform::appendJsonString(out, item.snippet);
    member("snippetTitle");
    platform::appendJsonString(out, item.snippetTitle);
    member("tags");
    out += '[';
    for (size_t i = 0; i < item.tags.size(); ++i) {
        if (i > 0) out += ',';
        platform::appendJsonString(out, item.tags[i]);
    }
    out += ']';
    if (item.teamId) {
        member("teamId");
        platform::appendJsonString(out, item.teamId->toString());
    }
    date("updatedAt", item.updatedAt);
    if (item.version != 1) {
        member("version");
        platform::appendCompactJson(out, json(item.version));
    }
    if (item.visibility != SnippetVisibility::personal) {
        member("visibility");
        platform::appendJsonString(out, std::string(rawValue(item.visibility)));
    }
    out += '}';
}

// Record by record, so that one damaged record costs only itself, even one that breaks the
// parsing of the array as a whole.
DecodedLibrary decodeLibrary(const platform::DefaultsValue::Data& bytes, const platform::Clock& clock) {
    DecodedLibrary decoded;
    const auto* text = reinterpret_cast<const char*>(bytes.data());
    if (auto items = readPlainLibrary(std::string_view(text, bytes.size()), clock)) {
        decoded.items = std::move(*items);
        return decoded;
    }
    // Any other shape: the tree parser, and the salvage when it fails, say what there is.
    json array = json::parse(text, text + bytes.size(), nullptr, false);
    if (array.is_discarded()) {
        auto salvaged = platform::jsonsalvage::salvageArrayOfObjects(
            std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
        decoded.failures = std::move(salvaged.damaged);
        decodeRecords(salvaged.elements, clock, decoded);
        return decoded;
    }
    if (!array.is_array()) {
        decoded.failures.push_back(std::string("expected an array of snippets, found ") + array.type_name());
        return decoded;
    }
    decodeRecords(array.get_ref<const json::array_t&>(), clock, decoded);
    return decoded;
}

size_t fingerprint(const platform::DefaultsValue::Data& bytes) {
    return std::hash<std::string_view>()(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

}  // namespace

SnippetController::SnippetController(platform::Defaults& userDefaults, const platform::Clock& clock,
                                     SnippetLibraryCache* libraryCache)
    : userDefaults_(userDefaults),
      clock_(clock),
      libraryCache_(libraryCache),
      logger_(platform::appLog("SnippetController")) {}

SnippetController::SnippetController(platform::Defaults& userDefaults, const SnippetSettings& settings,
                                     const platform::Clock& clock, SnippetLibraryCache* libraryCache)
    : userDefaults_(userDefaults),
      settings_(&settings),
      clock_(clock),
      libraryCache_(libraryCache),
      logger_(platform::appLog("SnippetController")) {}

SnippetValidationResult SnippetController::validate(const SnippetItem& item) const {
    // Judged by itself: duplicates and prefix conflicts are the editor's concern, not the store's.
    if (settings_) return item.validate({}, *settings_);
    return item.validate({}, SnippetSettings(userDefaults_));
}

std::vector<SnippetItem> SnippetController::loadItems() const {
    const auto data = userDefaults_.data(kSavedSnippetItemsKey);
    if (!data) return {};
    const size_t stored = fingerprint(*data);
    if (libraryCache_) {
        if (auto items = libraryCache_->items(stored)) {
            knownClean_ = stored;
            return std::move(*items);
        }
    }
    DecodedLibrary decoded = decodeLibrary(*data, clock_);
    for (const auto& failure : decoded.failures) logger_.error(kDecodeFailedMessage, failure.c_str());
    if (decoded.failures.empty()) {
        knownClean_ = stored;
        if (libraryCache_) libraryCache_->remember(stored, decoded.items);
    }
    return std::move(decoded.items);
}

// A stored value that does not decode completely still holds the user's snippets (or some of
// them); before a save replaces it, its bytes go to a file beside the defaults file. The value
// this instance last read cleanly or wrote is known to be whole and is not decoded again.
bool SnippetController::preserveUndecodableLibrary() {
    const auto stored = userDefaults_.object(kSavedSnippetItemsKey);
    if (!stored) return true;
    std::string raw;
    if (const auto* data = stored->asData()) {
        const size_t stored = fingerprint(*data);
        if (stored == knownClean_ || (libraryCache_ && libraryCache_->holds(stored))) return true;
        if (decodeLibrary(*data, clock_).failures.empty()) {
            knownClean_ = stored;
            return true;
        }
        raw.assign(data->begin(), data->end());
    } else {
        raw = stored->toJson().dump(-1, ' ', false, json::error_handler_t::replace);
    }
    const auto location = userDefaults_.location();
    if (location.empty()) return true;  // nowhere to keep it beside
    const std::string name = std::string(kSavedSnippetItemsKey) + "-unreadable-" +
                             std::to_string(static_cast<long long>(clock_.now().unixSeconds()));
    const auto backup = platform::writeBackupFile(location.parent_path() / name, ".json", raw);
    if (!backup) {
        logger_.error(kBackupFailedMessage, backup.error.c_str());
        return false;
    }
    logger_.notice(kBackupKeptMessage, backup.path.c_str());
    return true;
}

bool SnippetController::saveItems(const std::vector<SnippetItem>& items) {
    std::string bytes;
    try {
        // Item by item, as the array's compact form: no tree of the library, or of an item, is built.
        bytes += '[';
        for (const auto& item : items) {
            if (bytes.size() > 1) bytes += ',';
            appendRecord(bytes, item);
        }
        bytes += ']';
    } catch (const json::exception& e) {
        logger_.error(kEncodeFailedMessage, e.what());
        return false;
    }
    if (!preserveUndecodableLibrary()) return false;
    auto value = platform::DefaultsValue::data(bytes);
    if (!userDefaults_.set(kSavedSnippetItemsKey, value)) return false;
    knownClean_ = fingerprint(*value.asData());
    if (libraryCache_) libraryCache_->remember(knownClean_, items);
    return true;
}

bool SnippetController::addItem(const SnippetItem& item, std::vector<SnippetItem>& items) {
    return addItemWithValidation(item, items).kind() == AddItemResult::Case::success;
}

SnippetController::AddItemResult SnippetController::saveReplacing(std::vector<SnippetItem>& items, size_t index,
                                                                  const SnippetItem& item) {
    SnippetItem previous = items[index];
    items[index] = item;
    if (saveItems(items)) return AddItemResult::success();
    items[index] = std::move(previous);
    logger_.error(kUpdateFailedMessage);
    return AddItemResult::saveFailed();
}

SnippetController::AddItemResult SnippetController::addItemWithValidation(const SnippetItem& item,
                                                                          std::vector<SnippetItem>& items) {
    SnippetValidationResult validation = validate(item);
    if (!validation.isValid) return AddItemResult::validationFailed(std::move(validation));

    const auto sameId = std::find_if(items.begin(), items.end(), [&](const SnippetItem& e) { return e.id == item.id; });
    if (sameId != items.end()) return saveReplacing(items, static_cast<size_t>(sameId - items.begin()), item);

    const auto sameTitle = std::find_if(items.begin(), items.end(), [&](const SnippetItem& e) {
        return platform::text::equal(e.snippetTitle, item.snippetTitle);
    });
    if (sameTitle != items.end()) return saveReplacing(items, static_cast<size_t>(sameTitle - items.begin()), item);

    items.push_back(item);
    if (saveItems(items)) return AddItemResult::success();
    items.pop_back();
    logger_.error(kAppendFailedMessage);
    return AddItemResult::saveFailed();
}

bool SnippetController::deleteItem(const SnippetItem& item, std::vector<SnippetItem>& items) {
    std::vector<SnippetItem> remaining = items;
    std::erase_if(remaining, [&](const SnippetItem& e) { return e.id == item.id; });
    if (!saveItems(remaining)) {
        logger_.error(kDeleteFailedMessage);
        return false;
    }
    items = std::move(remaining);
    return true;
}

std::vector<SnippetItem> SnippetController::populateInitialItems() const {
    return {
        SnippetItem(platform::Uuid::generate(), "addr", "123 Main Street\nApt 4B\nNew York, NY 10001", {"personal"},
                    clock_),
        SnippetItem(platform::Uuid::generate(), "sig",
                    "Best regards,\nAlex Morgan\nSenior Manager\nalex.morgan@example.com\n(555) 123-4567", {"email"},
                    clock_),
        SnippetItem(platform::Uuid::generate(), "tyvm",
                    "Thank you so much for reaching out. I really appreciate you taking the time to write. I will "
                    "review everything and get back to you shortly.",
                    {"email"}, clock_),
    };
}

}  // namespace sablix
