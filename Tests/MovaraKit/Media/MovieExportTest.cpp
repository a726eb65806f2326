#include "MovaraKit/Media/MovieExport.h"

#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Foundation/FileManager.h"
#include "Platform/Media/VideoSettings.h"
#include "Tests/Support/ImageFixtures.h"
#include "Tests/Support/TempDir.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <set>

namespace fs = std::filesystem;

namespace {

// Flat grey photos (32 x 24 unless said) named after their levels, in `folder`.
std::vector<MVRImageSourcePtr> greyPhotos(const fs::path& folder, const std::vector<int>& levels, int width = 32,
                                          int height = 24)
{
    fs::create_directories(folder);
    std::vector<MVRImageSourcePtr> photos;
    for (int level : levels) {
        fixtures::JPEGSpec recipe;
        recipe.width = width;
        recipe.height = height;
        recipe.pixel = [level](int, int) { return std::vector<uint8_t>(3, static_cast<uint8_t>(level)); };
        const auto path = folder / ("grey" + std::to_string(level) + ".jpg");
        fixtures::writeFile(path, fixtures::makeJPEG(recipe));
        photos.push_back(MVRImageSource::initWithFileURL(foundation::URL::fileURLWithPath(path.string())));
    }
    return photos;
}

// The distinct grey levels of a movie's frames, in order (repeats of a re-timed frame folded).
std::vector<int> greyRuns(const fs::path& movie)
{
    std::vector<int> runs;
    const std::string command = "ffmpeg -v error -i '" + movie.string()
        + "' -vf scale=1:1:flags=area -f rawvideo -pix_fmt gray - 2>/dev/null";
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        for (int c; (c = std::fgetc(pipe)) != EOF;)
            if (runs.empty() || std::abs(runs.back() - c) > 8)
                runs.push_back(c);
        ::pclose(pipe);
    }
    return runs;
}

std::set<std::string> entries(const fs::path& folder)
{
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec))
        names.insert(entry.path().filename().string());
    return names;
}

fs::path temporaryFolder()
{
    return foundation::FileManager::defaultManager().temporaryDirectory().path();
}

MovieExport::Settings settingsFor(std::vector<MVRImageSourcePtr> photos, bool twoPasses)
{
    MovieExport::Settings settings;
    settings.imageSources = std::move(photos);
    settings.frameDuration = media::Time::make(1, 10);
    settings.codec = media::AVVideoCodecTypeH264;
    if (twoPasses)
        settings.outputFrameDuration = media::Time::make(1, 25);
    return settings;
}

} // namespace

TEST(MovieExport, ConcurrentTwoPassJobsEachDeliverTheirOwnPhotos)
{
    testsupport::TempDir dir;
    const std::vector<std::vector<int>> sets = {{40, 120, 200}, {200, 40, 120}, {120, 200, 40}};
    std::vector<std::shared_ptr<MovieExport>> jobs;
    std::vector<std::optional<foundation::ErrorPtr>> results(sets.size());
    std::set<std::string> folders;
    for (size_t i = 0; i < sets.size(); ++i) {
        const auto output = dir / ("movie" + std::to_string(i) + ".mp4");
        foundation::ErrorPtr error;
        auto job = MovieExport::make(foundation::URL::fileURLWithPath(output.string()),
                                     settingsFor(greyPhotos(dir / ("set" + std::to_string(i)), sets[i]), true), &error);
        ASSERT_TRUE(job) << error->localizedDescription();
        ASSERT_TRUE(job->workFolderURL());
        folders.insert(job->workFolderURL()->path());
        EXPECT_EQ(job->firstPassURL().lastPathComponent(), "qtrExportPass1.mov");
        jobs.push_back(job);
    }
    EXPECT_EQ(folders.size(), sets.size()) << "each job has a folder of its own";
    for (size_t i = 0; i < jobs.size(); ++i)
        jobs[i]->start([&results, i](foundation::ErrorPtr error) { results[i] = error; });
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil(
        [&] { return std::all_of(results.begin(), results.end(), [](const auto& r) { return r.has_value(); }); }, 60));
    for (size_t i = 0; i < sets.size(); ++i) {
        EXPECT_FALSE(*results[i]) << i << ": " << (*results[i])->localizedDescription();
        EXPECT_EQ(greyRuns(dir / ("movie" + std::to_string(i) + ".mp4")).size(), 3u) << i;
        const auto runs = greyRuns(dir / ("movie" + std::to_string(i) + ".mp4"));
        for (size_t f = 0; f < std::min(runs.size(), sets[i].size()); ++f)
            EXPECT_NEAR(runs[f], sets[i][f], 10) << "job " << i << " frame " << f;
    }
    for (const auto& folder : folders)
        EXPECT_FALSE(fs::exists(folder)) << folder;
}

