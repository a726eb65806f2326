#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/Progress.h"

using namespace foundation;

TEST(Progress, ChildCountsTowardItsPendingUnitsAndAllOfThemOnceFinished)
{
    auto parent = Progress::discreteProgressWithTotalUnitCount(10);
    auto child = Progress::progressWithTotalUnitCount(4, parent, 5);
    struct Step {
        const char* what;
        std::function<void()> change;
        double fraction;
        std::int64_t parentCompleted;
    };
    const Step steps[] = {
        {"nothing done", [] { }, 0.0, 0},
        {"child half way", [&] { child->setCompletedUnitCount(2); }, 0.25, 0},
        {"parent's own units", [&] { parent->setCompletedUnitCount(3); }, 0.55, 3},
        {"child finished", [&] { child->setCompletedUnitCount(4); }, 0.8, 8},
        {"child goes back: already counted", [&] { child->setCompletedUnitCount(1); }, 0.8, 8},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        step.change();
        EXPECT_DOUBLE_EQ(parent->fractionCompleted(), step.fraction);
        EXPECT_EQ(parent->completedUnitCount(), step.parentCompleted);
    }
}

TEST(Progress, ParentObserversHearOfEveryChangeBelowThemWithTheNewFraction)
{
    auto root = Progress::discreteProgressWithTotalUnitCount(1);
    auto middle = Progress::progressWithTotalUnitCount(2, root, 1);
    auto leaf = Progress::progressWithTotalUnitCount(100, middle, 1);
    std::vector<double> seen;
    std::mutex mutex;
    auto token = root->addObserver("fractionCompleted", KeyValueObservingOptionNew, [&](const KeyValueChange& c) {
        std::lock_guard lock(mutex);
        seen.push_back(*c.newAs<double>());
    });
    std::thread worker([&] { leaf->setCompletedUnitCount(50); });
    worker.join();
    ASSERT_FALSE(seen.empty());
    EXPECT_DOUBLE_EQ(seen.back(), 0.25);
    leaf->setCompletedUnitCount(100); // finishing hands the units up in one step
    EXPECT_DOUBLE_EQ(seen.back(), 0.5);
    for (std::size_t i = 1; i < seen.size(); ++i)
        EXPECT_GE(seen[i], seen[i - 1]) << "the fraction never dips";
}

TEST(Progress, CurrentProgressGivesItsPendingUnitsToTheFirstProgressMadeOnTheThread)
{
    auto parent = Progress::discreteProgressWithTotalUnitCount(10);
    parent->becomeCurrentWithPendingUnitCount(4);
    EXPECT_EQ(Progress::currentProgress(), parent);
    auto first = Progress::progressWithTotalUnitCount(2);
    auto second = Progress::progressWithTotalUnitCount(2);
    ProgressPtr onOtherThread;
    std::thread([&] { onOtherThread = Progress::currentProgress(); }).join();
    parent->resignCurrent();
    EXPECT_EQ(onOtherThread, nullptr);
    EXPECT_EQ(Progress::currentProgress(), nullptr);

    first->setCompletedUnitCount(2);
    second->setCompletedUnitCount(2); // joined nothing
    EXPECT_EQ(parent->completedUnitCount(), 4);

    // Made current but no progress was made: the units count as done when it resigns.
    parent->becomeCurrentWithPendingUnitCount(3);
    parent->resignCurrent();
    EXPECT_EQ(parent->completedUnitCount(), 7);
    EXPECT_THROW(parent->resignCurrent(), Exception);
}

