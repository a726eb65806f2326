#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <vector>

#include "Platform/Foundation/FileManager.h"
#include "Platform/Media/VideoSettings.h"
#include "Platform/UI/ScriptedResponder.h"
#include "Platform/UI/Workspace.h"
#include "Quintor/ExportSettingsController.h"
#include "Tests/Quintor/MainWindowTestSupport.h"

using mainwindowtest::greyPhoto;
using mainwindowtest::readMovie;

namespace {

// Grey levels far enough apart to survive any of the codecs.
const std::vector<int> kGreys = { 30, 80, 130, 180, 230 };

struct ExportTest : ::testing::Test {
    testsupport::TempDir dir;
    mainwindowtest::Harness h;

    void SetUp() override
    {
        std::vector<foundation::URL> urls;
        for (size_t i = 0; i < kGreys.size(); ++i)
            urls.push_back(greyPhoto(dir / ("IMG_" + std::to_string(i + 1) + ".jpg"), kGreys[i], static_cast<int>(i)));
        h.add(urls);
        h.model->setFps(10.0);
        ui::Workspace::shared().setRecordsOnly(true);
        ui::Workspace::shared().clearRecordedCalls();
    }
    // Runs an export to completion and returns its error.
    foundation::ErrorPtr exportTo(const std::filesystem::path& path, const std::string& codec,
                                  media::Time frameDuration = media::Time::invalid(), double scale = 1.0)
    {
        std::optional<foundation::ErrorPtr> result;
        h.controller->exportMovie(foundation::URL::fileURLWithPath(path.string()), codec, scale, frameDuration,
                                  [&](foundation::ErrorPtr error) { result = error; });
        EXPECT_TRUE(dispatch::RunLoop::main().runUntil([&] { return result.has_value(); }, 60));
        EXPECT_FALSE(h.controller->isExporting());
        EXPECT_EQ(h.content(), h.controller->editView());
        return result.value_or(foundation::Error::make("test", 1, "timed out"));
    }
    static bool ascending(const std::vector<int>& greys)
    {
        return std::is_sorted(greys.begin(), greys.end()) && greys.front() < greys.back();
    }
};

struct Format {
    std::string codec;
    std::string extension;
    std::string codecName;
    std::string codecTag;
    bool quickTime;
};

const std::vector<Format> kFormats = {
    { media::AVVideoCodecTypeH264, "mp4", "h264", "avc1", false },
    { media::AVVideoCodecTypeHEVC, "mp4", "hevc", "hvc1", false },
    { media::AVVideoCodecTypeAppleProRes422, "mov", "prores", "apcn", true },
    { media::AVVideoCodecTypeAppleProRes4444, "mov", "prores", "ap4h", true },
};

TEST(ExportTrimmedRange, KeepsTheImagesThePreviewPlaysInTheRange)
{
    const std::vector<std::tuple<long, double, double, long, long>> cases = {
        { 100, 0.0, 1.0, 0, 100 },
        { 100, 0.2, 0.8, 20, 80 }, // 0.8 x 100 is 80.00000000000001: still frame 79 last
        { 10, 0.25, 0.75, 2, 8 },  // half frames at both ends show
        { 5, 0.25, 0.25, 1, 2 },   // an empty range rests on the frame it falls in
        { 5, 1.0, 1.0, 5, 5 },
        { 5, 0.0, 0.0, 0, 0 },
        { 0, 0.0, 1.0, 0, 0 },
        { 5, 0.8, 0.2, 4, 4 },     // crossed ends keep nothing
    };
    for (const auto& [n, start, end, first, last] : cases) {
        const auto range = MainWindowController::trimmedRange(n, start, end);
        EXPECT_EQ(range.first, first) << n << " " << start << "..." << end;
        EXPECT_EQ(range.second, last) << n << " " << start << "..." << end;
    }
}

TEST_F(ExportTest, OnePassWritesTheChosenCodecInItsContainerAtTheSequenceRate)
{
    for (const auto& format : kFormats) {
        const auto path = dir / ("one." + format.extension);
        ASSERT_FALSE(exportTo(path, format.codec)) << format.codec;
        const auto movie = readMovie(path);
        EXPECT_EQ(movie.codec, format.codecName) << format.codec;
        EXPECT_EQ(movie.codecTag, format.codecTag) << format.codec;
        EXPECT_EQ(movie.isQuickTime(), format.quickTime) << format.codec << " brand " << movie.brand;
        EXPECT_EQ(movie.frameRate, "10/1") << format.codec;
        ASSERT_EQ(movie.greys.size(), kGreys.size()) << format.codec;
        for (size_t i = 0; i < kGreys.size(); ++i)
            EXPECT_NEAR(movie.greys[i], kGreys[i], 12) << format.codec << " frame " << i;
    }
}

TEST_F(ExportTest, TwoPassesReTimeToTheFixedRateInTheChosenFormat)
{
    // The intermediate lives in the job's own folder, which goes with the job.
    const auto temporary = foundation::FileManager::defaultManager().temporaryDirectory().path();
    auto entries = [&] {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(temporary))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    };
    const auto temporaryBefore = entries();
    for (const auto& format : kFormats) {
        const auto path = dir / ("two." + format.extension);
        ASSERT_FALSE(exportTo(path, format.codec, media::Time::make(25, 600))) << format.codec;
        EXPECT_EQ(entries(), temporaryBefore) << format.codec;
        const auto movie = readMovie(path);
        EXPECT_EQ(movie.codec, format.codecName) << format.codec;
        EXPECT_EQ(movie.codecTag, format.codecTag) << format.codec;
        EXPECT_EQ(movie.isQuickTime(), format.quickTime) << format.codec;
        EXPECT_EQ(movie.frameRate, "24/1") << format.codec;
        // Five images at 10 fps last 0.5 s: twelve frames at 24 fps, each image repeated.
        EXPECT_EQ(movie.greys.size(), 12u) << format.codec;
        ASSERT_FALSE(movie.greys.empty());
        EXPECT_TRUE(ascending(movie.greys)) << format.codec;
        EXPECT_NEAR(movie.greys.front(), kGreys.front(), 12);
        EXPECT_NEAR(movie.greys.back(), kGreys.back(), 12);
    }
}

