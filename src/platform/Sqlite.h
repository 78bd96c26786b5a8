#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <sqlite3.h>

// Small RAII helpers over the SQLite C API. Failures are thrown as the caller's own error type,
// which provides `static Error prepareFailed(std::string)` and `static Error executeFailed(std::string)`.
namespace platform::sqlite {

inline constexpr const char* kUnknownError = "Unknown error";

inline std::string errorMessage(sqlite3* db) {
    const char* message = db ? sqlite3_errmsg(db) : nullptr;
    return message ? message : kUnknownError;
}

// Runs SQL that returns no rows (schema statements).
template <class Error>
void execute(sqlite3* db, const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::string message = error ? error : kUnknownError;
        sqlite3_free(error);
        throw Error::executeFailed(std::move(message));
    }
}

// Holds the connection's own mutex for one whole operation, so that the error message read
// after a failed call is that call's and not another thread's.
class ConnectionLock {
public:
    explicit ConnectionLock(sqlite3* db) : mutex_(sqlite3_db_mutex(db)) { sqlite3_mutex_enter(mutex_); }
    ~ConnectionLock() { sqlite3_mutex_leave(mutex_); }
    ConnectionLock(const ConnectionLock&) = delete;
    ConnectionLock& operator=(const ConnectionLock&) = delete;

private:
    sqlite3_mutex* mutex_;
};

// One prepared statement, finalised however the operation ends. Every bind is checked.
template <class Error>
class Statement {
public:
    Statement(sqlite3* db, const std::string& sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &statement_, nullptr) != SQLITE_OK) {
            sqlite3_finalize(statement_);
            throw Error::prepareFailed(errorMessage(db));
        }
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    void bindText(int index, std::string_view text) {
        check(sqlite3_bind_text64(statement_, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8));
    }
    void bindInteger(int index, int64_t value) { check(sqlite3_bind_int64(statement_, index, value)); }
    void bindNull(int index) { check(sqlite3_bind_null(statement_, index)); }
    void bindOptionalText(int index, const std::optional<std::string>& text) {
        text ? bindText(index, *text) : bindNull(index);
    }
    void bindOptionalInteger(int index, const std::optional<int64_t>& value) {
        value ? bindInteger(index, *value) : bindNull(index);
    }

    // True for a row, false when done; anything else is a failure, never a short list.
    bool step() {
        const int result = sqlite3_step(statement_);
        if (result == SQLITE_ROW) return true;
        if (result == SQLITE_DONE) return false;
        throw Error::executeFailed(errorMessage(db_));
    }
    // Runs a statement that returns no rows.
    void run() {
        if (step()) throw Error::executeFailed(errorMessage(db_));
    }

    bool isNull(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }
    std::optional<std::string> text(int column) const {
        if (isNull(column)) return std::nullopt;
        const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
        const int size = sqlite3_column_bytes(statement_, column);
        return bytes ? std::string(bytes, static_cast<size_t>(size)) : std::string();
    }
    int64_t integer(int column) const { return sqlite3_column_int64(statement_, column); }

private:
    void check(int result) {
        if (result != SQLITE_OK) throw Error::executeFailed(errorMessage(db_));
    }

    sqlite3* db_;
    sqlite3_stmt* statement_ = nullptr;
};

}  // namespace platform::sqlite
