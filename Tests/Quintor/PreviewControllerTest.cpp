// The preview: rebuilding the movie on the model's announcements (with cancel, failure and
// changes that arrive meanwhile) and playing it within the trim range on virtual time.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "Platform/Dispatch/Clock.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/Foundation/UndoManager.h"
#include "Platform/Graphics/Image.h"
#include "Platform/Images/ImageDestination.h"
#include "Platform/Images/UTType.h"
#include "Platform/Media/AssetWriter.h"
#include "Platform/Media/AssetWriterInputPixelBufferAdaptor.h"
#include "Platform/Media/VideoSettings.h"
#include "Platform/UI/Application.h"
#include "Quintor/PreviewController.h"
#include "Tests/Support/TempDir.h"

using foundation::URL;
using media::Time;

namespace {

// The main window's progress display as the preview uses it.
struct FakeDisplay : PreviewProgressDisplay {
    std::vector<std::string> calls;
    std::shared_ptr<ui::Object> cancelTarget;
    std::string cancelAction;
    std::vector<foundation::ErrorPtr> errors;

    void showProgress(const std::string& message, const std::shared_ptr<ui::Object>& target,
                      const std::string& action) override
    {
        calls.push_back("show " + message);
        cancelTarget = target;
        cancelAction = action;
    }
    void progressDidAdvance(double) override { }
    void leaveProgress() override { calls.push_back("leave"); }
    void presentError(const foundation::ErrorPtr& error) override { errors.push_back(error); }

    // The user presses the cancel button.
    void pressCancel() const { cancelTarget->performAction(cancelAction, nullptr); }
};

Time ms(int64_t milliseconds)
{
    return Time::make(milliseconds, 1000);
}

class PreviewControllerTest : public ::testing::Test {
protected:
    testsupport::TempDir dir;
    ModelPtr model = Model::init();
    std::shared_ptr<foundation::UndoManager> undo = foundation::UndoManager::init();
    std::shared_ptr<FakeDisplay> display = std::make_shared<FakeDisplay>();
    std::shared_ptr<ui::PlayerView> view = ui::PlayerView::initWithFrame(graphics::Rect::make(0, 0, 64, 48));
    std::shared_ptr<PreviewController> preview = PreviewController::init();
    std::vector<std::string> posted;
    std::vector<double> positions;
    std::vector<foundation::NotificationCenter::Token> tokens;

    void SetUp() override
    {
        dispatch::RunLoop::main().bindToCurrentThread();
        ui::Application::shared()->activateIgnoringOtherApps();
        model->setUndoManagerProvider([u = undo] { return u; });
        preview->setModel(model);
        preview->setMainWindowController(display);
        preview->setPlayerView(view);
        preview->viewDidLoad();
        auto& center = foundation::NotificationCenter::defaultCenter();
        for (const std::string* name : {&MVRPreviewCreatedNotification, &MVRImageSequenceCleared, &MVRImageSequenceChanged})
            tokens.push_back(center.addObserver(*name, nullptr, nullptr,
                                                [this](const foundation::Notification& n) { posted.push_back(n.name); }));
        tokens.push_back(center.addObserver(MVRPlayPositionChanged, nullptr, nullptr, [this](const foundation::Notification& n) {
            positions.push_back(MVRPlayPosition(n).value_or(-1));
        }));
    }
    void TearDown() override
    {
        if (dispatch::Clock::isVirtual())
            dispatch::Clock::setVirtual(false);
        preview->removePlayer();
        tokens.clear();
        while (dispatch::RunLoop::main().runOnce(0)) { }
    }

    // A 64x48 JPEG of noise around `grey`, modified `mtime` seconds after 2023-11-14.
    URL jpeg(const std::string& name, int grey, double mtime, bool truncated = false)
    {
        const auto path = dir / name;
        std::mt19937 random(static_cast<unsigned>(grey));
        std::vector<uint8_t> pixels(64 * 48);
        for (auto& p : pixels)
            p = static_cast<uint8_t>(std::clamp(grey + static_cast<int>(random() % 41) - 20, 0, 255));
        auto image = graphics::Image::create(64, 48, 8, 8, 64, graphics::ColorSpace::createDeviceGray(), {}, pixels);
        auto destination = images::ImageDestination::createWithPath(path.string(), images::kUTTypeJPEG, 1);
        destination->addImage(image);
        EXPECT_TRUE(destination->finalize());
        if (truncated)
            std::filesystem::resize_file(path, std::filesystem::file_size(path) * 2 / 3);
        const double when = 1.7e9 + mtime;
        const timespec times[2] = {{static_cast<time_t>(when), static_cast<long>(std::fmod(when, 1.0) * 1e9)},
                                   {static_cast<time_t>(when), static_cast<long>(std::fmod(when, 1.0) * 1e9)}};
        EXPECT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
        return URL::fileURLWithPath(path.string());
    }
    std::vector<URL> photos(const std::string& prefix, int count, double firstTime = 0)
    {
        std::vector<URL> urls;
        for (int i = 0; i < count; ++i)
            urls.push_back(jpeg(prefix + std::to_string(i) + ".jpg", 40 + 30 * i, firstTime + 0.5 * i));
        return urls;
    }

