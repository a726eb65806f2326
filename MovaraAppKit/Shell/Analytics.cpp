#include "MovaraAppKit/Shell/Analytics.h"

#include "MovaraAppKit/Shell/BeaconTracking.h"

const std::array<Analytics::NavigationTab, 4> Analytics::allNavigationTabs = {
    NavigationTab::loop, NavigationTab::stillImage, NavigationTab::adjustments, NavigationTab::crop};

Analytics& Analytics::shared()
{
    static Analytics analytics;
    return analytics;
}

std::optional<Analytics::DocumentSource> Analytics::documentSource(int raw)
{
    if (raw < 0 || raw > 3)
        return std::nullopt;
    return static_cast<DocumentSource>(raw);
}

std::optional<Analytics::NavigationTab> Analytics::navigationTab(int raw)
{
    if (raw < 0 || raw > 3)
        return std::nullopt;
    return static_cast<NavigationTab>(raw);
}

std::optional<Analytics::ExportTarget> Analytics::exportTarget(int raw)
{
    if (raw != 0)
        return std::nullopt;
    return ExportTarget::file;
}

std::optional<Analytics::EditAction> Analytics::editAction(int raw)
{
    if (raw < 0 || raw > 34)
        return std::nullopt;
    return static_cast<EditAction>(raw);
}

void Analytics::startTracking()
{
    if (m_trackers.empty())
        m_trackers = {BeaconTracking::make()};
}

template <class Call> void Analytics::forward(const Call& call) const
{
    // A copy: a back end that installs or removes trackers while an event is under way must
    // not change who receives this event.
    const TrackerList trackers = m_trackers;
    for (const auto& tracker : trackers)
        call(*tracker);
}

void Analytics::signUp() { forward([](AnalyticsTracking& t) { t.signUp(); }); }
void Analytics::signIn() { forward([](AnalyticsTracking& t) { t.signIn(); }); }

void Analytics::createDocument(DocumentSource source, const std::optional<AnalyticsProperties>& properties)
{
    forward([&](AnalyticsTracking& t) { t.createDocument(source, properties); });
}

void Analytics::openDocument() { forward([](AnalyticsTracking& t) { t.openDocument(); }); }
void Analytics::navigateTo(NavigationTab tab) { forward([&](AnalyticsTracking& t) { t.navigateTo(tab); }); }
void Analytics::edit(EditAction action) { forward([&](AnalyticsTracking& t) { t.edit(action); }); }

void Analytics::exportTo(ExportTarget target, std::int64_t width, std::int64_t height, std::int64_t iterations,
                         const std::string& format, std::int64_t overlayObjectsCount)
{
    forward([&](AnalyticsTracking& t) { t.exportTo(target, width, height, iterations, format, overlayObjectsCount); });
}

void Analytics::upload() { forward([](AnalyticsTracking& t) { t.upload(); }); }
void Analytics::resourceLinkClicked(const std::string& link) { forward([&](AnalyticsTracking& t) { t.resourceLinkClicked(link); }); }
void Analytics::viewTutorials() { forward([](AnalyticsTracking& t) { t.viewTutorials(); }); }

void Analytics::playTutorial(const std::string& tutorial, double completion, double duration)
{
    forward([&](AnalyticsTracking& t) { t.playTutorial(tutorial, completion, duration); });
}

void Analytics::beginOnboardingStage(std::int64_t stage) { forward([&](AnalyticsTracking& t) { t.beginOnboardingStage(stage); }); }
void Analytics::endOnboardingStage(std::int64_t stage) { forward([&](AnalyticsTracking& t) { t.endOnboardingStage(stage); }); }
void Analytics::endOnboarding(double completion) { forward([&](AnalyticsTracking& t) { t.endOnboarding(completion); }); }

void Analytics::createDocumentWithSource(int source, const std::optional<AnalyticsProperties>& properties)
{
    createDocument(static_cast<DocumentSource>(source), properties);
}

void Analytics::editWithAction(int action) { edit(static_cast<EditAction>(action)); }

void Analytics::exportToTarget(int target, std::int64_t width, std::int64_t height, std::int64_t iterations,
                               const std::string& format, std::int64_t overlayObjectsCount)
{
    exportTo(static_cast<ExportTarget>(target), width, height, iterations, format, overlayObjectsCount);
}
