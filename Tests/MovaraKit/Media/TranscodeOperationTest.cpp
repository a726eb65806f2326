#include "MovaraKit/Media/TranscodeOperation.h"

#include "Platform/Dispatch/Semaphore.h"
#include "Platform/Foundation/NotificationCenter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <type_traits>
#include <optional>
#include <string>
#include <vector>

namespace {

using foundation::Error;
using foundation::ErrorPtr;
using media::Time;
using Strings = std::vector<std::string>;

ErrorPtr makeError(const std::string& what) { return Error::make("TestDomain", 7, what); }

media::PixelBufferPtr smallBuffer() { return media::PixelBuffer::create(2, 2, media::PixelFormatType_32ARGB); }

// A source of `frames` samples at start + i x step, with scripted failures.
class FakeSource : public PixelBufferSource, public PixelBufferSourceInfo, public std::enable_shared_from_this<FakeSource> {
public:
    int frames = 3;
    Time start = Time::zero();
    Time step = Time::make(1, 2);
    std::optional<Time> duration; // default: frames x step
    ErrorPtr loadError;
    bool deferLoad = false;             // keep the load handler for the test to call
    std::optional<int> failAtFrame;     // copyNextSampleBuffer fails with `frameError` there
    ErrorPtr frameError = makeError("frame");
    std::function<void()> onInfo;       // runs when the operation asks for the info

    std::function<void(ErrorPtr)> pendingLoad;
    int loads = 0;
    int taken = 0;
    std::vector<media::PixelBufferPtr> handedOut;

    void loadWithCompletionHandler(std::function<void(ErrorPtr)> handler) override
    {
        ++loads;
        if (deferLoad)
            pendingLoad = std::move(handler);
        else
            handler(loadError);
    }
    media::SampleBufferPtr copyNextSampleBuffer(ErrorPtr* error) override
    {
        if (failAtFrame && taken == *failAtFrame) {
            *error = frameError;
            return nullptr;
        }
        if (taken >= frames)
            return nullptr;
        media::SampleTimingInfo timing;
        timing.presentationTimeStamp = media::add(start, media::multiply(step, taken++));
        handedOut.push_back(smallBuffer());
        return media::SampleBuffer::createForImageBuffer(handedOut.back(), timing);
    }
    std::shared_ptr<PixelBufferSourceInfo> pixelBufferSourceInfo() override
    {
        if (onInfo)
            onInfo();
        return shared_from_this();
    }
    graphics::Size size() override { return {2, 2}; }
    media::TimeRange timeRange() override
    {
        return media::TimeRange::make(start, duration.value_or(media::multiply(step, frames)));
    }
    graphics::AffineTransform transform() override { return graphics::AffineTransform::identity(); }
};

// A source that renders into the destination's buffers, following a script of results.
class FakeScribblingSource : public FakeSource, public PixelBufferScribbling {
public:
    struct Result {
        Result(Time t, bool f = false, ErrorPtr e = nullptr) : time(t), finished(f), error(std::move(e)) { }
        Time time;
        bool finished = false;
        ErrorPtr error;
    };
    std::vector<Result> script;
    std::vector<media::PixelBufferPtr> drawnInto;

    media::Time scribbleOnPixelBuffer(const media::PixelBufferPtr& buffer, bool* finished, ErrorPtr* error) override
    {
        drawnInto.push_back(buffer);
        const Result r = drawnInto.size() <= script.size() ? script[drawnInto.size() - 1] : Result {Time::invalid(), true, nullptr};
        *finished = r.finished;
        if (r.error)
            *error = r.error;
        return r.time;
    }
};

// A destination that logs every call. By default it eats on the calling thread for as long as
// it is ready (as the still-image writers do) and finishes at once.
class FakeDestination : public PixelBufferDestination {
public:
    bool prepareResult = true;
    ErrorPtr prepareError;
    std::optional<int> failEatAt;
    ErrorPtr eatError = makeError("eat");
    ErrorPtr finishResult;
    bool deferFinish = false;  // keep the finish handler for the test to call
    bool deferEating = false;  // keep the eating block for the test to call
    int readyBudget = -1;      // frames it takes before it stops being ready (-1: always ready)

    Strings log;
    std::optional<bool> shouldAllocate;
    std::function<void()> eatingBlock;
    std::function<void(ErrorPtr)> pendingFinish;
    std::vector<media::PixelBufferPtr> eaten;
    std::vector<Time> times;
    std::function<void()> onEat;

