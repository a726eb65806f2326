#include "Platform/Foundation/UUID.h"

#include "Platform/Foundation/Error.h"

#include <openssl/rand.h>

namespace foundation {

UUID UUID::random()
{
    Bytes bytes{};
    // Identifiers name files and records; a predictable or repeated one would be worse than
    // stopping, and RAND_bytes only fails when the system has no entropy source at all.
    if (RAND_bytes(bytes.data(), int(bytes.size())) != 1)
        fatal("UUID: the system's random generator failed");
    bytes[6] = std::uint8_t((bytes[6] & 0x0F) | 0x40); // version 4
    bytes[8] = std::uint8_t((bytes[8] & 0x3F) | 0x80); // RFC 4122 variant
    return UUID(bytes);
}

std::optional<UUID> UUID::fromString(std::string_view text)
{
    if (text.size() != 36)
        return std::nullopt;
    Bytes bytes{};
    size_t byte = 0;
    for (size_t i = 0; i < text.size();) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-')
                return std::nullopt;
            ++i;
            continue;
        }
        auto nibble = [](char c) -> int {
            if (c >= '0' && c <= '9')
                return c - '0';
            if (c >= 'a' && c <= 'f')
                return c - 'a' + 10;
            if (c >= 'A' && c <= 'F')
                return c - 'A' + 10;
            return -1;
        };
        int hi = nibble(text[i]);
        int lo = nibble(text[i + 1]);
        if (hi < 0 || lo < 0 || i + 1 == 8 || i + 1 == 13 || i + 1 == 18 || i + 1 == 23)
            return std::nullopt;
        bytes[byte++] = std::uint8_t(hi * 16 + lo);
        i += 2;
    }
    return UUID(bytes);
}

std::string UUID::UUIDString() const
{
    static constexpr char Digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(36);
    for (size_t i = 0; i < m_bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            s += '-';
        s += Digits[m_bytes[i] >> 4];
        s += Digits[m_bytes[i] & 15];
    }
    return s;
}

std::size_t UUID::hash() const
{
    std::size_t h = 1469598103934665603ull;
    for (auto b : m_bytes)
        h = (h ^ b) * 1099511628211ull;
    return h;
}

} // namespace foundation
