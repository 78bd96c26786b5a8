#pragma once
#include <string>
#include <vector>

#include "Snippets/SnippetItem.h"
#include "platform/Clock.h"
#include "platform/Log.h"
#include "platform/Uuid.h"

// Logging is not what is measured.
struct QuietLog {
    QuietLog() {
        platform::setLogSink([](const platform::LogRecord&) {});
    }
    ~QuietLog() { platform::setLogSink(nullptr); }
};

// A library of the given size with the shapes users keep: a tenth plain text, the rest with a
// cursor and a date field; 40 tags, and "Work" or "home" on each.
inline std::vector<sablix::SnippetItem> sampleLibrary(size_t count, const platform::Clock& clock) {
    std::vector<sablix::SnippetItem> items;
    items.reserve(count);
    for (size_t i = 0; i < count; ++i)
        items.emplace_back(
            platform::Uuid::generate(), "snippet-" + std::to_string(i),
            (i % 10 == 0 ? "Thank you for your note number " : "Dear {cursor}, about your note number ") +
                std::to_string(i) + ". I will get back to you by {date+3}.",
            std::vector<std::string>{"tag" + std::to_string(i % 40), i % 3 ? "Work" : "home"}, clock);
    return items;
}
