#pragma once
// The timelapse application's configuration object: registered under the plain name
// "AppSpecific" for the shell to find. Every value is fixed when the object is made (the
// captions localized once); the getters only return them. The web-service address may be
// replaced by an http or https address in the environment variable MOVARA_API_BASE_URL.

#include "MovaraAppKit/Shell/MovaraAppSpecific.h"

class AppSpecific : public MovaraAppSpecific {
public:
    // Reads the resources of the main bundle; a missing walkthrough movie stops the process,
    // since the walkthrough cannot run without it.
    AppSpecific();

    std::optional<foundation::URL> licenseAgreementURL() const override { return m_licenseAgreementURL; }
    std::string beaconID() const override { return m_beaconID; }
    foundation::URL movaraAPIBaseURL() const override { return m_movaraAPIBaseURL; }
    std::string movaraAPIKey() const override { return m_movaraAPIKey; }
    std::string movaraPlanOnboardingWindowCaption() const override { return m_movaraPlanOnboardingWindowCaption; }
    std::optional<foundation::URL> movaraPlanOnboardingWindowMovieUrl() const override { return m_movaraPlanOnboardingWindowMovieUrl; }
    std::vector<foundation::URL> onboardingWalkthroughMovieUrls() const override { return m_onboardingWalkthroughMovieUrls; }
    std::vector<std::string> onboardingWalkthroughMessages() const override { return m_onboardingWalkthroughMessages; }

private:
    std::optional<foundation::URL> m_licenseAgreementURL;
    std::string m_beaconID;
    foundation::URL m_movaraAPIBaseURL;
    std::string m_movaraAPIKey;
    std::string m_movaraPlanOnboardingWindowCaption;
    std::optional<foundation::URL> m_movaraPlanOnboardingWindowMovieUrl;
    std::vector<foundation::URL> m_onboardingWalkthroughMovieUrls;
    std::vector<std::string> m_onboardingWalkthroughMessages;
};

// `override` when it is an http or https address with a host, else `builtIn` (an unusable
// override is reported on stderr). Empty means no override.
foundation::URL movaraAPIBaseURLOverriding(const foundation::URL& builtIn, const std::string& override);
