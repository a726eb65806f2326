#include "MovaraAppKit/Telemetry/Analytics/BCNAnalyticsCategory.h"

#include <mutex>

#include "MovaraAppKit/Telemetry/Analytics/BCNAnalytics.h"
#include "Platform/UI/ViewController.h"

namespace {

std::mutex& missedMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::optional<std::string>& missedName()
{
    static std::optional<std::string> name;
    return name;
}

} // namespace

void BCNAnalyticsCategory::activateCategory()
{
    static std::once_flag installed;
    std::call_once(installed, [] { ui::ViewController::addViewWillAppearHook(&BCNAnalyticsCategory::viewWillAppear); });
}

std::optional<std::string> BCNAnalyticsCategory::missedPageViewName()
{
    std::lock_guard lock(missedMutex());
    return missedName();
}

void BCNAnalyticsCategory::clearMissedPageViewName()
{
    std::lock_guard lock(missedMutex());
    missedName().reset();
}

std::optional<std::string> BCNAnalyticsCategory::pageNameForClassName(const std::string& className)
{
    // Containers show other controllers' pages; they are not pages of their own.
    for (const char* container : { "ui::TabViewController", "ui::SplitViewController", "ui::PageController" })
        if (className == container)
            return std::nullopt;
    std::string name = className;
    if (const auto scope = name.rfind("::"); scope != std::string::npos)
        name.erase(0, scope + 2);
    if (const auto dot = name.rfind('.'); dot != std::string::npos)
        name.erase(0, dot + 1);
    static const std::string suffix = "ViewController";
    if (name.size() > suffix.size() && name.ends_with(suffix))
        name.erase(name.size() - suffix.size());
    return name;
}

void BCNAnalyticsCategory::viewWillAppear(ui::ViewController& controller)
{
    if (!BCNAnalytics::isAutoPageTrackingEnabled())
        return;
    const auto page = pageNameForClassName(controller.className());
    if (!page)
        return;
    if (BCNAnalytics::sharedInstance()->isAvailable()) {
        clearMissedPageViewName();
        BCNAnalytics::trackPage(*page);
    } else {
        std::lock_guard lock(missedMutex());
        missedName() = *page;
    }
}