    bool prepareWithInfo(const std::shared_ptr<PixelBufferSourceInfo>& info, bool allocate, ErrorPtr* error) override
    {
        log.push_back("prepare");
        EXPECT_TRUE(info);
        shouldAllocate = allocate;
        if (!prepareResult && error)
            *error = prepareError;
        return prepareResult;
    }
    bool isReadyForMore() override { return readyBudget != 0; }
    void startEating(std::function<void()> block) override
    {
        log.push_back("startEating");
        eatingBlock = std::move(block);
        if (!deferEating)
            eatingBlock();
    }
    bool eatSampleBuffer(const media::SampleBufferPtr& sample, ErrorPtr* error) override
    {
        return eat(sample->imageBuffer(), sample->presentationTimeStamp(), error);
    }
    void finishWithCompletionHandler(std::function<void(ErrorPtr)> handler) override
    {
        log.push_back("finish");
        if (deferFinish)
            pendingFinish = std::move(handler);
        else
            handler(finishResult);
    }
    void cancel() override { log.push_back("cancel"); }

protected:
    bool eat(const media::PixelBufferPtr& buffer, Time time, ErrorPtr* error)
    {
        if (failEatAt && int(eaten.size()) == *failEatAt) {
            log.push_back("eat failed");
            *error = eatError;
            return false;
        }
        log.push_back("eat");
        eaten.push_back(buffer);
        times.push_back(time);
        if (readyBudget > 0)
            --readyBudget;
        if (onEat)
            onEat();
        return true;
    }
};

class FakeAllocatingDestination : public FakeDestination, public PixelBufferAllocating {
public:
    bool hasBuffers = true;
    std::vector<media::PixelBufferPtr> allocated;

    media::PixelBufferPtr createNextPixelBuffer() override
    {
        if (!hasBuffers)
            return nullptr;
        allocated.push_back(smallBuffer());
        return allocated.back();
    }
    bool eatPixelBuffer(const media::PixelBufferPtr& buffer, const Time& time, ErrorPtr* error) override
    {
        return eat(buffer, time, error);
    }
};

// Records key-value notifications of the operation's state keys as "will isFinished", ...
struct StateRecorder {
    Strings events;
    std::vector<foundation::Observable::Token> tokens;

    explicit StateRecorder(TranscodeOperation& op)
    {
        for (const char* key : {"isExecuting", "isFinished", "error"}) {
            tokens.push_back(op.addObserver(key, foundation::KeyValueObservingOptionPrior,
                                            [this, key = std::string(key)](const foundation::KeyValueChange& c) {
                                                events.push_back((c.isPrior ? "will " : "did ") + key);
                                            }));
        }
    }
    // The notifications of the two standard keys only, in order.
    Strings stateEvents() const
    {
        Strings out;
        for (const auto& e : events)
            if (e.find("error") == std::string::npos)
                out.push_back(e);
        return out;
    }
};

struct Pipeline {
    std::shared_ptr<FakeSource> src;
    std::shared_ptr<FakeDestination> dst;
    std::shared_ptr<TranscodeOperation> op;
};

template <class Src = FakeSource, class Dst = FakeDestination>
Pipeline makePipeline(const std::type_identity_t<std::function<void(Src&, Dst&)>>& configure = {})
{
    auto src = std::make_shared<Src>();
    auto dst = std::make_shared<Dst>();
    if (configure)
        configure(*src, *dst);
    auto op = TranscodeOperation::init(src, dst);
    return {src, dst, op};
}

} // namespace

TEST(TranscodeOperation, InitWithoutSourceOrDestinationGivesNone)
{
    EXPECT_FALSE(TranscodeOperation::init(nullptr, std::make_shared<FakeDestination>()));
    EXPECT_FALSE(TranscodeOperation::init(std::make_shared<FakeSource>(), nullptr));
}

