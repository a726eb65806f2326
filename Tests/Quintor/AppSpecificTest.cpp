#include <gtest/gtest.h>

#include <algorithm>

#include "MovaraAppKit/Shell/MovaraAppSpecific.h"
#include "Platform/Foundation/Bundle.h"
#include "Platform/Foundation/ClassRegistry.h"
#include "Quintor/AppSpecific.h"
#include "Tests/Support/ScopedEnv.h"
#include "Tests/Support/TempDir.h"

namespace {

// A main bundle holding the named resources (empty files: only their presence matters here).
class AppSpecificTest : public testing::Test {
protected:
    void useBundleWith(std::initializer_list<const char*> resources)
    {
        for (const char* name : resources)
            dir.write(std::string("Resources/") + name, "");
        foundation::Bundle::setMain(foundation::Bundle::bundleWithPath(dir.path().string()));
    }
    void TearDown() override { foundation::Bundle::setMain(nullptr); }

    static std::shared_ptr<MovaraAppSpecific> make()
    {
        // Found by the plain name, as the shell finds it.
        auto factory = foundation::ClassRegistry::shared().lookup<MovaraAppSpecific>("AppSpecific");
        EXPECT_TRUE(factory);
        return factory ? factory() : nullptr;
    }

    testsupport::TempDir dir;
};

// Whether `text` has the shape given, "x" standing for one lowercase hexadecimal digit.
bool matchesShape(const std::string& text, const std::string& shape)
{
    if (text.size() != shape.size())
        return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool hex = (text[i] >= '0' && text[i] <= '9') || (text[i] >= 'a' && text[i] <= 'f');
        if (shape[i] == 'x' ? !hex : text[i] != shape[i])
            return false;
    }
    return true;
}

constexpr auto AllResources = {"walkthrough1.mp4", "walkthrough2.mp4", "walkthrough3.mp4", "walkthrough4.mp4",
                               "tent.mp4", "Quintor License Agreement.pdf"};

TEST_F(AppSpecificTest, SuppliesTheApplicationsSettings)
{
    testsupport::ScopedEnv builtInService("MOVARA_API_BASE_URL", nullptr);
    useBundleWith(AllResources);
    auto info = make();
    ASSERT_NE(info, nullptr);

    const auto movies = info->onboardingWalkthroughMovieUrls();
    ASSERT_EQ(movies.size(), 4u);
    EXPECT_EQ(movies[0].lastPathComponent(), "walkthrough1.mp4");
    for (const auto& movie : movies) {
        EXPECT_TRUE(movie.isFileURL());
        EXPECT_EQ(movie.pathExtension(), "mp4");
    }
    const std::vector<std::string> captions = {
        "Import the set of images you want to make into a timelapse.",
        "In the timeline, select the section that will become your timelapse.",
        "Change the speed, or reverse the timelapse for a cool effect.",
        "Export your timelapse as a video to share!",
        "Now it\u2019s your turn! You\u2019re ready to start creating beautiful timelapses.",
    };
    EXPECT_EQ(info->onboardingWalkthroughMessages(), captions);
    EXPECT_EQ(info->movaraPlanOnboardingWindowCaption(), "Create beautiful timelapses");

    const auto api = info->movaraAPIBaseURL();
    EXPECT_EQ(api.scheme(), "https");
    EXPECT_FALSE(api.host().empty());
    EXPECT_TRUE(api.absoluteString().ends_with("/api/")) << api.absoluteString();
    EXPECT_TRUE(matchesShape(info->movaraAPIKey(), "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx")) << info->movaraAPIKey();
    EXPECT_TRUE(matchesShape(info->beaconID(), "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx")) << info->beaconID();

    ASSERT_TRUE(info->licenseAgreementURL());
    EXPECT_EQ(info->licenseAgreementURL()->lastPathComponent(), "Quintor License Agreement.pdf");
    ASSERT_TRUE(info->movaraPlanOnboardingWindowMovieUrl());
    EXPECT_EQ(info->movaraPlanOnboardingWindowMovieUrl()->lastPathComponent(), "tent.mp4");
}

TEST_F(AppSpecificTest, TheEnvironmentMayPointTheApplicationAtAnotherServer)
{
    useBundleWith(AllResources);
    {
        testsupport::ScopedEnv local("MOVARA_API_BASE_URL", "http://127.0.0.1:8080/v2/");
        auto info = make();
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->movaraAPIBaseURL().absoluteString(), "http://127.0.0.1:8080/v2/");
    }
    testsupport::ScopedEnv unset("MOVARA_API_BASE_URL", nullptr);
    auto info = make();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->movaraAPIBaseURL().scheme(), "https");
}

TEST(AppSpecificOverride, OnlyAnHTTPAddressWithAHostReplacesTheBuiltInOne)
{
    const auto builtIn = *foundation::URL::URLWithString("https://api.example.com/api/");
    const struct {
        const char* override;
        const char* expected;
    } cases[] = {
        {"", "https://api.example.com/api/"},
        {"https://staging.example.com/api/", "https://staging.example.com/api/"},
        {"http://127.0.0.1:9/api/", "http://127.0.0.1:9/api/"},
        {"not a url", "https://api.example.com/api/"},
        {"/api/", "https://api.example.com/api/"},
        {"file:///etc/passwd", "https://api.example.com/api/"},
        {"ftp://example.com/api/", "https://api.example.com/api/"},
        {"http:///api/", "https://api.example.com/api/"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(movaraAPIBaseURLOverriding(builtIn, c.override).absoluteString(), c.expected) << c.override;
}

TEST_F(AppSpecificTest, ValuesAreFixedWhenTheObjectIsMade)
{
    useBundleWith(AllResources);
    auto info = make();
    ASSERT_NE(info, nullptr);
    const auto captions = info->onboardingWalkthroughMessages();
    const auto license = info->licenseAgreementURL();
    // Resources leaving the bundle afterwards change nothing: nothing is looked up again.
    std::filesystem::remove(dir / "Resources/Quintor License Agreement.pdf");
    EXPECT_EQ(info->licenseAgreementURL(), license);
    EXPECT_EQ(info->onboardingWalkthroughMessages(), captions);
}

TEST_F(AppSpecificTest, OptionalDocumentsMayBeMissing)
{
    useBundleWith({"walkthrough1.mp4", "walkthrough2.mp4", "walkthrough3.mp4", "walkthrough4.mp4"});
    auto info = make();
    ASSERT_NE(info, nullptr);
    EXPECT_FALSE(info->licenseAgreementURL());
    EXPECT_FALSE(info->movaraPlanOnboardingWindowMovieUrl());
}

TEST_F(AppSpecificTest, AMissingWalkthroughMovieStopsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    useBundleWith({"walkthrough1.mp4", "walkthrough2.mp4", "walkthrough4.mp4", "tent.mp4"});
    EXPECT_DEATH(make(), "walkthrough3.mp4 is missing");
}

} // namespace
