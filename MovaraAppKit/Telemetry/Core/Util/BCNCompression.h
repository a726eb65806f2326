#pragma once
// gzip compression of request bodies in memory (zlib deflate, default level, window bits 31).
// The output must fit a buffer of 1.01 × input + 12 bytes, so tiny inputs fail: callers
// compress only bodies of 1400 bytes or more. Any thread.

#include <functional>
#include <optional>

#include "Platform/Foundation/Value.h"

class BCNCompression {
public:
    // None for empty input and whenever zlib fails (after an error line naming the failure).
    static std::optional<foundation::Data> compressData(const foundation::Data& data);

    // Tests put another compressor in place to see what callers do when compression fails;
    // null restores zlib.
    using Compressor = std::function<std::optional<foundation::Data>(const foundation::Data&)>;
    static void setCompressor(Compressor compressor);

private:
    static std::optional<foundation::Data> deflateData(const foundation::Data& data);
};
