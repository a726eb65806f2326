// Whole-program driver for bench/cinemagraph_vs_ffmpeg.sh: exports one cinemagraph (a movie, a
// still and a painted mask) exactly as the exporter's transcode step does, with or without the
// adjustments the benchmark compares (white balance, exposure, contrast, tone curves,
// saturation, vignette), played forward once.
//
//   quintor_cinemagraph [--plain] [--scale S] h264|gif MOVIE STILL MASK OUTPUT

#include "MovaraKit/Cinemagraph/MVRCinemagraph.h"
#include "MovaraKit/Cinemagraph/MVRExportSettings.h"
#include "MovaraKit/Cinemagraph/MVRExporter.h"
#include "MovaraKit/Media/MVRImageSource.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Media/Asset.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int usage()
{
    std::fprintf(stderr, "usage: quintor_cinemagraph [--plain] [--scale S] h264|gif MOVIE STILL MASK OUTPUT\n");
    return 2;
}

graphics::FilterImagePtr picture(const char* path)
{
    auto source = MVRImageSource::initWithFileURL(foundation::URL::fileURLWithPath(path));
    foundation::ErrorPtr error;
    auto image = source ? source->createImage(0, &error) : nullptr;
    if (!image) {
        std::fprintf(stderr, "not an image: %s\n", path);
        return nullptr;
    }
    return graphics::FilterImage::imageWithCGImage(image);
}

// The adjustments bench/cinemagraph_vs_ffmpeg.sh gives ffmpeg too.
void adjust(MVRFilterGraph& graph)
{
    graph.tempTintFilter()->setValue(graphics::FilterVector::make(7200, 0), "inputNeutral");
    graph.exposureFilter()->setValue(0.3, "inputEV");
    graph.colorControlsFilter()->setValue(1.1, "inputContrast");
    graph.rgbToneCurveFilter()->setValue(graphics::FilterVector::make(0.5, 0.47), "inputBluePoint2");
    graph.toneCurveFilter()->setValue(graphics::FilterVector::make(0.5, 0.55), "inputPoint2");
    graph.saturationColorControlsFilter()->setValue(1.2, "inputSaturation");
    graph.vignetteFilter()->setValue(0.4, "inputIntensity");
}

} // namespace

int main(int argc, char** argv)
{
    bool plain = false;
    double scale = 1;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        if (!std::strcmp(argv[i], "--plain"))
            plain = true;
        else if (!std::strcmp(argv[i], "--scale") && i + 1 < argc)
            scale = std::atof(argv[++i]);
        else
            return usage();
    }
    if (argc - i != 5)
        return usage();
    const std::string format = argv[i];
    if (format != "h264" && format != "gif")
        return usage();
    auto asset = media::Asset::assetWithURL(foundation::URL::fileURLWithPath(argv[i + 1]));
    auto still = picture(argv[i + 2]), mask = picture(argv[i + 3]);
    if (!asset || !still || !mask)
        return 1;
    MVRFilterGraph::initialize();
    auto graph = MVRFilterGraph::init();
    if (!plain)
        adjust(*graph);
    auto cinemagraph = MVRCinemagraph::initWithAsset(asset, std::nullopt, mask, still, *graph, /* forward only */ 1,
                                                     graphics::AffineTransform::identity());
    auto settings = MVRExportSettings::settingsWithType(format == "gif" ? MVRRenderTypeGIF : MVRRenderTypeH264, scale, 1);
    auto operation = MVRExporter::transcodeOperationForCinemagraph(cinemagraph, *settings,
                                                                   foundation::URL::fileURLWithPath(argv[i + 4]));
    operation->start();
    dispatch::RunLoop::main().runUntil([&] { return operation->isFinished(); }, 3600);
    if (!operation->isFinished() || operation->error()) {
        std::fprintf(stderr, "export failed: %s\n",
                     operation->error() ? operation->error()->localizedDescription().c_str() : "not finished");
        return 1;
    }
    return 0;
}
