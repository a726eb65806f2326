// Effect packages from hostile bytes: "Data.plist" is the input, in a package folder that also
// holds a movie, a still, and a link to a movie outside the package. Whatever loads must name
// files inside the package (never through a link), write again, and the written package must
// load as the same effect.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "FuzzSupport.h"
#include "MovaraKit/Cinemagraph/CinemagraphEffect.h"

namespace fs = std::filesystem;

namespace {

void writeFile(const fs::path& path, const void* bytes, std::size_t size)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(size));
}

struct Folder {
    fs::path root;
    fs::path package;
    Folder()
    {
        char pattern[] = "/tmp/quintor-fuzz-effect-XXXXXX";
        const char* made = mkdtemp(pattern);
        FUZZ_CHECK(made, "no temporary folder");
        root = made;
        package = root / "in.cinemagraphEffect";
        fs::create_directory(package);
        // Just enough of an MP4 for its type to show: an "ftyp" box.
        static const unsigned char movie[] = {0, 0, 0, 20, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm', 0, 0, 2, 0, 'i', 's', 'o', 'm'};
        writeFile(package / "sourceMovie.mp4", movie, sizeof movie);
        writeFile(package / "effectMovie.mov", movie, sizeof movie);
        writeFile(root / "outside.mp4", movie, sizeof movie);
        fs::create_symlink(root / "outside.mp4", package / "link.mp4");
    }
    ~Folder() { fs::remove_all(root); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static Folder folder;
    writeFile(folder.package / "Data.plist", data, size);
    const auto packageURL = foundation::URL::fileURLWithPath(folder.package.string());
    foundation::ErrorPtr error;
    auto effect = CinemagraphEffect::initWithPackageURL(packageURL, &error);
    if (!effect) {
        FUZZ_CHECK(error, "a refused package gave no error");
        return 0;
    }
    for (const auto* url : {&effect->sourceURL(), &effect->effectURL()}) {
        const fs::path path(url->path());
        FUZZ_CHECK(path.parent_path() == folder.package, "an effect names a file outside its package");
        FUZZ_CHECK(!fs::is_symlink(path), "an effect reads its media through a link");
    }
    const fs::path written = folder.root / "out.cinemagraphEffect";
    foundation::ErrorPtr writeError;
    if (effect->writeToURL(foundation::URL::fileURLWithPath(written.string()), &writeError)) {
        foundation::ErrorPtr readError;
        auto again = CinemagraphEffect::initWithPackageURL(foundation::URL::fileURLWithPath(written.string()), &readError);
        FUZZ_CHECK(again, "a package an effect wrote does not load");
        FUZZ_CHECK(again->effectName() == effect->effectName() && again->isVideoProvider() == effect->isVideoProvider()
                       && again->isImageProvider() == effect->isImageProvider(),
                   "a written effect loads as another");
    }
    std::error_code ec;
    fs::remove_all(written, ec);
    return 0;
}