// Whatever the outcome, a job leaves nothing but the finished movie: no intermediate, no
// folder of its own, no unfinished file beside the output.
TEST(MovieExport, LeavesNoTemporaryFileWhateverTheOutcome)
{
    const struct {
        const char* name;
        bool twoPasses;
        bool brokenPhoto;
        int cancelInPass; // 0: never
        bool succeeds;
    } cases[] = {
        {"one pass", false, false, 0, true},
        {"two passes", true, false, 0, true},
        {"failing first pass", true, true, 0, false},
        {"cancelled first pass", false, false, 1, false},
        {"cancelled second pass", true, false, 2, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TempDir dir;
        auto photos = greyPhotos(dir / "photos", {50, 100, 150, 200});
        if (c.brokenPhoto)
            fixtures::writeFile(dir / "photos" / "grey150.jpg", {0xFF, 0xD8, 0xFF, 0x00, 0x01});
        fs::create_directories(dir / "out");
        const auto output = dir / "out" / "movie.mp4";
        const auto temporaryBefore = entries(temporaryFolder());

        foundation::ErrorPtr error;
        auto job = MovieExport::make(foundation::URL::fileURLWithPath(output.string()), settingsFor(photos, c.twoPasses), &error);
        ASSERT_TRUE(job);
        int passes = 0;
        std::weak_ptr<MovieExport> weak = job;
        job->setPassHandler([&, weak](const foundation::ProgressPtr& progress) {
            EXPECT_TRUE(progress);
            if (++passes == c.cancelInPass)
                weak.lock()->cancel();
        });
        std::optional<foundation::ErrorPtr> result;
        job->start([&](foundation::ErrorPtr e) { result = e; });
        job.reset(); // the job keeps itself until it has ended
        ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return result.has_value(); }, 60));

        EXPECT_EQ(!*result, c.succeeds) << (*result ? (*result)->localizedDescription() : "");
        if (c.cancelInPass) {
            EXPECT_TRUE(*result && (*result)->isUserCancelled());
        }
        EXPECT_EQ(entries(dir / "out"), c.succeeds ? std::set<std::string>{"movie.mp4"} : std::set<std::string>{});
        EXPECT_EQ(entries(temporaryFolder()), temporaryBefore);
    }
}

// A photo deleted or damaged after it was added ends the job when its
// turn comes, with an error that names it; the movie that was there stays, and nothing
// unfinished is left beside it.
TEST(MovieExport, APhotoGoneOrDamagedAfterItWasAddedEndsTheJobClearly)
{
    const struct {
        const char* name;
        std::function<void(const fs::path&)> damage;
    } cases[] = {
        {"deleted", [](const fs::path& p) { fs::remove(p); }},
        {"garbage", [](const fs::path& p) { fixtures::writeFile(p, std::vector<uint8_t>(4000, 0x5A)); }},
        {"cut short",
         [](const fs::path& p) {
             auto bytes = fixtures::readFile(p);
             bytes.resize(bytes.size() / 3);
             fixtures::writeFile(p, bytes);
         }},
    };
    for (const auto& c : cases) {
        for (bool twoPasses : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (twoPasses ? ", two passes" : ", one pass"));
            testsupport::TempDir dir;
            auto photos = greyPhotos(dir / "photos", {50, 100, 150, 200});
            fs::create_directories(dir / "out");
            const auto output = dir / "out" / "movie.mp4";
            fixtures::writeFile(output, {'o', 'l', 'd'});
            const auto temporaryBefore = entries(temporaryFolder());
            foundation::ErrorPtr error;
            auto job = MovieExport::make(foundation::URL::fileURLWithPath(output.string()), settingsFor(photos, twoPasses), &error);
            ASSERT_TRUE(job);
            c.damage(dir / "photos" / "grey150.jpg");
            std::optional<foundation::ErrorPtr> result;
            job->start([&](foundation::ErrorPtr e) { result = e; });
            ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return result.has_value(); }, 60));
            ASSERT_TRUE(*result);
            const std::string text = (*result)->localizedDescription() + " " + (*result)->localizedFailureReason().value_or("");
            EXPECT_NE(text.find("grey150.jpg"), std::string::npos) << text;
            EXPECT_EQ(fixtures::readFile(output), (std::vector<uint8_t>{'o', 'l', 'd'}));
            EXPECT_EQ(entries(dir / "out"), std::set<std::string>{"movie.mp4"});
            EXPECT_EQ(entries(temporaryFolder()), temporaryBefore);
        }
    }
}

TEST(MovieExport, RefusesACodecItDoesNotWrite)
{
    foundation::ErrorPtr error;
    auto settings = settingsFor({}, false);
    settings.codec = "jpeg";
    EXPECT_FALSE(MovieExport::make(foundation::URL::fileURLWithPath("/tmp/x.mp4"), settings, &error));
    ASSERT_TRUE(error);
}

