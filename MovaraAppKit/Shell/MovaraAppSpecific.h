#pragma once
// The application's configuration object, as the shell reads it: web-service address and key,
// telemetry secret, onboarding movies and captions, licence agreement. The application
// registers one class under the plain name "AppSpecific" (FOUNDATION_REGISTER_CLASS with
// MovaraAppSpecific as the interface); the shell finds and creates it once, by that name.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Foundation/URL.h"

namespace foundation {
class ClassRegistry;
}

class MovaraAppSpecific {
public:
    virtual ~MovaraAppSpecific() = default;

    // The licence-agreement document (a PDF); none when the application has none.
    virtual std::optional<foundation::URL> licenseAgreementURL() const = 0;
    // The telemetry client's application secret (a lowercase UUID).
    virtual std::string beaconID() const = 0;
    virtual foundation::URL movaraAPIBaseURL() const = 0;
    // 32 lowercase hexadecimal digits.
    virtual std::string movaraAPIKey() const = 0;
    virtual std::string movaraPlanOnboardingWindowCaption() const = 0;
    // None shows no movie in the plan onboarding window.
    virtual std::optional<foundation::URL> movaraPlanOnboardingWindowMovieUrl() const = 0;
    // The walkthrough's movies, played in order, and one caption per movie in the same order.
    virtual std::vector<foundation::URL> onboardingWalkthroughMovieUrls() const = 0;
    virtual std::vector<std::string> onboardingWalkthroughMessages() const = 0;
};

// Holder of the one configuration object of the process. Any thread.
class MVRAppInfo {
public:
    // "AppSpecific": the name the application registers its configuration class under.
    static const std::string ClassName;

    // The configuration object, created on the first call and the same object ever after.
    // Without a class registered under ClassName for MovaraAppSpecific the process stops:
    // there is no fallback configuration.
    static std::shared_ptr<MovaraAppSpecific> shared();
    static std::shared_ptr<MovaraAppSpecific> sharedInfo() { return shared(); }

    // One lookup and creation, as shared() makes it, in `registry`; stops the process when the
    // class is missing, registered for another interface, or makes nothing.
    static std::shared_ptr<MovaraAppSpecific> lookUp(const foundation::ClassRegistry& registry,
                                                     const std::string& className);
};
