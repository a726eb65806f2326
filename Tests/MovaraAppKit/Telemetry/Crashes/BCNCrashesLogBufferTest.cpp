#include "MovaraAppKit/Telemetry/Crashes/BCNCrashesLogBuffer.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "Tests/Support/TempDir.h"

namespace {

std::vector<std::uint8_t> bytes(const std::string& text) { return { text.begin(), text.end() }; }

std::string contentsOf(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return { std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>() };
}

// The crash handler's save, in a child that then dies of a signal, as a crashed process would.
void saveInCrashingChild(BCNCrashesLogBuffer& buffer)
{
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        BCNCrashesLogBuffer::install(&buffer);
        bcn_save_log_buffer();
        ::signal(SIGABRT, SIG_DFL);
        ::raise(SIGABRT);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
}

struct Restored {
    std::string archive;
    std::optional<std::string> token;
};

std::vector<Restored> restore(BCNCrashesLogBuffer& buffer)
{
    std::vector<Restored> restored;
    buffer.processSavedFiles([&](const std::vector<std::uint8_t>& archive, const std::optional<std::string>& token) {
        restored.push_back({ std::string(archive.begin(), archive.end()), token });
        return true;
    });
    return restored;
}

} // namespace

TEST(BCNCrashesLogBufferTest, SetUpCreatesOneEmptyFilePerSlotAndKeepsOneACrashSaved)
{
    testsupport::TempDir dir;
    const auto folder = (dir / "crasheslogbuffer").string();
    {
        BCNCrashesLogBuffer buffer(folder);
        EXPECT_EQ(buffer.bufferPath(0), folder + "/0.bcncrasheslogbuffer");
        EXPECT_EQ(buffer.tokenPath(59), folder + "/59.targettoken");
        for (std::size_t i = 0; i < BCNCrashesLogBuffer::kSlotCount; ++i)
            ASSERT_TRUE(std::filesystem::exists(buffer.bufferPath(i))) << i;
        EXPECT_FALSE(std::filesystem::exists(buffer.tokenPath(0)));
    }
    {
        std::ofstream(folder + "/7.bcncrasheslogbuffer") << "saved";
    }
    BCNCrashesLogBuffer again(folder);
    EXPECT_EQ(contentsOf(folder + "/7.bcncrasheslogbuffer"), "saved");
}

TEST(BCNCrashesLogBufferTest, FillsFreeSlotsThenOverwritesTheOldestWithItsOwnToken)
{
    testsupport::TempDir dir;
    BCNCrashesLogBuffer buffer((dir / "b").string());
    EXPECT_EQ(buffer.bufferLog({}, "", "empty", 1), std::nullopt) << "an empty archive is not buffered";
    EXPECT_EQ(buffer.bufferLog(std::vector<std::uint8_t>(BCNCrashesLogBuffer::kSlotCapacity + 1, 1), "", "big", 1), std::nullopt);

    // Slots 0..59 get times 100..159, except slots 3 and 9 which share the oldest time.
    for (std::size_t i = 0; i < BCNCrashesLogBuffer::kSlotCount; ++i) {
        const double time = (i == 3 || i == 9) ? 50 : 100 + static_cast<double>(i);
        EXPECT_EQ(buffer.bufferLog(bytes("log" + std::to_string(i)), i == 3 ? "old-token" : "", "id" + std::to_string(i), time), i);
    }
    EXPECT_EQ(buffer.bufferLog(bytes("new"), "", "idnew", 200), 3u) << "the lowest index among the oldest";
    auto slot = buffer.slotContents(3);
    EXPECT_EQ(std::string(slot.archive.begin(), slot.archive.end()), "new");
    EXPECT_EQ(slot.token, "") << "an overwritten slot never keeps the old log's token";
    EXPECT_EQ(slot.internalId, "idnew");
    EXPECT_EQ(buffer.bufferLog(bytes("newer"), "its-token", "idnewer", 201), 9u);
    EXPECT_EQ(buffer.slotContents(9).token, "its-token");

    buffer.releaseLog("id20");
    EXPECT_TRUE(buffer.slotContents(20).archive.empty());
    EXPECT_EQ(buffer.slotContents(20).timestamp, 0);
    EXPECT_EQ(buffer.bufferLog(bytes("reuse"), "", "idreuse", 300), 20u) << "a freed slot is used before any overwrite";
}

