#include "Platform/Security/Random.h"

#include <openssl/rand.h>

namespace security {

std::optional<std::vector<std::uint8_t>> randomBytes(std::size_t count)
{
    std::vector<std::uint8_t> bytes(count);
    if (count > 0 && RAND_bytes(bytes.data(), static_cast<int>(count)) != 1)
        return std::nullopt;
    return bytes;
}

} // namespace security
