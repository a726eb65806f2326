#include "MovaraAppKit/Telemetry/Crashes/BCNApplicationForwarder.h"

#include <atomic>
#include <cctype>
#include <mutex>
#include <string>

#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "MovaraAppKit/Telemetry/Crashes/BCNCrashes.h"
#include "Platform/Foundation/Bundle.h"
#include "Platform/Foundation/UserDefaults.h"
#include "Platform/UI/Application.h"

namespace {

constexpr const char* kTag = "BeaconCrashes";
constexpr const char* kEnabledInfoKey = "BeaconApplicationForwarderEnabled";
constexpr const char* kCrashOnExceptionsKey = "NSApplicationCrashOnExceptions";

// The implementations in place before the replacement, and whether each replacement was made.
// A mutex rather than once flags, so that unregistering can arm them again.
std::mutex g_replacementMutex;
std::atomic<ui::Application::ReportExceptionImplementation> reportExceptionOriginalImp { nullptr };
std::atomic<ui::Application::SendEventImplementation> sendEventOriginalImp { nullptr };

void bcn_reportException(ui::Application& app, const foundation::Exception& exception)
{
    BCNCrashes::applicationDidReportException(exception);
    if (auto original = reportExceptionOriginalImp.load())
        original(app, exception);
}

void bcn_sendEvent(ui::Application& app, const ui::Event& event)
{
    auto original = sendEventOriginalImp.load();
    if (!original)
        return;
    try {
        original(app, event);
    } catch (const foundation::Exception& exception) {
        // Reported and swallowed as the application does; other exceptions go on unchanged.
        bcn_reportException(app, exception);
    }
}

// An absent key means enabled; NO (a false boolean or number, or "NO"/"false"/"0") disables.
bool forwarderEnabledInInfo()
{
    auto bundle = foundation::Bundle::main();
    if (!bundle)
        return true;
    const foundation::Value& value = bundle->objectForInfoDictionaryKey(kEnabledInfoKey);
    if (value.isNull())
        return true;
    if (auto flag = value.boolValue())
        return *flag;
    if (auto text = value.stringValue()) {
        std::string lower;
        for (char c : *text)
            lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return !(lower == "no" || lower == "false" || lower == "0");
    }
    return true;
}

// Puts `replacement` in place of the application's implementation once, keeping the one it
// replaced in `original` (set means replaced).
template <class Implementation>
void replaceOnce(std::atomic<Implementation>& original, Implementation (*exchange)(Implementation), Implementation replacement,
                 const char* selector)
{
    std::lock_guard guard(g_replacementMutex);
    if (original.load())
        return;
    original.store(exchange(replacement));
    BCNLogDebug(kTag, std::string("Selector '") + selector + "' of class 'NSApplication' is swizzled.");
}

} // namespace

void BCNApplicationForwarder::registerForwarding()
{
    if (!forwarderEnabledInInfo()) {
        BCNLogDebug(kTag, std::string("Application forwarder for info.plist key '") + kEnabledInfoKey + "' disabled. It won't use swizzling.");
        return;
    }
    BCNLogDebug(kTag, std::string("Application forwarder for info.plist key '") + kEnabledInfoKey + "' enabled. It may use swizzling.");
    if (!foundation::UserDefaults::standard()->boolForKey(kCrashOnExceptionsKey)) {
        BCNLogInfo(kTag, std::string("Catching uncaught exceptions thrown on the main thread disabled. Set `") + kCrashOnExceptionsKey
                             + "` flag before SDK initialization, to allow crash on uncaught exceptions and the SDK can report them.");
        return;
    }
    replaceOnce(reportExceptionOriginalImp, ui::Application::exchangeReportExceptionImplementation, bcn_reportException,
                "reportException:");
    replaceOnce(sendEventOriginalImp, ui::Application::exchangeSendEventImplementation, bcn_sendEvent, "sendEvent:");
}

void BCNApplicationForwarder::unregisterForwarding()
{
    std::lock_guard guard(g_replacementMutex);
    if (auto original = reportExceptionOriginalImp.exchange(nullptr))
        ui::Application::exchangeReportExceptionImplementation(original);
    if (auto original = sendEventOriginalImp.exchange(nullptr))
        ui::Application::exchangeSendEventImplementation(original);
}
