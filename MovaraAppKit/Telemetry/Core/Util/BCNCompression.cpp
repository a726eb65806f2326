#include "MovaraAppKit/Telemetry/Core/Util/BCNCompression.h"

#include <zlib.h>

#include <mutex>

#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"

namespace {

std::mutex& compressorLock()
{
    static std::mutex lock;
    return lock;
}

BCNCompression::Compressor& replacement()
{
    static BCNCompression::Compressor compressor;
    return compressor;
}

} // namespace

void BCNCompression::setCompressor(Compressor compressor)
{
    std::lock_guard lock(compressorLock());
    replacement() = std::move(compressor);
}

std::optional<foundation::Data> BCNCompression::compressData(const foundation::Data& data)
{
    Compressor compressor;
    {
        std::lock_guard lock(compressorLock());
        compressor = replacement();
    }
    return compressor ? compressor(data) : deflateData(data);
}

std::optional<foundation::Data> BCNCompression::deflateData(const foundation::Data& data)
{
    if (data.empty())
        return std::nullopt;
    z_stream stream {};
    stream.next_in = const_cast<Bytef*>(data.data());
    stream.avail_in = static_cast<uInt>(data.size());
    const int initialised = deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    if (initialised != Z_OK) {
        const char* reason = initialised == Z_VERSION_ERROR ? "Version of zlib.h & libz library do not match!"
            : initialised == Z_MEM_ERROR                    ? "Not enough memory."
            : initialised == Z_STREAM_ERROR                 ? "Invalid parameter passed in to function."
                                                            : "Unknown error!";
        BCNLogError("Beacon", std::string("Compression failed with error: ") + reason);
        return std::nullopt;
    }
    foundation::Data output(static_cast<std::size_t>(static_cast<double>(data.size()) * 1.01 + 12));
    int status;
    do {
        stream.next_out = output.data() + stream.total_out;
        stream.avail_out = static_cast<uInt>(output.size() - stream.total_out);
        status = deflate(&stream, Z_FINISH);
    } while (status == Z_OK && stream.avail_out > 0);
    if (status == Z_OK)
        status = Z_BUF_ERROR; // the output did not fit the buffer
    if (status != Z_STREAM_END) {
        const char* reason = status == Z_STREAM_ERROR ? "Inconsistent stream state."
            : status == Z_BUF_ERROR                   ? "No progress is possible."
                                                      : "Unknown error!";
        BCNLogError("Beacon", std::string("Deflate failed with error: ") + reason);
        deflateEnd(&stream);
        return std::nullopt;
    }
    output.resize(stream.total_out);
    deflateEnd(&stream);
    return output;
}
