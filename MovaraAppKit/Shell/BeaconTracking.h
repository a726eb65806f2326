#pragma once
// The telemetry back end of the analytics facade, and the slice of the telemetry client it
// drives. Main thread only.

#include <memory>
#include <optional>
#include <string>

#include "MovaraAppKit/Shell/AnalyticsTracking.h"

// What the shell asks of the telemetry client. The process-wide one drives BCNBeacon and
// BCNAnalytics; tests put their own in its place to watch the calls.
class BeaconTelemetryClient {
public:
    virtual ~BeaconTelemetryClient() = default;

    // Starts the client with the application secret and the analytics and crash services; a
    // repeated start leaves the running client as it is.
    virtual void start(const std::string& appSecret) = 0;
    // Queues one analytics event; none for no properties.
    virtual void trackEvent(const std::string& name, const std::optional<AnalyticsProperties>& properties) = 0;
    // Switches the analytics service itself on or off (persisted by the client).
    virtual void setAnalyticsEnabled(bool enabled) = 0;

    static std::shared_ptr<BeaconTelemetryClient> shared();
    // Null puts the process-wide client back.
    static void setShared(std::shared_ptr<BeaconTelemetryClient> client);
};

class BeaconTracking final : public AnalyticsTracking {
public:
    // Starts the telemetry client with the configuration object's secret, every time one is made.
    static std::shared_ptr<BeaconTracking> make();

    void signUp() override { }
    void signIn() override { }
    void createDocument(AnalyticsDocumentSource source, const std::optional<AnalyticsProperties>& properties) override;
    void openDocument() override { }
    void navigateTo(AnalyticsNavigationTab) override { }
    void edit(AnalyticsEditAction action) override;
    void exportTo(AnalyticsExportTarget target, std::int64_t width, std::int64_t height, std::int64_t iterations,
                  const std::string& format, std::int64_t overlayObjectsCount) override;
    void upload() override;
    void resourceLinkClicked(const std::string&) override { }
    void viewTutorials() override { }
    void playTutorial(const std::string&, double, double) override { }
    void beginOnboardingStage(std::int64_t) override { }
    void endOnboardingStage(std::int64_t) override { }
    void endOnboarding(double) override { }

    BeaconTracking() = default;
};
