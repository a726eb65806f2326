#include "Tests/MovaraAppKit/Shell/ShellTestSupport.h"

#include "Platform/Foundation/ClassRegistry.h"

namespace shelltest {

std::vector<foundation::URL> TestAppSpecific::onboardingWalkthroughMovieUrls() const
{
    return {foundation::URL::fileURLWithPath("/nonexistent/walk1.mp4"), foundation::URL::fileURLWithPath("/nonexistent/walk2.mp4")};
}

} // namespace shelltest

// The test program is an application built on the shell: its configuration class is found by
// the plain name, like any application's.
static const foundation::ClassRegistration<MovaraAppSpecific, shelltest::TestAppSpecific> testAppSpecificRegistration("AppSpecific");
