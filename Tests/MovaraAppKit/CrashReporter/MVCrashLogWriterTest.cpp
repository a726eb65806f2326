#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <iterator>
#include <vector>

#include "MovaraAppKit/CrashReporter/MVCrashLogWriter.h"
#include "MovaraAppKit/CrashReporter/MVCrashReport.h"
#include "MovaraAppKit/CrashReporter/MVCrashReportTextFormatter.h"
#include "MovaraAppKit/Telemetry/Core/Context/BCNDeviceTracker.h"
#include "Platform/System/DeviceFacts.h"
#include "MovaraAppKit/CrashReporter/MVCrashWriterPack.h"
#include "Platform/System/Threads.h"
#include "Tests/Support/TempDir.h"

namespace {

std::vector<std::uint8_t> packed(std::uint32_t field, ProtobufCType type, const void* value)
{
    testsupport::TempDir dir;
    const auto path = dir / "field";
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    mvcrash_async_file_t file;
    mvcrash_async_file_init(&file, fd, 0);
    const std::size_t size = mvcrash_writer_pack(&file, field, type, value);
    mvcrash_async_file_close(&file);
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(size, bytes.size());
    EXPECT_EQ(mvcrash_writer_pack(nullptr, field, type, value), size) << "the dry run counts the same bytes";
    return bytes;
}

} // namespace

TEST(MVCrashWriterPack, FieldsEncodeAsProtocolBuffersDo)
{
    using B = std::vector<std::uint8_t>;
    const std::uint64_t big = 1ULL << 63, small = 127, two = 128;
    const std::int32_t minusOne = -1;
    const std::uint8_t yes = 1;
    const std::uint32_t body = 300;
    plprotobuf_cbinary_data_t none { 0, nullptr };
    EXPECT_EQ(packed(3, PROTOBUF_C_TYPE_UINT64, &small), (B { 0x18, 0x7F }));
    EXPECT_EQ(packed(3, PROTOBUF_C_TYPE_UINT64, &two), (B { 0x18, 0x80, 0x01 }));
    EXPECT_EQ(packed(3, PROTOBUF_C_TYPE_UINT64, &big).size(), 11u);
    EXPECT_EQ(packed(1, PROTOBUF_C_TYPE_INT32, &minusOne), (B { 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01 }));
    EXPECT_EQ(packed(1, PROTOBUF_C_TYPE_SINT32, &minusOne), (B { 0x08, 0x01 }));
    EXPECT_EQ(packed(2, PROTOBUF_C_TYPE_BOOL, &yes), (B { 0x10, 0x01 }));
    EXPECT_EQ(packed(6, PROTOBUF_C_TYPE_MESSAGE, &body), (B { 0x32, 0xAC, 0x02 }));
    EXPECT_EQ(packed(1, PROTOBUF_C_TYPE_STRING, ""), (B { 0x0A, 0x00 }));
    EXPECT_EQ(packed(1, PROTOBUF_C_TYPE_STRING, "ab"), (B { 0x0A, 0x02, 'a', 'b' }));
    EXPECT_EQ(packed(10, PROTOBUF_C_TYPE_BYTES, &none), (B { 0x52, 0x00 }));
    const std::uint32_t fixed = 0x01020304;
    EXPECT_EQ(packed(1, PROTOBUF_C_TYPE_FIXED32, &fixed), (B { 0x0D, 0x04, 0x03, 0x02, 0x01 }));
}

