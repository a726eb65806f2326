#pragma once
// What the shell's tests share: the test application's configuration object (registered as
// "AppSpecific", as an application registers its own) and a telemetry client that records
// what the shell asks of it.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "MovaraAppKit/Shell/BeaconTracking.h"
#include "MovaraAppKit/Shell/MovaraAppSpecific.h"

namespace shelltest {

inline const std::string TestBeaconID = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";

class TestAppSpecific : public MovaraAppSpecific {
public:
    TestAppSpecific() { ++s_instances; }
    static int instances() { return s_instances; }

    // Tests that need a licence agreement set one here.
    static inline std::optional<foundation::URL> license;
    std::optional<foundation::URL> licenseAgreementURL() const override { return license; }
    std::string beaconID() const override { return TestBeaconID; }
    // Tests that talk to a local web service point the shell's service at it here.
    static inline std::optional<foundation::URL> apiBaseURL;
    foundation::URL movaraAPIBaseURL() const override
    {
        return apiBaseURL ? *apiBaseURL : *foundation::URL::URLWithString("https://127.0.0.1:9/api/");
    }
    std::string movaraAPIKey() const override { return "00112233445566778899aabbccddeeff"; }
    std::string movaraPlanOnboardingWindowCaption() const override { return "Test caption"; }
    // Tests that need the plan onboarding movie set one here.
    static inline std::optional<foundation::URL> planMovie;
    std::optional<foundation::URL> movaraPlanOnboardingWindowMovieUrl() const override { return planMovie; }
    std::vector<foundation::URL> onboardingWalkthroughMovieUrls() const override;
    std::vector<std::string> onboardingWalkthroughMessages() const override { return {"One", "Two"}; }

private:
    static inline int s_instances = 0;
};

struct TrackedEvent {
    std::string name;
    std::optional<AnalyticsProperties> properties;
    bool operator==(const TrackedEvent&) const = default;
};

class RecordingTelemetryClient final : public BeaconTelemetryClient {
public:
    void start(const std::string& appSecret) override { starts.push_back(appSecret); }
    void trackEvent(const std::string& name, const std::optional<AnalyticsProperties>& properties) override
    {
        events.push_back({name, properties});
    }
    void setAnalyticsEnabled(bool enabled) override { analyticsEnabled.push_back(enabled); }

    std::vector<std::string> starts;
    std::vector<TrackedEvent> events;
    std::vector<bool> analyticsEnabled;
};

// Puts a recording client in place of the process-wide one for the life of the object.
class ScopedTelemetryClient {
public:
    ScopedTelemetryClient() : m_client(std::make_shared<RecordingTelemetryClient>()) { BeaconTelemetryClient::setShared(m_client); }
    ~ScopedTelemetryClient() { BeaconTelemetryClient::setShared(nullptr); }
    RecordingTelemetryClient& operator*() const { return *m_client; }
    RecordingTelemetryClient* operator->() const { return m_client.get(); }

private:
    std::shared_ptr<RecordingTelemetryClient> m_client;
};

} // namespace shelltest
