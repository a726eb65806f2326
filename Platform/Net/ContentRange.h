#pragma once
// Reading the Content-Range of a partial answer.

#include <cstdint>
#include <optional>
#include <string>

#include "Platform/Net/HTTPURLResponse.h"

namespace net {

// The first byte a partial answer holds ("Content-Range: bytes 100-199/200" gives 100); none
// without a Content-Range of bytes that reads so.
inline std::optional<std::int64_t> contentRangeFirstByte(const HTTPURLResponse& response)
{
    auto field = response.valueForHTTPHeaderField("Content-Range");
    if (!field)
        return std::nullopt;
    const std::string& text = *field;
    const std::size_t start = text.find_first_not_of(" \t");
    if (start == std::string::npos || text.compare(start, 6, "bytes ") != 0)
        return std::nullopt;
    const std::size_t at = text.find_first_not_of(' ', start + 6);
    const std::size_t end = at == std::string::npos ? std::string::npos : text.find_first_not_of("0123456789", at);
    if (at == std::string::npos || end == std::string::npos || end == at || end - at > 18 || text[end] != '-')
        return std::nullopt;
    return static_cast<std::int64_t>(std::stoll(text.substr(at, end - at)));
}

} // namespace net
