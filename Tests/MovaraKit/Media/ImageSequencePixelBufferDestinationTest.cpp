#include "MovaraKit/Media/ImageSequencePixelBufferDestination.h"

#include "Platform/Images/ImageDestination.h"
#include "Platform/Images/ImageSource.h"
#include "Platform/Images/UTType.h"
#include "Tests/MovaraKit/Media/WriterTestSupport.h"
#include "Tests/Support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace fs = std::filesystem;
using writertest::listDirectory;

namespace {

foundation::URL folderURL(const fs::path& p)
{
    return foundation::URL::fileURLWithPath(p.string(), true);
}

std::shared_ptr<ImageSequencePixelBufferDestination> writer(const std::string& type, const fs::path& folder, double quality = 0.9)
{
    return ImageSequencePixelBufferDestination::init(type, quality, folderURL(folder));
}

std::vector<std::string> names(const std::string& extension, int count)
{
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "image %04d.%s", i, extension.c_str());
        out.push_back(name);
    }
    return out;
}

void touch(const fs::path& p, const std::string& text = "mine")
{
    std::ofstream(p) << text;
}

// Feeds `count` gradient frames straight into a prepared writer.
void feed(ImageSequencePixelBufferDestination& dst, int count)
{
    for (int i = 0; i < count; ++i) {
        foundation::ErrorPtr error;
        ASSERT_TRUE(dst.eatSampleBuffer(writertest::sampleAt(writertest::gradientFrame(16, 12, i * 10), i * 0.1), &error));
    }
}

foundation::ErrorPtr finish(ImageSequencePixelBufferDestination& dst)
{
    foundation::ErrorPtr result = foundation::Error::make("test", -1, "handler not called");
    dst.finishWithCompletionHandler([&](foundation::ErrorPtr e) { result = e; });
    return result;
}

} // namespace

TEST(ImageSequencePixelBufferDestination, TranscodesAMovieIntoNumberedStillsOfEachType)
{
    testsupport::TempDir dir;
    const auto movie = dir / "clip.mp4";
    ASSERT_EQ(writertest::writeMovie(movie, 8, 64, 48), nullptr);
    const struct {
        std::string type, extension;
        media::OSType sourceFormat;
    } cases[] = {{images::kUTTypeJPEG, "jpeg", media::PixelFormatType_420YpCbCr8BiPlanarVideoRange},
                 {images::kUTTypePNG, "png", media::PixelFormatType_32BGRA},
                 {images::kUTTypeTIFF, "tiff", media::PixelFormatType_32ARGB}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        const auto folder = dir / "exports" / c.extension; // neither folder exists yet
        auto dst = writer(c.type, folder, 1.0);
        auto error = writertest::transcode(writertest::makeMovieSource(movie, c.sourceFormat), dst);
        ASSERT_EQ(error, nullptr) << error->localizedDescription();
        ASSERT_EQ(listDirectory(folder), names(c.extension, 8));
        for (const auto& name : names(c.extension, 8)) {
            auto src = images::ImageSource::createWithPath((folder / name).string());
            ASSERT_TRUE(src) << name;
            EXPECT_EQ(src->type(), c.type);
            auto props = src->propertiesAtIndex(0);
            ASSERT_TRUE(props);
            EXPECT_EQ(props->pixelWidth, 64);
            EXPECT_EQ(props->pixelHeight, 48);
        }
        // The right edge of the first frame is red; frame 7's blue is 140 (through H.264).
        auto first = images::ImageSource::createWithPath((folder / names(c.extension, 1)[0]).string())->createImageAtIndex(0);
        ASSERT_TRUE(first);
        const auto corner = first->pixelAt(62, 1);
        EXPECT_GT(corner.r, 200);
        EXPECT_LT(corner.g, 50);
        auto last = images::ImageSource::createWithPath((folder / names(c.extension, 8)[7]).string())->createImageAtIndex(0);
        EXPECT_NEAR(last->pixelAt(32, 24).b, 140, 20);
    }
}

