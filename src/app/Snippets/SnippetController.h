#pragma once
#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "Snippets/SnippetItem.h"
#include "Snippets/SnippetLibraryCache.h"
#include "Snippets/SnippetValidation.h"
#include "platform/Clock.h"
#include "platform/Defaults.h"
#include "platform/Log.h"

namespace sablix {

class SnippetSettings;

// The personal snippet library: one JSON array under kSavedSnippetItemsKey in the defaults store.
// Each user of the library keeps its own instance; instances share nothing but the stored value,
// every save replaces it whole, and the last writer wins. An instance remembers only which stored
// value it knows to be whole, so that saving does not decode the library again.
class SnippetController {
public:
    // The defaults key of the library.
    static constexpr const char* kSavedSnippetItemsKey = "savedSnippetItems";

    class AddItemResult {
    public:
        enum class Case { success, validationFailed, saveFailed };

        static AddItemResult success() { return AddItemResult(Case::success, std::nullopt); }
        static AddItemResult validationFailed(SnippetValidationResult result) {
            return AddItemResult(Case::validationFailed, std::move(result));
        }
        static AddItemResult saveFailed() { return AddItemResult(Case::saveFailed, std::nullopt); }

        Case kind() const { return case_; }
        // The refused validation, present exactly for validationFailed.
        const std::optional<SnippetValidationResult>& validation() const { return validation_; }

        friend bool operator==(const AddItemResult&, const AddItemResult&) = default;

    private:
        AddItemResult(Case c, std::optional<SnippetValidationResult> validation)
            : case_(c), validation_(std::move(validation)) {}
        Case case_;
        std::optional<SnippetValidationResult> validation_;
    };

    // Without settings, validation reads the snippet settings stored in the same store at the
    // moment it validates. The clock dates the starter snippets and records stored without dates.
    // With a library cache shared by the controllers of the same store, a library one of them
    // read or stored is not decoded again by the others.
    SnippetController(platform::Defaults& userDefaults, const platform::Clock& clock,
                      SnippetLibraryCache* libraryCache = nullptr);
    SnippetController(platform::Defaults& userDefaults, const SnippetSettings& settings, const platform::Clock& clock,
                      SnippetLibraryCache* libraryCache = nullptr);

    // The stored library; records that cannot be decoded are logged and left out.
    std::vector<SnippetItem> loadItems() const;
    // Stores the whole list; false when it could not be encoded or stored.
    bool saveItems(const std::vector<SnippetItem>& items);
    bool addItem(const SnippetItem& item, std::vector<SnippetItem>& items);
    // Replaces the element with the item's id, else the one with its exact title, else appends;
    // when the save fails the caller's list is put back as it was.
    AddItemResult addItemWithValidation(const SnippetItem& item, std::vector<SnippetItem>& items);
    // Removes every element with the item's id and stores the rest; when the save fails the
    // caller's list is left as it was and the answer is false.
    bool deleteItem(const SnippetItem& item, std::vector<SnippetItem>& items);
    // The starter snippets of a fresh installation; stores nothing.
    std::vector<SnippetItem> populateInitialItems() const;

    platform::Defaults& userDefaults() const { return userDefaults_; }

private:
    SnippetValidationResult validate(const SnippetItem& item) const;
    bool preserveUndecodableLibrary();
    AddItemResult saveReplacing(std::vector<SnippetItem>& items, size_t index, const SnippetItem& item);

    platform::Defaults& userDefaults_;
    const SnippetSettings* settings_ = nullptr;
    const platform::Clock& clock_;
    SnippetLibraryCache* libraryCache_;
    platform::Log logger_;
    // A fingerprint of the stored library this instance last read cleanly or wrote (0: none).
    mutable std::atomic<size_t> knownClean_{0};
};

}  // namespace sablix
