// Whole-program driver for bench/import_vs_ffmpeg.sh: imports photos into a movie with
// MVRImageSequenceImporter, exactly as the preview does, or only decodes them (--decode-only)
// to measure the decoder's share of the work.
//
//   quintor_import [--codec avc1|hvc1|apcn|ap4h] OUTPUT.mov PHOTO...
//   quintor_import --decode-only PHOTO...

#include "MovaraKit/Media/MVRImageSequenceImporter.h"
#include "MovaraKit/Media/MVRImageSource.h"
#include "Platform/Dispatch/Queue.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Dispatch/Semaphore.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

int usage()
{
    std::fprintf(stderr, "usage: quintor_import [--codec CODE] OUTPUT.mov PHOTO...\n"
                         "       quintor_import --decode-only PHOTO...\n");
    return 2;
}

std::vector<MVRImageSourcePtr> openPhotos(char** first, char** last)
{
    std::vector<MVRImageSourcePtr> sources;
    for (char** p = first; p != last; ++p) {
        auto source = MVRImageSource::initWithFileURL(foundation::URL::fileURLWithPath(*p));
        if (!source) {
            std::fprintf(stderr, "not an image: %s\n", *p);
            return {};
        }
        sources.push_back(std::move(source));
    }
    return sources;
}

// Decodes every photo on the global queues, as many at once as there are cores.
int decodeOnly(const std::vector<MVRImageSourcePtr>& sources)
{
    std::atomic<size_t> next {0};
    std::atomic<bool> failed {false};
    const unsigned workers = std::max(1u, std::thread::hardware_concurrency());
    auto done = dispatch::Semaphore::make(0);
    for (unsigned w = 0; w < workers; ++w) {
        dispatch::Queue::global(dispatch::QoS::UserInitiated)->async([&] {
            for (size_t i = next++; i < sources.size(); i = next++) {
                foundation::ErrorPtr error;
                if (!sources[i]->createImage(0, &error))
                    failed = true;
            }
            done->signal();
        });
    }
    for (unsigned w = 0; w < workers; ++w)
        done->wait();
    std::printf("decoded %zu photos\n", sources.size());
    return failed ? 1 : 0;
}

} // namespace

int main(int argc, char** argv)
{
    int arg = 1;
    if (arg < argc && std::strcmp(argv[arg], "--decode-only") == 0) {
        auto sources = openPhotos(argv + arg + 1, argv + argc);
        return sources.empty() ? 1 : decodeOnly(sources);
    }
    std::optional<std::string> codec;
    if (arg + 1 < argc && std::strcmp(argv[arg], "--codec") == 0) {
        codec = argv[arg + 1];
        arg += 2;
    }
    if (argc - arg < 2)
        return usage();
    const foundation::URL output = foundation::URL::fileURLWithPath(argv[arg]);
    auto sources = openPhotos(argv + arg + 1, argv + argc);
    if (sources.empty())
        return 1;

    auto importer = MVRImageSequenceImporter::initWithImageSources(sources, 1.0, codec, true);
    std::atomic<bool> done {false};
    foundation::ErrorPtr failure;
    importer->importAsynchronouslyWithOutputURL(output, [&](std::optional<foundation::URL>, foundation::ErrorPtr error) {
        failure = error;
        done = true;
    });
    dispatch::RunLoop::main().runUntil([&] { return done.load(); }, 24 * 3600);
    if (!done) {
        std::fprintf(stderr, "the import did not finish\n");
        return 1;
    }
    if (failure) {
        std::fprintf(stderr, "import failed: %s\n", failure->localizedDescription().c_str());
        return 1;
    }
    std::printf("wrote %zu frames, frame duration %s\n", sources.size(), importer->frameDuration().description().c_str());
    return 0;
}
