#include <gtest/gtest.h>

#include "MovaraAppKit/Shell/MovaraAppSpecific.h"
#include "Platform/Foundation/ClassRegistry.h"
#include "Tests/MovaraAppKit/Shell/ShellTestSupport.h"

namespace {

class SomethingElse {
public:
    virtual ~SomethingElse() = default;
};
class NotAConfiguration : public SomethingElse { };

TEST(MVRAppInfo, SharedObjectIsMadeOnceFromTheClassNamedAppSpecific)
{
    auto first = MVRAppInfo::shared();
    const int made = shelltest::TestAppSpecific::instances();
    auto second = MVRAppInfo::sharedInfo();
    MVRAppInfo::shared();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    EXPECT_NE(dynamic_cast<shelltest::TestAppSpecific*>(first.get()), nullptr);
    EXPECT_EQ(shelltest::TestAppSpecific::instances(), made);
    EXPECT_EQ(first->beaconID(), shelltest::TestBeaconID);
}

TEST(MVRAppInfo, LookUpCreatesAnInstanceOfTheRegisteredClass)
{
    foundation::ClassRegistry registry;
    registry.registerClass<MovaraAppSpecific>("AppSpecific", [] { return std::make_shared<shelltest::TestAppSpecific>(); });
    auto info = MVRAppInfo::lookUp(registry, MVRAppInfo::ClassName);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->movaraAPIKey(), "00112233445566778899aabbccddeeff");
}

// Each of these stops the launch: there is no fallback configuration.
struct BadRegistration {
    const char* what;
    std::function<void(foundation::ClassRegistry&)> fill;
    const char* message;
};

class MVRAppInfoFatal : public testing::TestWithParam<BadRegistration> { };

TEST_P(MVRAppInfoFatal, LookUpStopsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    foundation::ClassRegistry registry;
    GetParam().fill(registry);
    EXPECT_DEATH(MVRAppInfo::lookUp(registry, "AppSpecific"), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Registrations, MVRAppInfoFatal,
    testing::Values(
        BadRegistration {"Missing", [](foundation::ClassRegistry&) { }, "No configuration class named AppSpecific"},
        BadRegistration {"ModuleQualifiedNameOnly",
                         [](foundation::ClassRegistry& r) {
                             r.registerClass<MovaraAppSpecific>("Quintor.AppSpecific",
                                                                [] { return std::make_shared<shelltest::TestAppSpecific>(); });
                         },
                         "No configuration class named AppSpecific"},
        BadRegistration {"OtherInterface",
                         [](foundation::ClassRegistry& r) {
                             r.registerClass<SomethingElse>("AppSpecific", [] { return std::make_shared<NotAConfiguration>(); });
                         },
                         "does not conform to MovaraAppSpecific"},
        BadRegistration {"FactoryMakesNothing",
                         [](foundation::ClassRegistry& r) {
                             r.registerClass<MovaraAppSpecific>("AppSpecific", [] { return std::shared_ptr<MovaraAppSpecific>(); });
                         },
                         "made no object"}),
    [](const testing::TestParamInfo<BadRegistration>& info) { return info.param.what; });

} // namespace
