#pragma once
#include <exception>
#include <string>

namespace sablix {

// A failure of the team snippet database, with a user-facing description.
class TeamSnippetCacheError : public std::exception {
public:
    enum class Kind { prepareFailed, executeFailed, databaseNotOpen, encodingFailed, decodingFailed };

    static TeamSnippetCacheError prepareFailed(std::string sqliteMessage);
    static TeamSnippetCacheError executeFailed(std::string sqliteMessage);
    static TeamSnippetCacheError databaseNotOpen();
    static TeamSnippetCacheError encodingFailed();
    static TeamSnippetCacheError decodingFailed();

    Kind kind() const { return kind_; }
    // SQLite's message for prepareFailed and executeFailed; empty for the other kinds.
    const std::string& message() const { return message_; }
    const std::string& description() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

private:
    TeamSnippetCacheError(Kind kind, std::string message);

    Kind kind_;
    std::string message_;
    std::string description_;
};

}  // namespace sablix