    static bool runUntil(const std::function<bool()>& predicate)
    {
        return dispatch::RunLoop::main().runUntil(predicate, 30.0);
    }

    // Adds as the application delegate does and waits until the model has announced it.
    void add(const std::vector<URL>& urls)
    {
        foundation::ErrorPtr error;
        ASSERT_TRUE(model->addImages(urls, &error)) << (error ? error->localizedDescription() : "");
        const size_t before = posted.size();
        ASSERT_TRUE(runUntil([&] { return posted.size() > before; }));
    }
    void waitForRebuilds()
    {
        ASSERT_TRUE(runUntil([&] { return !preview->isCreatingPreview(); }));
        while (dispatch::RunLoop::main().runOnce(0)) { }
    }
    void waitForReadyPlayer()
    {
        ASSERT_TRUE(runUntil([&] {
            auto p = view->player();
            return p && p->currentItem()->status() != media::PlayerItemStatus::unknown;
        }));
        while (dispatch::RunLoop::main().runOnce(0)) { }
    }
    std::vector<std::string> names(const std::vector<MVRImageSourcePtr>& list) const
    {
        std::vector<std::string> out;
        for (const auto& s : list)
            out.push_back(s->fileURL().lastPathComponent());
        return out;
    }
    Time previewDuration() const { return view->player()->currentItem()->duration(); }
    size_t count(const std::string& name) const { return static_cast<size_t>(std::count(posted.begin(), posted.end(), name)); }
};

TEST_F(PreviewControllerTest, AdditionBuildsThePreviewPlaysItAndLeavesAnAddItemsUndo)
{
    add(photos("a", 3));
    EXPECT_TRUE(preview->isCreatingPreview());
    EXPECT_EQ(display->calls, std::vector<std::string>{"show Creating preview"});
    waitForRebuilds();
    waitForReadyPlayer();

    EXPECT_EQ(display->calls, (std::vector<std::string>{"show Creating preview", "leave"}));
    EXPECT_EQ(count(MVRPreviewCreatedNotification), 1u);
    EXPECT_TRUE(std::filesystem::exists(preview->previewURL().path()));
    EXPECT_FALSE(std::filesystem::exists(preview->temporaryPreviewURL().path()));
    EXPECT_EQ(previewDuration(), Time::make(3, 30));
    // Photos half a second apart: 2 frames per second, set without an "FPS Change" entry.
    EXPECT_DOUBLE_EQ(model->fps(), 2.0);
    EXPECT_TRUE(preview->isObservingPlayer());
    EXPECT_FLOAT_EQ(view->player()->rate(), 2.0f / 30.0f);
    EXPECT_TRUE(model->previousImageSources().empty());

    EXPECT_EQ(undo->undoActionName(), "Add Items");
    undo->undo();
    EXPECT_TRUE(model->imageSources().empty());
    EXPECT_EQ(count(MVRImageSequenceCleared), 1u);
    EXPECT_FALSE(undo->canUndo());
}

TEST_F(PreviewControllerTest, AChangeDuringARebuildIsBuiltNextAndEachAdditionUndoesToItsOwnList)
{
    add(photos("a", 2));
    ASSERT_TRUE(preview->isCreatingPreview());
    add({jpeg("b.jpg", 200, 5)});
    waitForRebuilds();
    waitForReadyPlayer();

    EXPECT_EQ(names(model->imageSources()), (std::vector<std::string>{"a0.jpg", "a1.jpg", "b.jpg"}));
    EXPECT_EQ(previewDuration(), Time::make(3, 30)); // the preview shows all three
    EXPECT_EQ(count(MVRPreviewCreatedNotification), 2u);

    undo->undo();
    EXPECT_EQ(names(model->imageSources()), (std::vector<std::string>{"a0.jpg", "a1.jpg"}));
    waitForRebuilds();
    undo->undo();
    EXPECT_TRUE(model->imageSources().empty());
    EXPECT_FALSE(undo->canUndo());
    // Undo and redo bring their own inverses; the rebuild they cause adds no "Add Items".
    undo->redo();
    waitForRebuilds();
    EXPECT_EQ(model->imageSources().size(), 2u);
    EXPECT_FALSE(undo->canRedo() && undo->redoActionName() != "Add Items");
}

TEST_F(PreviewControllerTest, CancellingPutsBackThePreviewedListAndOrderAndResumesTheOldPreview)
{
    add({jpeg("b.jpg", 60, 0), jpeg("a.jpg", 120, 9), jpeg("c.jpg", 180, 3)});
    waitForRebuilds();
    waitForReadyPlayer();
    auto oldPlayer = view->player();
    const auto previewed = names(model->imageSources());
    ASSERT_EQ(previewed, (std::vector<std::string>{"a.jpg", "b.jpg", "c.jpg"}));
    posted.clear();

    struct Case {
        const char* name;
        std::function<void()> change;
    };
    const Case cases[] = {
        {"addition", [&] { add({jpeg("d.jpg", 90, 20)}); }},
        {"re-sort by date", [&] {
             // What the main window's sort command does.
             model->setPreviousImageSources(model->imageSources());
             model->setPreviousSortItemTag(model->sortItemTag());
             model->setSortItemTag(Model::SortTag::byDate);
             model->sortImageSources(true);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.change();
        ASSERT_TRUE(preview->isCreatingPreview());
        display->pressCancel();
        waitForRebuilds();
        EXPECT_EQ(names(model->imageSources()), previewed);
        EXPECT_EQ(model->sortItemTag(), Model::SortTag::byName);
        EXPECT_TRUE(model->previousImageSources().empty());
        EXPECT_EQ(view->player(), oldPlayer);
        EXPECT_TRUE(preview->isObservingPlayer());
        EXPECT_NE(view->player()->rate(), 0.0f);
        EXPECT_EQ(count(MVRPreviewCreatedNotification), 0u);
        EXPECT_TRUE(display->errors.empty());
    }
    EXPECT_EQ(undo->undoActionName(), "Add Items"); // still the first addition's
}

TEST_F(PreviewControllerTest, AFailedRebuildRestoresThePreviousListAndReportsTheError)
{
    // On an empty sequence: the list empties again and the window hears of it.
    add({jpeg("g0.jpg", 80, 0), jpeg("g1.jpg", 90, 1, /*truncated*/ true)});
    waitForRebuilds();
    ASSERT_EQ(display->errors.size(), 1u);
    EXPECT_NE(display->errors[0]->localizedDescription().find("g1.jpg"), std::string::npos);
    EXPECT_TRUE(model->imageSources().empty());
    EXPECT_EQ(count(MVRImageSequenceCleared), 1u);
    EXPECT_FALSE(view->player());
    EXPECT_FALSE(undo->canUndo());

    // On top of a working preview: the previewed list comes back and keeps playing.
    add(photos("a", 2));
    waitForRebuilds();
    waitForReadyPlayer();
    auto player = view->player();
    add({jpeg("broken.jpg", 70, 30, true)});
    waitForRebuilds();
    ASSERT_EQ(display->errors.size(), 2u);
    EXPECT_EQ(names(model->imageSources()), (std::vector<std::string>{"a0.jpg", "a1.jpg"}));
    EXPECT_EQ(count(MVRImageSequenceCleared), 1u);
    EXPECT_EQ(view->player(), player);
    EXPECT_TRUE(preview->isObservingPlayer());
    EXPECT_EQ(display->calls.back(), "leave");
}

TEST_F(PreviewControllerTest, RequestsWithoutImagesBuildNothingAndEstimatesAreRounded)
{
    foundation::NotificationCenter::defaultCenter().post(MVRRegeneratePreviewNotification);
    EXPECT_FALSE(preview->isCreatingPreview());
    EXPECT_TRUE(display->calls.empty());

    // An estimate of 29.97002997 becomes 29.97, with no undo entry.
    foundation::NotificationCenter::defaultCenter().post(MVRImageSequenceChanged, std::make_shared<double>(29.97002997));
    EXPECT_DOUBLE_EQ(model->fps(), 29.97);
    EXPECT_FALSE(undo->canUndo());
}

TEST_F(PreviewControllerTest, RemovingThePlayerDuringARebuildCancelsIt)
{
    add(photos("a", 2));
    ASSERT_TRUE(preview->isCreatingPreview());
    preview->removePlayer();
    model->setImageSources({});
    waitForRebuilds();
    EXPECT_FALSE(view->player());
    EXPECT_TRUE(model->imageSources().empty());
    EXPECT_EQ(preview->duration(), 0.0);
}

// ---- playback ------------------------------------------------------------------------------

// Thirty frames of 1/30 s: a one-second preview of thirty images.
class PreviewPlaybackTest : public PreviewControllerTest {
protected:
    static void SetUpTestSuite()
    {
        s_dir = std::make_unique<testsupport::TempDir>();
        using namespace media;
        s_movie = *s_dir / "thirty.mov";
        auto writer = AssetWriter::assetWriterWithURL(URL::fileURLWithPath(s_movie.string()), AVFileTypeQuickTimeMovie);
        auto input = AssetWriterInput::assetWriterInputWithMediaType(
            AVMediaTypeVideo, foundation::Value::dictionary({{AVVideoCodecKey, AVVideoCodecTypeH264},
                                                             {AVVideoWidthKey, 64},
                                                             {AVVideoHeightKey, 48}}));
        auto adaptor = AssetWriterInputPixelBufferAdaptor::assetWriterInputPixelBufferAdaptorWithAssetWriterInput(
            input, foundation::Value::dictionary({{kCVPixelBufferPixelFormatTypeKey, static_cast<int64_t>(PixelFormatType_32BGRA)}}));
        writer->addInput(input);
        ASSERT_TRUE(writer->startWriting());
        writer->startSessionAtSourceTime(Time::zero());
        for (int i = 0; i < 30; ++i)
            ASSERT_TRUE(adaptor->appendPixelBuffer(PixelBuffer::create(64, 48, PixelFormatType_32BGRA), Time::make(i, 30)));
        input->markAsFinished();
        std::promise<void> done;
        writer->finishWritingWithCompletionHandler([&] { done.set_value(); });
        ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
    }
    static void TearDownTestSuite() { s_dir.reset(); }

    void SetUp() override
    {
        PreviewControllerTest::SetUp();
        auto source = MVRImageSource::initWithFileURL(jpeg("one.jpg", 100, 0));
        model->setImageSources(std::vector<MVRImageSourcePtr>(30, source));
        view->setPlayer(media::Player::playerWithURL(URL::fileURLWithPath(s_movie.string())));
        waitForReadyPlayer();
        dispatch::Clock::setVirtual(true);
        preview->startObservingPlayer();
        preview->updatePreviewSpeed(nullptr);
    }

    // Lets what is queued run first, so that it sees the present time. The extra nanosecond
    // absorbs the clock's double rounding; positions are far coarser.
    static void advance(double seconds)
    {
        while (dispatch::RunLoop::main().runOnce(0)) { }
        dispatch::Clock::advance(seconds + 1e-9);
        while (dispatch::RunLoop::main().runOnce(0)) { }
    }
    Time now() const { return view->player()->currentTime(); }

    static std::unique_ptr<testsupport::TempDir> s_dir;
    static std::filesystem::path s_movie;
};

std::unique_ptr<testsupport::TempDir> PreviewPlaybackTest::s_dir;
std::filesystem::path PreviewPlaybackTest::s_movie;

TEST_F(PreviewPlaybackTest, LoopsWithinTheTrimRangeInEitherDirection)
{
    preview->setStartKnobValue(0.25);
    preview->setEndKnobValue(0.75);
    model->setFps(30.0);
    preview->play();
    advance(0);
    EXPECT_EQ(now(), ms(250)); // a start before the range jumps to its start

    advance(0.45);
    EXPECT_EQ(now(), ms(700));
    advance(0.1); // the call at 0.8 s, the first at or after the trim end, seeks back
    EXPECT_EQ(now(), ms(250));

    preview->setPlayerDirection(PlayerDirection::reverse);
    preview->updatePlayerRate();
    EXPECT_EQ(view->player()->rate(), -1.0f);
    advance(0.1);
    EXPECT_EQ(now(), ms(700)); // the call at 0.2 s went to the end of the range
    advance(0.3);
    EXPECT_EQ(now(), ms(400));
}

TEST_F(PreviewPlaybackTest, AtTheEndOfTheMovieTheLoopStartsAgainFromTheTrimStart)
{
    preview->setStartKnobValue(0.5);
    preview->setEndKnobValue(1.0);
    view->player()->pause();
    advance(0);
    view->player()->seekToTime(ms(900), Time::zero(), Time::zero());
    advance(0);
    preview->play();
    advance(0.15);
    EXPECT_GE(now(), ms(500));
    EXPECT_LE(now(), ms(600));
    EXPECT_NE(view->player()->rate(), 0.0f);
}

TEST_F(PreviewPlaybackTest, PausedSeeksReportThePositionButNeverJumpOrStart)
{
    preview->setStartKnobValue(0.5);
    view->player()->pause();
    advance(0);
    positions.clear();
    preview->seek(0.2);
    advance(0.5);
    EXPECT_EQ(positions, std::vector<double>{0.2});
    EXPECT_EQ(now(), ms(200));
    EXPECT_EQ(view->player()->rate(), 0.0f);
}

TEST_F(PreviewPlaybackTest, RatesAndDurationsFollowTheFrameRate)
{
    struct Case {
        double fps;
        PlayerDirection direction;
        double start, end;
        float rate;
        double duration;
    };
    const Case cases[] = {
        {15, PlayerDirection::forward, 0, 1, 0.5f, 2.0},
        {15, PlayerDirection::reverse, 0, 1, -0.5f, 2.0},
        {24, PlayerDirection::forward, 0, 1, 0.8f, 1.25},
        {60, PlayerDirection::forward, 0.2, 0.6, 2.0f, 0.2},
    };
    for (const auto& c : cases) {
        preview->setPlayerDirection(c.direction);
        preview->setStartKnobValue(c.start);
        preview->setEndKnobValue(c.end);
        model->setFps(c.fps); // the model's announcement re-times the preview
        EXPECT_FLOAT_EQ(view->player()->rate(), c.rate) << c.fps;
        EXPECT_NEAR(preview->duration(), c.duration, 1e-9) << c.fps;
    }

    // A direction change while paused starts playback in the new direction.
    view->player()->pause();
    preview->setPlayerDirection(PlayerDirection::forward);
    preview->updatePlayerRate();
    EXPECT_FLOAT_EQ(view->player()->rate(), 2.0f);
}

TEST_F(PreviewPlaybackTest, EnteredDurationsBecomeFrameRatesBetween1And240)
{
    struct Case {
        double entered;
        double fps;
        double duration;
    };
    // Thirty preview frames in the full range.
    const Case cases[] = {{0, 30, 1}, {-3, 30, 1}, {0.5, 60, 0.5}, {0.05, 240, 0.125}, {60, 1, 30}, {2, 15, 2}};
    for (const auto& c : cases) {
        preview->setDuration(c.entered);
        preview->updateDuration(nullptr);
        EXPECT_DOUBLE_EQ(model->fps(), c.fps) << c.entered;
        EXPECT_NEAR(preview->duration(), c.duration, 1e-9) << c.entered;
    }
}

TEST_F(PreviewPlaybackTest, InactiveApplicationKeepsThePreviewPaused)
{
    ui::Application::shared()->deactivate();
    preview->setStartKnobValue(0.5);
    view->player()->setRate(0.5f); // differs from the signed rate: the observer corrects and pauses
    advance(0.2);
    EXPECT_EQ(view->player()->rate(), 0.0f);
    ui::Application::shared()->activateIgnoringOtherApps();
}

TEST_F(PreviewPlaybackTest, TogglingAndRemovingThePlayer)
{
    ASSERT_NE(view->player()->rate(), 0.0f);
    preview->togglePlayPause();
    EXPECT_EQ(view->player()->rate(), 0.0f);
    preview->togglePlayPause();
    EXPECT_EQ(view->player()->rate(), 1.0f);

    auto old = view->player();
    preview->removePlayer();
    EXPECT_FALSE(view->player());
    EXPECT_EQ(preview->duration(), 0.0);
    EXPECT_FALSE(preview->isObservingPlayer());
    positions.clear();
    old->play();
    advance(0.5);
    EXPECT_TRUE(positions.empty()); // nothing of the old player is observed any more

    preview->togglePlayPause(); // without a player: nothing happens
    preview->play();
    preview->updatePlayerRate();
    EXPECT_FALSE(view->player());
}

} // namespace
