#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <unistd.h>

#include "Platform/Dispatch/FileSystemSource.h"
#include "Platform/Dispatch/Queue.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Tests/Support/TempDir.h"

using namespace dispatch;
namespace fs = std::filesystem;

namespace {

constexpr double Timeout = 10;

// A source on a path, recording every handler call's data.
struct Watched {
    Watched(const fs::path& path, unsigned mask, QueuePtr queue = Queue::serial("test.fs"))
    {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        source = FileSystemSource::make(fd, mask, std::move(queue));
        if (!source)
            return;
        source->setEventHandler([this] {
            std::lock_guard lock(mutex);
            bits |= static_cast<unsigned>(source->data());
            ++calls;
        });
        source->setCancelHandler([this] {
            ::close(fd);
            fd = -1;
            cancelled = true;
        });
        source->resume();
    }
    ~Watched()
    {
        if (source && !source->isCancelled()) {
            source->cancel();
            RunLoop::main().runUntil([this] { return cancelled.load(); }, Timeout);
        }
        if (fd >= 0)
            ::close(fd);
    }
    bool waitFor(unsigned wanted)
    {
        return RunLoop::main().runUntil([&] { std::lock_guard lock(mutex); return (bits & wanted) == wanted; }, Timeout);
    }
    unsigned seen()
    {
        std::lock_guard lock(mutex);
        return bits;
    }
    int callCount()
    {
        std::lock_guard lock(mutex);
        return calls;
    }

    int fd = -1;
    FileSystemSourcePtr source;
    std::mutex mutex;
    unsigned bits = 0;
    int calls = 0;
    std::atomic<bool> cancelled{false};
};

void touch(const fs::path& p, const char* text = "x")
{
    std::ofstream(p, std::ios::app) << text;
}

} // namespace

TEST(FileSystemSource, ReportsChangesOfADirectoryAndOfAFile)
{
    struct Case {
        const char* name;
        bool directory;
        std::function<void(const fs::path& node, const fs::path& dir)> change;
        unsigned expected;
    };
    const Case cases[] = {
        {"entry created", true, [](const fs::path& node, const fs::path&) { touch(node / "new"); }, FileSystemEventWrite},
        {"entry removed", true, [](const fs::path& node, const fs::path&) { fs::remove(node / "old"); }, FileSystemEventWrite},
        {"entry renamed", true, [](const fs::path& node, const fs::path&) { fs::rename(node / "old", node / "renamed"); }, FileSystemEventWrite},
        {"directory removed", true, [](const fs::path& node, const fs::path&) { fs::remove_all(node); }, FileSystemEventDelete},
        {"directory renamed", true, [](const fs::path& node, const fs::path& dir) { fs::rename(node, dir / "moved"); }, FileSystemEventRename},
        {"file written", false, [](const fs::path& node, const fs::path&) { touch(node, "more"); }, FileSystemEventWrite},
        {"file renamed", false, [](const fs::path& node, const fs::path& dir) { fs::rename(node, dir / "moved"); }, FileSystemEventRename},
        {"file deleted while held open", false, [](const fs::path& node, const fs::path&) { fs::remove(node); }, FileSystemEventDelete},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TempDir dir;
        const fs::path node = dir / "node";
        if (c.directory) {
            fs::create_directory(node);
            touch(node / "old");
        } else {
            touch(node);
        }
        Watched w(node, FileSystemEventWrite | FileSystemEventDelete | FileSystemEventRename);
        ASSERT_NE(w.source, nullptr);
        c.change(node, dir.path());
        EXPECT_TRUE(w.waitFor(c.expected)) << "saw " << w.seen();
    }
}

TEST(FileSystemSource, AFileChangingInsideAWatchedDirectoryIsNotAWriteOfTheDirectory)
{
    testsupport::TempDir dir;
    fs::create_directory(dir / "watched");
    fs::create_directory(dir / "sentinel");
    touch(dir / "watched" / "child");
    auto q = Queue::serial("test.fs.order");
    Watched watched(dir / "watched", FileSystemEventWrite, q);
    Watched sentinel(dir / "sentinel", FileSystemEventWrite, q);
    ASSERT_TRUE(watched.source && sentinel.source);

    touch(dir / "watched" / "child", "content");
    // Events arrive in order and are handed to one serial queue: once the sentinel's change has
    // been handled, any report about the watched directory would have been too.
    touch(dir / "sentinel" / "file");
    ASSERT_TRUE(sentinel.waitFor(FileSystemEventWrite));
    q->sync([] { });
    EXPECT_EQ(watched.callCount(), 0);
}

TEST(FileSystemSource, OnlyAskedForEventsAreReportedAndMergedWhileSuspended)
{
    testsupport::TempDir dir;
    touch(dir / "f");
    Watched w(dir / "f", FileSystemEventRename | FileSystemEventWrite);
    ASSERT_NE(w.source, nullptr);
    w.source->suspend();
    touch(dir / "f", "a");
    fs::rename(dir / "f", dir / "g");
    fs::remove(dir / "g"); // not asked for
    // Give the watcher a chance to see all three before resuming.
    Watched sentinel(dir.path(), FileSystemEventWrite);
    touch(dir / "s");
    ASSERT_TRUE(sentinel.waitFor(FileSystemEventWrite));
    w.source->resume();
    ASSERT_TRUE(w.waitFor(FileSystemEventRename | FileSystemEventWrite));
    w.source->queue()->sync([] { });
    EXPECT_EQ(w.callCount(), 1);
    EXPECT_EQ(w.seen(), unsigned(FileSystemEventRename | FileSystemEventWrite));
}

TEST(FileSystemSource, CancelHandlerMayCloseTheDescriptorAndNothingIsReportedAfterwards)
{
    testsupport::TempDir dir;
    Watched w(dir.path(), FileSystemEventWrite);
    ASSERT_NE(w.source, nullptr);
    w.source->cancel();
    ASSERT_TRUE(RunLoop::main().runUntil([&] { return w.cancelled.load(); }, Timeout));
    EXPECT_EQ(w.fd, -1);
    touch(dir / "after");
    Watched sentinel(dir.path(), FileSystemEventWrite);
    touch(dir / "after2");
    ASSERT_TRUE(sentinel.waitFor(FileSystemEventWrite));
    EXPECT_EQ(w.callCount(), 0);
}

TEST(FileSystemSource, ABadDescriptorGivesNoSourceAndTheReason)
{
    int error = 0;
    EXPECT_EQ(FileSystemSource::make(-1, FileSystemEventWrite, Queue::main(), &error), nullptr);
    EXPECT_EQ(error, EBADF);
    const int fd = ::open("/dev/null", O_RDONLY);
    ::close(fd);
    EXPECT_EQ(FileSystemSource::make(fd, FileSystemEventWrite, Queue::main(), &error), nullptr);
    EXPECT_EQ(error, EBADF);
}
