// Working files a process ends without: what is registered goes when the process ends on a
// signal, and a file made on another thread at that moment is either taken along or never made.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <thread>

#include "Platform/Foundation/TemporaryFolder.h"
#include "Tests/Support/TempDir.h"

namespace fs = std::filesystem;
using foundation::TemporaryFolder;

namespace {

// Makes `path` as a new file and registers it; false with errno set when nothing was made.
bool makeFile(const fs::path& path)
{
    return TemporaryFolder::makeRegistered([&]() -> std::optional<std::string> {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0)
            return std::nullopt;
        ::close(fd);
        return path.string();
    });
}

bool isEmpty(const fs::path& folder)
{
    return fs::directory_iterator(folder) == fs::directory_iterator();
}

TEST(TemporaryFolder, RegisteredFilesGoWhenTheProcessEnds)
{
    testsupport::TempDir dir;
    ASSERT_TRUE(makeFile(dir.path() / "a"));
    ASSERT_TRUE(makeFile(dir.path() / "b"));
    TemporaryFolder::unregisterItem((dir.path() / "b").string());
    TemporaryFolder::removeRegisteredItems();
    EXPECT_FALSE(fs::exists(dir.path() / "a"));
    EXPECT_TRUE(fs::exists(dir.path() / "b")) << "a file its owner took back stays";
    // A failed make registers nothing and keeps its reason.
    EXPECT_FALSE(makeFile(dir.path() / "b"));
    EXPECT_EQ(errno, EEXIST);
    TemporaryFolder::removeRegisteredItems();
    EXPECT_TRUE(fs::exists(dir.path() / "b"));
}

TEST(TemporaryFolder, FilesMadeWhileTheProcessEndsAreTakenAlongOrNeverMade)
{
    testsupport::TempDir dir;
    // In a child of its own: once a process has begun to end, it makes nothing more.
    for (int round = 0; round < 20; ++round) {
        const fs::path folder = dir.path() / std::to_string(round);
        fs::create_directories(folder);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            std::atomic<bool> started {false};
            // Bounded, so that a process that kept making files fails the round instead of
            // filling the disk.
            std::thread maker([&] {
                for (int i = 0; i < 100000; ++i) {
                    started = true;
                    if (!makeFile(folder / std::to_string(i)))
                        break;
                }
            });
            while (!started)
                std::this_thread::yield();
            TemporaryFolder::removeRegisteredItems(true);
            const bool nothingLeft = isEmpty(folder);
            maker.join();
            const bool refused = !makeFile(folder / "late") && errno == ECANCELED;
            ::_exit(nothingLeft && isEmpty(folder) && refused ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round << ": left "
                                                                   << std::distance(fs::directory_iterator(folder), {});
    }
}

} // namespace
