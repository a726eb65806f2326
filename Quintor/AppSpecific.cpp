#include "Quintor/AppSpecific.h"

#include <cstdio>
#include <cstdlib>

#include "Platform/Foundation/Bundle.h"
#include "Platform/Foundation/ClassRegistry.h"
#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/Localized.h"

FOUNDATION_REGISTER_CLASS(AppSpecific, MovaraAppSpecific);

namespace {

constexpr const char* APIBaseURLString = "https://api.movara.com/api/";

// Points the application at another server of the same API (a staging server, a local one).
constexpr const char* APIBaseURLOverrideVariable = "MOVARA_API_BASE_URL";

foundation::URL parsedAPIBaseURL()
{
    auto url = foundation::URL::URLWithString(APIBaseURLString);
    if (!url || url->scheme().empty())
        foundation::fatal(std::string("The web-service address is not a URL: ") + APIBaseURLString);
    if (const char* override = std::getenv(APIBaseURLOverrideVariable))
        return movaraAPIBaseURLOverriding(*url, override);
    return *url;
}

} // namespace

foundation::URL movaraAPIBaseURLOverriding(const foundation::URL& builtIn, const std::string& override)
{
    if (override.empty())
        return builtIn;
    auto url = foundation::URL::URLWithString(override);
    const bool usable = url && (url->scheme() == "http" || url->scheme() == "https") && !url->host().empty();
    if (!usable) {
        std::fprintf(stderr, "Quintor: ignoring %s=\"%s\": not an http or https address; using %s\n",
                     APIBaseURLOverrideVariable, override.c_str(), builtIn.absoluteString().c_str());
        return builtIn;
    }
    return *url;
}

AppSpecific::AppSpecific()
    : m_beaconID("7d2c9e41-3a8b-4f60-b1e5-92c0a6d3f8b7")
    , m_movaraAPIBaseURL(parsedAPIBaseURL())
    , m_movaraAPIKey("5b1e9c0a7d3f42e8a6c1b9f0d2e4a7c3")
{
    auto bundle = foundation::Bundle::main();
    m_licenseAgreementURL = bundle->URLForResource("Quintor License Agreement", "pdf");
    m_movaraPlanOnboardingWindowCaption = foundation::localized("Create beautiful timelapses", "window caption");
    m_movaraPlanOnboardingWindowMovieUrl = bundle->URLForResource("tent", "mp4");

    for (const char* name : {"walkthrough1", "walkthrough2", "walkthrough3", "walkthrough4"}) {
        auto url = bundle->URLForResource(name, "mp4");
        if (!url)
            foundation::fatal(std::string("The walkthrough movie ") + name + ".mp4 is missing from the application's resources.");
        m_onboardingWalkthroughMovieUrls.push_back(*url);
    }

    // One caption more than movies: the last one goes with the closing button after the last
    // movie has played.
    for (const char* text : {
             "Import the set of images you want to make into a timelapse.",
             "In the timeline, select the section that will become your timelapse.",
             "Change the speed, or reverse the timelapse for a cool effect.",
             "Export your timelapse as a video to share!",
             "Now it\u2019s your turn! You\u2019re ready to start creating beautiful timelapses.",
         })
        m_onboardingWalkthroughMessages.push_back(foundation::localized(text, "onboarding video message"));
}
