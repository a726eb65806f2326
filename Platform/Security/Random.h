#pragma once
// Cryptographically strong random bytes (OpenSSL's generator). Any thread.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace security {

// None only when the generator fails, which callers treat as a hard error.
std::optional<std::vector<std::uint8_t>> randomBytes(std::size_t count);

} // namespace security
