#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// A 128-bit identifier. Text is the 36-character hyphenated form: upper-case hexadecimal on
// output, either case on input, braces and other shapes refused.
class Uuid {
public:
    using Bytes = std::array<uint8_t, 16>;

    Uuid() = default;  // all zero
    explicit Uuid(const Bytes& bytes) : bytes_(bytes) {}

    static Uuid generate();  // random, version 4
    static std::optional<Uuid> fromString(std::string_view text);

    std::string toString() const;
    const Bytes& bytes() const { return bytes_; }
    bool isNull() const;

    friend bool operator==(const Uuid&, const Uuid&) = default;
    friend auto operator<=>(const Uuid&, const Uuid&) = default;

private:
    Bytes bytes_{};
};

}  // namespace platform

template <>
struct std::hash<platform::Uuid> {
    size_t operator()(const platform::Uuid& uuid) const noexcept;
};