TEST(TranscodeOperation, SamplePathWritesEveryFrameAndFinishes)
{
    auto p = makePipeline();
    StateRecorder recorder(*p.op);
    EXPECT_TRUE(p.op->isAsynchronous());
    EXPECT_FALSE(p.op->isExecuting());
    EXPECT_FALSE(p.op->isFinished());

    p.op->start();

    EXPECT_EQ(p.dst->log, (Strings {"prepare", "startEating", "eat", "eat", "eat", "finish"}));
    EXPECT_EQ(p.dst->shouldAllocate, false);
    EXPECT_EQ(p.dst->eaten, p.src->handedOut); // the very buffers, no copies
    EXPECT_TRUE(p.op->isFinished());
    EXPECT_FALSE(p.op->isExecuting());
    EXPECT_EQ(p.op->error(), nullptr);
    EXPECT_EQ(recorder.stateEvents(),
              (Strings {"will isExecuting", "did isExecuting", "will isExecuting", "will isFinished", "did isFinished",
                        "did isExecuting"}));
    // Observers of "error" hear of it with the finished state.
    EXPECT_NE(std::find(recorder.events.begin(), recorder.events.end(), "did error"), recorder.events.end());
    EXPECT_EQ(p.op->progress()->totalUnitCount(), 1500);
    EXPECT_EQ(p.op->progress()->completedUnitCount(), 1500);
}

TEST(TranscodeOperation, ProgressCountsMillisecondsFromTheRangeStart)
{
    auto p = makePipeline([](FakeSource& s, FakeDestination&) {
        s.start = Time::make(10, 1);
        s.frames = 2;
    });
    std::vector<int64_t> completed;
    auto token = p.op->progress()->addObserver("completedUnitCount", foundation::KeyValueObservingOptionNew,
                                               [&](const foundation::KeyValueChange&) {
                                                   completed.push_back(p.op->progress()->completedUnitCount());
                                               });
    p.op->start();
    // Frames at 10 s and 10.5 s, then the end sets the total (1000).
    EXPECT_EQ(completed, (std::vector<int64_t> {0, 500, 1000}));
}

TEST(TranscodeOperation, TotalUnitsFollowTheSourceDuration)
{
    struct Case {
        Time duration;
        int64_t totalAtStart;
    } cases[] = {
        {Time::make(20005, 10000), 2000}, // truncated
        {Time::zero(), 0},
        {Time::indefinite(), -1}, // no unit count: indeterminate until the end
        {Time::invalid(), -1},
        {Time::positiveInfinity(), -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.duration.description());
        std::optional<int64_t> seenTotal;
        auto p = makePipeline([&](FakeSource& s, FakeDestination& d) {
            s.duration = c.duration;
            d.deferEating = true;
        });
        p.op->start();
        EXPECT_EQ(p.op->progress()->totalUnitCount(), c.totalAtStart);
        p.dst->eatingBlock();
        EXPECT_TRUE(p.op->isFinished());
        EXPECT_EQ(p.op->error(), nullptr);
        // The end always completes the progress.
        EXPECT_EQ(p.op->progress()->completedUnitCount(), p.op->progress()->totalUnitCount());
        EXPECT_GE(p.op->progress()->totalUnitCount(), 0);
    }
}

TEST(TranscodeOperation, ExhaustedSourceFinishesWithTheDestinationsResult)
{
    for (ErrorPtr result : {ErrorPtr(), makeError("finish")}) {
        auto p = makePipeline([&](FakeSource& s, FakeDestination& d) {
            s.frames = 0;
            d.finishResult = result;
        });
        p.op->start();
        EXPECT_EQ(p.dst->log, (Strings {"prepare", "startEating", "finish"}));
        EXPECT_EQ(p.op->error(), result);
        EXPECT_TRUE(p.op->isFinished());
    }
}

