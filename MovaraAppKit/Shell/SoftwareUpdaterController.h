#pragma once
// The software updater behind "Check for Updates…": reads the update feed the Info.plist names
// ("SUFeedURL", an appcast: RSS whose items carry Sparkle's version elements) through the HTTP
// client and tells the user what it found, in an alert: a newer version with its link (the
// default button opens it), that the running version is the newest, or why the check failed.
// Installing is the user's (this platform's packages come from its package manager). Main
// thread only.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Foundation/Value.h"
#include "Platform/UI/Object.h"

class NKHTTPRequestOperation;

class SoftwareUpdaterController : public ui::Object {
public:
    static std::shared_ptr<SoftwareUpdaterController> init();

    // Starts a check (also by name, "checkForUpdates:"); while one runs, another request joins it.
    void checkForUpdates(ui::Object* sender);
    long checkCount() const { return m_checkCount; }
    bool isChecking() const { return m_operation != nullptr; }

    struct AppcastItem {
        std::string title;
        std::string version;      // compared with the application's CFBundleVersion
        std::string shortVersion; // shown to the user
        std::string link;         // the item's page, else its download
    };
    // The items of an appcast that name a version; none, with the reason, for a document that is
    // not XML.
    static std::optional<std::vector<AppcastItem>> parseAppcast(const foundation::Data& data, std::string* reason);
    // Versions compared as Sparkle compares them: runs of digits by value, other runs by their
    // characters; a version that goes on with a number is newer, one that goes on with text
    // (a pre-release, "1.0b1") is older. Negative, zero or positive.
    static int compareVersions(const std::string& a, const std::string& b);

protected:
    SoftwareUpdaterController();

private:
    void feedDidArrive(const foundation::Data& data);
    void checkDidFail(const std::string& reason);

    long m_checkCount = 0;
    std::shared_ptr<NKHTTPRequestOperation> m_operation;
};
