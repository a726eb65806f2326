// The telemetry demo program run three times against a local ingestion service: a run that
// crashes with events in flight, a run that sends what it left (its crash with attachments, its
// events, pages and session), and a run that finds nothing more.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "Platform/Foundation/Base64.h"
#include "Tests/MovaraAppKit/Telemetry/IngestionServer.h"
#include "Tests/Support/BoundedChild.h"
#include "Tests/Support/TempDir.h"

namespace {

struct DemoRun {
    int status = -1;
    std::string output;
};

std::string readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return { std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>() };
}

// Starts the demo with telemetry on (the test process keeps it off for everything else) and with
// the sanitizer's signal handlers off, so that its crash reaches the crash reporter; its output
// goes to `output`. Gives the child's pid, or -1.
pid_t startDemo(const testsupport::TempDir& dir, std::vector<std::string> arguments, const std::string& output,
                const std::vector<std::string>& environment = {})
{
    testsupport::CrashingChildEnvironment env({ "BEACON_DISABLE" }, environment);

    std::string program = QUINTOR_TELEMETRY_DEMO;
    arguments.insert(arguments.begin(), { program, "--data", (dir / "client").string(), "--timeout", "15" });
    std::vector<char*> argv;
    for (auto& a : arguments)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = 0;
    const bool spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), env.envp()) == 0;
    posix_spawn_file_actions_destroy(&actions);
    return spawned ? pid : -1;
}

// A started run to its end; one that does not end within 40 s is killed (status kChildHung).
DemoRun finishDemo(pid_t pid, const std::string& output)
{
    DemoRun run;
    if (pid > 0)
        run.status = testsupport::waitForChildBounded(pid, 40000);
    run.output = readFile(output);
    return run;
}

DemoRun runDemo(const testsupport::TempDir& dir, std::vector<std::string> arguments, const std::vector<std::string>& environment = {})
{
    const std::string output = (dir / "output.txt").string();
    return finishDemo(startDemo(dir, std::move(arguments), output, environment), output);
}

std::vector<foundation::Value> ofType(const std::vector<foundation::Value>& logs, const std::string& type)
{
    std::vector<foundation::Value> out;
    for (const auto& log : logs)
        if (log["type"].isString() && log["type"].asString() == type)
            out.push_back(log);
    return out;
}

std::map<std::string, int> countByName(const std::vector<foundation::Value>& logs)
{
    std::map<std::string, int> counts;
    for (const auto& log : logs)
        ++counts[log["name"].isString() ? log["name"].asString() : "(no name)"];
    return counts;
}

// Files and folders under `root` that other local users could read or enter: files must be
// 0600, and the client's folders 0700.
std::vector<std::string> notPrivate(const std::filesystem::path& root)
{
    std::vector<std::string> found;
    for (auto it = std::filesystem::recursive_directory_iterator(root); it != std::filesystem::recursive_directory_iterator(); ++it) {
        struct stat info {};
        if (::lstat(it->path().c_str(), &info) != 0)
            continue;
        const unsigned mode = info.st_mode & 0777;
        const std::string relative = std::filesystem::relative(it->path(), root).string();
        if (S_ISREG(info.st_mode) && mode != 0600)
            found.push_back(relative + " " + std::to_string(mode));
        const bool clientFolder = relative.find("com.movara.beacon") != std::string::npos || relative.find("com.movara.crashreporter") != std::string::npos
            || relative.find('/') == std::string::npos;
        if (S_ISDIR(info.st_mode) && clientFolder && mode != 0700)
            found.push_back(relative + "/ " + std::to_string(mode));
    }
    return found;
}

} // namespace

TEST(TelemetryDemo, EveryFileItKeepsIsPrivateToTheUser)
{
    testsupport::TempDir dir;
    telemetrytest::IngestionServer server;
    const DemoRun crashed = runDemo(dir, { "--url", server.baseURL(), "--crash", "--events", "5" });
    ASSERT_TRUE(WIFSIGNALED(crashed.status)) << crashed.output;
    // The store, the crash buffer, the crash report, the keys: all of it as the crash left it.
    EXPECT_EQ(notPrivate(dir / "client"), std::vector<std::string> {});
    const DemoRun sent = runDemo(dir, { "--url", server.baseURL() });
    ASSERT_TRUE(WIFEXITED(sent.status) && WEXITSTATUS(sent.status) == 0) << sent.output;
    EXPECT_EQ(notPrivate(dir / "client"), std::vector<std::string> {});
}

