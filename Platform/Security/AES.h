#pragma once
// Authenticated AES-256-GCM sealing of small secrets. A sealed box is nonce (12 bytes),
// ciphertext and tag (16 bytes); opening fails for a wrong key or any changed byte. Any thread.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace security {

constexpr std::size_t AESKeyLength = 32;

std::optional<std::vector<std::uint8_t>> aesSeal(std::span<const std::uint8_t> key, std::span<const std::uint8_t> plaintext);
std::optional<std::vector<std::uint8_t>> aesOpen(std::span<const std::uint8_t> key, std::span<const std::uint8_t> sealed);

// AES-256-CBC with PKCS#7 padding, for values whose format is fixed by others (no
// authentication: a wrong key shows only as bad padding, and not always). The IV is 16 bytes;
// none means all zeros. None for a key that is not 32 bytes, an IV of another length, or a
// failure of the cipher (bad padding when decrypting).
constexpr std::size_t AESBlockLength = 16;
std::optional<std::vector<std::uint8_t>> aesCBCEncrypt(std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv,
                                                       std::span<const std::uint8_t> plaintext);
std::optional<std::vector<std::uint8_t>> aesCBCDecrypt(std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv,
                                                       std::span<const std::uint8_t> ciphertext);

} // namespace security