TEST(ImageSequencePixelBufferDestination, JPEGQualityTradesSizeForFidelity)
{
    testsupport::TempDir dir;
    std::map<double, std::pair<uintmax_t, double>> results; // quality -> (bytes, mean error)
    for (double quality : {0.1, 1.0}) {
        const auto folder = dir / std::to_string(quality);
        auto dst = writer(images::kUTTypeJPEG, folder, quality);
        ASSERT_EQ(writertest::transcode(writertest::makeSource({0.0}, 64, 48), dst), nullptr);
        const auto file = folder / "image 0000.jpeg";
        auto image = images::ImageSource::createWithPath(file.string())->createImageAtIndex(0);
        ASSERT_TRUE(image);
        auto reference = writertest::gradientFrame(64, 48, 0);
        double error = 0;
        for (size_t y = 0; y < 48; ++y)
            for (size_t x = 0; x < 64; ++x)
                error += std::abs(image->pixelAt(x, y).r - int(x * 255 / 63)) + std::abs(image->pixelAt(x, y).g - int(y * 255 / 47));
        results[quality] = {fs::file_size(file), error / (64 * 48 * 2)};
    }
    EXPECT_LT(results[0.1].first, results[1.0].first);
    EXPECT_GT(results[0.1].second, results[1.0].second);
    EXPECT_LT(results[1.0].second, 2.0);
}

TEST(ImageSequencePixelBufferDestination, NamesFramesInFeedingOrderAndWidensPast9999)
{
    auto dst = writer(images::kUTTypePNG, "/tmp/unused");
    const std::pair<unsigned long, std::string> cases[] = {
        {0, "image 0000.png"}, {42, "image 0042.png"}, {9999, "image 9999.png"}, {10000, "image 10000.png"}};
    for (const auto& [index, name] : cases)
        EXPECT_EQ(dst->fileURLForFrame(index).lastPathComponent(), name);
    EXPECT_EQ(dst->outputURL().path(), "/tmp/unused");
}

TEST(ImageSequencePixelBufferDestination, FinishingWithoutFramesLeavesAnEmptyFolder)
{
    testsupport::TempDir dir;
    auto dst = writer(images::kUTTypePNG, dir / "empty");
    ASSERT_TRUE(dst->prepareWithInfo(nullptr, false, nullptr));
    EXPECT_EQ(finish(*dst), nullptr);
    EXPECT_TRUE(fs::is_directory(dir / "empty"));
    EXPECT_TRUE(listDirectory(dir / "empty").empty());
    EXPECT_FALSE(dst->isReadyForMore());
}

TEST(ImageSequencePixelBufferDestination, PreparingIntoAnExistingFolderOverwritesSameNamedFiles)
{
    testsupport::TempDir dir;
    fs::create_directories(dir / "out");
    touch(dir / "out" / "image 0000.png", "old");
    auto dst = writer(images::kUTTypePNG, dir / "out");
    ASSERT_EQ(writertest::transcode(writertest::makeSource({0, 0.1}), dst), nullptr);
    EXPECT_EQ(listDirectory(dir / "out"), names("png", 2));
    EXPECT_GT(fs::file_size(dir / "out" / "image 0000.png"), 3u);
}

TEST(ImageSequencePixelBufferDestination, PrepareFailsWhereNoFolderCanBe)
{
    testsupport::TempDir dir;
    touch(dir / "file");
    const fs::path cases[] = {dir / "file", dir / "file" / "below"};
    for (const auto& path : cases) {
        SCOPED_TRACE(path);
        auto dst = writer(images::kUTTypePNG, path);
        foundation::ErrorPtr error;
        EXPECT_FALSE(dst->prepareWithInfo(nullptr, false, &error));
        EXPECT_TRUE(error);
        // Through the operation, the job ends with that error.
        EXPECT_NE(writertest::transcode(writertest::makeSource({0}), writer(images::kUTTypePNG, path)), nullptr);
    }
    EXPECT_TRUE(fs::is_regular_file(dir / "file"));
}

TEST(ImageSequencePixelBufferDestination, CancelRemovesOnlyWhatItWrote)
{
    testsupport::TempDir dir;
    // An existing folder with the user's own files, one named like a frame we never reach.
    fs::create_directories(dir / "photos" / "sub");
    touch(dir / "photos" / "notes.txt");
    touch(dir / "photos" / "image 0005.png");
    touch(dir / "photos" / "sub" / "x.png");
    // And one a frame overwrites before the cancel: the user gets it back.
    touch(dir / "photos" / "image 0001.png", "the user's own picture");
    auto dst = writer(images::kUTTypePNG, dir / "photos");
    ASSERT_TRUE(dst->prepareWithInfo(nullptr, false, nullptr));
    feed(*dst, 3);
    // Cancel only once frame 1 has replaced the user's file.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (fs::file_size(dir / "photos" / "image 0001.png") == 22 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    ASSERT_NE(fs::file_size(dir / "photos" / "image 0001.png"), 22u);
    dst->cancel();
    EXPECT_FALSE(dst->isReadyForMore());
    // Finishing after a cancel waits for the writes still in flight, which clean up after themselves.
    auto error = finish(*dst);
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->isUserCancelled());
    EXPECT_EQ(listDirectory(dir / "photos"),
              (std::vector<std::string>{"image 0001.png", "image 0005.png", "notes.txt", "sub"}));
    EXPECT_TRUE(fs::exists(dir / "photos" / "sub" / "x.png"));
    std::ifstream in(dir / "photos" / "image 0001.png");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "the user's own picture");
}