TEST(TelemetryDemo, ACrashedRunsEventsAndCrashArriveOnceWithTheNextRunAndNeverAgain)
{
    testsupport::TempDir dir;
    telemetrytest::IngestionServer server;
    const std::string url = server.baseURL();

    const DemoRun crashed = runDemo(dir, { "--url", url, "--crash", "--events", "20" });
    ASSERT_TRUE(WIFSIGNALED(crashed.status)) << crashed.output;
    EXPECT_EQ(WTERMSIG(crashed.status), SIGSEGV) << crashed.output;

    const DemoRun second = runDemo(dir, { "--url", url });
    ASSERT_TRUE(WIFEXITED(second.status) && WEXITSTATUS(second.status) == 0) << second.output;
    EXPECT_NE(second.output.find("The last run crashed."), std::string::npos) << second.output;
    const auto afterSecond = server.deliveredLogs();

    // Every event of the crashed run, stored or in flight at the crash, arrives exactly once.
    const auto events = ofType(afterSecond, "event");
    std::map<std::string, int> expected;
    for (int i = 1; i <= 5; ++i)
        expected["demo.main." + std::to_string(i)] = 1;
    for (int i = 1; i <= 20; ++i)
        expected["demo.worker." + std::to_string(i)] = 1;
    EXPECT_EQ(countByName(events), expected);
    EXPECT_EQ(countByName(ofType(afterSecond, "page")), (std::map<std::string, int> { { "Export", 1 }, { "Main", 1 } }));

    // They belong to the crashed run's session, whose start arrived too.
    ASSERT_FALSE(events.empty());
    const foundation::Value session = events.front()["sid"];
    ASSERT_TRUE(session.isString());
    for (const auto& event : events)
        EXPECT_EQ(event["sid"], session) << event["name"].asString();
    int starts = 0;
    for (const auto& start : ofType(afterSecond, "startSession"))
        starts += start["sid"] == session ? 1 : 0;
    EXPECT_EQ(starts, 1);

    // The crash: one log with the threads of the process, their frames and its binaries, naming
    // the thread that crashed.
    const auto crashes = ofType(afterSecond, "appleError");
    ASSERT_EQ(crashes.size(), 1u);
    const foundation::Value& crash = crashes.front();
    EXPECT_EQ(crash["osExceptionType"], foundation::Value("SIGSEGV"));
    EXPECT_EQ(crash["fatal"], foundation::Value(true));
    ASSERT_TRUE(crash["id"].isString());
    ASSERT_TRUE(crash["threads"].isArray());
    EXPECT_GE(crash["threads"].size(), 2u) << "the main thread and the worker";
    // Every thread has frames (one whose stack could not be walked is left out).
    std::size_t crashedThreads = 0;
    for (const auto& thread : crash["threads"].asArray()) {
        if (thread["id"] == crash["errorThreadId"])
            ++crashedThreads;
        ASSERT_TRUE(thread["frames"].isArray());
        EXPECT_GT(thread["frames"].size(), 0u) << "thread " << thread["id"].asInteger();
        for (const auto& frame : thread["frames"].asArray())
            EXPECT_TRUE(frame["address"].isString());
    }
    EXPECT_EQ(crashedThreads, 1u);
    ASSERT_TRUE(crash["binaries"].isArray());
    bool demoBinary = false;
    for (const auto& binary : crash["binaries"].asArray())
        demoBinary = demoBinary || (binary["path"].isString() && binary["path"].asString().ends_with("/movaraappkit-telemetry-demo"));
    EXPECT_TRUE(demoBinary) << "the program itself is among the binaries";

    // Its two attachments, once each, with the crash's id.
    std::map<std::string, std::string> attachments;
    std::set<std::string> attachmentIds;
    for (const auto& attachment : ofType(afterSecond, "errorAttachment")) {
        EXPECT_EQ(attachment["errorId"], crash["id"]);
        attachmentIds.insert(attachment["id"].asString());
        const auto data = foundation::base64Decode(attachment["data"].asString());
        ASSERT_TRUE(data);
        EXPECT_TRUE(attachments.emplace(attachment["fileName"].asString(), std::string(data->begin(), data->end())).second)
            << attachment["fileName"].asString() << " arrived twice";
    }
    EXPECT_EQ(attachmentIds.size(), 2u);
    ASSERT_EQ(attachments.size(), 2u);
    EXPECT_EQ(attachments["note.txt"], "The telemetry demo crashed in its worker thread.");
    EXPECT_EQ(attachments["state.bin"].size(), 8u);

    // A third run has nothing of the crashed run left to send.
    const DemoRun third = runDemo(dir, { "--url", url });
    ASSERT_TRUE(WIFEXITED(third.status) && WEXITSTATUS(third.status) == 0) << third.output;
    const auto afterThird = server.deliveredLogs();
    std::vector<foundation::Value> more(afterThird.begin() + static_cast<long>(afterSecond.size()), afterThird.end());
    for (const char* type : { "event", "page", "appleError", "errorAttachment" })
        EXPECT_TRUE(ofType(more, type).empty()) << type;
}