TEST_F(ExportTest, TheScaleTheSettingsAnnounceIsAppliedInBothPasses)
{
    for (const bool twoPasses : { false, true }) {
        const auto path = dir / (twoPasses ? "half2.mp4" : "half1.mp4");
        ASSERT_FALSE(exportTo(path, media::AVVideoCodecTypeH264, twoPasses ? media::Time::make(25, 600) : media::Time::invalid(), 0.5));
        const auto movie = readMovie(path);
        EXPECT_EQ(movie.width, 32) << twoPasses;
        EXPECT_EQ(movie.height, 24) << twoPasses;
    }
}

TEST_F(ExportTest, ReversedAndTrimmedExportsPlayTheTrimmedFramesBackwards)
{
    h.controller->setTrimRange(0.25, 0.75);
    h.controller->togglePlayDirection(nullptr);
    ASSERT_FALSE(exportTo(dir / "reversed.mov", media::AVVideoCodecTypeAppleProRes422));
    const auto movie = readMovie(dir / "reversed.mov");
    ASSERT_EQ(movie.greys.size(), 3u);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_NEAR(movie.greys[i], kGreys[3 - i], 12) << i;

    // The same through a second pass at 30 fps: 0.3 s, nine frames, newest first.
    ASSERT_FALSE(exportTo(dir / "reversed.mp4", media::AVVideoCodecTypeH264, media::Time::make(20, 600)));
    const auto retimed = readMovie(dir / "reversed.mp4");
    EXPECT_EQ(retimed.greys.size(), 9u);
    ASSERT_FALSE(retimed.greys.empty());
    EXPECT_NEAR(retimed.greys.front(), kGreys[3], 12);
    EXPECT_NEAR(retimed.greys.back(), kGreys[1], 12);
}

TEST_F(ExportTest, AFailedOrCancelledExportKeepsTheFileThatWasThere)
{
    const auto path = dir / "kept.mp4";
    fixtures::writeFile(path, { 'o', 'l', 'd' });

    // An image that no longer decodes stops the export with an error.
    fixtures::writeFile(dir / "IMG_3.jpg", { 0xFF, 0xD8, 0xFF, 0x00, 0x01 });
    const auto error = exportTo(path, media::AVVideoCodecTypeH264);
    ASSERT_TRUE(error);
    EXPECT_FALSE(error->isUserCancelled());
    EXPECT_EQ(fixtures::readFile(path), (std::vector<uint8_t> { 'o', 'l', 'd' }));

    // Nothing in the trim range is refused before anything is written.
    h.controller->setTrimRange(1.0, 1.0);
    EXPECT_TRUE(exportTo(path, media::AVVideoCodecTypeH264));
    EXPECT_EQ(fixtures::readFile(path), (std::vector<uint8_t> { 'o', 'l', 'd' }));
}