TEST(ImageSequencePixelBufferDestination, AFailedSequenceGivesBackWhatItOverwrote)
{
    testsupport::TempDir dir;
    fs::create_directories(dir / "out");
    touch(dir / "out" / "image 0000.png", "first");
    touch(dir / "out" / "notes.txt");
    // Frame 2's place is taken by a folder, so the job fails after frame 0 replaced a file.
    fs::create_directories(dir / "out" / "image 0002.png");
    auto dst = writer(images::kUTTypePNG, dir / "out");
    ASSERT_TRUE(dst->prepareWithInfo(nullptr, false, nullptr));
    for (int i = 0; i < 4; ++i)
        dst->eatSampleBuffer(writertest::sampleAt(writertest::gradientFrame(16, 12), i * 0.1), nullptr);
    ASSERT_TRUE(finish(*dst));
    EXPECT_EQ(listDirectory(dir / "out"), (std::vector<std::string>{"image 0000.png", "image 0002.png", "notes.txt"}));
    std::ifstream in(dir / "out" / "image 0000.png");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "first");

    // Through the operation, which stops feeding at the failure and finishes nothing: the
    // folder is given back then, not only once the writer goes.
    auto fed = writer(images::kUTTypePNG, dir / "out");
    std::vector<double> times;
    for (int i = 0; i < 40; ++i)
        times.push_back(i * 0.1);
    ASSERT_TRUE(writertest::transcode(writertest::makeSource(times), fed));
    EXPECT_EQ(listDirectory(dir / "out"), (std::vector<std::string>{"image 0000.png", "image 0002.png", "notes.txt"}));
    std::ifstream again(dir / "out" / "image 0000.png");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(again), {}), "first");
}

TEST(ImageSequencePixelBufferDestination, CancelRemovesTheFoldersItMade)
{
    testsupport::TempDir dir;
    fs::create_directories(dir / "kept");
    auto dst = writer(images::kUTTypeJPEG, dir / "kept" / "made" / "frames");
    ASSERT_TRUE(dst->prepareWithInfo(nullptr, false, nullptr));
    feed(*dst, 2);
    dst->cancel();
    finish(*dst);
    EXPECT_TRUE(fs::is_directory(dir / "kept"));
    EXPECT_FALSE(fs::exists(dir / "kept" / "made"));
}

TEST(ImageSequencePixelBufferDestination, CancelAfterASuccessfulFinishKeepsTheSequence)
{
    testsupport::TempDir dir;
    auto dst = writer(images::kUTTypePNG, dir / "done");
    ASSERT_TRUE(dst->prepareWithInfo(nullptr, false, nullptr));
    feed(*dst, 2);
    ASSERT_EQ(finish(*dst), nullptr);
    dst->cancel();
    EXPECT_EQ(listDirectory(dir / "done"), names("png", 2));
}

TEST(ImageSequencePixelBufferDestination, AFrameThatCannotBeWrittenFailsTheJob)
{
    testsupport::TempDir dir;
    // A folder where frame 1 should go: its file can't replace it.
    fs::create_directories(dir / "out" / "image 0001.png");
    {
        auto dst = writer(images::kUTTypePNG, dir / "out");
        ASSERT_TRUE(dst->prepareWithInfo(nullptr, false, nullptr));
        // Frame 2 may already learn of frame 1's failure; either way finishing must report it.
        for (int i = 0; i < 3; ++i)
            dst->eatSampleBuffer(writertest::sampleAt(writertest::gradientFrame(16, 12), i * 0.1), nullptr);
        auto error = finish(*dst);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), ImageSequencePixelBufferDestinationErrorDomain);
        EXPECT_EQ(error->code(), ImageSequencePixelBufferDestinationFailedToWriteImage);
        EXPECT_TRUE(error->underlyingError());
    }
    {
        // Through the operation (which may learn of it from a later frame or from finishing).
        auto error = writertest::transcode(writertest::makeSource({0, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 1.0, 1.1}),
                                           writer(images::kUTTypePNG, dir / "out"));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), ImageSequencePixelBufferDestinationFailedToWriteImage);
    }
}

