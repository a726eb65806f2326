// A cinemagraph from start to finish: makes a short movie (a bright bar sweeping over a dark
// gradient), paints a round mask in its middle, freezes the first frame as the still, and
// exports the loop as an H.264 movie, an animated GIF and a folder of PNG stills.
//
//   movarakit-cinemagraph-sample <output folder>
//
// Writes "source.mp4", "cinemagraph.mp4", "cinemagraph.gif" and "frames/" into the folder.

#include <cmath>
#include <cstdio>
#include <filesystem>

#include "MovaraKit/Cinemagraph/MVRExporter.h"
#include "MovaraKit/Media/MoviePixelBufferDestination.h"
#include "MovaraKit/Media/TranscodeOperation.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Foundation/OperationQueue.h"
#include "Platform/Media/VideoSettings.h"

namespace {

constexpr int kWidth = 96, kHeight = 64, kFrames = 12, kRate = 12;

// The picture of frame `index` at (x, y), row 0 at the top: R, G, B.
void paint(int index, int x, int y, uint8_t* rgb)
{
    const int bar = (index * kWidth) / kFrames;
    const bool lit = std::abs(x - bar) < 6;
    rgb[0] = lit ? 250 : uint8_t(30 + y);
    rgb[1] = lit ? 230 : uint8_t(20 + x / 2);
    rgb[2] = lit ? 120 : 60;
}

class SweepSource final : public PixelBufferSource, public PixelBufferSourceInfo, public std::enable_shared_from_this<SweepSource> {
public:
    void loadWithCompletionHandler(std::function<void(foundation::ErrorPtr)> completionHandler) override
    {
        completionHandler(nullptr);
    }
    media::SampleBufferPtr copyNextSampleBuffer(foundation::ErrorPtr* error) override
    {
        if (m_next == kFrames)
            return nullptr;
        auto buffer = media::PixelBuffer::create(kWidth, kHeight, media::PixelFormatType_32ARGB);
        {
            media::PixelBufferLock lock(*buffer);
            for (int y = 0; y < kHeight; ++y) {
                auto* row = static_cast<uint8_t*>(buffer->baseAddress()) + size_t(y) * buffer->bytesPerRow();
                for (int x = 0; x < kWidth; ++x) {
                    row[x * 4] = 255;
                    paint(m_next, x, y, row + x * 4 + 1);
                }
            }
        }
        media::SampleTimingInfo timing;
        timing.presentationTimeStamp = media::Time::make(m_next++, kRate);
        timing.duration = media::Time::make(1, kRate);
        return media::SampleBuffer::createForImageBuffer(buffer, timing, error);
    }
    std::shared_ptr<PixelBufferSourceInfo> pixelBufferSourceInfo() override { return shared_from_this(); }
    graphics::Size size() override { return {kWidth, kHeight}; }
    media::TimeRange timeRange() override { return media::TimeRange::make(media::Time::zero(), media::Time::make(kFrames, kRate)); }
    graphics::AffineTransform transform() override { return graphics::AffineTransform::identity(); }

private:
    int m_next = 0;
};

graphics::ImagePtr bitmap(const std::function<void(int x, int y, uint8_t* rgba)>& pixel)
{
    std::vector<uint8_t> bytes(size_t(kWidth) * kHeight * 4);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            pixel(x, y, &bytes[(size_t(y) * kWidth + x) * 4]);
    return graphics::Image::create(kWidth, kHeight, 8, 32, size_t(kWidth) * 4,
                                   graphics::ColorSpace::createWithName(graphics::kCGColorSpaceSRGB),
                                   {graphics::AlphaInfo::last, graphics::ByteOrder::orderDefault}, std::move(bytes));
}

bool waitFor(const std::function<bool()>& done)
{
    return dispatch::RunLoop::main().runUntil(done, 120);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);

    // The source movie, written by the framework's own movie writer.
    const auto source = folder / "source.mp4";
    std::filesystem::remove(source, ec);
    auto destination = MoviePixelBufferDestination::initWithOutputURL(foundation::URL::fileURLWithPath(source.string()),
                                                                      media::AVFileTypeMPEG4);
    destination->setPreset(MoviePixelBufferDestinationPreset::h264);
    auto operation = TranscodeOperation::initWithSource(std::make_shared<SweepSource>(), destination);
    auto queue = foundation::OperationQueue::init();
    queue->addOperation(operation);
    if (!waitFor([&] { return operation->isFinished(); }) || operation->error()) {
        std::fprintf(stderr, "the source movie could not be written: %s\n",
                     operation->error() ? operation->error()->localizedDescription().c_str() : "timed out");
        return 1;
    }

    // The still is the first frame; the mask lets the movie through in a disc in the middle.
    auto still = graphics::FilterImage::imageWithCGImage(bitmap([](int x, int y, uint8_t* p) {
        paint(0, x, y, p);
        p[3] = 255;
    }));
    auto mask = graphics::FilterImage::imageWithCGImage(bitmap([](int x, int y, uint8_t* p) {
        const bool painted = std::hypot(x - kWidth / 2.0, y - kHeight / 2.0) < kHeight / 3.0;
        p[0] = p[1] = p[2] = 255;
        p[3] = painted ? 255 : 0;
    }));
    auto graph = MVRFilterGraph::init();
    graph->saturationColorControlsFilter()->setValue(1.2, "inputSaturation");
    auto asset = media::Asset::assetWithURL(foundation::URL::fileURLWithPath(source.string()));
    auto cinemagraph = MVRCinemagraph::initWithAsset(asset, std::nullopt, mask, still, *graph, 0,
                                                     graphics::AffineTransform::identity());

    struct Output {
        uint64_t type;
        const char* name;
    } outputs[] = {{MVRRenderTypeH264, "cinemagraph.mp4"}, {MVRRenderTypeGIF, "cinemagraph.gif"}, {MVRRenderTypeImageSequence, "frames"}};
    for (const auto& output : outputs) {
        auto settings = MVRExportSettings::settingsWithType(output.type, 1.0, media::Time::invalid(), 1, MVRImageSequenceTypePNG, 1.0);
        auto exporter = MVRExporter::initWithCinemagraph(cinemagraph, settings,
                                                         foundation::URL::fileURLWithPath((folder / output.name).string()));
        bool done = false;
        foundation::ErrorPtr failure;
        exporter->exportAsynchronouslyWithCompletionHandler([&](std::optional<foundation::URL>, foundation::ErrorPtr error) {
            failure = error;
            done = true;
        });
        if (!waitFor([&] { return done; }) || failure) {
            std::fprintf(stderr, "%s: %s\n", output.name, failure ? failure->localizedDescription().c_str() : "timed out");
            return 1;
        }
        std::printf("wrote %s\n", (folder / output.name).c_str());
    }
    return 0;
}
