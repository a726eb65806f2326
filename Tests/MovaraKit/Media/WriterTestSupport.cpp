#include "Tests/MovaraKit/Media/WriterTestSupport.h"

#include "MovaraKit/Media/TranscodeOperation.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Foundation/Value.h"
#include "Platform/Media/Asset.h"
#include "Platform/Media/AssetReader.h"
#include "Platform/Media/AssetWriter.h"
#include "Platform/Media/AssetWriterInput.h"
#include "Platform/Media/AssetWriterInputPixelBufferAdaptor.h"
#include "Platform/Media/SampleBuffer.h"
#include "Platform/Media/VideoSettings.h"

#include <algorithm>
#include <future>

namespace writertest {

using namespace media;

PixelBufferPtr gradientFrame(int width, int height, int blue)
{
    auto b = PixelBuffer::create(size_t(width), size_t(height), PixelFormatType_32ARGB);
    for (int y = 0; y < height; ++y) {
        auto* row = static_cast<uint8_t*>(b->baseAddress()) + size_t(y) * b->bytesPerRow();
        for (int x = 0; x < width; ++x) {
            row[4 * x + 0] = 255;
            row[4 * x + 1] = uint8_t(x * 255 / std::max(width - 1, 1));
            row[4 * x + 2] = uint8_t(y * 255 / std::max(height - 1, 1));
            row[4 * x + 3] = uint8_t(blue);
        }
    }
    return b;
}

SampleBufferPtr sampleAt(const PixelBufferPtr& frame, double seconds)
{
    SampleTimingInfo timing;
    timing.presentationTimeStamp = Time::makeWithSeconds(seconds, 600);
    return SampleBuffer::createForImageBuffer(frame, timing);
}

namespace {

class ListSource : public PixelBufferSource, public PixelBufferSourceInfo, public std::enable_shared_from_this<ListSource> {
public:
    ListSource(std::vector<double> seconds, int w, int h) : m_seconds(std::move(seconds)), m_w(w), m_h(h) { }
    void loadWithCompletionHandler(std::function<void(foundation::ErrorPtr)> handler) override { handler(nullptr); }
    SampleBufferPtr copyNextSampleBuffer(foundation::ErrorPtr*) override
    {
        if (m_next >= m_seconds.size())
            return nullptr;
        const size_t i = m_next++;
        return sampleAt(gradientFrame(m_w, m_h, int(std::min<size_t>(i * 10, 255))), m_seconds[i]);
    }
    std::shared_ptr<PixelBufferSourceInfo> pixelBufferSourceInfo() override { return shared_from_this(); }
    graphics::Size size() override { return {double(m_w), double(m_h)}; }
    TimeRange timeRange() override
    {
        const double end = m_seconds.empty() ? 0 : m_seconds.back() + 0.1;
        return TimeRange::fromTimeToTime(Time::zero(), Time::makeWithSeconds(end, 600));
    }
    graphics::AffineTransform transform() override { return {}; }

private:
    std::vector<double> m_seconds;
    int m_w, m_h;
    size_t m_next = 0;
};

class MovieSource : public PixelBufferSource, public PixelBufferSourceInfo, public std::enable_shared_from_this<MovieSource> {
public:
    MovieSource(std::filesystem::path path, OSType format) : m_path(std::move(path)), m_format(format) { }
    void loadWithCompletionHandler(std::function<void(foundation::ErrorPtr)> handler) override
    {
        auto asset = Asset::assetWithURL(foundation::URL::fileURLWithPath(m_path.string()));
        auto tracks = asset->tracksWithMediaType(AVMediaTypeVideo);
        foundation::ErrorPtr error;
        if (tracks.empty())
            return handler(foundation::Error::make("writertest", 10, "no video track"));
        m_track = tracks.front();
        m_reader = AssetReader::assetReaderWithAsset(asset, &error);
        if (!m_reader)
            return handler(error);
        m_output = AssetReaderTrackOutput::assetReaderTrackOutputWithTrack(
            m_track, foundation::Value::dictionary({{kCVPixelBufferPixelFormatTypeKey, int64_t(m_format)}}));
        m_reader->addOutput(m_output);
        if (!m_reader->startReading())
            return handler(m_reader->error());
        handler(nullptr);
    }
    SampleBufferPtr copyNextSampleBuffer(foundation::ErrorPtr* error) override
    {
        auto sample = m_output->copyNextSampleBuffer();
        if (!sample && m_reader->status() == AssetReader::Status::Failed && error)
            *error = m_reader->error();
        return sample;
    }
    std::shared_ptr<PixelBufferSourceInfo> pixelBufferSourceInfo() override { return shared_from_this(); }
    graphics::Size size() override { return m_track->naturalSize(); }
    TimeRange timeRange() override { return m_track->timeRange(); }
    graphics::AffineTransform transform() override { return m_track->preferredTransform(); }

private:
    std::filesystem::path m_path;
    OSType m_format;
    AssetTrackPtr m_track;
    AssetReaderPtr m_reader;
    std::shared_ptr<AssetReaderTrackOutput> m_output;
};

} // namespace

std::shared_ptr<PixelBufferSource> makeSource(const std::vector<double>& seconds, int width, int height)
{
    return std::make_shared<ListSource>(seconds, width, height);
}

std::shared_ptr<PixelBufferSource> makeMovieSource(const std::filesystem::path& path, OSType pixelFormat)
{
    return std::make_shared<MovieSource>(path, pixelFormat);
}

foundation::ErrorPtr writeMovie(const std::filesystem::path& path, int frames, int width, int height)
{
    foundation::ErrorPtr error;
    auto writer = AssetWriter::assetWriterWithURL(foundation::URL::fileURLWithPath(path.string()), AVFileTypeMPEG4, &error);
    if (!writer)
        return error;
    auto settings = foundation::Value::dictionary({{AVVideoCodecKey, AVVideoCodecTypeH264},
                                                   {AVVideoWidthKey, width},
                                                   {AVVideoHeightKey, height},
                                                   {EncoderSpeedKey, EncoderSpeedFast}});
    auto input = AssetWriterInput::assetWriterInputWithMediaType(AVMediaTypeVideo, settings);
    auto adaptor = AssetWriterInputPixelBufferAdaptor::assetWriterInputPixelBufferAdaptorWithAssetWriterInput(
        input, foundation::Value::dictionary({{kCVPixelBufferPixelFormatTypeKey, int64_t(PixelFormatType_32ARGB)}}));
    if (!writer->canAddInput(input))
        return foundation::Error::make("writertest", 1, "cannot add input");
    writer->addInput(input);
    if (!writer->startWriting())
        return writer->error();
    writer->startSessionAtSourceTime(Time::zero());
    for (int i = 0; i < frames; ++i)
        if (!adaptor->appendPixelBuffer(gradientFrame(width, height, 20 * i), Time::make(i, 10)))
            return writer->error() ? writer->error() : foundation::Error::make("writertest", 2, "append refused");
    input->markAsFinished();
    std::promise<void> done;
    writer->finishWritingWithCompletionHandler([&] { done.set_value(); });
    if (done.get_future().wait_for(std::chrono::seconds(60)) != std::future_status::ready)
        return foundation::Error::make("writertest", 3, "finish timed out");
    if (writer->status() != AssetWriter::Status::Completed)
        return writer->error() ? writer->error() : foundation::Error::make("writertest", 4, "not completed");
    return nullptr;
}

foundation::ErrorPtr transcode(const std::shared_ptr<PixelBufferSource>& source,
                               const std::shared_ptr<PixelBufferDestination>& destination)
{
    auto operation = TranscodeOperation::init(source, destination);
    operation->start();
    // The still-image writers and these sources work on the calling thread, so this is
    // normally over before start() returns.
    if (!operation->isFinished()
        && !dispatch::RunLoop::current().runUntil([&] { return operation->isFinished(); }, 30))
        return foundation::Error::make("writertest", 99, "timed out");
    return operation->error();
}

std::vector<std::string> listDirectory(const std::filesystem::path& dir)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace writertest
