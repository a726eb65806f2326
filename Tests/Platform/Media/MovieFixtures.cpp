#include "Tests/Platform/Media/MovieFixtures.h"

#include "Platform/Media/AssetWriterInput.h"
#include "Platform/Media/AssetWriterInputPixelBufferAdaptor.h"
#include "Platform/Media/VideoSettings.h"

#include <cstdio>
#include <future>
#include <memory>

namespace mediatest {

using namespace media;

PixelBufferPtr makeFrame(int width, int height, OSType format, int index)
{
    auto buffer = PixelBuffer::create(static_cast<size_t>(width), static_cast<size_t>(height), format);
    if (!buffer)
        return nullptr;
    const uint8_t grey = static_cast<uint8_t>(40 + 20 * (index % 10));
    if (format == PixelFormatType_420YpCbCr8BiPlanarVideoRange) {
        auto* y = static_cast<uint8_t*>(buffer->baseAddressOfPlane(0));
        auto* uv = static_cast<uint8_t*>(buffer->baseAddressOfPlane(1));
        for (int row = 0; row < height; ++row)
            for (int col = 0; col < width; ++col)
                y[row * buffer->bytesPerRowOfPlane(0) + col] = col < width / 2 ? grey : 63;
        for (int row = 0; row < height / 2; ++row)
            for (int col = 0; col < width / 2; ++col) {
                uint8_t* p = uv + row * buffer->bytesPerRowOfPlane(1) + col * 2;
                p[0] = col < width / 4 ? 128 : 102; // BT.709 limited-range red: Cb 102, Cr 240
                p[1] = col < width / 4 ? 128 : 240;
            }
        return buffer;
    }
    auto* base = static_cast<uint8_t*>(buffer->baseAddress());
    for (int row = 0; row < height; ++row) {
        for (int col = 0; col < width; ++col) {
            uint8_t* p = base + row * buffer->bytesPerRow() + col * 4;
            const uint8_t r = col < width / 2 ? grey : 255;
            const uint8_t g = col < width / 2 ? grey : 0;
            const uint8_t b = col < width / 2 ? grey : 0;
            if (format == PixelFormatType_32BGRA) {
                p[0] = b, p[1] = g, p[2] = r, p[3] = 255;
            } else {
                p[0] = 255, p[1] = r, p[2] = g, p[3] = b;
            }
        }
    }
    return buffer;
}

FrameSample sampleFrame(const PixelBuffer& buffer)
{
    FrameSample s;
    const size_t w = buffer.width(), h = buffer.height();
    if (buffer.pixelFormatType() == PixelFormatType_420YpCbCr8BiPlanarVideoRange) {
        const auto* y = static_cast<const uint8_t*>(buffer.baseAddressOfPlane(0));
        double sum = 0;
        for (size_t row = 0; row < h; ++row)
            for (size_t col = 0; col < w / 4; ++col)
                sum += y[row * buffer.bytesPerRowOfPlane(0) + col];
        s.leftLuma = sum / (h * (w / 4));
        const auto* uv = static_cast<const uint8_t*>(buffer.baseAddressOfPlane(1));
        const uint8_t* p = uv + (h / 4) * buffer.bytesPerRowOfPlane(1) + (3 * w / 8) * 2;
        s.r = p[1]; // Cr
        s.b = p[0]; // Cb
        s.g = y[(h / 2) * buffer.bytesPerRowOfPlane(0) + 3 * w / 4];
        return s;
    }
    const auto* base = static_cast<const uint8_t*>(buffer.baseAddress());
    const bool bgra = buffer.pixelFormatType() == PixelFormatType_32BGRA;
    double sum = 0;
    for (size_t row = 0; row < h; ++row)
        for (size_t col = 0; col < w / 4; ++col) {
            const uint8_t* p = base + row * buffer.bytesPerRow() + col * 4;
            sum += bgra ? p[1] : p[2]; // green stands in for luma on a grey area
        }
    s.leftLuma = sum / (h * (w / 4));
    const uint8_t* p = base + (h / 2) * buffer.bytesPerRow() + (3 * w / 4) * 4;
    if (bgra)
        s.b = p[0], s.g = p[1], s.r = p[2];
    else
        s.r = p[1], s.g = p[2], s.b = p[3];
    return s;
}

foundation::Value settingsFor(const std::string& codec, int width, int height)
{
    auto settings = foundation::Value::dictionary({{AVVideoCodecKey, codec},
                                                   {AVVideoWidthKey, width},
                                                   {AVVideoHeightKey, height},
                                                   {EncoderSpeedKey, EncoderSpeedFast}});
    return settings;
}

foundation::ErrorPtr writeMovie(const std::filesystem::path& path, const MovieSpec& recipe)
{
    foundation::ErrorPtr error;
    auto writer = AssetWriter::assetWriterWithURL(foundation::URL::fileURLWithPath(path.string()), recipe.fileType, &error);
    if (!writer)
        return error;
    writer->setMetadata(recipe.metadata);
    auto input = AssetWriterInput::assetWriterInputWithMediaType(AVMediaTypeVideo, recipe.settings);
    input->setTransform(recipe.transform);
    auto adaptor = AssetWriterInputPixelBufferAdaptor::assetWriterInputPixelBufferAdaptorWithAssetWriterInput(
        input, foundation::Value::dictionary({{kCVPixelBufferPixelFormatTypeKey, static_cast<int64_t>(recipe.format)}}));
    if (!writer->canAddInput(input))
        return foundation::Error::make("test", 1, "cannot add input");
    writer->addInput(input);
    if (!writer->startWriting())
        return writer->error();
    writer->startSessionAtSourceTime(recipe.firstTime);
    for (int i = 0; i < recipe.frames; ++i) {
        auto frame = makeFrame(recipe.width, recipe.height, recipe.format, i);
        const Time t = recipe.firstTime + multiply(recipe.frameDuration, i);
        if (!adaptor->appendPixelBuffer(frame, t))
            return writer->error() ? writer->error() : foundation::Error::make("test", 2, "append refused");
    }
    input->markAsFinished();
    std::promise<void> done;
    writer->finishWritingWithCompletionHandler([&] { done.set_value(); });
    if (done.get_future().wait_for(std::chrono::seconds(60)) != std::future_status::ready)
        return foundation::Error::make("test", 3, "finish timed out");
    if (writer->status() != AssetWriter::Status::Completed)
        return writer->error() ? writer->error() : foundation::Error::make("test", 4, "not completed");
    return nullptr;
}

nlohmann::json probe(const std::filesystem::path& path, bool frames, bool packets)
{
    std::string command = "ffprobe -v error -print_format json -show_streams -show_format ";
    if (frames)
        command += "-show_frames ";
    if (packets)
        command += "-show_packets ";
    command += "'" + path.string() + "' 2>/dev/null";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    if (!pipe)
        return nullptr;
    std::string out;
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe.get())) > 0)
        out.append(chunk, n);
    return nlohmann::json::parse(out, nullptr, false);
}

} // namespace mediatest
