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

} // namespace security
