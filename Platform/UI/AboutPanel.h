#pragma once
// The application's standard About panel: a small window of its own with the application's
// icon ("AppIcon"), name (the main bundle's CFBundleName), version ("Version 1.2 (34)" from
// CFBundleShortVersionString and CFBundleVersion), credits (the NSAboutPanelOptionCredits
// option, else the main bundle's "Credits.html") and copyright (NSHumanReadableCopyright).
// One panel per process: showing it again brings it forward with the contents of the new
// call. Main thread only.

#include <any>
#include <map>
#include <memory>
#include <string>

#include "Platform/UI/Window.h"

namespace ui {

class AboutPanel {
public:
    // Shows the panel (made on first use) with these options.
    static WindowPtr show(const std::map<std::string, std::any>& options);
    // The panel while it is on screen.
    static WindowPtr current();
};

} // namespace ui
