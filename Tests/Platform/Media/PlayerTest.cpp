#include "Platform/Dispatch/Clock.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/Media/Player.h"
#include "Platform/Media/VideoSettings.h"
#include "Tests/Platform/Media/MovieFixtures.h"
#include "Tests/Support/TempDir.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <vector>

using namespace media;

namespace {

Time ms(int64_t milliseconds)
{
    return Time::make(milliseconds, 1000);
}

// Ten frames of 1/10 s (one second), each left half a grey that rises with the frame number.
class PlayerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_dir = std::make_unique<testsupport::TempDir>();
        mediatest::MovieSpec recipe;
        recipe.fileType = AVFileTypeQuickTimeMovie;
        recipe.settings = mediatest::settingsFor(AVVideoCodecTypeH264);
        s_movie = *s_dir / "ten.mov";
        ASSERT_FALSE(mediatest::writeMovie(s_movie, recipe));
    }
    static void TearDownTestSuite() { s_dir.reset(); }

    void SetUp() override
    {
        dispatch::RunLoop::main().bindToCurrentThread();
        dispatch::Clock::setVirtual(true);
    }
    void TearDown() override
    {
        while (dispatch::RunLoop::main().runOnce(0)) { }
        dispatch::Clock::setVirtual(false);
    }

    static foundation::URL movieURL() { return foundation::URL::fileURLWithPath(s_movie.string()); }

    static bool runUntil(const std::function<bool()>& predicate)
    {
        return dispatch::RunLoop::main().runUntil(predicate, 10.0);
    }
    // Lets what is queued run, advances virtual time and lets what fell due (and what that
    // queued) run. The extra nanosecond absorbs the rounding of the clock's doubles, so a
    // deadline at exactly the target fires; the player's positions are far coarser than that.
    static void advance(double seconds)
    {
        while (dispatch::RunLoop::main().runOnce(0)) { }
        dispatch::Clock::advance(seconds + 1e-9);
        while (dispatch::RunLoop::main().runOnce(0)) { }
    }

    PlayerPtr readyPlayer()
    {
        auto player = Player::playerWithURL(movieURL());
        EXPECT_TRUE(runUntil([&] { return player->currentItem()->status() != PlayerItemStatus::unknown; }));
        EXPECT_EQ(player->currentItem()->status(), PlayerItemStatus::readyToPlay);
        return player;
    }

    static std::unique_ptr<testsupport::TempDir> s_dir;
    static std::filesystem::path s_movie;
};

std::unique_ptr<testsupport::TempDir> PlayerTest::s_dir;
std::filesystem::path PlayerTest::s_movie;

TEST_F(PlayerTest, ItemBecomesReadyAsynchronouslyAndTellsKeyPathObservers)
{
    auto player = Player::playerWithURL(movieURL());
    EXPECT_EQ(player->currentItem()->status(), PlayerItemStatus::unknown);
    EXPECT_TRUE(player->currentItem()->duration().isIndefinite());
    std::vector<PlayerItemStatus> seen;
    auto token = player->addObserver("currentItem.status", foundation::KeyValueObservingOptionNew,
                                      [&](const foundation::KeyValueChange& change) {
                                          if (auto status = change.newAs<PlayerItemStatus>())
                                              seen.push_back(*status);
                                      });
    ASSERT_TRUE(runUntil([&] { return !seen.empty(); }));
    EXPECT_EQ(seen, std::vector<PlayerItemStatus>{PlayerItemStatus::readyToPlay});
    EXPECT_EQ(player->currentItem()->duration(), Time::make(1, 1));
    EXPECT_FALSE(player->currentItem()->error());
}

TEST_F(PlayerTest, UnreadableFilesFailWithAnErrorAndNeverPlay)
{
    for (const char* contents : {"not a movie at all", ""}) {
        const auto path = *contents == 0 ? *s_dir / "missing.mov" : s_dir->write("junk.mov", contents);
        auto player = Player::playerWithURL(foundation::URL::fileURLWithPath(path.string()));
        ASSERT_TRUE(runUntil([&] { return player->currentItem()->status() != PlayerItemStatus::unknown; }));
        EXPECT_EQ(player->currentItem()->status(), PlayerItemStatus::failed) << path;
        EXPECT_TRUE(player->currentItem()->error());
        player->play();
        advance(1.0);
        EXPECT_EQ(player->currentTime(), Time::zero());
        EXPECT_FALSE(player->currentItem()->copyImageAtTime(Time::zero()));
    }
}

