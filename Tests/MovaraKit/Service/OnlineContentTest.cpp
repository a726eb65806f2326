#include "Tests/MovaraKit/Service/ServiceFixture.h"

#include <atomic>
#include <filesystem>
#include <numbers>

#include "MovaraKit/Media/MoviePixelBufferDestination.h"
#include "MovaraKit/Service/LearningLab.h"
#include "MovaraKit/Service/MVRCinemagraphUploader.h"
#include "MovaraKit/Service/MVRMovaraCache.h"
#include "Platform/Dispatch/Clock.h"
#include "Platform/Foundation/FileManager.h"
#include "Platform/Media/VideoSettings.h"

#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include "Platform/Foundation/JSON.h"
#include "Platform/Net/URLError.h"
#include "Tests/MovaraKit/Media/MovieTestSupport.h"

using foundation::Value;

namespace {

const char* kFeed = R"({"sections":[{"title":"Basics","items":[
    {"title":"Masks","subtitle":"Paint","duration":65,"video":"https://cdn.example/m.mp4","thumbnail":"https://cdn.example/m.jpg","extra":1}]}]})";

bool waitUntil(const std::function<bool()>& predicate)
{
    return dispatch::RunLoop::main().runUntil(predicate, 10);
}

} // namespace

TEST(LearningLab, DecodesTheFeedStrictlyAndFormatsDurations)
{
    struct Case {
        const char* name;
        std::string JSON;
        bool decodes;
    };
    const Case cases[] = {
        { "complete feed", kFeed, true },
        { "missing video", R"({"sections":[{"title":"A","items":[{"title":"t","subtitle":"s","duration":1,"thumbnail":"https://x/y"}]}]})", false },
        { "duration as text", R"({"sections":[{"title":"A","items":[{"title":"t","subtitle":"s","duration":"1","video":"https://x/v","thumbnail":"https://x/y"}]}]})", false },
        { "top level array", R"([1])", false },
        { "no sections", R"({})", false },
    };
    for (const Case& c : cases) {
        foundation::ErrorPtr error;
        auto lab = LearningLab::decode(foundation::parseJSON(c.JSON), &error);
        EXPECT_EQ(lab.has_value(), c.decodes) << c.name;
        EXPECT_EQ(error == nullptr, c.decodes) << c.name;
    }
    auto lab = *LearningLab::decode(foundation::parseJSON(kFeed));
    EXPECT_EQ(lab.item(0, 0).videoURL.absoluteString(), "https://cdn.example/m.mp4");
    EXPECT_EQ(LearningLab::decode(lab.encode())->item(0, 0).title, "Masks");

    struct Duration {
        double seconds;
        const char* text;
    };
    for (const Duration& d : { Duration { 5, "00:05" }, Duration { 65, "01:05" }, Duration { 3725, "62:05" }, Duration { 0, "00:00" } }) {
        LearningLab::Section::Item item;
        item.duration = d.seconds;
        EXPECT_EQ(item.displayDuration(), d.text) << d.seconds;
    }

    EXPECT_EQ(LearningLabError::fromError(nullptr).errorDescription(), "Tutorials are currently unavailable.\nTry again later.");
    auto offline = LearningLabError::fromError(net::makeURLError(net::NSURLErrorNotConnectedToInternet, "https://x/", "The Internet connection appears to be offline."));
    EXPECT_EQ(offline.kind, LearningLabError::Kind::noInternet);
    EXPECT_EQ(offline.errorDescription(), "Tutorials are currently unavailable.\nThe Internet connection appears to be offline.");
}

TEST_F(ServiceTest, TheTutorialFeedLoadsCachesForAnHourAndDropsFailures)
{
    std::atomic<bool> broken = false;
    m_server.server().Get("/api/learning-lab/macos/1", [&](const httplib::Request&, httplib::Response& res) {
        if (broken) {
            res.set_content("[1,2]", "application/json");
            return;
        }
        res.set_content(kFeed, "application/json");
    });
    makeService();
    LearningLabDataSource::resetCacheForTesting();
    dispatch::Clock::setVirtual(true);

    auto source = LearningLabDataSource::initFor(LearningLabDataSource::Platform::macOS);
    EXPECT_FALSE(source->learningLab());
    std::vector<std::string> events;
    auto token = source->addObserver("loading", {}, [&](const auto&) { events.push_back(source->isLoading() ? "loading" : "idle"); });
    bool done = false;
    source->load([&](const LearningLabDataSource::Result& result) {
        EXPECT_TRUE(std::holds_alternative<LearningLab>(result));
        events.push_back("completion");
        done = true;
    });
    bool secondCalled = false;
    source->load([&](const auto&) { secondCalled = true; }); // dropped: a load is in flight
    ASSERT_TRUE(waitUntil([&] { return done; }));
    EXPECT_FALSE(secondCalled);
    EXPECT_EQ(events, (std::vector<std::string> { "loading", "idle", "completion" }));
    ASSERT_TRUE(source->learningLab());

    // Another platform's source made within the hour starts with the feed.
    dispatch::Clock::advance(3599);
    EXPECT_TRUE(LearningLabDataSource::initFor(LearningLabDataSource::Platform::iOS)->learningLab());
    dispatch::Clock::advance(2);
    EXPECT_FALSE(LearningLabDataSource::initFor(LearningLabDataSource::Platform::iOS)->learningLab());

    broken = true;
    done = false;
    source->load([&](const LearningLabDataSource::Result& result) {
        ASSERT_TRUE(std::holds_alternative<LearningLabError>(result));
        EXPECT_EQ(std::get<LearningLabError>(result).errorDescription(), "Tutorials are currently unavailable.\nTry again later.");
        done = true;
    });
    ASSERT_TRUE(waitUntil([&] { return done; }));
    EXPECT_FALSE(source->learningLab());
    dispatch::Clock::setVirtual(false);
}

TEST(MVRMovaraCache, KeepsCopiesOfGoodAnswersUnderNamesOfTheirOwn)
{
    testsupport::LocalServer server;
    server.server().Get(R"(/(a|b)/clip\.mp4)", [](const httplib::Request& req, httplib::Response& res) {
        res.set_content("movie " + req.path, "video/mp4");
    });
    server.server().Get("/missing.mp4", [](const httplib::Request&, httplib::Response& res) {
        res.status = 404;
        res.set_content("not here", "text/html");
    });
    server.start();
    auto cache = MVRMovaraCache::init();
    auto url = [&](const std::string& path) { return *foundation::URL::URLWithString(server.url(path)); };
    auto store = [&](const foundation::URL& remote) {
        cache->storeMovaraWithURL(remote);
        EXPECT_TRUE(waitUntil([&] { return !cache->isDownloading(remote); }));
    };

    const auto a = url("/a/clip.mp4");
    const auto b = url("/b/clip.mp4");
    EXPECT_EQ(cache->URLForMovaraWithURL(a), a);
    store(a);
    store(b);
    const auto copyA = cache->URLForMovaraWithURL(a);
    const auto copyB = cache->URLForMovaraWithURL(b);
    ASSERT_TRUE(copyA->isFileURL());
    ASSERT_TRUE(copyB->isFileURL());
    EXPECT_NE(*copyA, *copyB);
    EXPECT_EQ(copyA->pathExtension(), "mp4");
    EXPECT_EQ(copyA->URLByDeletingLastPathComponent().path(), MVRMovaraCache::cacheDirectoryURL()->path());
    auto contents = foundation::FileManager::defaultManager().contentsAtPath(copyB->path());
    EXPECT_EQ(std::string(contents->begin(), contents->end()), "movie /b/clip.mp4");

    // An error page is not kept; a file URL is left alone.
    store(url("/missing.mp4"));
    EXPECT_EQ(cache->URLForMovaraWithURL(url("/missing.mp4")), url("/missing.mp4"));
    const auto local = foundation::URL::fileURLWithPath("/tmp/x.mp4");
    EXPECT_EQ(cache->URLForMovaraWithURL(local), local);

    foundation::ErrorPtr error;
    EXPECT_TRUE(cache->removeMovaraForURL(a, &error));
    EXPECT_EQ(cache->URLForMovaraWithURL(a), a);
    EXPECT_FALSE(cache->removeMovaraForURL(a, &error));
    EXPECT_TRUE(error->is(foundation::NSCocoaErrorDomain, 4));
    EXPECT_TRUE(cache->removeMovaraForURL(*copyB, &error));
}

TEST(MVRMovaraCache, TrimsTheLeastRecentlyUsedCopiesPastTheHighWaterMark)
{
    auto cache = MVRMovaraCache::init();
    const auto directory = MVRMovaraCache::cacheDirectoryURL()->path();
    for (const auto& entry : std::filesystem::directory_iterator(directory))
        std::filesystem::remove_all(entry.path());
    // Four files of 8 KiB, read in the order 2, 0, 3, 1 (oldest access first).
    std::vector<std::string> paths;
    for (int i = 0; i < 4; ++i) {
        paths.push_back(directory + "/f" + std::to_string(i));
        std::ofstream(paths.back(), std::ios::binary) << std::string(8192, 'x');
    }
    int order = 0;
    for (int i : { 2, 0, 3, 1 }) {
        struct timespec times[2] = { { 1000 + order, 0 }, { 1000 + order, 0 } };
        ::utimensat(AT_FDCWD, paths[i].c_str(), times, 0);
        ++order;
    }
    const std::int64_t each = [&] { struct stat s {}; ::stat(paths[0].c_str(), &s); return static_cast<std::int64_t>(s.st_blocks) * 512; }();

    cache->setWaterMarksForTesting(4 * each, 3 * each);
    cache->cleanupCachedMovaras(); // exactly at the mark: untouched
    for (const auto& path : paths)
        EXPECT_TRUE(std::filesystem::exists(path)) << path;

    cache->setWaterMarksForTesting(4 * each - 1, 2 * each + 1);
    cache->cleanupCachedMovaras();
    EXPECT_FALSE(std::filesystem::exists(paths[2]));
    EXPECT_FALSE(std::filesystem::exists(paths[0]));
    EXPECT_TRUE(std::filesystem::exists(paths[3]));
    EXPECT_TRUE(std::filesystem::exists(paths[1]));
}

TEST_F(ServiceTest, UploadsCarryTheDisplaySizeAndOneUploadRunsAtATime)
{
    m_server.server().Post("/api/movaras", [](const httplib::Request& req, httplib::Response& res) {
        const auto file = req.get_file_value("movara");
        res.set_content(foundation::toJSON(Value::dictionary({
                            { "link", "https://movara.example/" + req.get_file_value("width").content + "x" + req.get_file_value("height").content },
                            { "embed_code", req.get_file_value("caption").content + "|" + req.get_file_value("type").content + "|"
                                                + std::to_string(file.content.size() > 0) },
                        })),
                        "application/json");
    });
    makeService();

    // A movie turned a quarter: 32 by 24 pixels stored, shown 24 wide and 32 tall.
    testsupport::TempDir dir;
    const auto path = dir / "turned.mov";
    auto writer = MoviePixelBufferDestination::init(foundation::URL::fileURLWithPath(path.string()), media::AVFileTypeQuickTimeMovie);
    movietest::FrameSourceSpec recipe;
    recipe.count = 2;
    recipe.width = 32;
    recipe.height = 24;
    recipe.transform = graphics::AffineTransform::makeRotation(std::numbers::pi / 2);
    ASSERT_EQ(movietest::transcode(movietest::makeFrameSource(recipe), writer), nullptr);

    EXPECT_FALSE(MVRCinemagraphUploader::initWithFileURL(foundation::URL::fileURLWithPath((dir / "none.mov").string())));
    auto uploader = MVRCinemagraphUploader::initWithFileURL(foundation::URL::fileURLWithPath(path.string()));
    ASSERT_TRUE(uploader);
    EXPECT_EQ(uploader->width(), 24u);
    EXPECT_EQ(uploader->height(), 32u);
    EXPECT_TRUE(uploader->parameters()["caption"].isNull());

    std::shared_ptr<MVRAPICinemagraph> uploaded;
    bool done = false;
    auto progress = uploader->uploadWithCompletionHandler([&](const auto& cinemagraph, const foundation::ErrorPtr& error) {
        EXPECT_FALSE(error);
        EXPECT_FALSE(uploader->uploadCommand());
        uploaded = cinemagraph;
        done = true;
    });
    ASSERT_TRUE(progress);
    bool secondCalled = false;
    EXPECT_FALSE(uploader->uploadWithCompletionHandler([&](const auto&, const auto&) { secondCalled = true; }));
    ASSERT_TRUE(waitUntil([&] { return done; }));
    EXPECT_FALSE(secondCalled);
    ASSERT_TRUE(uploaded);
    EXPECT_EQ(uploaded->link(), "https://movara.example/24x32");
    EXPECT_EQ(uploaded->embedCode(), "|mp4|1");
    EXPECT_TRUE(waitUntil([&] { return progress->fractionCompleted() == 1.0; }));
    // Idle as soon as the upload has finished, whatever the transfer threads still hold.
    EXPECT_FALSE(uploader->uploadCommand());
}

// A retry made from the handler of a failed upload starts at once; it must not be refused
// because the finished command has not been let go yet.
TEST_F(ServiceTest, AnUploadRetriedFromItsHandlerStarts)
{
    auto attempts = std::make_shared<std::atomic<int>>(0);
    m_server.server().Post("/api/movaras", [attempts](const httplib::Request&, httplib::Response& res) {
        if (++*attempts == 1) {
            res.status = 500;
            res.set_content("{\"error_code\":6}", "application/json");
            return;
        }
        res.set_content("{\"link\":\"https://movara.example/ok\"}", "application/json");
    });
    makeService();
    testsupport::TempDir dir;
    const auto path = dir.write("still.mov", "not a movie");
    auto uploader = MVRCinemagraphUploader::initWithFileURL(foundation::URL::fileURLWithPath(path.string()));
    ASSERT_TRUE(uploader);

    foundation::ErrorPtr firstError;
    foundation::ProgressPtr retry;
    std::shared_ptr<MVRAPICinemagraph> uploaded;
    bool retried = false;
    ASSERT_TRUE(uploader->uploadWithCompletionHandler([&](const auto&, const foundation::ErrorPtr& error) {
        firstError = error;
        retry = uploader->uploadWithCompletionHandler([&](const auto& cinemagraph, const foundation::ErrorPtr& retryError) {
            EXPECT_FALSE(retryError);
            uploaded = cinemagraph;
            retried = true;
        });
    }));
    ASSERT_TRUE(waitUntil([&] { return firstError != nullptr; }));
    ASSERT_TRUE(retry);
    ASSERT_TRUE(waitUntil([&] { return retried; }));
    ASSERT_TRUE(uploaded);
    EXPECT_EQ(uploaded->link(), "https://movara.example/ok");
    EXPECT_EQ(attempts->load(), 2);
}
