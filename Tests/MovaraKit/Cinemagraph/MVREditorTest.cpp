#include "MovaraKit/Cinemagraph/MVREditor.h"

#include <gtest/gtest.h>

#include <cmath>

#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Tests/MovaraKit/Media/MovieTestSupport.h"
#include "Tests/Support/TempDir.h"

namespace {

class MVREditorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto path = dir.path() / "thirty.mp4";
        ASSERT_TRUE(movietest::run("ffmpeg -loglevel error -y -f lavfi -i testsrc=size=16x16:rate=30 -t 5 -c:v libx264 "
                                   "-pix_fmt yuv420p '" + path.string() + "'"));
        source = media::Asset::assetWithURL(foundation::URL::fileURLWithPath(path.string()));
        editor = MVREditor::init();
        undo->setGroupsByEvent(false);
        token = foundation::NotificationCenter::defaultCenter().addObserver(MVREditorDidChangeNotification, editor.get(), nullptr,
                                                                            [this](const foundation::Notification&) { ++posts; });
    }
    // Lets the run loop turn, so a scheduled rebuild happens.
    void turn()
    {
        dispatch::RunLoop::main().runUntil([this] { return !editor->needsGenerateComposition(); }, 5);
    }
    media::TimeRange seconds(double start, double duration)
    {
        return media::TimeRange::make(media::Time::make(int64_t(start * 600), 600), media::Time::make(int64_t(duration * 600), 600));
    }

    testsupport::TempDir dir;
    media::AssetPtr source;
    std::shared_ptr<MVREditor> editor;
    std::shared_ptr<foundation::UndoManager> undo = foundation::UndoManager::init();
    foundation::NotificationCenter::Token token;
    int posts = 0;
};

} // namespace

TEST_F(MVREditorTest, SettingsClampAndUndo)
{
    editor->setUndoManager(undo);
    struct Case {
        void (MVREditor::*set)(double);
        double (MVREditor::*get)() const;
        double value, stored, before;
    } cases[] = {
        {&MVREditor::setSpeed, &MVREditor::speed, 4, 2.0, 1.0},
        {&MVREditor::setSpeed, &MVREditor::speed, 0.1, 0.5, 1.0},
        {&MVREditor::setDelayInSeconds, &MVREditor::delayInSeconds, 12, 10.0, 0.0},
        {&MVREditor::setCrossFadePercent, &MVREditor::crossFadePercent, -1, 0.0, 0.25},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        undo->removeAllActions();
        // The second time the clamped value is already there: no change, nothing to undo.
        for (int i = 0; i < 2; ++i) {
            undo->beginUndoGrouping();
            ((*editor).*c.set)(c.value);
            undo->endUndoGrouping();
        }
        EXPECT_EQ(((*editor).*c.get)(), c.stored);
        undo->undo();
        EXPECT_EQ(((*editor).*c.get)(), c.before);
        EXPECT_FALSE(undo->canUndo());
        // A value that is no number is no setting.
        undo->beginUndoGrouping();
        ((*editor).*c.set)(std::nan(""));
        undo->endUndoGrouping();
        EXPECT_EQ(((*editor).*c.get)(), c.before);
        EXPECT_FALSE(undo->canUndo());
    }
    undo->removeAllActions();
    undo->beginUndoGrouping();
    editor->setLoopMode(1); // the same mode: nothing to undo
    undo->endUndoGrouping();
    EXPECT_FALSE(undo->canUndo());
}