TEST(BCNCrashesLogBufferTest, OnlyLogsInFlightAtTheCrashComeBackOnceWithTheirTokens)
{
    testsupport::TempDir dir;
    const auto folder = (dir / "b").string();
    {
        BCNCrashesLogBuffer buffer(folder);
        buffer.bufferLog(bytes("stored"), "", "a", 1);
        buffer.bufferLog(bytes("in flight"), "secret-token", "b", 2);
        buffer.bufferLog(bytes("also in flight"), "", "c", 3);
        buffer.releaseLog("a");
        saveInCrashingChild(buffer);
    }
    EXPECT_EQ(contentsOf(folder + "/0.bcncrasheslogbuffer"), "");
    EXPECT_EQ(contentsOf(folder + "/1.targettoken"), "secret-token");
    EXPECT_FALSE(std::filesystem::exists(folder + "/2.targettoken"));

    BCNCrashesLogBuffer next(folder);
    auto restored = restore(next);
    std::map<std::string, std::optional<std::string>> byArchive;
    for (const auto& log : restored)
        byArchive[log.archive] = log.token;
    EXPECT_EQ(restored.size(), 2u);
    EXPECT_EQ(byArchive["in flight"], std::optional<std::string>("secret-token"));
    EXPECT_EQ(byArchive["also in flight"], std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(folder + "/1.targettoken")) << "the token file goes once its log is back";
    EXPECT_EQ(contentsOf(folder + "/1.bcncrasheslogbuffer"), "");
    EXPECT_TRUE(restore(next).empty()) << "each log comes back once";
}

TEST(BCNCrashesLogBufferTest, AFileThatCannotBeReadBackIsKeptForTheNextLaunch)
{
    testsupport::TempDir dir;
    const auto folder = (dir / "b").string();
    BCNCrashesLogBuffer buffer(folder);
    std::ofstream(folder + "/4.bcncrasheslogbuffer") << "garbage";
    std::ofstream(folder + "/4.targettoken") << "tok";
    int attempts = 0;
    for (int launch = 0; launch < 2; ++launch)
        buffer.processSavedFiles([&](const auto&, const auto&) { ++attempts; return false; });
    EXPECT_EQ(attempts, 2);
    EXPECT_EQ(contentsOf(folder + "/4.bcncrasheslogbuffer"), "garbage");
    EXPECT_TRUE(std::filesystem::exists(folder + "/4.targettoken"));

    // Disabling the service empties buffer files but leaves token files.
    EXPECT_TRUE(buffer.emptyBufferFiles());
    EXPECT_EQ(contentsOf(folder + "/4.bcncrasheslogbuffer"), "");
    EXPECT_TRUE(std::filesystem::exists(folder + "/4.targettoken"));

    std::filesystem::remove_all(folder);
    EXPECT_FALSE(buffer.emptyBufferFiles()) << "a folder that cannot be listed";
    EXPECT_EQ(buffer.processSavedFiles([](const auto&, const auto&) { return true; }), 0u);
}

TEST(BCNCrashesLogBufferTest, AReleaseAfterTheCrashSaveStartedRemovesTheSavedFile)
{
    testsupport::TempDir dir;
    const auto folder = (dir / "b").string();
    BCNCrashesLogBuffer buffer(folder);
    buffer.bufferLog(bytes("one"), "", "x", 1);
    // The save runs on the crashing thread while this one still completes an enqueue.
    buffer.saveToFiles();
    EXPECT_EQ(contentsOf(buffer.bufferPath(0)), "one");
    buffer.releaseLog("x");
    EXPECT_FALSE(std::filesystem::exists(buffer.bufferPath(0))) << "the log is in the store: it must not come back too";
}

TEST(BCNCrashesLogBufferTest, NothingIsSavedWhenNoBufferIsInstalled)
{
    testsupport::TempDir dir;
    const auto folder = (dir / "b").string();
    {
        BCNCrashesLogBuffer buffer(folder);
        BCNCrashesLogBuffer::install(&buffer);
        buffer.bufferLog(bytes("one"), "", "x", 1);
    }
    EXPECT_EQ(BCNCrashesLogBuffer::installed(), nullptr) << "a destroyed buffer uninstalls itself";
    bcn_save_log_buffer();
    EXPECT_EQ(contentsOf(folder + "/0.bcncrasheslogbuffer"), "");
}

TEST(BCNCrashesLogBufferTest, AFileLargerThanASlotIsNotReadButEmptied)
{
    testsupport::TempDir dir;
    const auto folder = (dir / "b").string();
    BCNCrashesLogBuffer buffer(folder);
    // Sparse: 1 GB that costs nothing on disk, only a reader that trusts its size.
    std::ofstream(folder + "/5.bcncrasheslogbuffer") << "x";
    std::filesystem::resize_file(folder + "/5.bcncrasheslogbuffer", std::uintmax_t(1) << 30);
    int attempts = 0;
    buffer.processSavedFiles([&](const auto&, const auto&) { ++attempts; return true; });
    EXPECT_EQ(attempts, 0);
    EXPECT_EQ(std::filesystem::file_size(folder + "/5.bcncrasheslogbuffer"), 0u);
}
