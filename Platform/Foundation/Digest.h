#pragma once
// SHA-256 digests (OpenSSL EVP), whole or fed in pieces, raw or as lower-case hexadecimal.

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace foundation {

using SHA256Bytes = std::array<std::uint8_t, 32>;

SHA256Bytes sha256(std::span<const std::uint8_t> bytes);
SHA256Bytes sha256(std::string_view bytes);
std::string sha256Hex(std::span<const std::uint8_t> bytes);
std::string sha256Hex(std::string_view bytes);

// Two lower-case hexadecimal digits per byte, no separators.
std::string hexString(std::span<const std::uint8_t> bytes);

// An incremental digest for data that arrives in pieces (a file read in chunks).
// One object per thread; finish() may be called once.
class SHA256Digest {
public:
    SHA256Digest();
    ~SHA256Digest();
    SHA256Digest(const SHA256Digest&) = delete;
    SHA256Digest& operator=(const SHA256Digest&) = delete;

    void update(std::span<const std::uint8_t> bytes);
    void update(std::string_view bytes);
    SHA256Bytes finish();

private:
    struct Context;
    std::unique_ptr<Context> m_context;
};

} // namespace foundation
