// Crashes a real program (CrashChild, run outside the sanitizer's signal handlers) and reads the
// report it leaves, as the next launch would.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "MovaraAppKit/CrashReporter/MVCrashReport.h"
#include "MovaraAppKit/CrashReporter/MVCrashReportTextFormatter.h"
#include "Tests/Support/BoundedChild.h"
#include "Tests/Support/TempDir.h"


namespace {

struct ChildRun {
    int status = 0;
    std::vector<std::uint8_t> report;
    std::vector<std::vector<std::uint64_t>> traces; // backtrace() of each thread, as the child saw it
    std::string output;
};

ChildRun runChild(const std::string& mode, std::string program = QUINTOR_CRASH_CHILD, const std::string& identifier = "com.movara.crashchild")
{
    testsupport::TempDir dir;
    ChildRun run;
    const std::string traces = (dir / "traces.txt").string();
    const std::string output = (dir / "out.txt").string();
    testsupport::CrashingChildEnvironment env({ "XDG_CACHE_HOME" }, { "XDG_CACHE_HOME=" + dir.path().string() });
    std::vector<char*> argv = { program.data(), const_cast<char*>(mode.c_str()), const_cast<char*>(traces.c_str()), nullptr };
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    if (::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), env.envp()) != 0)
        return run;
    posix_spawn_file_actions_destroy(&actions);
    ::waitpid(pid, &run.status, 0);
    std::ifstream in(dir / "com.movara.crashreporter" / identifier / "live_report.mvcrash", std::ios::binary);
    run.report.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    std::ifstream t(traces);
    std::string line;
    while (std::getline(t, line)) {
        std::istringstream words(line.substr(line.find(':') + 1));
        std::vector<std::uint64_t> frames;
        std::string word;
        while (words >> word)
            frames.push_back(std::stoull(word, nullptr, 16));
        run.traces.push_back(frames);
    }
    std::ifstream o(output);
    run.output.assign(std::istreambuf_iterator<char>(o), std::istreambuf_iterator<char>());
    return run;
}

std::vector<std::uint64_t> pcs(const MVCrashReportThreadInfo& thread)
{
    std::vector<std::uint64_t> out;
    for (const auto& frame : thread.stackFrames)
        out.push_back(frame.instructionPointer);
    return out;
}

// True when the report's frames are exactly the return addresses backtrace() saw, from the
// first caller the two share on (at least `minimum` of them). backtrace()'s first entries lie in
// the code that took it (and a sanitizer's wrapper), where the thread no longer is.
bool matchesBacktrace(const std::vector<std::uint64_t>& report, const std::vector<std::uint64_t>& trace, std::size_t minimum)
{
    for (std::size_t first = 0; first < trace.size() && first < 4; ++first) {
        auto start = std::find(report.begin(), report.end(), trace[first]);
        if (start == report.end())
            continue;
        std::size_t matched = 0;
        for (std::size_t i = first; i < trace.size() && start != report.end(); ++i, ++start, ++matched)
            if (*start != trace[i])
                return false;
        return matched >= minimum;
    }
    return false;
}

const MVCrashReportThreadInfo* crashedThread(const MVCrashReport& report)
{
    for (const auto& thread : report.threads())
        if (thread.crashed)
            return &thread;
    return nullptr;
}

} // namespace

struct CrashCase {
    const char* mode;
    int hostSignal;
    const char* signalName;
    const char* crashingFunction; // named in one of the crashed thread's first frames
};

class CrashInChild : public ::testing::TestWithParam<CrashCase> { };

INSTANTIATE_TEST_SUITE_P(Crashes, CrashInChild,
    ::testing::Values(CrashCase { "segv", SIGSEGV, "SIGSEGV", "crashchild_crash_segv" },
        CrashCase { "abort", SIGABRT, "SIGABRT", "crashchild_crash_abort" },
        CrashCase { "illegal", SIGILL, "SIGILL", "crashchild_crash_illegal" },
        CrashCase { "worker", SIGSEGV, "SIGSEGV", "crashchild_crash_segv" },
        CrashCase { "overflow", SIGSEGV, "SIGSEGV", "crashchild_recurse" },
        CrashCase { "throw", SIGABRT, "SIGABRT", "crashchild_throw" }),
    [](const auto& info) { return std::string(info.param.mode); });

