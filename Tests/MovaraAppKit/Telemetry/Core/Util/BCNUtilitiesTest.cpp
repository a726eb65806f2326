#include "Tests/MovaraAppKit/Telemetry/TelemetryFixture.h"

#include <dlfcn.h>
#include <elf.h>
#include <sys/xattr.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <thread>

#include "MovaraAppKit/Telemetry/Core/Model/BCNCustomProperties.h"
#include "MovaraAppKit/Telemetry/Core/Util/BCNCompression.h"
#include "MovaraAppKit/Telemetry/Core/Util/BCNDispatcherUtil.h"
#include "MovaraAppKit/Telemetry/Core/Util/BCNOrderedDictionary.h"
#include "Platform/Dispatch/Semaphore.h"
#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/URL.h"
#include "Platform/UI/Application.h"
#include "Platform/UI/Window.h"
#include "Platform/UI/Workspace.h"

using BCNUtilities = TelemetryTest;

TEST(BCNUtilityDates, ISO8601TextRoundTripsMilliseconds)
{
    EXPECT_EQ(BCNUtility::dateToISO8601(foundation::Date::dateWithTimeIntervalSince1970(0.5)), "1970-01-01T00:00:00.500Z");
    EXPECT_EQ(BCNUtility::dateToISO8601(foundation::Date::dateWithTimeIntervalSince1970(1700000000.123)), "2023-11-14T22:13:20.123Z");
    EXPECT_EQ(BCNUtility::dateFromISO8601("2023-11-14T22:13:20.123Z")->timeIntervalSince1970(), 1700000000.123);
    for (const char* bad : { "", "2023-11-14T22:13:20Z", "2023-11-14T22:13:20.123", "2023-13-14T22:13:20.123Z", "x2023-11-14T22:13:20.123Z" })
        EXPECT_FALSE(BCNUtility::dateFromISO8601(bad)) << bad;
}