TEST(MovieExport, RefusesAnOutputThatIsOneOfItsPhotos)
{
    testsupport::TempDir dir;
    auto photos = greyPhotos(dir.path() / "photos", {40, 200});
    const fs::path photo = photos[1]->fileURL().path();
    fs::create_symlink(photo, dir.path() / "link.mp4");
    fs::create_hard_link(photo, dir.path() / "hard.mp4");
    const auto before = fixtures::readFile(photo);
    for (const fs::path& output : {photo, dir.path() / "photos" / ".." / "photos" / photo.filename(), dir.path() / "link.mp4",
                                   dir.path() / "hard.mp4"}) {
        SCOPED_TRACE(output.string());
        foundation::ErrorPtr error;
        EXPECT_FALSE(MovieExport::make(foundation::URL::fileURLWithPath(output.string()), settingsFor(photos, false), &error));
        ASSERT_TRUE(error);
        EXPECT_NE(error->localizedFailureReason().value_or("").find(photo.string() + ", one of the photos"), std::string::npos)
            << error->localizedFailureReason().value_or("");
    }
    EXPECT_EQ(fixtures::readFile(photo), before);
    // Another file beside the photos is a fine output.
    foundation::ErrorPtr error;
    EXPECT_TRUE(MovieExport::make(foundation::URL::fileURLWithPath((dir.path() / "photos" / "movie.mp4").string()),
                                  settingsFor(photos, false), &error));
}

TEST(MovieExport, PhotosOfAFewPixelsMakeAMovieInEveryFormat)
{
    // The bit rate such pictures ask for is under a kilobit per second, which x264 read as
    // none and refused.
    testsupport::TempDir dir;
    for (const int side : {2, 4, 5}) {
        auto photos = greyPhotos(dir.path() / ("photos" + std::to_string(side)), {40, 200}, side, side);
        for (const std::string& codec : {media::AVVideoCodecTypeH264, media::AVVideoCodecTypeAppleProRes422}) {
            SCOPED_TRACE(std::to_string(side) + " " + codec);
            auto settings = settingsFor(photos, false);
            settings.codec = codec;
            const fs::path output = dir.path() / ("tiny" + std::to_string(side) + (codec == media::AVVideoCodecTypeH264 ? ".mp4" : ".mov"));
            foundation::ErrorPtr error;
            auto job = MovieExport::make(foundation::URL::fileURLWithPath(output.string()), settings, &error);
            ASSERT_TRUE(job) << error->localizedDescription();
            bool done = false;
            job->start([&](foundation::ErrorPtr e) {
                error = e;
                done = true;
            });
            ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return done; }, 30));
            EXPECT_FALSE(error) << error->localizedDescription() << " " << error->localizedFailureReason().value_or("");
            EXPECT_TRUE(fs::exists(output));
        }
    }
}

TEST(MovieExport, ColoursOfThePhotosSurviveEveryFormat)
{
    // A wrong matrix (BT.601 for BT.709) or range (full for video) shifts these colours by
    // far more than the tolerance; so would the wrong chroma plane.
    testsupport::TempDir dir;
    const std::vector<std::array<int, 3>> colours = {{200, 60, 40}, {40, 160, 220}};
    std::vector<MVRImageSourcePtr> photos;
    for (size_t i = 0; i < colours.size(); ++i) {
        fixtures::JPEGSpec recipe;
        recipe.width = 96;
        recipe.height = 64;
        const auto c = colours[i];
        recipe.pixel = [c](int, int) { return std::vector<uint8_t> {uint8_t(c[0]), uint8_t(c[1]), uint8_t(c[2])}; };
        const auto path = dir.path() / ("colour" + std::to_string(i) + ".jpg");
        fixtures::writeFile(path, fixtures::makeJPEG(recipe));
        photos.push_back(MVRImageSource::initWithFileURL(foundation::URL::fileURLWithPath(path.string())));
    }
    for (const std::string& codec : {media::AVVideoCodecTypeH264, media::AVVideoCodecTypeAppleProRes422}) {
        SCOPED_TRACE(codec);
        auto settings = settingsFor(photos, false);
        settings.codec = codec;
        const fs::path output = dir.path() / (codec == media::AVVideoCodecTypeH264 ? "colours.mp4" : "colours.mov");
        foundation::ErrorPtr error;
        auto job = MovieExport::make(foundation::URL::fileURLWithPath(output.string()), settings, &error);
        ASSERT_TRUE(job);
        bool done = false;
        job->start([&](foundation::ErrorPtr e) {
            error = e;
            done = true;
        });
        ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return done; }, 30));
        ASSERT_FALSE(error) << error->localizedDescription();
        // Each frame's mean colour, as a player that honours the movie's tags shows it.
        std::vector<int> rgb;
        const std::string command = "ffmpeg -v error -i '" + output.string()
            + "' -vf scale=1:1:flags=area:in_color_matrix=bt709:in_range=tv -f rawvideo -pix_fmt rgb24 - 2>/dev/null";
        if (FILE* pipe = ::popen(command.c_str(), "r")) {
            for (int c; (c = std::fgetc(pipe)) != EOF;)
                rgb.push_back(c);
            ::pclose(pipe);
        }
        ASSERT_EQ(rgb.size(), colours.size() * 3);
        for (size_t i = 0; i < rgb.size(); ++i)
            EXPECT_LE(std::abs(rgb[i] - colours[i / 3][i % 3]), 6) << "frame " << i / 3 << " channel " << i % 3;
    }
}