TEST_F(MVREditorTest, TimeRangesSnapToFramesAndChangesRebuildOncePerTurn)
{
    editor->setSource(source);
    turn();
    posts = 0;
    // 0.31 s and 2.049 s lie between frames of a 30 fps movie.
    editor->setTimeRange(media::TimeRange::make(media::Time::makeWithSeconds(0.31, 6000), media::Time::makeWithSeconds(1.739, 6000)));
    EXPECT_NEAR(editor->timeRange().start.seconds(), 0.3, 1e-9);
    EXPECT_NEAR(editor->timeRange().end().seconds(), 2.033333, 1e-5);
    editor->setTimeRange(seconds(4, 3)); // past the end: clamped to the track
    EXPECT_NEAR(editor->timeRange().end().seconds(), 5.0, 1e-9);

    editor->setSpeed(1.5);
    editor->setLoopMode(0);
    editor->setDelayInSeconds(0.5);
    editor->setCrossFadePercent(0.4);
    editor->setTimeRange(seconds(0, 3));
    EXPECT_TRUE(editor->needsGenerateComposition());
    turn();
    dispatch::RunLoop::main().runUntil([] { return false; }, 0.05);
    EXPECT_EQ(posts, 1);

    // Reading the composition builds it at once.
    editor->setSpeed(1);
    EXPECT_TRUE(editor->composition());
    EXPECT_EQ(posts, 2);
}

TEST_F(MVREditorTest, CrossFadeLoop)
{
    editor->setSource(source);
    editor->setTimeRange(seconds(0.5, 4));
    editor->setCrossFadePercent(0.5);
    EXPECT_NEAR(editor->crossFadeDuration().seconds(), 1.0, 1e-9);
    EXPECT_NEAR(editor->defaultStillImageTime().seconds(), 1.5, 1e-9);
    auto composition = editor->composition();
    ASSERT_TRUE(composition);
    EXPECT_NEAR(composition->duration().seconds(), 3.0, 1e-6);
    ASSERT_EQ(composition->tracks().size(), 2u);
    // The tail plays first; the head lies under its last second.
    const auto& a = composition->tracks()[0]->segments();
    const auto& b = composition->tracks()[1]->segments();
    ASSERT_FALSE(a.empty());
    ASSERT_FALSE(b.empty());
    EXPECT_NEAR(a.front().timeMapping.source.start.seconds(), 1.5, 1e-6);
    EXPECT_NEAR(b.back().timeMapping.target.start.seconds(), 2.0, 1e-6);
    EXPECT_NEAR(b.back().timeMapping.source.start.seconds(), 0.5, 1e-6);

    auto video = editor->videoComposition();
    ASSERT_TRUE(video);
    ASSERT_EQ(video->instructions.size(), 1u);
    const auto& top = video->instructions[0].layerInstructions[0];
    EXPECT_DOUBLE_EQ(top.opacityAtTime(media::Time::makeWithSeconds(1.5, 600)), 1.0);
    EXPECT_DOUBLE_EQ(top.opacityAtTime(media::Time::makeWithSeconds(2.5, 600)), 0.5);
    EXPECT_DOUBLE_EQ(video->instructions[0].layerInstructions[1].opacityAtTime(media::Time::makeWithSeconds(2.5, 600)), 1.0);
    EXPECT_NEAR(video->frameDuration.seconds(), 1.0 / 30, 1e-9);
}

TEST_F(MVREditorTest, ReverseLoopDurationsAndHolds)
{
    editor->setSource(source);
    editor->setLoopMode(0);
    editor->setTimeRange(seconds(1, 3));
    EXPECT_NEAR(editor->defaultStillImageTime().seconds(), 1.0, 1e-9);
    EXPECT_NEAR(editor->composition()->duration().seconds(), 3.0, 1e-6);
    EXPECT_FALSE(editor->videoComposition());
    EXPECT_NEAR(editor->estimatedDuration().seconds(), 6.0, 1e-6);

    // A hold of 1 s stretches the first 0.005 s to a second; the estimate counts it once.
    editor->setDelayInSeconds(1);
    const double d = editor->composition()->duration().seconds();
    EXPECT_NEAR(d, 3.995, 1e-3);
    EXPECT_NEAR(editor->estimatedDuration().seconds(), (d - 1) * 2 + 1, 1e-3);

    // Half speed doubles the loop.
    editor->setDelayInSeconds(0);
    editor->setSpeed(0.5);
    EXPECT_NEAR(editor->composition()->duration().seconds(), 6.0, 1e-6);

    // A source without video gives no composition and posts nothing.
    posts = 0;
    editor->setSource(nullptr);
    EXPECT_FALSE(editor->composition());
    EXPECT_EQ(posts, 0);
}
