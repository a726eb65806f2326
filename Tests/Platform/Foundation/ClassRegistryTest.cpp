#include <gtest/gtest.h>

#include <string>

#include "Platform/Foundation/ClassRegistry.h"

using namespace foundation;

namespace {

struct AppConfiguration {
    virtual ~AppConfiguration() = default;
    virtual std::string name() const = 0;
};

struct RegisteredConfiguration : AppConfiguration {
    std::string name() const override { return "registered"; }
};

} // namespace

FOUNDATION_REGISTER_CLASS(RegisteredConfiguration, AppConfiguration);

TEST(ClassRegistry, StaticRegistrationIsFoundByNameAndInterface)
{
    auto& registry = ClassRegistry::shared();
    EXPECT_TRUE(registry.isRegistered("RegisteredConfiguration"));
    auto factory = registry.lookup<AppConfiguration>("RegisteredConfiguration");
    ASSERT_TRUE(factory);
    auto made = factory();
    ASSERT_TRUE(made);
    EXPECT_EQ(made->name(), "registered");
    EXPECT_NE(factory(), made) << "each call makes a new object";

    EXPECT_FALSE(registry.lookup<AppConfiguration>("NoSuchClass"));
    EXPECT_FALSE(registry.isRegistered("NoSuchClass"));
    // Registered, but not as this interface: no factory rather than a wrong cast.
    EXPECT_FALSE(registry.lookup<std::string>("RegisteredConfiguration"));
}
