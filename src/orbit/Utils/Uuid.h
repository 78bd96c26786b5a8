#pragma once
#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orbit {

// A 128-bit identifier. Text is the canonical 8-4-4-4-12 form: upper-case on output, either case
// on input.
class Uuid {
public:
    using Bytes = std::array<uint8_t, 16>;

    Uuid() = default;  // all zero
    explicit Uuid(const Bytes& bytes) : bytes_(bytes) {}

    // A new time-ordered identifier from the process's generator.
    static Uuid v7();
    static std::optional<Uuid> fromString(std::string_view text);

    std::string toString() const;
    const Bytes& bytes() const { return bytes_; }

    friend bool operator==(const Uuid&, const Uuid&) = default;
    friend auto operator<=>(const Uuid&, const Uuid&) = default;

private:
    Bytes bytes_{};
};

}  // namespace orbit
