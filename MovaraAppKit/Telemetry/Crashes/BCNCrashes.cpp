#include "MovaraAppKit/Telemetry/Crashes/BCNCrashes.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <vector>

#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "Platform/Foundation/Bundle.h"
#include "Platform/Foundation/FileManager.h"

namespace {

constexpr std::array<int, 7> kFatalSignals = { SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGTRAP, SIGSYS };
constexpr std::size_t kAlternateStackSize = 64 * 1024;
constexpr const char* kMarkerName = "last_session.crashed";

// What the handler may touch: fixed storage, prepared before it is installed.
char g_markerPath[4096];
struct sigaction g_previous[kFatalSignals.size()];
std::vector<std::uint8_t> g_alternateStack;
bool g_installed = false;
std::mutex g_installMutex;

// Async-signal-safe: open/write/close, sigaction and raise only.
void crashHandler(int signal)
{
    int fd = ::open(g_markerPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd >= 0) {
        char text[16];
        int length = 0;
        int value = signal;
        char digits[8];
        int count = 0;
        do {
            digits[count++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value > 0 && count < 8);
        while (count > 0)
            text[length++] = digits[--count];
        text[length++] = '\n';
        (void)!::write(fd, text, static_cast<std::size_t>(length));
        ::close(fd);
    }
    // Whoever handled the signal before us (or the default action) gets it next.
    for (std::size_t i = 0; i < kFatalSignals.size(); ++i)
        if (kFatalSignals[i] == signal)
            ::sigaction(signal, &g_previous[i], nullptr);
    ::raise(signal);
}

void installCrashCapture(const std::string& markerPath)
{
    std::lock_guard lock(g_installMutex);
    if (g_installed || markerPath.size() >= sizeof g_markerPath)
        return;
    std::memcpy(g_markerPath, markerPath.c_str(), markerPath.size() + 1);
    if (g_alternateStack.empty())
        g_alternateStack.resize(kAlternateStackSize);
    stack_t stack {};
    stack.ss_sp = g_alternateStack.data();
    stack.ss_size = g_alternateStack.size();
    ::sigaltstack(&stack, nullptr);
    for (std::size_t i = 0; i < kFatalSignals.size(); ++i) {
        struct sigaction action {};
        action.sa_handler = crashHandler;
        action.sa_flags = SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        ::sigaction(kFatalSignals[i], &action, &g_previous[i]);
    }
    g_installed = true;
}

void uninstallCrashCapture()
{
    std::lock_guard lock(g_installMutex);
    if (!g_installed)
        return;
    for (std::size_t i = 0; i < kFatalSignals.size(); ++i)
        ::sigaction(kFatalSignals[i], &g_previous[i], nullptr);
    g_installed = false;
}

std::mutex& singletonMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<BCNCrashes>& singleton()
{
    static std::shared_ptr<BCNCrashes> crashes;
    return crashes;
}

} // namespace

std::shared_ptr<BCNCrashes> BCNCrashes::sharedInstance()
{
    std::lock_guard lock(singletonMutex());
    auto& crashes = singleton();
    if (!crashes)
        crashes.reset(new BCNCrashes());
    return crashes;
}

void BCNCrashes::resetSharedInstance()
{
    std::shared_ptr<BCNCrashes> old;
    {
        std::lock_guard lock(singletonMutex());
        old = std::move(singleton());
    }
    if (old)
        uninstallCrashCapture();
}

BCNCrashes::~BCNCrashes() = default;

bool BCNCrashes::hasCrashedInLastSession()
{
    return sharedInstance()->m_didCrashInLastSession;
}

std::optional<int> BCNCrashes::lastSessionCrashSignal()
{
    return sharedInstance()->m_lastSessionCrashSignal;
}

std::optional<BCNChannelUnitConfiguration> BCNCrashes::channelUnitConfiguration() const
{
    return BCNChannelUnitConfiguration(groupId(), 2, 1, 1, 3);
}

std::string BCNCrashes::crashesDirectory()
{
    auto support = foundation::FileManager::defaultManager().URLForDirectory(foundation::SearchPathDirectory::ApplicationSupport, false);
    std::string identifier;
    if (auto bundle = foundation::Bundle::main())
        identifier = bundle->bundleIdentifier();
    if (identifier.empty())
        identifier = "com.movara.quintor";
    std::filesystem::path base = support ? std::filesystem::path(support->path()) : std::filesystem::path("/tmp");
    return (base / identifier / "com.movara.beacon" / "crashes").string();
}

void BCNCrashes::applyEnabledState(bool enabled)
{
    BCNServiceAbstract::applyEnabledState(enabled);
    if (!enabled) {
        uninstallCrashCapture();
        BCNLogInfo(logTag(), "Crashes service has been disabled.");
        return;
    }
    const std::filesystem::path directory = crashesDirectory();
    std::error_code ec;
    std::filesystem::create_directories(directory, ec);
    if (ec) {
        BCNLogError(logTag(), "Cannot prepare the crash folder " + directory.string() + ": " + ec.message());
        return;
    }
    const std::filesystem::path marker = directory / kMarkerName;
    if (std::filesystem::exists(marker, ec)) {
        // Reported once: the marker is consumed by the start that reads it.
        m_didCrashInLastSession = true;
        std::ifstream in(marker);
        int signal = 0;
        if (in >> signal && signal > 0)
            m_lastSessionCrashSignal = signal;
        std::filesystem::remove(marker, ec);
    }
    installCrashCapture(marker.string());
    BCNLogInfo(logTag(), "Crashes service has been enabled.");
}
