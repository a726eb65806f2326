#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Dispatch/Queue.h"
#include "Platform/Foundation/NotificationCenter.h"

using namespace foundation;

TEST(NotificationCenter, NameAndObjectFilters)
{
    NotificationCenter center;
    int poster1 = 0, poster2 = 0;
    std::vector<std::string> seen;
    struct Filter {
        const char* label;
        std::string name;
        const void* object;
    };
    const Filter filters[] = {
        { "any", "", nullptr },
        { "A", "A", nullptr },
        { "A from 1", "A", &poster1 },
        { "any from 2", "", &poster2 },
    };
    std::vector<NotificationCenter::Token> tokens;
    for (const auto& f : filters) {
        tokens.push_back(center.addObserver(f.name, f.object, nullptr, [&seen, label = f.label](const Notification& n) {
            seen.push_back(std::string(label) + ":" + n.name);
        }));
    }
    struct Post {
        std::string name;
        const void* object;
        std::vector<std::string> expected;
    };
    const Post posts[] = {
        { "A", nullptr, { "any:A", "A:A" } },
        { "A", &poster1, { "any:A", "A:A", "A from 1:A" } },
        { "B", &poster2, { "any:B", "any from 2:B" } },
        { "B", &poster1, { "any:B" } },
    };
    for (const auto& p : posts) {
        seen.clear();
        center.post(p.name, p.object);
        EXPECT_EQ(seen, p.expected) << p.name;
    }
}

TEST(NotificationCenter, CarriesUserInfoAndTheObject)
{
    NotificationCenter center;
    struct Poster {
        int id = 7;
    };
    auto poster = std::make_shared<Poster>();
    int id = 0;
    std::string reason;
    auto token = center.addObserver("N", poster.get(), nullptr, [&](const Notification& n) {
        id = n.objectAs<Poster>()->id;
        reason = *n.userInfoValue<std::string>("reason");
        EXPECT_EQ(n.userInfoValue<int>("reason"), nullptr);
    });
    center.post("N", poster, { { "reason", std::string("test") } });
    EXPECT_EQ(id, 7);
    EXPECT_EQ(reason, "test");
}

TEST(NotificationCenter, RemovalAndAdditionDuringAPost)
{
    NotificationCenter center;
    std::vector<std::string> calls;
    NotificationCenter::Token second, late;
    NotificationCenter::Token first = center.addObserver("N", nullptr, nullptr, [&](const Notification&) {
        calls.push_back("first");
        first.remove();
        second.remove();
        late = center.addObserver("N", nullptr, nullptr, [&](const Notification&) { calls.push_back("late"); });
    });
    second = center.addObserver("N", nullptr, nullptr, [&](const Notification&) { calls.push_back("second"); });
    center.post("N");
    EXPECT_EQ(calls, std::vector<std::string> { "first" });
    center.post("N");
    EXPECT_EQ(calls, (std::vector<std::string> { "first", "late" }));
}

TEST(NotificationCenter, TokenRemovesItsObservationWhenDestroyed)
{
    NotificationCenter center;
    int calls = 0;
    {
        auto token = center.addObserver("N", nullptr, nullptr, [&](const Notification&) { ++calls; });
        center.post("N");
    }
    center.post("N");
    EXPECT_EQ(calls, 1);
}

TEST(NotificationCenter, ObserverWithAQueueRunsThereBeforePostReturns)
{
    NotificationCenter center;
    auto queue = dispatch::Queue::serial("test.notifications");
    std::string label;
    auto token = center.addObserver("N", nullptr, queue, [&](const Notification&) { label = dispatch::Queue::currentLabel(); });
    center.post("N");
    EXPECT_EQ(label, "test.notifications");

    // Posting from the observer's own queue runs it inline instead of waiting on itself.
    label.clear();
    queue->sync([&] { center.post("N"); });
    EXPECT_EQ(label, "test.notifications");
}

namespace {
struct Listener {
    std::vector<std::string> received;
    void onNotification(const Notification& n) { received.push_back(n.name); }
};
} // namespace

TEST(NotificationCenter, TargetObserversAreHeldWeaklyAndRemovedByTarget)
{
    NotificationCenter center;
    auto listener = std::make_shared<Listener>();
    center.addObserver(listener, &Listener::onNotification, "A");
    center.addObserver(listener, &Listener::onNotification, "B");
    center.post("A");
    center.post("B");
    center.removeObserver(listener, "A");
    center.post("A");
    center.post("B");
    EXPECT_EQ(listener->received, (std::vector<std::string> { "A", "B", "B" }));
    center.removeObserver(listener);
    center.post("B");
    EXPECT_EQ(listener->received.size(), 3u);

    auto shortLived = std::make_shared<Listener>();
    center.addObserver(shortLived, &Listener::onNotification, "C");
    shortLived.reset();
    center.post("C"); // must not touch the released listener
}

TEST(NotificationCenter, ConcurrentPostsAndRegistrations)
{
    NotificationCenter center;
    std::atomic<int> delivered { 0 };
    auto token = center.addObserver("N", nullptr, nullptr, [&](const Notification&) { ++delivered; });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 250; ++i) {
                if (t % 2) {
                    center.post("N");
                } else {
                    auto temporary = center.addObserver("other", nullptr, nullptr, [](const Notification&) { });
                    center.post("other");
                }
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(delivered.load(), 500);
}
