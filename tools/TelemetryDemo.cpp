// movaraappkit-telemetry-demo: the telemetry client end to end, across a crash.
//
// Run 1 (--crash) starts the client with analytics and crash reporting, tracks events and pages,
// then a worker thread tracks more events and dies of a fatal signal at once, so that some of its
// events are still on their way into the store when the process ends. Run 2 (without --crash)
// starts the client again: the crash goes out as an error log with its threads, frames and
// binaries and two attachments, the events that were in flight come back from the crash buffer,
// and everything stored goes to the ingestion service; the program waits until nothing an earlier
// run left is waiting any more and says what went out. A later run finds nothing more to send.

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "MovaraAppKit/Telemetry/Analytics/BCNAnalytics.h"
#include "MovaraAppKit/Telemetry/Core/BCNBeacon.h"
#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "MovaraAppKit/Telemetry/Crashes/BCNCrashes.h"
#include "MovaraAppKit/Telemetry/Crashes/Model/BCNErrorLogs.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Foundation/Bundle.h"

namespace {

constexpr const char* kProgram = "movaraappkit-telemetry-demo";
// The crash buffer keeps 60 logs in flight; past that the oldest are overwritten and lost, and
// past 50 stored events the channel starts sending during the run that crashes.
constexpr int kMaxWorkerEvents = 40;

void usage(FILE* out)
{
    std::fprintf(out,
        "usage: %s --url URL [--crash] [--secret SECRET] [--data DIR] [--events N] [--timeout SECONDS] [--verbose]\n"
        "\n"
        "Runs the telemetry client (analytics and crash reporting) against the ingestion service at URL.\n"
        "\n"
        "  --url URL          the ingestion service, an http or https address (required)\n"
        "  --crash            track events and pages, then crash in a worker thread that is still\n"
        "                     tracking; without it: send what the last run left, its crash included,\n"
        "                     and wait until nothing is left to send\n"
        "  --secret SECRET    the application secret (default: a demo secret)\n"
        "  --data DIR         keep the client's files (log store, crash reports, settings) under DIR\n"
        "                     instead of the user's folders\n"
        "  --events N         events the worker tracks before it crashes, 1 to %d (default 20)\n"
        "  --timeout SECONDS  how long to wait for the service (default 20)\n"
        "  --verbose          print everything the client logs\n"
        "  --help             print this help\n",
        kProgram, kMaxWorkerEvents);
}

struct Options {
    std::string url;
    std::string secret = "0dbf8d3f-6b7e-4c35-9a8e-2f3c4b5a6d7e";
    std::optional<std::string> dataDirectory;
    bool crash = false;
    int events = 20;
    double timeout = 20;
    bool verbose = false;
};

[[noreturn]] void fail(const std::string& message, int status = 2)
{
    std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
    if (status == 2)
        std::fprintf(stderr, "Try '%s --help'.\n", kProgram);
    std::exit(status);
}

std::optional<long> parseNumber(const std::string& text)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return std::stol(text);
}

Options parse(int argc, char** argv)
{
    Options options;
    auto value = [&](int& i) -> std::string {
        if (i + 1 >= argc)
            fail(std::string(argv[i]) + " needs a value");
        return argv[++i];
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            std::exit(0);
        } else if (arg == "--url") {
            options.url = value(i);
        } else if (arg == "--crash") {
            options.crash = true;
        } else if (arg == "--secret") {
            options.secret = value(i);
            if (options.secret.empty() || options.secret.find_first_of("; =") != std::string::npos)
                fail("--secret takes a non-empty secret without spaces, ';' or '='");
        } else if (arg == "--data") {
            options.dataDirectory = value(i);
        } else if (arg == "--events") {
            const auto n = parseNumber(value(i));
            if (!n || *n < 1 || *n > kMaxWorkerEvents)
                fail("--events takes a number from 1 to " + std::to_string(kMaxWorkerEvents)
                     + " (the crash buffer holds 60 logs in flight)");
            options.events = static_cast<int>(*n);
        } else if (arg == "--timeout") {
            const auto n = parseNumber(value(i));
            if (!n || *n < 1 || *n > 3600)
                fail("--timeout takes a number of seconds from 1 to 3600");
            options.timeout = static_cast<double>(*n);
        } else if (arg == "--verbose") {
            options.verbose = true;
        } else {
            fail("unknown argument '" + arg + "'");
        }
    }
    if (options.url.empty())
        fail("--url is required: the address of the ingestion service, such as http://127.0.0.1:8080");
    if (!options.url.starts_with("http://") && !options.url.starts_with("https://"))
        fail("--url needs an http or https address, not '" + options.url + "'");
    while (options.url.size() > 8 && options.url.back() == '/')
        options.url.pop_back();
    return options;
}

