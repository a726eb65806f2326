#include "MovaraAppKit/Shell/BeaconTracking.h"

#include <mutex>

#include "MovaraAppKit/Shell/MovaraAppSpecific.h"
#include "MovaraAppKit/Telemetry/Analytics/BCNAnalytics.h"
#include "MovaraAppKit/Telemetry/Core/BCNBeacon.h"
#include "MovaraAppKit/Telemetry/Crashes/BCNCrashes.h"
#include "Platform/Foundation/Value.h"

namespace {

std::shared_ptr<BeaconTelemetryClient> makeDefaultClient();

struct ClientSlot {
    std::mutex mutex;
    std::shared_ptr<BeaconTelemetryClient> replacement;
};

ClientSlot& slot()
{
    static ClientSlot s;
    return s;
}

void send(const std::string& name, const std::optional<AnalyticsProperties>& properties = std::nullopt)
{
    BeaconTelemetryClient::shared()->trackEvent(name, properties);
}

} // namespace

std::shared_ptr<BeaconTelemetryClient> BeaconTelemetryClient::shared()
{
    {
        std::lock_guard lock(slot().mutex);
        if (slot().replacement)
            return slot().replacement;
    }
    static const std::shared_ptr<BeaconTelemetryClient> client = makeDefaultClient();
    return client;
}

void BeaconTelemetryClient::setShared(std::shared_ptr<BeaconTelemetryClient> client)
{
    std::lock_guard lock(slot().mutex);
    slot().replacement = std::move(client);
}

std::shared_ptr<BeaconTracking> BeaconTracking::make()
{
    BeaconTelemetryClient::shared()->start(MVRAppInfo::shared()->beaconID());
    return std::make_shared<BeaconTracking>();
}

void BeaconTracking::createDocument(AnalyticsDocumentSource source, const std::optional<AnalyticsProperties>& properties)
{
    // A source that came in as a raw value no case has has no event name: nothing to send.
    switch (source) {
    case AnalyticsDocumentSource::imageSequence: return send("Image Sequence", properties);
    case AnalyticsDocumentSource::movie: return send("Movie", properties);
    case AnalyticsDocumentSource::modernizedMovie: return send("Movie (modernized)", properties);
    case AnalyticsDocumentSource::movieCapture: return send("Movie Capture", properties);
    }
}

void BeaconTracking::edit(AnalyticsEditAction action)
{
    if (action == AnalyticsEditAction::presetSelected)
        send("Preset selected");
    else if (action == AnalyticsEditAction::presetCreated)
        send("Preset created");
}

void BeaconTracking::exportTo(AnalyticsExportTarget, std::int64_t width, std::int64_t height, std::int64_t iterations,
                              const std::string& format, std::int64_t)
{
    send("Export", AnalyticsProperties {
                       {"file type", format},
                       {"resolution", "{" + std::to_string(width) + ", " + std::to_string(height) + "}"},
                       {"repetitions", std::to_string(iterations)},
                   });
}

void BeaconTracking::upload() { send("Upload"); }

namespace {

// The process-wide telemetry client: analytics first, then crash capture.
class TelemetryClient final : public BeaconTelemetryClient {
public:
    void start(const std::string& appSecret) override
    {
        BCNBeacon::start(appSecret, {BCNServiceClass::of<BCNAnalytics>(), BCNServiceClass::of<BCNCrashes>()});
    }
    void trackEvent(const std::string& name, const std::optional<AnalyticsProperties>& properties) override
    {
        if (!properties) {
            BCNAnalytics::trackEvent(name);
            return;
        }
        auto values = foundation::Value::dictionary();
        for (const auto& [key, value] : *properties)
            values.set(key, foundation::Value(value));
        BCNAnalytics::trackEvent(name, values);
    }
    void setAnalyticsEnabled(bool enabled) override { BCNAnalytics::setServiceEnabled(enabled); }
};

std::shared_ptr<BeaconTelemetryClient> makeDefaultClient() { return std::make_shared<TelemetryClient>(); }

} // namespace
