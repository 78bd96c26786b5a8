#include "Sync/TeamSnippetCacheError.h"

namespace sablix {
namespace {

constexpr const char* kPrepareFailedPrefix = "Failed to prepare statement: ";
constexpr const char* kExecuteFailedPrefix = "Failed to execute statement: ";
constexpr const char* kDatabaseNotOpenText = "Database is not open";
constexpr const char* kEncodingFailedText = "Failed to encode snippet";
constexpr const char* kDecodingFailedText = "Failed to decode snippet";

std::string describe(TeamSnippetCacheError::Kind kind, const std::string& message) {
    using Kind = TeamSnippetCacheError::Kind;
    switch (kind) {
    case Kind::prepareFailed: return kPrepareFailedPrefix + message;
    case Kind::executeFailed: return kExecuteFailedPrefix + message;
    case Kind::databaseNotOpen: return kDatabaseNotOpenText;
    case Kind::encodingFailed: return kEncodingFailedText;
    case Kind::decodingFailed: return kDecodingFailedText;
    }
    return message;
}

}  // namespace

TeamSnippetCacheError::TeamSnippetCacheError(Kind kind, std::string message)
    : kind_(kind), message_(std::move(message)), description_(describe(kind_, message_)) {}

TeamSnippetCacheError TeamSnippetCacheError::prepareFailed(std::string sqliteMessage) {
    return {Kind::prepareFailed, std::move(sqliteMessage)};
}
TeamSnippetCacheError TeamSnippetCacheError::executeFailed(std::string sqliteMessage) {
    return {Kind::executeFailed, std::move(sqliteMessage)};
}
TeamSnippetCacheError TeamSnippetCacheError::databaseNotOpen() { return {Kind::databaseNotOpen, {}}; }
TeamSnippetCacheError TeamSnippetCacheError::encodingFailed() { return {Kind::encodingFailed, {}}; }
TeamSnippetCacheError TeamSnippetCacheError::decodingFailed() { return {Kind::decodingFailed, {}}; }

}  // namespace sablix