TEST_F(PlayerTest, TimeMovesWithTheRateOnTheClock)
{
    struct Case {
        float rate;
        Time start;
        double wait;
        Time expected;
    };
    const Case cases[] = {
        {1.0f, Time::zero(), 0.35, ms(350)},
        {0.5f, Time::zero(), 0.4, ms(200)},
        {2.0f, ms(100), 0.2, ms(500)},
        {-1.0f, ms(900), 0.3, ms(600)},
        {0.8f, Time::zero(), 0.5, ms(400)}, // 24 of 30 frames per second
    };
    for (const auto& c : cases) {
        auto player = readyPlayer();
        player->seekToTime(c.start, Time::zero(), Time::zero());
        player->setRate(c.rate);
        advance(c.wait);
        EXPECT_EQ(player->currentTime(), c.expected) << "rate " << c.rate << " got " << player->currentTime().description();
        player->pause();
        advance(0.3);
        EXPECT_EQ(player->currentTime(), c.expected) << "paused at rate " << c.rate;
    }
}

TEST_F(PlayerTest, RateWaitsForTheItemToBeReady)
{
    auto player = Player::playerWithURL(movieURL());
    player->play();
    EXPECT_EQ(player->rate(), 1.0f);
    advance(0.5); // nothing to play yet
    ASSERT_TRUE(runUntil([&] { return player->currentItem()->status() == PlayerItemStatus::readyToPlay; }));
    EXPECT_EQ(player->currentTime(), Time::zero());
    advance(0.25);
    EXPECT_EQ(player->currentTime(), ms(250));
}

TEST_F(PlayerTest, PlayingToEitherEndPausesAndPostsOnce)
{
    struct Case {
        float rate;
        Time start;
        Time end;
    };
    for (const Case c : {Case{1.0f, ms(700), Time::make(1, 1)}, Case{-2.0f, ms(400), Time::zero()}}) {
        auto player = readyPlayer();
        int posts = 0;
        auto token = foundation::NotificationCenter::defaultCenter().addObserver(
            AVPlayerItemDidPlayToEndTimeNotification, player->currentItem().get(), nullptr,
            [&](const foundation::Notification& n) {
                ++posts;
                EXPECT_EQ(n.objectAs<PlayerItem>(), player->currentItem());
                EXPECT_EQ(player->rate(), 0.0f);
            });
        player->seekToTime(c.start, Time::zero(), Time::zero());
        player->setRate(c.rate);
        advance(0.1);
        EXPECT_EQ(posts, 0);
        advance(1.0);
        EXPECT_EQ(posts, 1) << "rate " << c.rate;
        EXPECT_EQ(player->rate(), 0.0f);
        EXPECT_EQ(player->currentTime(), c.end);

        // Starting again at that end plays nothing: the player stops without another post.
        player->setRate(c.rate);
        advance(0.5);
        EXPECT_EQ(posts, 1);
        EXPECT_EQ(player->rate(), 0.0f);
    }
}

TEST_F(PlayerTest, SeeksClampLandExactlyOrOnAFrameWithinTolerance)
{
    auto player = readyPlayer();
    struct Case {
        Time target;
        Time before;
        Time after;
        Time expected;
    };
    const Time inf = Time::positiveInfinity();
    const Case cases[] = {
        {ms(234), Time::zero(), Time::zero(), ms(234)},
        {ms(-500), Time::zero(), Time::zero(), Time::zero()},
        {Time::make(5, 1), Time::zero(), Time::zero(), Time::make(1, 1)},
        {ms(234), inf, inf, ms(200)},        // nearest frame start
        {ms(271), inf, inf, ms(300)},
        {ms(234), ms(10), ms(10), ms(234)},  // no frame start within 10 ms
        {ms(234), ms(50), Time::zero(), ms(200)},
        {ms(234), Time::zero(), ms(70), ms(300)},
    };
    for (const auto& c : cases) {
        std::optional<bool> finished;
        player->seekToTime(c.target, c.before, c.after, [&](bool f) { finished = f; });
        EXPECT_EQ(player->currentTime(), c.expected) << c.target.description() << " got " << player->currentTime().description();
        ASSERT_TRUE(runUntil([&] { return finished.has_value(); }));
        EXPECT_TRUE(*finished);
    }
}

TEST_F(PlayerTest, AnOvertakenSeekAndASeekWithoutItemFinishFalse)
{
    auto player = readyPlayer();
    std::vector<bool> results;
    player->seekToTime(ms(100), Time::zero(), Time::zero(), [&](bool f) { results.push_back(f); });
    player->seekToTime(ms(500), Time::zero(), Time::zero(), [&](bool f) { results.push_back(f); });
    auto empty = Player::init();
    empty->seekToTime(ms(100), [&](bool f) { results.push_back(f); });
    ASSERT_TRUE(runUntil([&] { return results.size() == 3; }));
    EXPECT_EQ(results, (std::vector<bool>{false, true, false}));
    EXPECT_EQ(player->currentTime(), ms(500));
    EXPECT_EQ(empty->currentTime(), Time::zero());
}