TEST(BCNUtilityTokens, TargetKeysAndIKeysComeFromTheTokenBeforeItsFirstDash)
{
    EXPECT_EQ(BCNUtility::targetKeyFromTargetToken("abc-def-1"), "abc");
    EXPECT_EQ(BCNUtility::targetKeyFromTargetToken("abc"), "abc");
    EXPECT_EQ(BCNUtility::targetKeyFromTargetToken("-abc"), std::nullopt);
    EXPECT_EQ(BCNUtility::iKeyFromTargetToken("abc-def"), "o:abc");
    EXPECT_EQ(BCNUtility::iKeyFromTargetToken(std::nullopt), std::nullopt);
    EXPECT_EQ(BCNUtility::sha256("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(BCNUtility::prettyPrintJson(foundation::Data { 'n', 'o', 'p', 'e' }), "nope");
    EXPECT_EQ(BCNUtility::obfuscateString(R"({"Token" : "abc"})", R"("token"\s*:\s*"[^"]+")", R"("token" : "***")"),
              R"({"token" : "***"})");
    EXPECT_EQ(BCNUtility::obfuscateString("x", "(", "y"), std::nullopt);
}

TEST_F(BCNUtilities, PropertyValidationKeepsTwentyStringsAndCutsLongOnes)
{
    foundation::Value properties = foundation::Value::dictionary();
    for (int i = 0; i < 25; ++i)
        properties.set("k" + std::to_string(i), "v");
    EXPECT_EQ(BCNUtility::validateProperties(properties, "Export", "Event").size(), 20u);
    EXPECT_EQ(linesAt(BCNLogLevelWarning),
              std::vector<std::string> { "Event 'Export' : properties cannot contain more than 20 items. Skipping other properties." });

    const std::string k125(125, 'k');
    const auto cut = BCNUtility::validateProperties(foundation::Value::dictionary({ { k125 + "x", std::string(126, 'v') },
                                                                                    { "", "empty key" },
                                                                                    { "number", 3 },
                                                                                    { k125, "kept" } }),
                                                    "Export", "Event");
    EXPECT_EQ(cut.keys(), std::vector<std::string> { k125 });
    EXPECT_EQ(cut[k125], foundation::Value("kept")) << "a cut key that equals a later one is replaced by it";
    EXPECT_TRUE(logged(BCNLogLevelWarning, "Event 'Export' : a property key cannot be null or empty. Property will be skipped."));
}

TEST(BCNCompressionTest, GzipInflatesBackAndTinyInputsFail)
{
    const std::string text(5000, 'a');
    const auto compressed = BCNCompression::compressData(foundation::Data(text.begin(), text.end()));
    ASSERT_TRUE(compressed);
    ASSERT_GT(compressed->size(), 2u);
    EXPECT_EQ((*compressed)[0], 0x1F);
    EXPECT_EQ((*compressed)[1], 0x8B);
    z_stream stream {};
    ASSERT_EQ(inflateInit2(&stream, 31), Z_OK);
    std::string inflated(text.size() + 10, '\0');
    stream.next_in = const_cast<Bytef*>(compressed->data());
    stream.avail_in = static_cast<uInt>(compressed->size());
    stream.next_out = reinterpret_cast<Bytef*>(inflated.data());
    stream.avail_out = static_cast<uInt>(inflated.size());
    EXPECT_EQ(inflate(&stream, Z_FINISH), Z_STREAM_END);
    inflated.resize(stream.total_out);
    inflateEnd(&stream);
    EXPECT_EQ(inflated, text);

    EXPECT_FALSE(BCNCompression::compressData({}));
    EXPECT_FALSE(BCNCompression::compressData({ 'a', 'b' })) << "header and trailer don't fit the buffer";
}

TEST(BCNOrderedDictionaryTest, KeepsFirstInsertionOrder)
{
    BCNOrderedDictionary a;
    a.setObject(1, "b");
    a.setObject(2, "a");
    a.setObject(3, "c");
    a.setObject(4, "a");
    EXPECT_EQ(a.keys(), (std::vector<std::string> { "b", "a", "c" }));
    EXPECT_EQ(*a.objectForKey("a"), foundation::Value(4));
    BCNOrderedDictionary b;
    b.setObject(2, "a");
    b.setObject(1, "b");
    b.setObject(3, "c");
    b.setObject(4, "a");
    EXPECT_FALSE(a.isEqualToDictionary(b));
    a.removeAllObjects();
    a.setObject(1, "a");
    EXPECT_EQ(a.keys(), std::vector<std::string> { "a" });
}

TEST_F(BCNUtilities, CustomPropertiesRefuseBadKeysAndValuesOneByOne)
{
    struct Case {
        std::string key;
        bool accepted;
    };
    for (const Case& c : { Case { "a1", true }, Case { "Abc", true }, Case { std::string(128, 'k'), true }, Case { "1a", false },
                           Case { "a_b", false }, Case { "a-b", false }, Case { "", false }, Case { std::string(129, 'k'), false } }) {
        BCNCustomProperties properties;
        properties.setString("v", c.key);
        EXPECT_EQ(properties.propertiesImmutableCopy().contains(c.key), c.accepted) << c.key;
    }
    BCNCustomProperties properties;
    properties.setString("first", "key").setString("second", "key").setNumber(std::nan(""), "nan").setString(std::string(129, 'v'), "key");
    properties.setNumber(INFINITY, "inf").setBool(false, "flag").clearPropertyForKey("flag");
    const auto copy = properties.propertiesImmutableCopy();
    EXPECT_EQ(copy["key"], foundation::Value("second"));
    EXPECT_FALSE(copy.contains("nan"));
    EXPECT_FALSE(copy.contains("inf"));
    EXPECT_TRUE(copy.contains("flag") && copy["flag"].isNull());
    EXPECT_TRUE(logged(BCNLogLevelWarning, "Custom property \"key\" is already set or cleared and will be overridden."));
    EXPECT_TRUE(logged(BCNLogLevelError, "Custom property value cannot be NaN or infinite."));

    BCNCustomProperties full;
    for (int i = 0; i < 60; ++i)
        full.setNumber(std::int64_t(i), "k" + std::to_string(i));
    full.setNumber(std::int64_t(61), "extra").setNumber(std::int64_t(-1), "k0").clearPropertyForKey("k1");
    const auto sixty = full.propertiesImmutableCopy();
    EXPECT_EQ(sixty.size(), 60u);
    EXPECT_EQ(sixty["k0"], foundation::Value(-1));
    EXPECT_TRUE(logged(BCNLogLevelError, "Custom properties cannot contain more than \"60\" items."));
}

TEST_F(BCNUtilities, PrefixedDefaultsMoveOldKeysOncePerService)
{
    auto defaults = foundation::UserDefaults::standard();
    BCNBeaconUserDefaults::shared().setObjectForKey("kept", "InstallId");
    EXPECT_EQ(defaults->objectForKey("BeaconSDKInstallId"), foundation::Value("kept"));
    EXPECT_THROW(BCNBeaconUserDefaults::shared().objectForKey("BeaconSDKInstallId"), foundation::Exception);

    defaults->set("BNChannelStartTimer:Analytics", 5);
    defaults->set("BNChannelStartTimer:Crashes", 6);
    defaults->set("pastDevicesKey", "devices");
    const std::map<std::string, BCNBeaconUserDefaults::OldKey> table = {
        { "BeaconSDKChannelStartTimer", BCNUserDefaultsPrefixKey { "BNChannelStartTimer" } },
        { "BeaconSDKPastDevices", std::string("pastDevicesKey") },
        { "BeaconSDKInstallId", std::string("BNInstallId") },
    };
    BCNBeaconUserDefaults::shared().migrateKeys(table, "Probe");
    EXPECT_EQ(defaults->objectForKey("BeaconSDKChannelStartTimer:Analytics"), foundation::Value(5));
    EXPECT_EQ(defaults->objectForKey("BeaconSDKChannelStartTimer:Crashes"), foundation::Value(6));
    EXPECT_TRUE(defaults->objectForKey("BNChannelStartTimer:Crashes").isNull());
    EXPECT_EQ(defaults->objectForKey("BeaconSDKPastDevices"), foundation::Value("devices"));
    EXPECT_EQ(defaults->objectForKey("BeaconSDKInstallId"), foundation::Value("kept")) << "nothing stored under the old key";
    EXPECT_EQ(defaults->objectForKey("BeaconSDK310ProbeUserDefaultsMigratedKey"), foundation::Value(true));

    defaults->set("pastDevicesKey", "later");
    BCNBeaconUserDefaults::shared().migrateKeys(table, "Probe");
    EXPECT_EQ(defaults->objectForKey("pastDevicesKey"), foundation::Value("later")) << "the second run moves nothing";
    defaults->removeObjectForKey("pastDevicesKey");
}

TEST_F(BCNUtilities, FoldersAreListedAndKeptOutOfBackups)
{
    ASSERT_TRUE(BCNUtility::createFileAtPathComponent("crashes/a.bin", foundation::Data(1, 'a'), true, false));
    ASSERT_TRUE(BCNUtility::createFileAtPathComponent("crashes/b.bin", std::nullopt, false, false));
    auto entries = BCNUtility::contentsOfDirectory("crashes");
    ASSERT_TRUE(entries);
    std::sort(entries->begin(), entries->end());
    EXPECT_EQ(*entries, (std::vector<std::filesystem::path> { BCNUtility::fullURLForPathComponent("crashes/a.bin"),
                                                              BCNUtility::fullURLForPathComponent("crashes/b.bin") }));
    EXPECT_FALSE(BCNUtility::contentsOfDirectory(""));
    EXPECT_FALSE(BCNUtility::contentsOfDirectory("missing"));
    EXPECT_TRUE(loggedStartingWith(BCNLogLevelDebug, "Couldn't get files in the directory \"missing\": "));

    char value[16] = {};
    const auto folder = BCNUtility::fullURLForPathComponent("crashes");
    const auto size = ::getxattr(folder.c_str(), "user.xdg.robots.backup", value, sizeof value);
    if (size < 0 && errno == ENOTSUP)
        GTEST_SKIP() << "this file system keeps no extended attributes";
    ASSERT_GT(size, 0) << "folders the client makes are marked for backup tools to skip";
    EXPECT_EQ(std::string(value, static_cast<std::size_t>(size)), "false");
    EXPECT_FALSE(BCNUtility::disableBackupForDirectoryURL(BCNUtility::fullURLForPathComponent("missing")));
    EXPECT_TRUE(loggedStartingWith(BCNLogLevelError, "Error excluding "));
}

TEST_F(BCNUtilities, TheApplicationOpensURLsLaterOnTheMainQueue)
{
    auto& workspace = ui::Workspace::shared();
    const bool recordsOnly = workspace.recordsOnly();
    workspace.setRecordsOnly(true);
    workspace.clearRecordedCalls();
    std::optional<bool> opened;
    BCNUtility::sharedAppOpenUrl(*foundation::URL::URLWithString("https://example.com/help"), [&](bool success) { opened = success; });
    EXPECT_FALSE(opened) << "not at once";
    ASSERT_TRUE(waitFor([&] { return opened.has_value(); }));
    EXPECT_TRUE(*opened);
    ASSERT_EQ(workspace.recordedCalls().size(), 1u);
    EXPECT_EQ(workspace.recordedCalls()[0].operation, "openURL");
    workspace.clearRecordedCalls();
    workspace.setRecordsOnly(recordsOnly);

    EXPECT_EQ(BCNUtility::sharedApp(), ui::Application::shared());
    EXPECT_FALSE(BCNUtility::hasEmbeddedMobileProvision());
    EXPECT_FALSE(BCNUtility::isAppStoreReceiptSandbox());
}

TEST(BCNDispatcherUtilTest, MainThreadBlocksRunLaterAndBoundedWaitsEnd)
{
    bool ran = false;
    BCNDispatcherUtil::performBlockOnMainThread([&] { ran = true; });
    EXPECT_FALSE(ran) << "a call on the main thread still runs later";
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return ran; }, 10));

    const auto queue = dispatch::Queue::serial("dispatcher-test");
    std::atomic<int> done = 0;
    BCNDispatcherUtil::dispatchSyncWithTimeout(10, queue, [&] { ++done; });
    EXPECT_EQ(done, 1) << "a quick block is waited for";

    auto gate = dispatch::Semaphore::make(0);
    BCNDispatcherUtil::dispatchSyncWithTimeout(0.05, queue, [&] {
        gate->wait();
        ++done;
    });
    EXPECT_EQ(done, 1) << "the wait ended before the block did";
    gate->signal();
    queue->sync([] { });
    EXPECT_EQ(done, 2) << "and the block still ran";
}