TEST_F(ExportTest, CancelEndsTheJobWithTheUserCancelledError)
{
    const auto path = dir / "cancelled.mov";
    std::optional<foundation::ErrorPtr> result;
    h.controller->exportMovie(foundation::URL::fileURLWithPath(path.string()), media::AVVideoCodecTypeAppleProRes4444, 1.0,
                              media::Time::make(25, 600), [&](foundation::ErrorPtr error) { result = error; });
    auto target = h.controller->cancelButton()->target();
    ASSERT_TRUE(target);
    target->performAction(h.controller->cancelButton()->action(), nullptr);
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return result.has_value(); }, 60));
    ASSERT_TRUE(*result);
    EXPECT_TRUE((*result)->isUserCancelled());
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(h.content(), h.controller->editView());
}

TEST_F(ExportTest, TheExportCommandAsksForSettingsAndALocationThenNotifies)
{
    std::vector<std::pair<std::string, std::string>> notes;
    h.controller->setNotificationHandler(
        [&](const std::string& title, const std::string& info, const foundation::URL&) { notes.emplace_back(title, info); });
    auto responder = ui::ScriptedResponder::make();
    const auto path = dir / "Trip.mp4";
    responder->answerSavePanel(foundation::URL::fileURLWithPath(path.string()));
    ui::ScriptedResponder::install(responder);

    h.controller->exportCommand(nullptr);
    auto settings = h.controller->exportSettingsController();
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return settings->sheetIsVisble(); }, 5));
    settings->setFpsTag(ExportSettingsController::FpsTag::fps24);
    settings->ok(nullptr);
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return h.controller->isExporting(); }, 5));
    for (const char* action : { "export:", "exportToStillara:", "changeSort:", "removeAllItems:" }) {
        auto item = ui::MenuItem::initWithTitle("?", action);
        EXPECT_FALSE(h.controller->validateMenuItem(*item)) << action;
    }
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return !notes.empty(); }, 60));
    ui::ScriptedResponder::uninstall();

    EXPECT_EQ(notes[0].first, "Export Complete");
    EXPECT_EQ(notes[0].second, "Your timelapse has been exported to Trip.mp4");
    const auto transcript = responder->transcript();
    auto panel = std::find_if(transcript.begin(), transcript.end(),
                              [](const auto& r) { return r.kind == ui::ScriptedResponder::Kind::savePanel; });
    ASSERT_NE(panel, transcript.end());
    EXPECT_EQ(panel->nameFieldStringValue, "IMG_1.mp4");
    const auto movie = readMovie(path);
    EXPECT_EQ(movie.codec, "h264");
    EXPECT_EQ(movie.frameRate, "24/1");
}

TEST_F(ExportTest, TheHandOffOpensTheProductPageWithoutTheSiblingAndTheMovieWithIt)
{
    auto& workspace = ui::Workspace::shared();
    h.controller->exportToStillara(nullptr);
    auto calls = workspace.recordedCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].operation, "openURL");
    EXPECT_FALSE(h.controller->isExporting());

    workspace.registerApplication(MVRStillaraApplicationName, "/opt/stillara/stillara");
    workspace.clearRecordedCalls();
    h.controller->exportToStillara(nullptr);
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return !workspace.recordedCalls().empty(); }, 60));
    calls = workspace.recordedCalls();
    EXPECT_EQ(calls[0].operation, "openFile");
    ASSERT_FALSE(calls[0].arguments.empty());
    EXPECT_EQ(std::filesystem::path(calls[0].arguments[0]).filename(), "IMG_1.mov");
    const auto movie = readMovie(calls[0].arguments[0]);
    EXPECT_TRUE(movie.isQuickTime());
    EXPECT_EQ(movie.greys.size(), kGreys.size());
}

} // namespace