TEST(TranscodeOperation, EachFailingStepEndsTheOperationWithItsErrorUnchanged)
{
    const ErrorPtr boom = makeError("boom");
    struct Case {
        std::string name;
        std::function<void(FakeSource&, FakeDestination&)> configure;
        Strings destinationLog;
    } cases[] = {
        {"load", [&](FakeSource& s, FakeDestination&) { s.loadError = boom; }, {}},
        {"prepare", [&](FakeSource&, FakeDestination& d) { d.prepareResult = false; d.prepareError = boom; }, {"prepare"}},
        // A failed write neither finishes nor cancels the destination.
        {"eat", [&](FakeSource&, FakeDestination& d) { d.failEatAt = 1; d.eatError = boom; },
         {"prepare", "startEating", "eat", "eat failed"}},
        {"finish", [&](FakeSource&, FakeDestination& d) { d.finishResult = boom; },
         {"prepare", "startEating", "eat", "eat", "eat", "finish"}},
        // A source that fails mid-stream is not the end of the stream: the output is abandoned.
        {"next sample", [&](FakeSource& s, FakeDestination&) { s.failAtFrame = 2; s.frameError = boom; },
         {"prepare", "startEating", "eat", "eat", "cancel"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto p = makePipeline(c.configure);
        p.op->start();
        EXPECT_TRUE(p.op->isFinished());
        EXPECT_EQ(p.op->error(), boom);
        EXPECT_EQ(p.dst->log, c.destinationLog);
    }
}

TEST(TranscodeOperation, FailureWithoutAnErrorIsNotReportedAsSuccess)
{
    struct Case {
        std::string name;
        std::function<void(FakeSource&, FakeDestination&)> configure;
    } cases[] = {
        {"prepare", [](FakeSource&, FakeDestination& d) { d.prepareResult = false; }},
        {"eat", [](FakeSource&, FakeDestination& d) { d.failEatAt = 0; d.eatError = nullptr; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto p = makePipeline(c.configure);
        p.op->start();
        ASSERT_TRUE(p.op->error());
        EXPECT_EQ(p.op->error()->domain(), TranscodeOperationErrorDomain);
        EXPECT_EQ(p.op->error()->code(), TranscodeOperationUnexplainedFailure);
    }
}

TEST(TranscodeOperation, CancelBeforeStartFinishesWithUserCancelled)
{
    auto p = makePipeline();
    StateRecorder recorder(*p.op);
    p.op->cancel();
    EXPECT_TRUE(p.op->isFinished());
    ASSERT_TRUE(p.op->error());
    EXPECT_TRUE(p.op->error()->isUserCancelled());
    EXPECT_TRUE(p.op->error()->userInfo().empty());
    EXPECT_EQ(recorder.stateEvents(), (Strings {"will isFinished", "did isFinished"}));
    EXPECT_EQ(p.dst->log, (Strings {"cancel"}));

    p.op->start();
    EXPECT_EQ(p.src->loads, 0);
    EXPECT_EQ(p.dst->log, (Strings {"cancel"}));
}

TEST(TranscodeOperation, CancelMidStreamStopsTheLoopAndIgnoresTheLateFinish)
{
    // The movie writer's way: the destination calls the eating block when it wants frames and
    // finishes later, on its own time.
    auto p = makePipeline([](FakeSource& s, FakeDestination& d) {
        s.frames = 5;
        d.deferEating = true;
        d.deferFinish = true;
        d.readyBudget = 2;
    });
    p.op->start();
    EXPECT_TRUE(p.op->isExecuting());
    p.dst->eatingBlock();
    EXPECT_EQ(p.dst->eaten.size(), 2u);

    p.op->progress()->cancel(); // cancelling the progress cancels the operation
    EXPECT_TRUE(p.op->isCancelled());
    EXPECT_TRUE(p.op->isFinished());
    EXPECT_EQ(p.dst->log.back(), "cancel");

    p.dst->readyBudget = -1;
    p.dst->eatingBlock(); // the loop stops at its first test
    EXPECT_EQ(p.dst->eaten.size(), 2u);
    ASSERT_TRUE(p.op->error());
    EXPECT_TRUE(p.op->error()->isUserCancelled());
}

TEST(TranscodeOperation, CancelDuringAFrameStopsAtTheNextTest)
{
    std::shared_ptr<TranscodeOperation> op;
    auto p = makePipeline([&](FakeSource& s, FakeDestination& d) {
        s.frames = 5;
        d.onEat = [&] {
            if (d.eaten.size() == 2)
                op->cancel();
        };
    });
    op = p.op;
    p.op->start();
    EXPECT_EQ(p.dst->eaten.size(), 2u);
    EXPECT_EQ(p.dst->log, (Strings {"prepare", "startEating", "eat", "eat", "cancel"}));
    EXPECT_TRUE(p.op->error()->isUserCancelled());
}

TEST(TranscodeOperation, LateFinishAfterCancelChangesNothing)
{
    auto p = makePipeline([](FakeSource& s, FakeDestination& d) {
        s.frames = 1;
        d.deferFinish = true;
    });
    p.op->start();
    ASSERT_TRUE(p.dst->pendingFinish);
    p.op->cancel();
    p.dst->pendingFinish(nullptr);
    EXPECT_TRUE(p.op->error()->isUserCancelled());
}

TEST(TranscodeOperation, CancelAfterSuccessLeavesTheFinishedOutputAlone)
{
    auto p = makePipeline();
    p.op->start();
    ASSERT_TRUE(p.op->isFinished());
    p.op->cancel();
    EXPECT_EQ(p.dst->log.back(), "finish");
    EXPECT_EQ(p.op->error(), nullptr);
}

TEST(TranscodeOperation, CancelLandingBeforeTheExecutingStateDoesNotPrepare)
{
    // The cancel arrives after main()'s first cancellation test, while it reads the source's
    // description: the state must go straight to finished, without the fatal stop.
    std::shared_ptr<TranscodeOperation> op;
    auto p = makePipeline([&](FakeSource& s, FakeDestination&) { s.onInfo = [&] { op->cancel(); }; });
    op = p.op;
    StateRecorder recorder(*p.op);
    p.op->start();
    EXPECT_TRUE(p.op->error()->isUserCancelled());
    EXPECT_EQ(recorder.stateEvents(), (Strings {"will isFinished", "did isFinished"}));
    EXPECT_EQ(p.dst->log, (Strings {"cancel"}));
}

TEST(TranscodeOperation, ADestinationThatStaysReadyIsFinishedOnce)
{
    auto p = makePipeline([](FakeSource&, FakeDestination& d) { d.deferFinish = true; });
    p.op->start();
    p.dst->eatingBlock();
    EXPECT_EQ(std::count(p.dst->log.begin(), p.dst->log.end(), "finish"), 1);
    p.dst->pendingFinish(nullptr);
    EXPECT_TRUE(p.op->isFinished());
    EXPECT_EQ(p.op->error(), nullptr);
}

TEST(TranscodeOperation, SecondStartOrSecondLoadCallbackDoesNothing)
{
    auto p = makePipeline([](FakeSource& s, FakeDestination& d) {
        s.deferLoad = true;
        d.deferEating = true;
    });
    p.op->start();
    p.op->start();
    EXPECT_EQ(p.src->loads, 1);
    auto load = p.src->pendingLoad;
    load(nullptr);
    load(nullptr);
    EXPECT_EQ(p.dst->log, (Strings {"prepare", "startEating"}));
}

TEST(TranscodeOperation, AnAbandonedOperationIgnoresItsLoadCallback)
{
    auto src = std::make_shared<FakeSource>();
    src->deferLoad = true;
    auto dst = std::make_shared<FakeDestination>();
    {
        auto op = TranscodeOperation::init(src, dst);
        op->start();
    }
    src->pendingLoad(nullptr);
    EXPECT_TRUE(dst->log.empty());
}

TEST(TranscodeOperation, FrameNotificationsCarryEachWrittenBufferBeforeItsProgress)
{
    for (bool posts : {false, true}) {
        SCOPED_TRACE(posts);
        auto p = makePipeline([](FakeSource& s, FakeDestination&) { s.frames = 3; });
        p.op->setPostsDidRenderFrameNotifications(posts);
        std::vector<media::PixelBufferPtr> buffers;
        std::vector<int64_t> completedWhenPosted;
        auto token = foundation::NotificationCenter::defaultCenter().addObserver(
            TranscodeOperation::didOutputFrameNotification(), p.op.get(), nullptr, [&](const foundation::Notification& n) {
                EXPECT_EQ(n.objectAs<TranscodeOperation>(), p.op);
                const auto* buffer = n.userInfoValue<media::PixelBufferPtr>(TranscodeOperation::didOutputFrameNotificationPixelBufferKey());
                ASSERT_TRUE(buffer);
                buffers.push_back(*buffer);
                completedWhenPosted.push_back(p.op->progress()->completedUnitCount());
            });
        p.op->start();
        if (posts) {
            EXPECT_EQ(buffers, p.dst->eaten);
            EXPECT_EQ(completedWhenPosted, (std::vector<int64_t> {0, 0, 500}));
        } else {
            EXPECT_TRUE(buffers.empty());
        }
    }
    EXPECT_EQ(TranscodeOperation::didOutputFrameNotification(), "TranscodeOperationDidOutputFrameNotification");
    EXPECT_EQ(TranscodeOperation::didOutputFrameNotificationPixelBufferKey(), "pixelBuffer");
}

TEST(TranscodeOperation, PixelPathRendersIntoTheDestinationsBuffers)
{
    auto p = makePipeline<FakeScribblingSource, FakeAllocatingDestination>([](FakeScribblingSource& s, FakeAllocatingDestination&) {
        s.script = {{Time::make(0, 2)}, {Time::make(1, 2)}, {Time::invalid(), true}};
    });
    auto& src = static_cast<FakeScribblingSource&>(*p.src);
    auto& dst = static_cast<FakeAllocatingDestination&>(*p.dst);
    p.op->setPostsDidRenderFrameNotifications(true);
    std::vector<media::PixelBufferPtr> posted;
    auto token = foundation::NotificationCenter::defaultCenter().addObserver(
        TranscodeOperation::didOutputFrameNotification(), p.op.get(), nullptr, [&](const foundation::Notification& n) {
            posted.push_back(*n.userInfoValue<media::PixelBufferPtr>("pixelBuffer"));
        });
    p.op->start();
    EXPECT_EQ(dst.shouldAllocate, true);
    EXPECT_EQ(dst.log, (Strings {"prepare", "startEating", "eat", "eat", "finish"}));
    EXPECT_EQ(src.drawnInto, dst.allocated);
    EXPECT_EQ(dst.eaten, (std::vector<media::PixelBufferPtr> {dst.allocated[0], dst.allocated[1]}));
    EXPECT_EQ(posted, dst.eaten);
    EXPECT_EQ(dst.times, (std::vector<Time> {Time::make(0, 2), Time::make(1, 2)}));
    EXPECT_EQ(src.taken, 0); // no samples were asked for
    EXPECT_EQ(p.op->error(), nullptr);
    EXPECT_EQ(p.op->progress()->completedUnitCount(), 1500);
}

TEST(TranscodeOperation, PixelPathFailuresCancelTheDestination)
{
    const ErrorPtr boom = makeError("render");
    struct Case {
        std::string name;
        FakeScribblingSource::Result result;
        bool hasBuffers;
        std::optional<long> expectedCode; // none: the source's own error
    } cases[] = {
        {"source error", {Time::invalid(), false, boom}, true, std::nullopt},
        {"no time, no end, no error", {Time::invalid(), false, nullptr}, true, TranscodeOperationSourceStalled},
        {"no buffer", {Time::make(0, 1)}, false, TranscodeOperationNoPixelBuffer},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto p = makePipeline<FakeScribblingSource, FakeAllocatingDestination>(
            [&](FakeScribblingSource& s, FakeAllocatingDestination& d) {
                s.script = {{Time::make(0, 2)}, c.result};
                d.hasBuffers = c.hasBuffers;
            });
        p.op->start();
        ASSERT_TRUE(p.op->error());
        if (c.expectedCode) {
            EXPECT_EQ(p.op->error()->domain(), TranscodeOperationErrorDomain);
            EXPECT_EQ(p.op->error()->code(), *c.expectedCode);
        } else {
            EXPECT_EQ(p.op->error(), boom);
        }
        EXPECT_EQ(p.dst->log.back(), "cancel");
    }
}

TEST(TranscodeOperation, AllocatingDestinationWithAPlainSourceTakesTheSamplePath)
{
    auto p = makePipeline<FakeSource, FakeAllocatingDestination>();
    p.op->start();
    auto& dst = static_cast<FakeAllocatingDestination&>(*p.dst);
    EXPECT_EQ(dst.shouldAllocate, false);
    EXPECT_TRUE(dst.allocated.empty());
    EXPECT_EQ(dst.eaten, p.src->handedOut);
}

TEST(TranscodeOperation, CompletionBlockRunsOnceAfterFinishing)
{
    auto p = makePipeline([](FakeSource&, FakeDestination& d) { d.deferFinish = true; });
    auto ran = dispatch::Semaphore::make(0);
    int runs = 0;
    p.op->setCompletionBlock([&] {
        ++runs;
        ran->signal();
    });
    p.op->start();
    EXPECT_FALSE(ran->wait(0.05));
    p.dst->pendingFinish(nullptr);
    p.op->cancel();
    ASSERT_TRUE(ran->wait(10));
    p.op->waitUntilFinished();
    EXPECT_EQ(runs, 1);
}