TEST(BCNUtilityIdentity, NameAndVersionComeFromTheLibrarysOwnSection)
{
    // The record as a tool reading the library file finds it.
    Dl_info info {};
    ASSERT_NE(::dladdr(reinterpret_cast<void*>(&BCNUtility::sdkName), &info), 0);
    std::ifstream in(info.dli_fname, std::ios::binary);
    auto read = [&](std::uint64_t offset, std::size_t size) {
        std::string bytes(size, '\0');
        in.seekg(static_cast<std::streamoff>(offset));
        in.read(bytes.data(), static_cast<std::streamsize>(size));
        return bytes;
    };
    Elf64_Ehdr header {};
    const std::string headerBytes = read(0, sizeof header);
    std::memcpy(&header, headerBytes.data(), sizeof header);
    std::vector<Elf64_Shdr> sections(header.e_shnum);
    const std::string table = read(header.e_shoff, sections.size() * sizeof(Elf64_Shdr));
    ASSERT_TRUE(in) << info.dli_fname;
    std::memcpy(sections.data(), table.data(), table.size());
    const std::string names = read(sections[header.e_shstrndx].sh_offset, sections[header.e_shstrndx].sh_size);
    const Elf64_Shdr* record = nullptr;
    for (const auto& section : sections)
        if (std::string(names.c_str() + section.sh_name) == "__bcn_ios")
            record = &section;
    ASSERT_NE(record, nullptr) << info.dli_fname;
    ASSERT_EQ(record->sh_size, 97u);
    EXPECT_EQ(record->sh_flags & SHF_WRITE, 0u) << "a constant record";
    const std::string contents = read(record->sh_offset, 97);
    const char* bytes = contents.data();
    EXPECT_EQ(bytes[0], 1);
    EXPECT_EQ(std::string(bytes + 1, 32), std::string("beacon.macos") + std::string(20, '\0'));
    EXPECT_EQ(std::string(bytes + 33, 32), std::string("4.0.0") + std::string(27, '\0'));
    EXPECT_EQ(std::string(bytes + 65, 32), std::string("1") + std::string(31, '\0'));
    EXPECT_EQ(BCNUtility::sdkName(), "beacon.macos");
    EXPECT_EQ(BCNUtility::sdkVersion(), "4.0.0");
}

