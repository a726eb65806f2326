#include "MovaraAppKit/Telemetry/Crashes/BCNApplicationForwarder.h"
#include "Tests/MovaraAppKit/Telemetry/TelemetryFixture.h"

#include <sys/wait.h>

#include <csignal>
#include <stdexcept>

#include "MovaraAppKit/CrashReporter/MVCrashReport.h"
#include "MovaraAppKit/CrashReporter/MVCrashReporter.h"
#include "Platform/UI/Application.h"
#include "Platform/UI/Event.h"
#include "Tests/Support/BoundedChild.h"

namespace {

// What happened, in order: "crash: <reason>" from the crash service's handler, "report: <reason>"
// from the application's own report.
std::vector<std::string> g_sequence;
enum class Throw { nothing, platform, other };
Throw g_throw = Throw::nothing;

void recordCrash(const foundation::Exception& e) { g_sequence.push_back("crash: " + e.reason()); }
void platformReport(ui::Application&, const foundation::Exception& e) { g_sequence.push_back("report: " + e.reason()); }
void platformSend(ui::Application&, const ui::Event&)
{
    g_sequence.push_back("send");
    if (g_throw == Throw::platform)
        throw foundation::Exception(foundation::NSGenericException, "in dispatch");
    if (g_throw == Throw::other)
        throw std::runtime_error("not the platform's");
}

// The application's implementations are the recording ones above for the test's length; the
// forwarder's replacement is taken back after each case.
class ApplicationForwarderTest : public TelemetryTest {
protected:
    void SetUp() override
    {
        TelemetryTest::SetUp();
        m_bundle = foundation::Bundle::main();
        m_previousSend = ui::Application::exchangeSendEventImplementation(platformSend);
        m_previousReport = ui::Application::exchangeReportExceptionImplementation(platformReport);
        BCNCrashes::sharedInstance()->setExceptionHandler(recordCrash);
        BCNLogger::setCurrentLogLevel(BCNLogLevelVerbose);
    }
    void TearDown() override
    {
        BCNApplicationForwarder::unregisterForwarding();
        ui::Application::exchangeSendEventImplementation(m_previousSend);
        ui::Application::exchangeReportExceptionImplementation(m_previousReport);
        foundation::UserDefaults::standard()->removeObjectForKey("NSApplicationCrashOnExceptions");
        foundation::Bundle::setMain(m_bundle);
        g_throw = Throw::nothing;
        TelemetryTest::TearDown();
    }

    void useInfoValue(const foundation::Value& value)
    {
        auto info = m_bundle->infoDictionary();
        if (value.isNull())
            info.erase("BeaconApplicationForwarderEnabled");
        else
            info.set("BeaconApplicationForwarderEnabled", value);
        foundation::Bundle::setMain(std::make_shared<foundation::Bundle>(m_bundle->bundlePath(), m_bundle->resourcePath(), info));
    }

    // Dispatches one event whose handling throws `what`; the sequence of what happened.
    static std::vector<std::string> dispatchThrowing(Throw what)
    {
        g_sequence.clear();
        g_throw = what;
        ui::Application::shared()->sendEvent(ui::Event::keyEvent(ui::EventType::keyDown, "x", nullptr));
        g_throw = Throw::nothing;
        return g_sequence;
    }

    std::shared_ptr<foundation::Bundle> m_bundle;
    ui::Application::SendEventImplementation m_previousSend = nullptr;
    ui::Application::ReportExceptionImplementation m_previousReport = nullptr;
};

const std::string kDisabled = "Application forwarder for info.plist key 'BeaconApplicationForwarderEnabled' disabled. It won't use swizzling.";
const std::string kEnabled = "Application forwarder for info.plist key 'BeaconApplicationForwarderEnabled' enabled. It may use swizzling.";
const std::string kNotCatching = "Catching uncaught exceptions thrown on the main thread disabled. Set `NSApplicationCrashOnExceptions` flag "
                                 "before SDK initialization, to allow crash on uncaught exceptions and the SDK can report them.";
const std::string kReportSwizzled = "Selector 'reportException:' of class 'NSApplication' is swizzled.";
const std::string kSendSwizzled = "Selector 'sendEvent:' of class 'NSApplication' is swizzled.";

} // namespace

