#include "Platform/Foundation/FileCoordinator.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "Tests/Support/ScopedEnv.h"
#include "Tests/Support/TempDir.h"

using foundation::URL;

TEST(FileCoordinator, TheGroupContainerLivesInTheDataHomeAndIsPrivate)
{
    testsupport::TempDir dir;
    testsupport::ScopedEnv env("XDG_DATA_HOME", dir.path().c_str());
    auto container = foundation::containerURLForSecurityApplicationGroupIdentifier("group.com.example.shared");
    ASSERT_TRUE(container);
    EXPECT_EQ(std::filesystem::path(container->path()), dir.path() / "Group Containers" / "group.com.example.shared");
    struct stat st {};
    ASSERT_EQ(::stat(container->path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    for (const char* bad : {"", "..", "a/b", "."})
        EXPECT_FALSE(foundation::containerURLForSecurityApplicationGroupIdentifier(bad)) << bad;
    const std::string blocked = dir.write("file", "x").string() + "/data";
    testsupport::ScopedEnv unusable("XDG_DATA_HOME", blocked.c_str());
    EXPECT_FALSE(foundation::containerURLForSecurityApplicationGroupIdentifier("group.com.example.shared"));
}

TEST(FileCoordinator, WritersHoldTheFolderLockWhileTheAccessorRuns)
{
    testsupport::TempDir dir;
    const URL item = URL::fileURLWithPath((dir / "item").string());
    auto otherWriterCanLock = [&] {
        const int fd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
        const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        ::close(fd);
        return free;
    };
    bool ran = false;
    bool lockedMeanwhile = false;
    foundation::FileCoordinator coordinator;
    EXPECT_TRUE(coordinator.coordinateWritingItemAtURL(item, foundation::FileCoordinatorWritingForReplacing, [&](const URL& url) {
        ran = true;
        EXPECT_EQ(url, item);
        lockedMeanwhile = !otherWriterCanLock();
    }));
    EXPECT_TRUE(ran);
    EXPECT_TRUE(lockedMeanwhile);
    EXPECT_TRUE(otherWriterCanLock());

    foundation::ErrorPtr error;
    bool called = false;
    EXPECT_FALSE(coordinator.coordinateWritingItemAtURL(URL::fileURLWithPath("/nonexistent/folder/item"), 0,
                                                        [&](const URL&) { called = true; }, &error));
    EXPECT_FALSE(called);
    EXPECT_TRUE(error);
}
