#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>

#include "MovaraAppKit/CrashReporter/MVCrashAsync.h"
#include "MovaraAppKit/CrashReporter/MVCrashAsyncList.h"
#include "MovaraAppKit/CrashReporter/MVCrashMemoryObject.h"
#include "Tests/Support/TempDir.h"

TEST(MVCrashAsync, ErrorTextsCoverTheTableAndNothingElse)
{
    EXPECT_STREQ(mvcrash_async_strerror(MVCRASH_ERR_NONE), "No error");
    EXPECT_STREQ(mvcrash_async_strerror(MVCRASH_ERR_INVALID_DATA), "The input data is in an unknown or invalid format.");
    EXPECT_STREQ(mvcrash_async_strerror(10), "Unhandled error code");
    EXPECT_STREQ(mvcrash_async_strerror(-1), "Unhandled error code");
}

TEST(MVCrashAsync, OffsetsThatWrapAreRefused)
{
    struct Case {
        std::uint64_t base;
        std::int64_t offset;
        bool ok;
        std::uint64_t result;
    };
    const Case cases[] = {
        { 0x10, -0x11, false, 0 },
        { 0x10, -0x10, true, 0 },
        { UINT64_MAX, 1, false, 0 },
        { UINT64_MAX - 1, 1, true, UINT64_MAX },
        { 0x1000, 0x20, true, 0x1020 },
        { 0, INT64_MIN, false, 0 },
    };
    for (const auto& c : cases) {
        std::uint64_t result = 0xAAAA;
        EXPECT_EQ(mvcrash_async_address_apply_offset(c.base, c.offset, &result), c.ok) << c.base << " " << c.offset;
        EXPECT_EQ(result, c.ok ? c.result : 0xAAAAu);
    }
    EXPECT_TRUE(mvcrash_async_address_apply_offset(1, 1, nullptr));
}

TEST(MVCrashAsync, TaskReadsReportUnreadableMemoryInsteadOfFaulting)
{
    const long page = ::sysconf(_SC_PAGESIZE);
    void* mapping = ::mmap(nullptr, static_cast<std::size_t>(page), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mapping, MAP_FAILED);
    std::uint8_t byte = 0x55;
    const auto address = reinterpret_cast<std::uint64_t>(mapping);
    EXPECT_EQ(mvcrash_async_task_read_uint8(MVCRASH_TASK_SELF, address, 0, &byte), MVCRASH_ERR_NOT_FOUND);
    ::munmap(mapping, static_cast<std::size_t>(page));
    EXPECT_EQ(mvcrash_async_task_memcpy(MVCRASH_TASK_SELF, UINT64_MAX - 1, 4, &byte, 1), MVCRASH_ERR_NO_MEMORY);
    EXPECT_EQ(byte, 0x55);

    const std::uint32_t value = 0x11223344;
    std::uint32_t out = 0;
    EXPECT_EQ(mvcrash_async_task_read_uint32(MVCRASH_TASK_SELF, mvcrash_async_byteorder_big_endian(), reinterpret_cast<std::uint64_t>(&value), 0, &out), MVCRASH_ERR_NONE);
    EXPECT_EQ(out, 0x44332211u);
    EXPECT_EQ(mvcrash_async_task_read_uint32(MVCRASH_TASK_SELF, mvcrash_async_byteorder_little_endian(), reinterpret_cast<std::uint64_t>(&value), 0, &out), MVCRASH_ERR_NONE);
    EXPECT_EQ(out, value);
}

TEST(MVCrashAsync, StringComparisonsAreBytewise)
{
    EXPECT_EQ(mvcrash_async_strncmp("abc", "abd", 2), 0);
    EXPECT_LT(mvcrash_async_strncmp("abc", "abd", 3), 0);
    EXPECT_EQ(mvcrash_async_strncmp("ab", "ab", 10), 0);
    EXPECT_EQ(mvcrash_async_strncmp("x", "y", 0), 0);
    EXPECT_LT(mvcrash_async_strcmp("a", "b"), 0);
    EXPECT_GT(mvcrash_async_strcmp("\xff", "a"), 0);
    char text[8];
    EXPECT_EQ(mvcrash_async_format_int(text, sizeof text, -1234), 5u);
    EXPECT_STREQ(text, "-1234");
    EXPECT_EQ(mvcrash_async_format_int(text, 4, 123456), 3u);
    EXPECT_STREQ(text, "123");
}