TEST_F(ApplicationForwarderTest, WithoutCrashOnExceptionsOrWhenSwitchedOffNothingIsReplaced)
{
    struct Case {
        const char* name;
        foundation::Value infoValue;
        foundation::Value crashOnExceptions;
        const std::string* line;
        BCNLoggerLevel level;
    };
    const Case cases[] = {
        { "switched off", foundation::Value(false), foundation::Value(true), &kDisabled, BCNLogLevelDebug },
        { "switched off by text", foundation::Value("NO"), foundation::Value(true), &kDisabled, BCNLogLevelDebug },
        { "switched off by number", foundation::Value(std::int64_t(0)), foundation::Value(true), &kDisabled, BCNLogLevelDebug },
        { "no crash default", foundation::Value(), foundation::Value(), &kNotCatching, BCNLogLevelInfo },
        { "crash default NO", foundation::Value(true), foundation::Value(false), &kNotCatching, BCNLogLevelInfo },
    };
    for (const auto& c : cases) {
        useInfoValue(c.infoValue);
        foundation::UserDefaults::standard()->set("NSApplicationCrashOnExceptions", c.crashOnExceptions);
        const auto before = countStartingWith(c.level, *c.line);
        BCNApplicationForwarder::registerForwarding();
        BCNApplicationForwarder::registerForwarding();
        EXPECT_EQ(countStartingWith(c.level, *c.line), before + 2) << c.name << ": said on every call";
        EXPECT_EQ(countStartingWith(BCNLogLevelDebug, kReportSwizzled), 0u) << c.name;
        EXPECT_EQ(countStartingWith(BCNLogLevelDebug, kSendSwizzled), 0u) << c.name;
        // The application still reports the exception itself; the crash service never sees it.
        EXPECT_EQ(dispatchThrowing(Throw::platform), (std::vector<std::string> { "send", "report: in dispatch" })) << c.name;
    }
    EXPECT_TRUE(logged(BCNLogLevelDebug, kEnabled));
}

TEST_F(ApplicationForwarderTest, WithCrashOnExceptionsAnExceptionInDispatchReachesTheCrashServiceThenTheApplication)
{
    const foundation::Value infoValues[] = { foundation::Value(), foundation::Value(true) };
    for (const auto& infoValue : infoValues) {
        useInfoValue(infoValue);
        foundation::UserDefaults::standard()->set("NSApplicationCrashOnExceptions", foundation::Value(true));
        const auto reportSwizzled = countStartingWith(BCNLogLevelDebug, kReportSwizzled);
        const auto sendSwizzled = countStartingWith(BCNLogLevelDebug, kSendSwizzled);
        BCNApplicationForwarder::registerForwarding();
        BCNApplicationForwarder::registerForwarding();
        EXPECT_EQ(countStartingWith(BCNLogLevelDebug, kReportSwizzled), reportSwizzled + 1) << "replaced once";
        EXPECT_EQ(countStartingWith(BCNLogLevelDebug, kSendSwizzled), sendSwizzled + 1) << "replaced once";

        // Once to the crash service, then once to the application's own report: the
        // implementation kept is the application's, not the forwarder's.
        EXPECT_EQ(dispatchThrowing(Throw::platform), (std::vector<std::string> { "send", "crash: in dispatch", "report: in dispatch" }));
        EXPECT_EQ(dispatchThrowing(Throw::nothing), (std::vector<std::string> { "send" }));
        EXPECT_THROW(dispatchThrowing(Throw::other), std::runtime_error) << "other exceptions pass through unchanged";

        // A report made outside event dispatch goes the same way.
        g_sequence.clear();
        ui::Application::shared()->reportException(foundation::Exception(foundation::NSRangeException, "direct"));
        EXPECT_EQ(g_sequence, (std::vector<std::string> { "crash: direct", "report: direct" }));

        BCNApplicationForwarder::unregisterForwarding();
        EXPECT_EQ(dispatchThrowing(Throw::platform), (std::vector<std::string> { "send", "report: in dispatch" })) << "taken back";
    }
}

TEST_F(ApplicationForwarderTest, ACrashServiceWithoutCaptureLetsTheApplicationReportAlone)
{
    foundation::UserDefaults::standard()->set("NSApplicationCrashOnExceptions", foundation::Value(true));
    BCNApplicationForwarder::registerForwarding();
    BCNCrashes::sharedInstance()->setExceptionHandler(nullptr);
    EXPECT_EQ(dispatchThrowing(Throw::platform), (std::vector<std::string> { "send", "report: in dispatch" }));
}

TEST_F(ApplicationForwarderTest, AnExceptionInDispatchEndsTheProcessWithACrashReportNamingIt)
{
    BCNBeacon::start("secret", bothServices());
    auto reporter = MVCrashReporter::sharedReporter();
    reporter->purgePendingCrashReport();
    ASSERT_NE(BCNCrashes::sharedInstance()->exceptionHandler(), nullptr);
    ASSERT_NE(BCNCrashes::sharedInstance()->exceptionHandler(), &recordCrash) << "the crash service's own handler";
    foundation::UserDefaults::standard()->set("NSApplicationCrashOnExceptions", foundation::Value(true));
    BCNApplicationForwarder::registerForwarding();

    g_throw = Throw::platform;
    const int status = testsupport::runChildBounded([] {
        ui::Application::shared()->sendEvent(ui::Event::keyEvent(ui::EventType::keyDown, "x", nullptr));
        return 0;
    });
    g_throw = Throw::nothing;
    ASSERT_NE(status, testsupport::kChildHung);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the dispatch returned instead of ending the process";
    EXPECT_EQ(WTERMSIG(status), SIGABRT);

    foundation::ErrorPtr error;
    auto report = reporter->loadPendingCrashReport(&error);
    ASSERT_NE(report, nullptr) << (error ? error->localizedDescription() : "");
    ASSERT_TRUE(report->hasExceptionInfo());
    EXPECT_EQ(report->exceptionInfo()->exceptionName, "NSGenericException");
    EXPECT_EQ(report->exceptionInfo()->exceptionReason, "in dispatch");
    reporter->purgePendingCrashReport();
}