TEST(ImageSequencePixelBufferDestination, StartEatingReturnsWhenTheFeederHasNothingMore)
{
    testsupport::TempDir dir;
    auto dst = writer(images::kUTTypePNG, dir / "idle");
    ASSERT_TRUE(dst->prepareWithInfo(nullptr, false, nullptr));
    int calls = 0;
    dst->startEating([&] { ++calls; }); // eats nothing and finishes nothing: must not spin
    EXPECT_EQ(calls, 1);
    // A feeder that eats keeps being called until it finishes the writer.
    int frames = 0;
    dst->startEating([&] {
        if (frames < 3) {
            foundation::ErrorPtr error;
            dst->eatSampleBuffer(writertest::sampleAt(writertest::gradientFrame(8, 8), frames++ * 0.1), &error);
        } else {
            dst->finishWithCompletionHandler([](foundation::ErrorPtr) {});
        }
    });
    EXPECT_EQ(listDirectory(dir / "idle"), names("png", 3));
}

TEST(ImageSequencePixelBufferDestinationDeathTest, RefusesUnsupportedTypesAndNonFileURLs)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(ImageSequencePixelBufferDestination::init(images::kUTTypeGIF, 1, foundation::URL::fileURLWithPath("/tmp/x")),
                 "unsupported image type");
    EXPECT_DEATH(ImageSequencePixelBufferDestination::init(images::kUTTypePNG, 1, *foundation::URL::URLWithString("https://example.com/x")),
                 "file URL");
}

namespace {

// A PNG "encoder" that holds every write until released, standing in for a slow disk.
struct SlowDisk {
    std::mutex mutex;
    std::condition_variable changed;
    bool released = false;
    int completed = 0;
};

class SlowWriter final : public images::ImageWriter {
public:
    explicit SlowWriter(SlowDisk& disk) : m_disk(disk) { }
    bool supportsMultipleImages() const override { return false; }
    bool addImage(const graphics::ImagePtr&, const images::DestinationProperties&, foundation::ErrorPtr*) override { return true; }
    bool finish(std::vector<uint8_t>& out, foundation::ErrorPtr*) override
    {
        std::unique_lock lock(m_disk.mutex);
        m_disk.changed.wait(lock, [&] { return m_disk.released; });
        ++m_disk.completed;
        m_disk.changed.notify_all();
        out = {'p', 'n', 'g'};
        return true;
    }

private:
    SlowDisk& m_disk;
};

} // namespace

TEST(ImageSequencePixelBufferDestinationDeathTest, TheNinthFrameWaitsForOneOfEightWritesToEnd)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // In a child process: replacing the PNG encoder must not leak into other tests.
    EXPECT_EXIT(
        {
            testsupport::TempDir dir;
            SlowDisk disk;
            images::ImageDestination::registerWriter(images::kUTTypePNG, [&] { return std::make_unique<SlowWriter>(disk); });
            auto dst = writer(images::kUTTypePNG, dir / "slow");
            if (!dst->prepareWithInfo(nullptr, false, nullptr))
                std::_Exit(10);
            std::atomic<int> eaten = 0;
            int completedWhenNinthReturned = -1;
            std::thread feeder([&] {
                for (int i = 0; i < 9; ++i) {
                    dst->eatSampleBuffer(writertest::sampleAt(writertest::gradientFrame(8, 8), i * 0.1), nullptr);
                    if (i == 8) {
                        std::lock_guard lock(disk.mutex);
                        completedWhenNinthReturned = disk.completed;
                    }
                    ++eaten;
                }
            });
            // Eight frames go into flight without waiting for the disk.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (eaten < 8 && std::chrono::steady_clock::now() < deadline)
                std::this_thread::yield();
            {
                std::lock_guard lock(disk.mutex);
                disk.released = true;
                disk.changed.notify_all();
            }
            feeder.join();
            dst->finishWithCompletionHandler([](foundation::ErrorPtr) {});
            std::_Exit(eaten == 9 && completedWhenNinthReturned >= 1 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}