namespace {

struct WriteRequest {
    mvcrash_log_writer_t* writer;
    mvcrash_async_file_t* file;
    mvcrash_async_image_list_t* images;
};

mvcrash_error_t writeHere(mvcrash_async_thread_state_t* state, void* context)
{
    auto* request = static_cast<WriteRequest*>(context);
    mvcrash_log_bsd_signal_info_t bsd { 11, 1, 0x10 };
    mvcrash_log_signal_info_t info { &bsd, nullptr };
    return mvcrash_log_writer_write(request->writer, sys::currentThreadId(), request->images, request->file, &info, state);
}

// Writes one report of the calling thread with the given output limit and decodes it.
std::shared_ptr<MVCrashReport> writeReport(mvcrash_log_writer_t* writer, std::uint64_t limit, bool withState, std::vector<std::uint8_t>* bytesOut = nullptr)
{
    sys::installThreadSuspension();
    testsupport::TempDir dir;
    const auto path = dir / "report";
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    mvcrash_async_file_t file;
    mvcrash_async_file_init(&file, fd, limit);
    mvcrash_async_image_list_t images;
    mvcrash_nasync_image_list_init(&images, MVCRASH_TASK_SELF);
    WriteRequest request { writer, &file, &images };
    if (withState) {
        mvcrash_async_thread_state_current(writeHere, &request);
    } else {
        mvcrash_log_bsd_signal_info_t bsd { 5, 2, 0 };
        mvcrash_log_signal_info_t info { &bsd, nullptr };
        mvcrash_log_writer_write(writer, 0, &images, &file, &info, nullptr);
    }
    EXPECT_TRUE(mvcrash_async_file_close(&file));
    EXPECT_LE(file.total_bytes, limit == 0 ? UINT64_MAX : limit);
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytesOut)
        *bytesOut = bytes;
    foundation::ErrorPtr error;
    auto report = MVCrashReport::initWithData(bytes, &error);
    EXPECT_TRUE(report) << (error ? error->localizedDescription() : "");
    return report;
}

struct WriterFixture : ::testing::Test {
    mvcrash_log_writer_t writer;
    void SetUp() override { ASSERT_EQ(mvcrash_log_writer_init(&writer, "com.movara.test", "7", nullptr, 1, false), MVCRASH_ERR_NONE); }
    void TearDown() override { mvcrash_log_writer_free(&writer); }
};

} // namespace

TEST_F(WriterFixture, AReportOfTheCallingThreadNamesItsFramesAndKeepsItsUUID)
{
    auto first = writeReport(&writer, 0, true);
    auto second = writeReport(&writer, 0, true);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->uuidRef(), second->uuidRef()) << "one writer, one report identifier";
    EXPECT_EQ(first->applicationInfo().applicationMarketingVersion, "") << "written empty when none was given";
    EXPECT_EQ(first->signalInfo().name, "SIGSEGV");
    const MVCrashReportThreadInfo* crashed = nullptr;
    for (const auto& thread : first->threads())
        if (thread.crashed)
            crashed = &thread;
    ASSERT_NE(crashed, nullptr);
    EXPECT_EQ(crashed->registers.size(), 21u);
    EXPECT_EQ(crashed->registers[0].registerName, "rip");
    ASSERT_FALSE(crashed->stackFrames.empty());
    ASSERT_TRUE(crashed->stackFrames[0].symbolInfo);
    EXPECT_NE(crashed->stackFrames[0].symbolInfo->symbolName.find("mvcrash_async_thread_state_current"), std::string::npos);
    for (const auto& thread : first->threads()) {
        if (!thread.crashed) {
            EXPECT_TRUE(thread.registers.empty());
        }
    }
}

