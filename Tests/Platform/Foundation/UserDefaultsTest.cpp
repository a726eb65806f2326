#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/FileManager.h"
#include "Platform/Foundation/PropertyList.h"
#include "Platform/Foundation/UserDefaults.h"

using namespace foundation;
namespace fs = std::filesystem;

namespace {

fs::path fileOf(const std::string& suite)
{
    return fs::path(FileManager::defaultManager().URLForDirectory(SearchPathDirectory::Configuration, false)->path())
        / (suite + ".plist");
}

std::string contents(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

TEST(UserDefaults, ValuesPersistPerSuiteAndRegisteredDefaultsDoNot)
{
    {
        auto defaults = UserDefaults::initWithSuiteName("com.example.persist");
        ASSERT_TRUE(defaults);
        defaults->registerDefaults(Value::dictionary({ { "fps", 30 }, { "hasShownWalkthroughWindowOnLaunch", false } }));
        EXPECT_EQ(defaults->integerForKey("fps"), 30);
        defaults->set("hasShownWalkthroughWindowOnLaunch", true);
        defaults->set("name", "Quintor");
        defaults->set("gone", 1.5);
        defaults->removeObjectForKey("gone");
        EXPECT_TRUE(defaults->synchronize());
    }
    // A fresh object reads what is on disk.
    auto reread = UserDefaults::initWithSuiteName("com.example.persist");
    EXPECT_TRUE(reread->boolForKey("hasShownWalkthroughWindowOnLaunch"));
    EXPECT_EQ(reread->stringForKey("name"), "Quintor");
    EXPECT_TRUE(reread->objectForKey("gone").isNull());
    EXPECT_TRUE(reread->objectForKey("fps").isNull()) << "registered defaults are not written";

    Value onDisk = readPropertyList(std::string_view(contents(fileOf("com.example.persist"))));
    EXPECT_EQ(onDisk, Value::dictionary({ { "hasShownWalkthroughWindowOnLaunch", true }, { "name", "Quintor" } }));
}

TEST(UserDefaults, ObjectsOfOneSuiteShareValues)
{
    auto a = UserDefaults::initWithSuiteName("com.example.shared");
    auto b = UserDefaults::initWithSuiteName("com.example.shared");
    a->set("k", 1);
    EXPECT_EQ(b->integerForKey("k"), 1);
    EXPECT_EQ(UserDefaults::initWithSuiteName("com.example.other")->objectForKey("k"), Value());
}

TEST(UserDefaults, TypedReadsConvertAsThePlatformDoes)
{
    auto d = UserDefaults::initWithSuiteName("com.example.typed");
    struct Case {
        Value stored;
        bool asBool;
        std::int64_t asInteger;
        double asDouble;
        std::optional<std::string> asString;
    };
    const Case cases[] = {
        { Value(), false, 0, 0, std::nullopt },
        { true, true, 1, 1, "1" },
        { 42, true, 42, 42, "42" },
        { 2.5, true, 2, 2.5, "2.5" },
        { "YES", true, 0, 0, "YES" },
        { "true", true, 0, 0, "true" },
        { "12abc", true, 12, 12, "12abc" },
        { "no", false, 0, 0, "no" },
        { Value::array({ 1 }), false, 0, 0, std::nullopt },
    };
    for (const auto& c : cases) {
        d->set("key", c.stored);
        EXPECT_EQ(d->boolForKey("key"), c.asBool);
        EXPECT_EQ(d->integerForKey("key"), c.asInteger);
        EXPECT_EQ(d->doubleForKey("key"), c.asDouble);
        EXPECT_EQ(d->stringForKey("key"), c.asString);
    }
}

TEST(UserDefaults, DamagedFilesAreMovedAsideAndTheProgramCarriesOn)
{
    // {"k": sixty levels of [x, x]}: a few hundred bytes standing for 2^60 strings.
    std::string doubling = "bplist00";
    std::vector<std::size_t> offsets;
    auto object = [&](std::initializer_list<unsigned char> bytes) {
        offsets.push_back(doubling.size());
        doubling.append(bytes.begin(), bytes.end());
    };
    object({ 0xD1, 1, 62 });
    object({ 0x51, 'k' });
    object({ 0x51, 'x' });
    for (unsigned char i = 0; i < 60; ++i)
        object({ 0xA2, static_cast<unsigned char>(i == 0 ? 2 : 2 + i), static_cast<unsigned char>(i == 0 ? 2 : 2 + i) });
    const std::size_t table = doubling.size();
    for (auto o : offsets)
        doubling.append({ static_cast<char>(o >> 8), static_cast<char>(o & 0xFF) });
    std::string trailer(32, '\0');
    trailer[6] = 2;
    trailer[7] = 1;
    trailer[15] = static_cast<char>(offsets.size());
    trailer[30] = static_cast<char>(table >> 8);
    trailer[31] = static_cast<char>(table & 0xFF);
    doubling += trailer;

    struct Case {
        const char* suite;
        std::string bytes;
    };
    const Case cases[] = {
        { "com.example.corrupt", "<plist><dict><key>oops" },
        { "com.example.notADictionary", "<plist><array/></plist>" },
        { "com.example.doubling", doubling },
    };
    for (const auto& c : cases) {
        const auto path = fileOf(c.suite);
        const fs::path aside = path.string() + ".damaged";
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << c.bytes;
        {
            // The launch path: read the preferences, then write them back with a change.
            auto d = UserDefaults::initWithSuiteName(c.suite);
            EXPECT_TRUE(d->dictionaryRepresentation().asDictionary().empty()) << c.suite;
            EXPECT_FALSE(fs::exists(path)) << c.suite;
            EXPECT_EQ(contents(aside), c.bytes) << c.suite << ": the damaged file is kept for a look";
            d->set("fresh", 1);
            EXPECT_TRUE(d->synchronize());
            EXPECT_LT(fs::file_size(path), 100u) << c.suite;
        }
        EXPECT_EQ(UserDefaults::initWithSuiteName(c.suite)->integerForKey("fresh"), 1) << c.suite;
    }

    // A sparse 64 GB file is far past what preferences hold: set aside unread.
    {
        const auto huge = fileOf("com.example.huge");
        std::ofstream(huge, std::ios::binary) << "x";
        fs::resize_file(huge, std::uintmax_t(64) << 30);
        auto d = UserDefaults::initWithSuiteName("com.example.huge");
        EXPECT_TRUE(d->dictionaryRepresentation().asDictionary().empty());
        EXPECT_FALSE(fs::exists(huge));
        EXPECT_EQ(fs::file_size(huge.string() + ".damaged"), std::uintmax_t(64) << 30);
        d->set("fresh", 1);
        EXPECT_EQ(fs::file_size(huge.string() + ".damaged"), std::uintmax_t(64) << 30);
        fs::remove(huge.string() + ".damaged");
    }

    // A second damaged file doesn't replace the first one set aside.
    const auto path = fileOf("com.example.corrupt");
    std::ofstream(path, std::ios::binary) << "again";
    EXPECT_TRUE(UserDefaults::initWithSuiteName("com.example.corrupt")->objectForKey("fresh").isNull());
    EXPECT_EQ(contents(path.string() + ".damaged"), "<plist><dict><key>oops");
    EXPECT_EQ(contents(path.string() + ".damaged-2"), "again");
}

TEST(UserDefaults, RefusesBadSuiteNamesAndValuesWithoutAPropertyListForm)
{
    for (const char* name : { "", ".", "..", "a/b", "../escape" })
        EXPECT_FALSE(UserDefaults::initWithSuiteName(name)) << name;
    auto d = UserDefaults::initWithSuiteName("com.example.refuse");
    d->set("kept", 1);
    EXPECT_THROW(d->set("bad", Value::array({ 1, Value() })), Exception);
    EXPECT_TRUE(d->objectForKey("bad").isNull());
    d->set("kept", Value()); // null removes
    EXPECT_TRUE(d->objectForKey("kept").isNull());
}

TEST(UserDefaults, StandardUsesTheMainBundleIdentifierOrTheProgramName)
{
    auto standard = UserDefaults::standard();
    ASSERT_TRUE(standard);
    EXPECT_EQ(standard, UserDefaults::standard());
    EXPECT_FALSE(standard->suiteName().empty());
    standard->set("probe", 1);
    EXPECT_TRUE(fs::exists(fileOf(standard->suiteName())));
}

TEST(UserDefaults, ASetIsRefusedAndLaterValuesStillReachTheFile)
{
    auto d = UserDefaults::initWithSuiteName("com.example.sets");
    d->set("kept", 1);
    EXPECT_THROW(d->set("bad", Value::setOf({ 1 })), Exception);
    EXPECT_THROW(d->set("nested", Value::dictionary({ { "s", Value::setOf({}) } })), Exception);
    EXPECT_TRUE(d->objectForKey("bad").isNull());
    d->set("later", 2);
    EXPECT_TRUE(d->synchronize());
    const Value onDisk = readPropertyList(contents(fileOf("com.example.sets")));
    EXPECT_EQ(onDisk, Value::dictionary({ { "kept", 1 }, { "later", 2 } }));
}