TEST_F(PlayerTest, PeriodicObserverFollowsTheItemTimelineAndTimeJumps)
{
    auto player = readyPlayer();
    std::vector<Time> calls;
    auto token = player->addPeriodicTimeObserverForInterval(Time::make(60, 600), nullptr,
                                                            [&](const Time& t) { calls.push_back(t); });
    // Paused: no periodic calls, but a seek is a jump and is reported.
    advance(1.0);
    EXPECT_TRUE(calls.empty());
    player->seekToTime(ms(250), Time::zero(), Time::zero());
    advance(0);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls.back(), ms(250));

    // At half speed a 0.1 s boundary of the item comes every 0.2 s; starting is reported too.
    calls.clear();
    player->setRate(0.5f);
    advance(0.5);
    EXPECT_EQ(calls, (std::vector<Time>{ms(250), ms(300), ms(400), ms(500)}));

    // Backwards the boundaries come in falling order.
    calls.clear();
    player->setRate(-1.0f);
    advance(0.25);
    EXPECT_EQ(calls, (std::vector<Time>{ms(400), ms(300)}));

    // A seek to where the player already is is no jump.
    calls.clear();
    player->pause();
    advance(0);
    const Time here = player->currentTime();
    calls.clear();
    player->seekToTime(here, Time::zero(), Time::zero());
    advance(1.0);
    EXPECT_TRUE(calls.empty());

    player->removeTimeObserver(token);
    player->play();
    advance(0.3);
    EXPECT_TRUE(calls.empty());
}

TEST_F(PlayerTest, ObserverBlocksThatSeekDoNotSpin)
{
    // An observer that seeks back to its own start whenever it reaches 0.5 s: a loop like the
    // preview's, which must settle instead of calling itself forever.
    auto player = readyPlayer();
    int calls = 0;
    Player* raw = player.get();
    auto token = player->addPeriodicTimeObserverForInterval(Time::make(60, 600), nullptr, [&, raw](const Time& t) {
        ++calls;
        if (raw->rate() != 0 && (t >= ms(500) || t <= ms(200)))
            raw->seekToTime(ms(200), Time::zero(), Time::zero());
    });
    player->play();
    advance(2.0);
    EXPECT_LT(calls, 60);
    EXPECT_GE(player->currentTime(), ms(200));
    EXPECT_LE(player->currentTime(), ms(500));
    EXPECT_EQ(player->rate(), 1.0f);
}

TEST_F(PlayerTest, ObserverMisuseThrows)
{
    auto a = readyPlayer();
    auto b = Player::init();
    EXPECT_THROW((void)a->addPeriodicTimeObserverForInterval(Time::zero(), nullptr, [](const Time&) { }),
                 foundation::Exception);
    auto token = a->addPeriodicTimeObserverForInterval(Time::make(1, 10), nullptr, [](const Time&) { });
    EXPECT_THROW(b->removeTimeObserver(token), foundation::Exception);
    a->removeTimeObserver(token);
    a->removeTimeObserver(token);
    a->removeTimeObserver(nullptr);
}

TEST_F(PlayerTest, ReplacingTheItemKeepsEachItemsPositionAndOneOwner)
{
    auto player = readyPlayer();
    auto first = player->currentItem();
    player->seekToTime(ms(600), Time::zero(), Time::zero());
    auto second = PlayerItem::playerItemWithURL(movieURL());
    player->replaceCurrentItemWithPlayerItem(second);
    EXPECT_EQ(player->currentTime(), Time::zero());
    EXPECT_EQ(first->currentTime(), ms(600));
    EXPECT_THROW(Player::playerWithPlayerItem(second), foundation::Exception);
    EXPECT_NO_THROW(Player::playerWithPlayerItem(first));
    player->replaceCurrentItemWithPlayerItem(nullptr);
    EXPECT_EQ(player->currentTime(), Time::zero());
    // The second item's movie is still being read on a background queue; a read left running
    // into the process's exit would find the media library's constants already destroyed.
    EXPECT_TRUE(runUntil([&] { return second->status() != PlayerItemStatus::unknown; }));
}

TEST_F(PlayerTest, FramesAreDecodedAtTheirTimes)
{
    auto player = readyPlayer();
    auto item = player->currentItem();
    // Frame i's left half has the grey 40 + 20 i; each covers [i/10, (i+1)/10).
    struct Case {
        Time time;
        Time frameStart;
        int frame;
    };
    for (const Case c : {Case{Time::zero(), Time::zero(), 0}, Case{ms(349), ms(300), 3}, Case{ms(350), ms(300), 3},
                         Case{Time::make(1, 1), ms(900), 9}, Case{Time::make(7, 1), ms(900), 9}}) {
        Time actual;
        foundation::ErrorPtr error;
        auto image = item->copyImageAtTime(c.time, &actual, &error);
        ASSERT_TRUE(image) << (error ? error->localizedDescription() : "");
        EXPECT_EQ(actual, c.frameStart) << c.time.description();
        EXPECT_EQ(image->width(), 64u);
        EXPECT_NEAR(image->pixelAt(8, 24).g, 40 + 20 * c.frame, 6) << c.time.description();
        EXPECT_GT(image->pixelAt(56, 24).r, 200);
    }
}

} // namespace