namespace {

off_t fileSize(const std::filesystem::path& path)
{
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_size;
}

} // namespace

TEST(MVCrashAsyncFile, TheLimitRefusesWholeWritesThatWouldPassIt)
{
    testsupport::TempDir dir;
    const auto path = dir / "out";
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    mvcrash_async_file_t file;
    mvcrash_async_file_init(&file, fd, 10);
    EXPECT_TRUE(mvcrash_async_file_write(&file, "abcdef", 6));
    EXPECT_TRUE(mvcrash_async_file_write(&file, "ghij", 4));
    EXPECT_FALSE(mvcrash_async_file_write(&file, "k", 1));
    EXPECT_TRUE(mvcrash_async_file_write(&file, "", 0));
    EXPECT_TRUE(mvcrash_async_file_close(&file));
    EXPECT_EQ(fileSize(path), 10);
}

TEST(MVCrashAsyncFile, SmallWritesGatherInTheBufferAndLargeOnesGoStraightThrough)
{
    testsupport::TempDir dir;
    const auto path = dir / "out";
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    mvcrash_async_file_t file;
    mvcrash_async_file_init(&file, fd, 0);
    const std::string a(200, 'a'), b(100, 'b'), c(300, 'c'), d(256, 'd');
    EXPECT_TRUE(mvcrash_async_file_write(&file, a.data(), a.size()));
    EXPECT_EQ(fileSize(path), 0);
    EXPECT_TRUE(mvcrash_async_file_write(&file, b.data(), b.size()));
    EXPECT_EQ(fileSize(path), 200);
    EXPECT_EQ(file.buflen, 100u);
    EXPECT_TRUE(mvcrash_async_file_write(&file, c.data(), c.size()));
    EXPECT_EQ(fileSize(path), 600);
    EXPECT_EQ(file.buflen, 0u);
    EXPECT_TRUE(mvcrash_async_file_write(&file, d.data(), d.size()));
    EXPECT_EQ(fileSize(path), 600); // exactly 256 bytes fit the buffer
    EXPECT_TRUE(mvcrash_async_file_close(&file));
    EXPECT_EQ(fileSize(path), 856);
}

namespace {
// The descriptor whose writes accept nothing (0 bytes, errno untouched), as a full device or a
// broken driver may answer; every other descriptor writes as usual.
std::atomic<int> g_stuckFd { -1 };
} // namespace

extern "C" ssize_t write(int fd, const void* data, size_t length)
{
    if (fd >= 0 && fd == g_stuckFd.load())
        return 0;
    return ::syscall(SYS_write, fd, data, length);
}

