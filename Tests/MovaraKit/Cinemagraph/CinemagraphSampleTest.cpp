// The sample program makes a movie, paints a mask and exports the cinemagraph three ways.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Platform/Images/ImageSource.h"
#include "Tests/MovaraKit/Media/MovieTestSupport.h"
#include "Tests/Support/TempDir.h"

namespace fs = std::filesystem;

TEST(CinemagraphSample, ExportsAMovieAGifAndStills)
{
    testsupport::TempDir dir;
    const fs::path tool = fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "tools" / "movarakit-cinemagraph-sample";
    ASSERT_TRUE(fs::exists(tool)) << tool;
    // The stills go into a folder the user already keeps something in.
    fs::create_directories(dir.path() / "frames");
    std::ofstream(dir.path() / "frames" / "mynotes.txt") << "my notes";
    ASSERT_TRUE(movietest::run("'" + tool.string() + "' '" + dir.path().string() + "' > /dev/null"));

    auto movie = movietest::probe(dir.path() / "cinemagraph.mp4");
    ASSERT_FALSE(movie.is_null());
    EXPECT_EQ(movie["streams"][0]["codec_name"], "h264");
    EXPECT_EQ(movie["streams"][0]["width"], 96);
    EXPECT_EQ(movie["streams"][0]["height"], 64);
    auto gif = movietest::probe(dir.path() / "cinemagraph.gif");
    ASSERT_FALSE(gif.is_null());
    EXPECT_EQ(gif["streams"][0]["codec_name"], "gif");

    // 12 frames forward and 10 back; outside the mask every still is the same.
    std::vector<fs::path> stills;
    for (const auto& entry : fs::directory_iterator(dir.path() / "frames"))
        if (entry.path().extension() == ".png")
            stills.push_back(entry.path());
    std::sort(stills.begin(), stills.end());
    ASSERT_EQ(stills.size(), 22u);
    auto corner = [](const fs::path& path) {
        auto source = images::ImageSource::createWithURL(foundation::URL::fileURLWithPath(path.string()));
        auto image = source ? source->createImageAtIndex(0) : nullptr;
        return image ? image->pixelAt(2, 2) : graphics::Image::RGBA8{};
    };
    const auto first = corner(stills.front());
    for (const auto& still : stills)
        EXPECT_EQ(corner(still), first) << still;
    std::ifstream notes(dir.path() / "frames" / "mynotes.txt");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(notes), {}), "my notes");
}