TEST_F(WriterFixture, WithoutACapturedStateTheWritingThreadIsLeftOut)
{
    std::atomic<bool> done { false };
    std::thread other([&] {
        while (!done)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    sys::ThreadId ids[256];
    const long all = sys::listThreads(ids, 256);
    auto report = writeReport(&writer, 0, false);
    done = true;
    other.join();
    ASSERT_TRUE(report);
    EXPECT_EQ(static_cast<long>(report->threads().size()), all - 1);
    for (const auto& thread : report->threads()) {
        EXPECT_FALSE(thread.crashed);
        EXPECT_FALSE(thread.stackFrames.empty());
    }
}

TEST_F(WriterFixture, AThreadThatLeavesNoRegistersIsListedWithoutFrames)
{
    // It blocks every signal, so it never answers the suspension: its stack is not walked from a
    // state nobody read.
    std::atomic<bool> ready { false }, done { false };
    std::thread blocker([&] {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
        ready = true;
        while (!done)
            std::this_thread::yield();
    });
    while (!ready)
        std::this_thread::yield();
    auto report = writeReport(&writer, 0, true);
    done = true;
    blocker.join();
    ASSERT_TRUE(report);
    std::size_t withoutFrames = 0;
    for (const auto& thread : report->threads())
        withoutFrames += thread.stackFrames.empty() && !thread.crashed;
    EXPECT_GE(withoutFrames, 1u);
}

TEST_F(WriterFixture, StrategyZeroWritesNoSymbolsAndCustomDataMayBeEmpty)
{
    mvcrash_log_writer_free(&writer);
    ASSERT_EQ(mvcrash_log_writer_init(&writer, "com.movara.test", "7", nullptr, 0, false), MVCRASH_ERR_NONE);
    mvcrash_log_writer_set_custom_data(&writer, "", 0, true);
    auto report = writeReport(&writer, 0, true);
    ASSERT_TRUE(report);
    for (const auto& thread : report->threads())
        for (const auto& frame : thread.stackFrames)
            EXPECT_FALSE(frame.symbolInfo);
    ASSERT_TRUE(report->customData());
    EXPECT_TRUE(report->customData()->empty());
}

TEST_F(WriterFixture, UnderASmallLimitTheReportStaysDecodableAndSaysItWasCut)
{
    std::vector<std::uint8_t> custom(4000, 0xAB);
    mvcrash_log_writer_set_custom_data(&writer, custom.data(), custom.size(), true);
    const std::vector<std::uint64_t> callstack(600, 0x401000);
    mvcrash_log_writer_set_exception(&writer, "Boom", "too big", callstack.data(), callstack.size());
    for (const std::uint64_t limit : { 3000ULL, 1200ULL, 700ULL }) {
        std::vector<std::uint8_t> bytes;
        auto report = writeReport(&writer, limit, true, &bytes);
        ASSERT_TRUE(report) << limit;
        EXPECT_LE(bytes.size(), limit);
        EXPECT_TRUE(report->isTruncated()) << limit;
        EXPECT_FALSE(report->images().empty());
        bool crashed = false;
        for (const auto& thread : report->threads())
            crashed = crashed || thread.crashed;
        EXPECT_TRUE(crashed) << "the crashed thread is never the one left out";
        EXPECT_FALSE(report->customData()) << "4000 bytes never fit";
    }
    // Without a limit everything is there, the exception capped at 512 frames.
    auto whole = writeReport(&writer, 0, true);
    ASSERT_TRUE(whole);
    EXPECT_FALSE(whole->isTruncated());
    ASSERT_TRUE(whole->exceptionInfo());
    EXPECT_EQ(whole->exceptionInfo()->stackFrames->size(), 512u);
    EXPECT_EQ(whole->customData()->size(), 4000u);
}

namespace {

const MVCrashReportThreadInfo* crashedThreadOf(const MVCrashReport& report)
{
    for (const auto& thread : report.threads())
        if (thread.crashed)
            return &thread;
    return nullptr;
}

} // namespace

TEST_F(WriterFixture, WhenTheThreadsCannotBeListedTheCrashedOneIsStillWritten)
{
    // No descriptor is left for the thread listing, as in a process that crashed because it
    // ran out of them.
    testsupport::TempDir dir;
    const auto path = dir / "report";
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::alarm(20);
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        if (fd < 0)
            ::_exit(2);
        mvcrash_async_image_list_t images;
        mvcrash_nasync_image_list_init(&images, MVCRASH_TASK_SELF);
        rlimit few { 16, 16 };
        ::setrlimit(RLIMIT_NOFILE, &few);
        while (::dup(0) >= 0) { }
        sys::ThreadId ids[4];
        if (sys::listThreads(ids, 4) >= 0)
            ::_exit(3); // the listing still works: nothing would be shown
        mvcrash_async_file_t file;
        mvcrash_async_file_init(&file, fd, 0);
        WriteRequest request { &writer, &file, &images };
        mvcrash_async_thread_state_current(writeHere, &request);
        ::_exit(mvcrash_async_file_close(&file) ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    foundation::ErrorPtr error;
    auto report = MVCrashReport::initWithData(bytes, &error);
    ASSERT_TRUE(report) << (error ? error->localizedDescription() : "");
    ASSERT_EQ(report->threads().size(), 1u);
    const auto* crashed = crashedThreadOf(*report);
    ASSERT_NE(crashed, nullptr);
    EXPECT_FALSE(crashed->stackFrames.empty());
    EXPECT_FALSE(crashed->registers.empty());
}

TEST_F(WriterFixture, WithMoreThreadsThanOneSuspensionHoldsTheCrashedOneComesFirst)
{
    // The crashing thread is the newest, so the listing reaches it last, past the threads a
    // suspension can hold. (Without symbols: looking up every frame of 500 threads is slow.)
    mvcrash_log_writer_free(&writer);
    ASSERT_EQ(mvcrash_log_writer_init(&writer, "com.movara.test", "7", nullptr, 0, false), MVCRASH_ERR_NONE);
    std::mutex mutex;
    std::condition_variable wake;
    bool done = false;
    std::vector<std::thread> idle;
    const std::size_t count = sys::kMaxSuspendedThreads + 8;
    for (std::size_t i = 0; i < count; ++i)
        idle.emplace_back([&] {
            std::unique_lock lock(mutex);
            wake.wait(lock, [&] { return done; });
        });
    std::shared_ptr<MVCrashReport> report;
    std::thread([&] { report = writeReport(&writer, 0, true); }).join();
    {
        std::lock_guard lock(mutex);
        done = true;
    }
    wake.notify_all();
    for (auto& thread : idle)
        thread.join();
    ASSERT_TRUE(report);
    ASSERT_FALSE(report->threads().empty());
    EXPECT_TRUE(report->threads().front().crashed) << "the crashed thread is written first";
    const auto* crashed = crashedThreadOf(*report);
    ASSERT_NE(crashed, nullptr);
    EXPECT_FALSE(crashed->stackFrames.empty());
}

TEST_F(WriterFixture, ReportFactsNameTheWholeProcessTheSystemAndTheMachineAsTheDeviceRecordDoes)
{
    auto report = writeReport(&writer, 0, true);
    ASSERT_TRUE(report);
    ASSERT_TRUE(report->processInfo() && report->processInfo()->processName);
    // This program's name is longer than the kernel's 15-byte command name.
    const std::string executable = std::filesystem::read_symlink("/proc/self/exe").filename().string();
    ASSERT_GT(executable.size(), 15u);
    EXPECT_EQ(*report->processInfo()->processName, executable);

    const std::string log = MVCrashReportTextFormatter::stringValueForCrashReport(*report, MVCrashReportTextFormatiOS);
    const auto osLine = log.substr(log.find("OS Version:"), log.find('\n', log.find("OS Version:")) - log.find("OS Version:"));
    EXPECT_EQ(osLine.find("Unknown"), std::string::npos) << osLine;
    EXPECT_NE(osLine.find(sys::DeviceFacts::operatingSystemName()), std::string::npos) << osLine;

    ASSERT_TRUE(report->machineInfo() && report->machineInfo()->modelName);
    const auto device = BCNDeviceTracker::sharedInstance()->device();
    ASSERT_TRUE(device && device->model);
    EXPECT_EQ(*device->model, *report->machineInfo()->modelName) << "one machine, one model name";
}