TEST(MVCrashAsyncFile, AWriteThatTakesNothingFailsEvenWithAStaleInterruptInErrno)
{
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::alarm(10); // a retry loop that never ends is ended here, and the test sees the signal
        int fds[2];
        if (::pipe(fds) != 0)
            ::_exit(2);
        g_stuckFd = fds[1];
        errno = EINTR;
        const long written = mvcrash_async_writen(fds[1], "report", 6);
        ::_exit(written < 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_FALSE(WIFSIGNALED(status)) << "the writer kept retrying a write that takes nothing";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "a write of nothing is reported as a failure";
}

TEST(MVCrashAsyncFile, AWriteErrorIsReportedAndTheBufferKept)
{
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    auto previous = ::signal(SIGPIPE, SIG_IGN);
    mvcrash_async_file_t file;
    mvcrash_async_file_init(&file, fds[1], 0);
    EXPECT_TRUE(mvcrash_async_file_write(&file, "abc", 3));
    EXPECT_FALSE(mvcrash_async_file_flush(&file));
    EXPECT_EQ(file.buflen, 3u);
    EXPECT_FALSE(mvcrash_async_file_close(&file)); // the flush fails, so the descriptor stays open
    ::close(fds[1]);
    ::signal(SIGPIPE, previous);
}

TEST(MVCrashMemoryObject, APartlyUnmappedRangeMapsOnlyItsReadablePages)
{
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    auto* mapping = static_cast<std::uint8_t*>(::mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(mapping, MAP_FAILED);
    ::munmap(mapping + page, page);
    const auto base = reinterpret_cast<std::uint64_t>(mapping);
    mvcrash_async_mobject_t mobj;
    EXPECT_EQ(mvcrash_async_mobject_init(&mobj, MVCRASH_TASK_SELF, base + 16, 2 * page - 32, true), MVCRASH_ERR_NO_MEMORY);
    ASSERT_EQ(mvcrash_async_mobject_init(&mobj, MVCRASH_TASK_SELF, base + 16, 2 * page - 32, false), MVCRASH_ERR_NONE);
    EXPECT_EQ(mvcrash_async_mobject_length(&mobj), page - 16);
    std::uint32_t value;
    const auto* le = mvcrash_async_byteorder_little_endian();
    // The last whole word fits; one byte further does not.
    EXPECT_EQ(mvcrash_async_mobject_read_uint32(&mobj, le, base + page - 4, 0, &value), MVCRASH_ERR_NONE);
    EXPECT_EQ(mvcrash_async_mobject_read_uint32(&mobj, le, base + page - 3, 0, &value), MVCRASH_ERR_INVALID_ARGUMENT);
    // Negative offsets may not reach before the first byte.
    EXPECT_FALSE(mvcrash_async_mobject_verify_local_pointer(&mobj, mobj.address, -1, 1));
    EXPECT_TRUE(mvcrash_async_mobject_verify_local_pointer(&mobj, mobj.address + 8, -8, 1));
    EXPECT_FALSE(mvcrash_async_mobject_verify_local_pointer(&mobj, mobj.address, INT64_MAX, 2));
    EXPECT_EQ(mvcrash_async_mobject_remap_address(&mobj, base + 16, 0, UINT64_MAX), nullptr);
    mvcrash_async_mobject_free(&mobj);
    ::munmap(mapping, page);
}

TEST(MVCrashAsyncList, ARemovedNodeStillLeadsItsReaderOnAndIsNotReusedUnderIt)
{
    mvcrash::async::async_list<int> list;
    for (int i = 1; i <= 4; ++i)
        list.nasync_append(i);
    list.set_reading(true);
    auto* first = list.next(nullptr);
    auto* second = list.next(first);
    ASSERT_EQ(second->value, 2);
    list.nasync_remove_node(second);
    EXPECT_TRUE(list.has_parked_nodes());
    // An append while the reader is active must take fresh memory: reusing the parked node would
    // send the reader standing on it to the list's new end.
    list.nasync_append(5);
    auto* after = list.next(second);
    ASSERT_NE(after, nullptr);
    EXPECT_EQ(after->value, 3);
    EXPECT_EQ(list.next(after)->value, 4);
    EXPECT_EQ(list.next(list.next(after))->value, 5);
    list.set_reading(false);

    std::vector<int> values;
    for (auto* n = list.next(nullptr); n; n = list.next(n))
        values.push_back(n->value);
    EXPECT_EQ(values, (std::vector<int> { 1, 3, 4, 5 }));
    // With no reader the parked node is taken again.
    list.nasync_append(6);
    EXPECT_FALSE(list.has_parked_nodes());
}

TEST(MVCrashAsyncList, PrependAndRemoveKeepHeadAndTailRight)
{
    mvcrash::async::async_list<int> list;
    list.nasync_prepend(2);
    list.nasync_append(3);
    list.nasync_prepend(1);
    auto* n = list.next(nullptr);
    ASSERT_EQ(n->value, 1);
    list.nasync_remove_node(n);
    auto* last = list.next(list.next(nullptr));
    ASSERT_EQ(last->value, 3);
    list.nasync_remove_node(last);
    list.nasync_append(4);
    std::vector<int> values;
    for (auto* m = list.next(nullptr); m; m = list.next(m))
        values.push_back(m->value);
    EXPECT_EQ(values, (std::vector<int> { 2, 4 }));
    list.nasync_remove_node(nullptr); // not in the list: nothing happens
}