// Two runs at once on one data folder, after a run that crashed: between them, every event, the
// crash and its attachments arrive exactly once.
TEST(TelemetryDemo, TwoRunsSharingAFolderDeliverEveryEventExactlyOnce)
{
    testsupport::TempDir dir;
    telemetrytest::IngestionServer server;
    const std::string url = server.baseURL();
    const DemoRun crashed = runDemo(dir, { "--url", url, "--crash", "--events", "20" });
    ASSERT_TRUE(WIFSIGNALED(crashed.status)) << crashed.output;

    const std::string outputs[2] = { (dir / "first.txt").string(), (dir / "second.txt").string() };
    const pid_t first = startDemo(dir, { "--url", url }, outputs[0]);
    const pid_t second = startDemo(dir, { "--url", url }, outputs[1]);
    const DemoRun runs[2] = { finishDemo(first, outputs[0]), finishDemo(second, outputs[1]) };
    for (const auto& run : runs)
        ASSERT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << run.output;

    const auto logs = server.deliveredLogs();
    std::map<std::string, int> expected;
    for (int i = 1; i <= 5; ++i)
        expected["demo.main." + std::to_string(i)] = 1;
    for (int i = 1; i <= 20; ++i)
        expected["demo.worker." + std::to_string(i)] = 1;
    EXPECT_EQ(countByName(ofType(logs, "event")), expected) << runs[0].output << runs[1].output;
    EXPECT_EQ(countByName(ofType(logs, "page")), (std::map<std::string, int> { { "Export", 1 }, { "Main", 1 } }));
    EXPECT_EQ(ofType(logs, "appleError").size(), 1u);
    EXPECT_EQ(ofType(logs, "errorAttachment").size(), 2u);
}

TEST(TelemetryDemo, ARunThatCannotReachTheServiceSaysSoAndKeepsEverythingForTheNext)
{
    testsupport::TempDir dir;
    telemetrytest::IngestionServer server;
    const DemoRun crashed = runDemo(dir, { "--url", server.baseURL(), "--crash", "--events", "10" });
    ASSERT_TRUE(WIFSIGNALED(crashed.status)) << crashed.output;

    const DemoRun unreachable = runDemo(dir, { "--url", "http://127.0.0.1:9", "--timeout", "1" });
    ASSERT_TRUE(WIFEXITED(unreachable.status)) << unreachable.output;
    EXPECT_EQ(WEXITSTATUS(unreachable.status), 1) << unreachable.output;
    EXPECT_NE(unreachable.output.find("logs were still waiting to be sent to http://127.0.0.1:9 after 1 s; they stay stored"),
              std::string::npos)
        << unreachable.output;

    const DemoRun sent = runDemo(dir, { "--url", server.baseURL() });
    ASSERT_TRUE(WIFEXITED(sent.status) && WEXITSTATUS(sent.status) == 0) << sent.output;
    const auto logs = server.deliveredLogs();
    EXPECT_EQ(ofType(logs, "event").size(), 15u);
    EXPECT_EQ(countByName(ofType(logs, "event")).size(), 15u) << "each once";
    EXPECT_EQ(ofType(logs, "appleError").size(), 1u);
    EXPECT_EQ(ofType(logs, "errorAttachment").size(), 2u);
}

TEST(TelemetryDemo, SaysHowToUseItAndRefusesBadArguments)
{
    testsupport::TempDir dir;
    struct Case {
        std::vector<std::string> arguments;
        int status;
        const char* says;
        std::vector<std::string> environment = {};
    };
    const std::vector<Case> cases {
        { { "--help" }, 0, "usage: movaraappkit-telemetry-demo --url URL" },
        { {}, 2, "--url is required" },
        { { "--url", "ftp://127.0.0.1:1" }, 2, "--url needs an http or https address" },
        { { "--url", "http://127.0.0.1:1", "--events", "61" }, 2, "--events takes a number from 1 to 40" },
        { { "--url", "http://127.0.0.1:1", "--timeout", "soon" }, 2, "--timeout takes a number of seconds" },
        { { "--url", "http://127.0.0.1:1", "--frobnicate" }, 2, "unknown argument '--frobnicate'" },
        { { "--url" }, 2, "--url needs a value" },
        { { "--url", "http://127.0.0.1:1", "--data", "/proc/version/client" }, 1, "cannot use /proc/version/client/data as the client's folder" },
        { { "--url", "http://127.0.0.1:1" }, 1, "telemetry is switched off by BEACON_DISABLE=All; unset it", { "BEACON_DISABLE=All" } },
    };
    for (const auto& c : cases) {
        const DemoRun run = runDemo(dir, c.arguments, c.environment);
        ASSERT_TRUE(WIFEXITED(run.status)) << run.output;
        EXPECT_EQ(WEXITSTATUS(run.status), c.status) << run.output;
        EXPECT_NE(run.output.find(c.says), std::string::npos) << run.output;
    }
}