// The client keeps its store and settings in the user's data and configuration folders and the
// crash reporter its reports in the caches folder; --data moves all three under one directory.
void useDataDirectory(const std::string& directory)
{
    std::error_code ec;
    const std::filesystem::path root = std::filesystem::absolute(directory, ec);
    for (const char* sub : { "data", "cache", "config" }) {
        std::filesystem::create_directories(root / sub, ec);
        if (ec)
            fail("cannot use " + (root / sub).string() + " as the client's folder: " + ec.message(), 1);
        ::chmod((root / sub).c_str(), 0700);
    }
    ::setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (root / "cache").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
}

// Logs describe the application by its bundle: identifier, version and build.
void useDemoBundle()
{
    auto info = foundation::Value::dictionary({ { "CFBundleIdentifier", "com.movara.telemetrydemo" },
                                                { "CFBundleName", "Telemetry Demo" },
                                                { "CFBundleShortVersionString", "1.0" },
                                                { "CFBundleVersion", "1" } });
    auto main = foundation::Bundle::main();
    foundation::Bundle::setMain(std::make_shared<foundation::Bundle>(main->bundlePath(), main->resourcePath(), info));
}

void startClient(const Options& options)
{
    BCNBeacon::setLogUrl(options.url);
    BCNBeacon::start(options.secret, { BCNServiceClass::of<BCNAnalytics>(), BCNServiceClass::of<BCNCrashes>() });
}

// ---- run 1

[[gnu::noinline]] void crashNow()
{
    // Not null (the undefined-behaviour checker would stop the program first), but no less unmapped.
    // Read back through a volatile, so that the compiler cannot tell where it points.
    volatile std::uintptr_t address = 16;
    volatile int* nowhere = reinterpret_cast<volatile int*>(address);
    *nowhere = 1;
}

[[gnu::noinline]] void workerMain(int events)
{
    for (int i = 1; i <= events; ++i)
        BCNAnalytics::trackEvent("demo.worker." + std::to_string(i), foundation::Value::dictionary({ { "thread", "worker" } }));
    crashNow();
}

int crashRun(const Options& options)
{
    startClient(options);
    BCNAnalytics::trackPage("Main", foundation::Value::dictionary({ { "source", "demo" } }));
    for (int i = 1; i <= 5; ++i)
        BCNAnalytics::trackEvent("demo.main." + std::to_string(i), foundation::Value::dictionary({ { "thread", "main" } }));
    BCNAnalytics::trackPage("Export");
    // These reach the store before the crash; the worker's are still on their way when it comes.
    auto group = std::dynamic_pointer_cast<BCNChannelGroupDefault>(BCNBeacon::sharedInstance()->channelGroup());
    if (!group)
        fail("the telemetry client did not start (see the lines above)", 1);
    if (!dispatch::RunLoop::main().runUntil([&] { return group->storedLogs("Analytics").size() >= 7; }, options.timeout))
        fail("the first events were not stored (see the lines above)", 1);
    std::printf("Tracked 5 events and 2 pages; a worker tracks %d more and crashes.\n", options.events);
    std::fflush(stdout);
    std::thread worker(workerMain, options.events);
    worker.join();
    fail("the worker did not crash", 1);
}

// ---- run 2 and later

// Counts what the service accepted, by kind.
class DeliveryCounter : public BCNChannelDelegate {
public:
    void channelDidSucceedSendingLog(const BCNChannelPtr& channel, const BCNLogPtr& log) override
    {
        std::lock_guard lock(m_mutex);
        ++m_counts[log->type()];
        // Logs that come back from the crash buffer go through a unit of their own.
        if (auto unit = std::dynamic_pointer_cast<BCNChannelUnitProtocol>(channel); unit && unit->configuration().groupId() == "CrashesBuffer")
            ++m_recovered;
        if (auto error = std::dynamic_pointer_cast<BCNAppleErrorLog>(log)) {
            m_crash = "a crash (" + error->osExceptionType.value_or("?") + ") with " + std::to_string(error->threads ? error->threads->size() : 0)
                      + " threads and " + std::to_string(error->binaries ? error->binaries->size() : 0) + " binaries";
        }
    }

    std::string summary() const
    {
        std::lock_guard lock(m_mutex);
        struct Kind {
            const char* type;
            const char* one;
            const char* many;
        };
        static const Kind kinds[] = {
            { "appleError", "crash log", "crash logs" }, { "errorAttachment", "attachment", "attachments" },
            { "event", "event", "events" }, { "page", "page", "pages" },
            { "startSession", "session start", "session starts" }, { "startService", "service start", "service starts" },
        };
        std::string text;
        for (const auto& kind : kinds)
            if (auto it = m_counts.find(kind.type); it != m_counts.end())
                text += (text.empty() ? "" : ", ") + std::to_string(it->second) + " " + (it->second == 1 ? kind.one : kind.many);
        return text.empty() ? std::string("nothing") : text;
    }
    std::string crash() const
    {
        std::lock_guard lock(m_mutex);
        return m_crash;
    }
    int recovered() const
    {
        std::lock_guard lock(m_mutex);
        return m_recovered;
    }

private:
    mutable std::mutex m_mutex;
    std::map<std::string, int> m_counts;
    std::string m_crash;
    int m_recovered = 0;
};