TEST(BCNUtilityApplicationState, BackgroundWhenNoWindowOfTheLaunchedApplicationIsShown)
{
    EXPECT_EQ(BCNUtility::applicationState(), 0) << "a process that never showed an interface is in use";
    int offMain = -1;
    std::thread([&] { offMain = BCNUtility::applicationState(); }).join();
    EXPECT_EQ(offMain, 3);
    // Launching the shared application is for good: it happens in a child of this process.
    EXPECT_EXIT(
        {
            auto app = ui::Application::shared();
            app->finishLaunching();
            for (const auto& left : app->windows()) // windows earlier tests of this process left
                left->orderOut();
            std::string states = std::to_string(BCNUtility::applicationState());
            auto window = ui::Window::initWithContentRect(graphics::Rect::make(0, 0, 200, 100), ui::WindowStyleMaskTitled);
            window->orderFront();
            states += std::to_string(BCNUtility::applicationState());
            window->miniaturize();
            states += std::to_string(BCNUtility::applicationState());
            auto other = ui::Window::initWithContentRect(graphics::Rect::make(0, 0, 200, 100), ui::WindowStyleMaskTitled);
            other->orderFront();
            states += std::to_string(BCNUtility::applicationState());
            other->orderOut();
            states += std::to_string(BCNUtility::applicationState());
            std::fprintf(stderr, "states %s\n", states.c_str());
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "states 20202");
}
