#pragma once
#include <string>
#include <vector>

#include "platform/Uuid.h"

namespace sablix {

// A starting point the tutorial offers for the user's first snippet of their own.
struct SnippetTemplate {
    platform::Uuid id;
    std::string icon;   // the symbol of its row
    std::string label;  // the text of its row
    std::string title;  // the snippet title it proposes, without ";"
    std::string content;
};

// The starter templates, in the order the tutorial lists them; built once, on first use.
const std::vector<SnippetTemplate>& snippetTemplates();

}  // namespace sablix
