#include "Tests/MovaraKit/Media/MovieTestSupport.h"

#include "MovaraKit/Media/AssetReaderPixelBufferSource.h"
#include "MovaraKit/Media/TranscodeOperation.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Media/Asset.h"
#include "Platform/Media/FormatDescription.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace movietest {

namespace {

constexpr double Timeout = 60;

void fill(const media::PixelBufferPtr& buffer, int level)
{
    media::PixelBufferLock lock(*buffer);
    auto* base = static_cast<uint8_t*>(buffer->baseAddress());
    for (size_t y = 0; y < buffer->height(); ++y) {
        uint8_t* row = base + y * buffer->bytesPerRow();
        for (size_t x = 0; x < buffer->width(); ++x) {
            row[4 * x] = 255;
            row[4 * x + 1] = row[4 * x + 2] = row[4 * x + 3] = static_cast<uint8_t>(level);
        }
    }
}

class FrameSource : public PixelBufferSource, public PixelBufferSourceInfo, public PixelBufferScribbling,
                    public std::enable_shared_from_this<FrameSource> {
public:
    explicit FrameSource(FrameSourceSpec recipe) : m_spec(std::move(recipe)) { }

    void loadWithCompletionHandler(std::function<void(foundation::ErrorPtr)> handler) override { handler(nullptr); }
    std::shared_ptr<PixelBufferSourceInfo> pixelBufferSourceInfo() override { return shared_from_this(); }
    graphics::Size size() override { return {double(m_spec.width), double(m_spec.height)}; }
    media::TimeRange timeRange() override
    {
        return media::TimeRange::make(m_spec.firstTime, media::multiply(m_spec.frameDuration, m_spec.count));
    }
    graphics::AffineTransform transform() override { return m_spec.transform; }

    media::SampleBufferPtr copyNextSampleBuffer(foundation::ErrorPtr* error) override
    {
        if (m_next >= m_spec.count)
            return nullptr;
        auto buffer = media::PixelBuffer::create(m_spec.width, m_spec.height, media::PixelFormatType_32ARGB);
        fill(buffer, 40 + 20 * m_next);
        media::SampleTimingInfo timing;
        timing.presentationTimeStamp = nextTime();
        ++m_next;
        return media::SampleBuffer::createForImageBuffer(buffer, timing, error);
    }

    media::Time scribbleOnPixelBuffer(const media::PixelBufferPtr& buffer, bool* finished,
                                      foundation::ErrorPtr*) override
    {
        if (m_next >= m_spec.count) {
            *finished = true;
            return media::Time::invalid();
        }
        fill(buffer, 40 + 20 * m_next);
        const auto time = nextTime();
        ++m_next;
        return time;
    }

private:
    media::Time nextTime() const { return media::add(m_spec.firstTime, media::multiply(m_spec.frameDuration, m_next)); }

    FrameSourceSpec m_spec;
    int m_next = 0;
};

// The same source without the pixel path.
class SampleOnlySource : public PixelBufferSource {
public:
    explicit SampleOnlySource(std::shared_ptr<FrameSource> inner) : m_inner(std::move(inner)) { }
    void loadWithCompletionHandler(std::function<void(foundation::ErrorPtr)> handler) override
    {
        m_inner->loadWithCompletionHandler(std::move(handler));
    }
    media::SampleBufferPtr copyNextSampleBuffer(foundation::ErrorPtr* error) override
    {
        return m_inner->copyNextSampleBuffer(error);
    }
    std::shared_ptr<PixelBufferSourceInfo> pixelBufferSourceInfo() override { return m_inner->pixelBufferSourceInfo(); }

private:
    std::shared_ptr<FrameSource> m_inner;
};

std::string fourCCText(uint32_t code)
{
    std::string text(4, ' ');
    for (int i = 0; i < 4; ++i)
        text[i] = static_cast<char>((code >> (24 - 8 * i)) & 0xff);
    return text;
}

std::string textExtension(const media::VideoFormatDescription& format, const std::string& key)
{
    const auto* value = format.extension(key);
    if (!value)
        return {};
    const auto* text = std::get_if<std::string>(value);
    return text ? *text : std::string();
}

} // namespace

std::shared_ptr<PixelBufferSource> makeFrameSource(const FrameSourceSpec& recipe)
{
    auto source = std::make_shared<FrameSource>(recipe);
    if (recipe.scribbles)
        return source;
    return std::make_shared<SampleOnlySource>(source);
}

foundation::ErrorPtr transcode(const std::shared_ptr<PixelBufferSource>& source,
                               const std::shared_ptr<PixelBufferDestination>& destination, bool* timedOut)
{
    auto operation = TranscodeOperation::init(source, destination);
    auto done = std::make_shared<std::atomic<bool>>(false);
    operation->setCompletionBlock([done] { done->store(true); });
    operation->start();
    const bool finished = dispatch::RunLoop::main().runUntil([&] { return done->load(); }, Timeout);
    if (timedOut)
        *timedOut = !finished;
    return operation->error();
}

bool run(const std::string& command)
{
    return std::system(command.c_str()) == 0;
}

nlohmann::json probe(const std::filesystem::path& path)
{
    const std::string command =
        "ffprobe -v error -print_format json -show_streams -show_format '" + path.string() + "' 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return nullptr;
    std::string output;
    char chunk[4096];
    while (size_t n = std::fread(chunk, 1, sizeof chunk, pipe))
        output.append(chunk, n);
    if (::pclose(pipe) != 0)
        return nullptr;
    return nlohmann::json::parse(output, nullptr, false);
}

ReadBack readMovie(const std::filesystem::path& path)
{
    ReadBack result;
    auto source = AssetReaderPixelBufferSource::init(
        media::Asset::assetWithURL(foundation::URL::fileURLWithPath(path.string())));
    std::mutex mutex;
    std::optional<foundation::ErrorPtr> loaded;
    source->loadWithCompletionHandler([&](foundation::ErrorPtr error) {
        std::lock_guard lock(mutex);
        loaded = error;
    });
    dispatch::RunLoop::main().runUntil([&] {
        std::lock_guard lock(mutex);
        return loaded.has_value();
    }, Timeout);
    {
        std::lock_guard lock(mutex);
        if (!loaded) {
            result.loadError = foundation::Error::make("Test", 1, "loading did not finish");
            return result;
        }
        result.loadError = *loaded;
    }
    if (result.loadError)
        return result;
    result.trackSize = source->size();
    result.transform = source->transform();
    if (auto track = source->videoTrack(); track && !track->formatDescriptions().empty()) {
        const auto& format = *track->formatDescriptions().front();
        result.codec = fourCCText(format.codecType());
        result.colourPrimaries = textExtension(format, media::kCMFormatDescriptionExtension_ColorPrimaries);
        result.transferFunction = textExtension(format, media::kCMFormatDescriptionExtension_TransferFunction);
        result.matrix = textExtension(format, media::kCMFormatDescriptionExtension_YCbCrMatrix);
    }
    while (auto sample = source->copyNextSampleBuffer(&result.readError)) {
        result.times.push_back(sample->presentationTimeStamp().seconds());
        if (sample->imageBuffer())
            result.frameSize = {double(sample->imageBuffer()->width()), double(sample->imageBuffer()->height())};
    }
    return result;
}

std::vector<std::string> listDirectory(const std::filesystem::path& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace movietest
