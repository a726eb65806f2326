#pragma once
// Universally unique identifiers: random (version 4) ones, their canonical text (upper-case,
// 8-4-4-4-12 hexadecimal digits) and parsing of that text. A plain value.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace foundation {

class UUID {
public:
    using Bytes = std::array<std::uint8_t, 16>;

    // A new random UUID from the system's cryptographic generator.
    static UUID random();
    // Parses 8-4-4-4-12 hexadecimal text in either case; none for anything else.
    static std::optional<UUID> fromString(std::string_view text);
    static UUID fromBytes(const Bytes& bytes) { return UUID(bytes); }

    // Upper-case canonical text, e.g. "E621E1F8-C36C-495A-93FC-0C247A3E6E5F".
    std::string UUIDString() const;
    const Bytes& bytes() const { return m_bytes; }

    auto operator<=>(const UUID&) const = default;
    bool operator==(const UUID&) const = default;
    std::size_t hash() const;

private:
    explicit UUID(const Bytes& bytes) : m_bytes(bytes) { }
    Bytes m_bytes{};
};

} // namespace foundation

template <>
struct std::hash<foundation::UUID> {
    std::size_t operator()(const foundation::UUID& uuid) const noexcept { return uuid.hash(); }
};
