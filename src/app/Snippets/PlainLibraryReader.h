#pragma once
#include <optional>
#include <string_view>
#include <vector>

#include "Snippets/SnippetItem.h"
#include "platform/Clock.h"

namespace sablix {

// Reads the stored library in the shape this application writes it: an array of snippet records
// whose values all have their types, with no key that is unknown or repeated and no string that
// a JSON parser would question. Built for speed (no JSON tree is made); it gives the items exactly
// as decoding each record with SnippetItem::fromJson would, or none at the first thing outside
// that shape, so that the general decoding (which reports damage record by record) takes over.
std::optional<std::vector<SnippetItem>> readPlainLibrary(std::string_view text, const platform::Clock& clock);

}  // namespace sablix