TEST_P(CrashInChild, LeavesAReportWithEveryThreadAndTheCrashingFunctionNamed)
{
    const CrashCase& c = GetParam();
    const ChildRun run = runChild(c.mode);
    ASSERT_TRUE(WIFSIGNALED(run.status)) << "status " << run.status;
    EXPECT_EQ(WTERMSIG(run.status), c.hostSignal) << "the process still ends with its signal";
    ASSERT_FALSE(run.report.empty());

    foundation::ErrorPtr error;
    auto report = MVCrashReport::initWithData(run.report, &error);
    ASSERT_TRUE(report) << (error ? error->localizedDescription() : "");
    EXPECT_FALSE(report->isTruncated());
    EXPECT_EQ(report->signalInfo().name, c.signalName);
    EXPECT_EQ(report->applicationInfo().applicationIdentifier, "com.movara.crashchild");
    // The main thread and the two waiting workers at least, each with frames.
    ASSERT_GE(report->threads().size(), 3u);
    for (const auto& thread : report->threads())
        EXPECT_GE(thread.stackFrames.size(), 3u) << "thread " << thread.threadNumber;
    const auto* crashed = crashedThread(*report);
    ASSERT_NE(crashed, nullptr);
    EXPECT_FALSE(crashed->registers.empty());
    bool named = false;
    for (std::size_t i = 0; i < crashed->stackFrames.size() && i < 12; ++i) {
        const auto& symbol = crashed->stackFrames[i].symbolInfo;
        named = named || (symbol && symbol->symbolName == c.crashingFunction);
    }
    EXPECT_TRUE(named) << c.crashingFunction;
    if (std::string(c.mode) == "overflow") {
        EXPECT_EQ(crashed->stackFrames.size(), 512u) << "a runaway stack is cut at 512 frames";
    }
    if (std::string(c.mode) == "throw") {
        ASSERT_TRUE(report->hasExceptionInfo());
        EXPECT_EQ(report->exceptionInfo()->exceptionName, "std::runtime_error");
        EXPECT_EQ(report->exceptionInfo()->exceptionReason, "the crash child threw");
        ASSERT_TRUE(report->exceptionInfo()->stackFrames);
    }

    const std::string log = MVCrashReportTextFormatter::stringValueForCrashReport(*report, MVCrashReportTextFormatiOS);
    EXPECT_NE(log.find(std::string("Exception Type:  ") + c.signalName), std::string::npos);
    EXPECT_NE(log.find(c.crashingFunction), std::string::npos);
    EXPECT_NE(log.find("CrashChild"), std::string::npos);
}

// Each way of crashing leaves the crashed thread in different code to unwind from: a faulting
// store, the C library's abort and raise, a trap, a thread of its own.
class CrashInChildWalk : public ::testing::TestWithParam<const char*> { };

INSTANTIATE_TEST_SUITE_P(Crashes, CrashInChildWalk, ::testing::Values("segv", "abort", "illegal", "worker"),
    [](const auto& info) { return std::string(info.param); });

TEST_P(CrashInChildWalk, EveryThreadsFramesMatchWhatBacktraceSawAtTheSamePoint)
{
    const ChildRun run = runChild(GetParam());
    auto report = MVCrashReport::initWithData(run.report, nullptr);
    ASSERT_TRUE(report);
    ASSERT_EQ(run.traces.size(), 3u); // two workers and the crashing thread
    for (const auto& trace : run.traces) {
        bool found = false;
        for (const auto& thread : report->threads())
            found = found || matchesBacktrace(pcs(thread), trace, 4);
        EXPECT_TRUE(found) << "a thread's walk differs from backtrace()";
    }
}

TEST(CrashInChildSymbols, AFunctionNameLongerThanTheFieldIsCutToFitIt)
{
    const std::string name = "crashchild_long_name_" + std::string(256 - 21, 'x');
    const ChildRun run = runChild("longname");
    ASSERT_TRUE(WIFSIGNALED(run.status)) << "status " << run.status;
    EXPECT_EQ(WTERMSIG(run.status), SIGSEGV) << "the handler itself must not fail on the long name";
    auto report = MVCrashReport::initWithData(run.report, nullptr);
    ASSERT_TRUE(report);
    const auto* crashed = crashedThread(*report);
    ASSERT_NE(crashed, nullptr);
    ASSERT_FALSE(crashed->stackFrames.empty());
    ASSERT_TRUE(crashed->stackFrames[0].symbolInfo);
    EXPECT_EQ(crashed->stackFrames[0].symbolInfo->symbolName, name.substr(0, 255));
}

TEST(CrashInChildLinkOrder, AWorkerThreadsStackOverflowIsReportedByAProgramLinkedAgainstAppKitAlone)
{
    const ChildRun run = runChild("", QUINTOR_CRASH_CHILD_APPKIT_ONLY, "com.movara.appkitonly");
    ASSERT_EQ(run.output, "libc before MovaraKit: yes\n") << "the program must load the C library first to show anything";
    ASSERT_TRUE(WIFSIGNALED(run.status)) << "status " << run.status;
    EXPECT_EQ(WTERMSIG(run.status), SIGSEGV);
    ASSERT_FALSE(run.report.empty()) << "the overflow reached no handler: the worker had no alternate stack";
    auto report = MVCrashReport::initWithData(run.report, nullptr);
    ASSERT_TRUE(report);
    const auto* crashed = crashedThread(*report);
    ASSERT_NE(crashed, nullptr);
    bool named = false;
    for (std::size_t i = 0; i < crashed->stackFrames.size() && i < 12; ++i)
        named = named || (crashed->stackFrames[i].symbolInfo && crashed->stackFrames[i].symbolInfo->symbolName == "appkitonly_recurse");
    EXPECT_TRUE(named);
}

TEST(CrashInChildEnable, OnlyOneReporterCanBeEnabled)
{
    const ChildRun run = runChild("enable-twice");
    ASSERT_TRUE(WIFEXITED(run.status));
    EXPECT_EQ(run.output, "0 3 A MVCrashReporter instance has already been enabled\n");
}