TEST(Progress, CancellingReachesEveryChildAndRunsEachHandlerOnce)
{
    auto parent = Progress::discreteProgressWithTotalUnitCount(2);
    auto child = Progress::progressWithTotalUnitCount(1, parent, 1);
    auto grandchild = Progress::progressWithTotalUnitCount(1, child, 1);
    std::atomic<int> parentHandler{0}, grandchildHandler{0};
    parent->setCancellationHandler([&] { ++parentHandler; });
    grandchild->setCancellationHandler([&] { ++grandchildHandler; });
    parent->cancel();
    parent->cancel();
    EXPECT_EQ(parentHandler.load(), 1);
    EXPECT_EQ(grandchildHandler.load(), 1);
    EXPECT_TRUE(child->isCancelled());
    EXPECT_TRUE(grandchild->isCancelled());

    auto late = Progress::discreteProgressWithTotalUnitCount(1);
    parent->addChild(late, 1);
    EXPECT_TRUE(late->isCancelled());
    bool ranAtOnce = false;
    late->setCancellationHandler([&] { ranAtOnce = true; });
    EXPECT_TRUE(ranAtOnce);
}

TEST(Progress, PausingReachesEveryChildAndEachPauseRunsTheHandlerAgain)
{
    auto parent = Progress::discreteProgressWithTotalUnitCount(1);
    auto child = Progress::progressWithTotalUnitCount(1, parent, 1);
    int paused = 0, resumed = 0;
    child->setPausingHandler([&] { ++paused; });
    child->setResumingHandler([&] { ++resumed; });
    parent->pause();
    parent->pause();
    EXPECT_TRUE(child->isPaused());
    EXPECT_EQ(paused, 1);
    parent->resume();
    EXPECT_FALSE(child->isPaused());
    EXPECT_EQ(resumed, 1);
    parent->pause();
    EXPECT_EQ(paused, 2);
}

TEST(Progress, FractionStaysWithinZeroAndOneAndIndeterminateCountsGiveZero)
{
    struct Case {
        std::int64_t total, completed;
        double fraction;
        bool indeterminate, finished;
    };
    const Case cases[] = {
        {0, 0, 0.0, true, false},
        {-1, 5, 0.0, true, false},
        {10, -1, 0.0, true, false},
        {10, 5, 0.5, false, false},
        {10, 15, 1.0, false, true},
        {10, 10, 1.0, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.total) + "/" + std::to_string(c.completed));
        auto p = Progress::discreteProgressWithTotalUnitCount(c.total);
        p->setCompletedUnitCount(c.completed);
        EXPECT_DOUBLE_EQ(p->fractionCompleted(), c.fraction);
        EXPECT_EQ(p->isIndeterminate(), c.indeterminate);
        EXPECT_EQ(p->isFinished(), c.finished);
    }
}

TEST(Progress, DescriptionAndUserInfo)
{
    auto p = Progress::discreteProgressWithTotalUnitCount(4);
    p->setCompletedUnitCount(2);
    EXPECT_EQ(p->localizedDescription(), "50% completed");
    p->setLocalizedDescription("Exporting");
    EXPECT_EQ(p->localizedDescription(), "Exporting");
    p->setUserInfoObject("file", Value("a.mov"));
    EXPECT_EQ(p->userInfo()["file"], Value("a.mov"));
    p->setUserInfoObject("file", Value());
    EXPECT_FALSE(p->userInfo().contains("file"));
    EXPECT_TRUE(p->isCancellable());

    // Objects that are no property-list value ride beside it, and observers hear of both.
    int changes = 0;
    auto token = p->addObserver("userInfo", 0, [&](const KeyValueChange&) { ++changes; });
    auto picture = std::make_shared<const std::vector<int>>(std::vector<int>{1, 2, 3});
    p->setUserInfoItem("thumbnail", picture);
    EXPECT_EQ(std::any_cast<std::shared_ptr<const std::vector<int>>>(p->userInfoItem("thumbnail")), picture);
    EXPECT_FALSE(p->userInfoItem("other").has_value());
    p->setUserInfoObject("file", Value("b.mov"));
    p->setUserInfoItem("thumbnail", std::any());
    EXPECT_FALSE(p->userInfoItem("thumbnail").has_value());
    EXPECT_EQ(changes, 3);
}
