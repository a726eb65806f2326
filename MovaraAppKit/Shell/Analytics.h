#pragma once
// The analytics facade: one process-wide object that forwards every event to its installed
// back ends, in list order. With no back end installed, events vanish. Main thread only.

#include <array>
#include <memory>
#include <optional>
#include <vector>

#include "MovaraAppKit/Shell/AnalyticsTracking.h"

class Analytics final : public AnalyticsTracking {
public:
    using DocumentSource = AnalyticsDocumentSource;
    using NavigationTab = AnalyticsNavigationTab;
    using ExportTarget = AnalyticsExportTarget;
    using EditAction = AnalyticsEditAction;
    using TrackerList = std::vector<std::shared_ptr<AnalyticsTracking>>;

    static Analytics& shared();
    static Analytics& sharedInstance() { return shared(); }

    // Raw values outside each enumeration's range give none.
    static std::optional<DocumentSource> documentSource(int raw);
    static std::optional<NavigationTab> navigationTab(int raw);
    static std::optional<ExportTarget> exportTarget(int raw);
    static std::optional<EditAction> editAction(int raw);
    // loop, stillImage, adjustments, crop.
    static const std::array<NavigationTab, 4> allNavigationTabs;

    const TrackerList& trackers() const { return m_trackers; }
    void setTrackers(TrackerList trackers) { m_trackers = std::move(trackers); }
    bool isTrackingEnabled() const { return !m_trackers.empty(); }

    // Installs one new telemetry back end when none is installed (which starts the telemetry
    // client); otherwise nothing.
    void startTracking();
    void stopTracking() { m_trackers.clear(); }

    void signUp() override;
    void signIn() override;
    void createDocument(DocumentSource source, const std::optional<AnalyticsProperties>& properties) override;
    void openDocument() override;
    void navigateTo(NavigationTab tab) override;
    void edit(EditAction action) override;
    void exportTo(ExportTarget target, std::int64_t width, std::int64_t height, std::int64_t iterations,
                  const std::string& format, std::int64_t overlayObjectsCount) override;
    void upload() override;
    void resourceLinkClicked(const std::string& link) override;
    void viewTutorials() override;
    void playTutorial(const std::string& tutorial, double completion, double duration) override;
    void beginOnboardingStage(std::int64_t stage) override;
    void endOnboardingStage(std::int64_t stage) override;
    void endOnboarding(double completion) override;

    // The raw-value forms for callers that hold plain integers. A raw value no enumeration case
    // has is passed on as it is; back ends ignore what they cannot name.
    void createDocumentWithSource(int source, const std::optional<AnalyticsProperties>& properties);
    void editWithAction(int action);
    void exportToTarget(int target, std::int64_t width, std::int64_t height, std::int64_t iterations,
                        const std::string& format, std::int64_t overlayObjectsCount);

    Analytics() = default;

private:
    template <class Call> void forward(const Call& call) const;

    TrackerList m_trackers;
};
