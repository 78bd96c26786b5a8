#pragma once
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace orbit {

namespace Gzip {
inline constexpr int maxWindowBits = 15;  // a window of 2^15 bytes, deflate's largest
}

struct CompressionLevel {
    int32_t rawValue;

    static const CompressionLevel noCompression;
    static const CompressionLevel bestSpeed;
    static const CompressionLevel bestCompression;
    static const CompressionLevel defaultCompression;

    friend bool operator==(const CompressionLevel&, const CompressionLevel&) = default;
};
inline constexpr CompressionLevel CompressionLevel::noCompression{0};
inline constexpr CompressionLevel CompressionLevel::bestSpeed{1};
inline constexpr CompressionLevel CompressionLevel::bestCompression{9};
inline constexpr CompressionLevel CompressionLevel::defaultCompression{-1};

class GzipError : public std::exception {
public:
    struct Kind {
        enum Case { unknown, stream, data, memory, buffer, version };
        Case value = unknown;
        int code = 0;  // zlib's result code; only an unknown kind is told apart by it

        friend bool operator==(const Kind& a, const Kind& b) {
            return a.value == b.value && (a.value != unknown || a.code == b.code);
        }
    };

    // From zlib's result code and its message, which may be absent.
    GzipError(int code, const char* msg);

    Kind kind;
    std::string message;

    const char* what() const noexcept override { return message.c_str(); }
};

// One gzip member holding input, compressed by zlib's deflate with the largest memory level.
// Empty input gives empty output. Throws GzipError.
std::string gzipped(std::string_view input, CompressionLevel level = CompressionLevel::defaultCompression,
                    int wBits = Gzip::maxWindowBits + 16);

}  // namespace orbit