// Sends two files with every crash: a note and a few bytes of state.
class AttachingDelegate : public BCNCrashesDelegate {
public:
    std::optional<std::vector<std::shared_ptr<BCNErrorAttachmentLog>>> attachmentsWithCrashes(BCNCrashes&,
        const std::shared_ptr<BCNErrorReport>&) override
    {
        const std::vector<std::uint8_t> state { 0x51, 0x54, 0x44, 0x00, 0x01, 0x02, 0xfe, 0xff };
        return std::vector<std::shared_ptr<BCNErrorAttachmentLog>> {
            BCNErrorAttachmentLog::attachmentWithText("The telemetry demo crashed in its worker thread.", "note.txt"),
            BCNErrorAttachmentLog::attachmentWithBinary(foundation::Data(state), "state.bin", "application/octet-stream"),
        };
    }
};

// Logs an earlier run left in the store, in every group the demo's services use. This run's own
// session and service starts are not waited for: they go out with the next run.
std::size_t logsLeftFromBefore(const foundation::Date& runStart)
{
    auto group = std::dynamic_pointer_cast<BCNChannelGroupDefault>(BCNBeacon::sharedInstance()->channelGroup());
    if (!group)
        return 0;
    std::size_t count = 0;
    for (const char* groupId : { "Beacon", "Analytics", "Analytics_critical", "Crashes", "CrashesBuffer" })
        for (const auto& log : group->storedLogs(groupId))
            if (!log->timestamp() || *log->timestamp() < runStart)
                ++count;
    return count;
}

int sendRun(const Options& options)
{
    auto counter = std::make_shared<DeliveryCounter>();
    auto attaching = std::make_shared<AttachingDelegate>();
    BCNCrashes::setDelegate(attaching);
    const foundation::Date runStart = foundation::Date::now();
    startClient(options);
    auto group = BCNBeacon::sharedInstance()->channelGroup();
    if (!group)
        fail("the telemetry client did not start (see the lines above)", 1);
    group->addDelegate(counter);

    // Waits for the crash service's first look at the stored crashes (about a second after the
    // start), then for the store to hold nothing an earlier run left.
    auto crashesProcessed = std::make_shared<std::atomic<bool>>(false);
    std::thread([crashesProcessed] {
        BCNCrashes::sharedInstance()->unprocessedCrashReports();
        *crashesProcessed = true;
    }).detach();
    using Clock = std::chrono::steady_clock;
    auto lastCheck = Clock::now() - std::chrono::seconds(1);
    std::size_t left = 0;
    const bool done = dispatch::RunLoop::main().runUntil(
        [&] {
            if (!crashesProcessed->load() || Clock::now() - lastCheck < std::chrono::milliseconds(50))
                return false;
            lastCheck = Clock::now();
            left = logsLeftFromBefore(runStart);
            return left == 0;
        },
        options.timeout);
    // The processing comes about a second after the start; ending the process in its middle could
    // lose a crash, so it is waited for a little longer than the rest.
    if (!crashesProcessed->load() && !dispatch::RunLoop::main().runUntil([&] { return crashesProcessed->load(); }, 10)) {
        std::fprintf(stderr, "%s: the crash service did not get to the stored crashes; they stay for the next run.\n", kProgram);
        std::fflush(stderr);
        std::_Exit(1); // its thread still waits inside the service, which exit() would destroy
    }
    group->removeDelegate(counter);
    if (!done)
        left = logsLeftFromBefore(runStart);
    if (left > 0) {
        std::fprintf(stderr, "%s: %zu logs were still waiting to be sent to %s after %.0f s; they stay stored for the next run.\n",
            kProgram, left, options.url.c_str(), options.timeout);
        return 1;
    }
    if (BCNCrashes::hasCrashedInLastSession())
        std::printf("The last run crashed.\n");
    std::printf("Sent: %s.\n", counter->summary().c_str());
    if (const auto crash = counter->crash(); !crash.empty())
        std::printf("The crash log tells of %s.\n", crash.c_str());
    if (counter->recovered() > 0)
        std::printf("%d logs had been in flight at the crash and came back from the crash buffer.\n", counter->recovered());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const Options options = parse(argc, argv);
    if (const char* disable = std::getenv("BEACON_DISABLE"); disable && *disable)
        fail(std::string("telemetry is switched off by BEACON_DISABLE=") + disable + "; unset it to run the demo", 1);
    if (options.dataDirectory)
        useDataDirectory(*options.dataDirectory);
    useDemoBundle();
    dispatch::RunLoop::main().bindToCurrentThread();
    BCNLogger::setCurrentLogLevel(options.verbose ? BCNLogLevelVerbose : BCNLogLevelWarning);
    return options.crash ? crashRun(options) : sendRun(options);
}
