#pragma once
// Automatic page views: once activated, every view controller that appears is reported as a
// page while the analytics service's automatic page tracking is on. The page is named after the
// controller's class without its namespace and without a "ViewController" suffix
// ("quintor::ExportSettingsViewController" -> "ExportSettings"); the platform's container
// controllers (tab, split and page controllers) are not pages. A page that appears before the
// service is available is remembered, and tracked when the service is next enabled.
// Nothing in the frameworks activates it: an application that wants it calls activateCategory.

#include <optional>
#include <string>

namespace ui {
class ViewController;
}

class BCNAnalyticsCategory {
public:
    // Installs the page-view hook on the platform's view controllers; once per process.
    static void activateCategory();
    // The page that appeared while the service was unavailable, if any.
    static std::optional<std::string> missedPageViewName();
    // Forgets the missed page (a fresh client in tests).
    static void clearMissedPageViewName();

    // What the hook does when `controller` is about to appear (main thread).
    static void viewWillAppear(ui::ViewController& controller);
    // The page name for a controller class name; none for the container controllers.
    static std::optional<std::string> pageNameForClassName(const std::string& className);
};
