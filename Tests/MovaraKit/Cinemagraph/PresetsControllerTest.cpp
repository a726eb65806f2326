#include "MovaraKit/Cinemagraph/PresetsController.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/UI/Application.h"
#include "Tests/Support/ImageFixtures.h"
#include "Tests/Support/TempDir.h"

namespace {

class PresetsControllerTest : public ::testing::Test {
protected:
    std::shared_ptr<PresetsController> make()
    {
        return PresetsController::initWithFileURL(foundation::URL::fileURLWithPath(file().string()));
    }
    std::filesystem::path file() const { return dir.path() / "Stillara" / "Custom Presets.plist"; }
    // Waits for queued writes the way quitting does.
    void quit()
    {
        foundation::NotificationCenter::defaultCenter().post(ui::NSApplicationWillTerminateNotification);
    }
    std::vector<std::string> names(const std::vector<PresetPtr>& presets)
    {
        std::vector<std::string> out;
        for (const auto& p : presets)
            out.push_back(p->name());
        return out;
    }

    testsupport::TempDir dir;
    MVRFilterGraphPtr graph = MVRFilterGraph::init();
};

} // namespace

TEST_F(PresetsControllerTest, CreatingSortsNotifiesAndSaves)
{
    auto controller = make();
    EXPECT_TRUE(controller->presets().empty());
    auto observer = std::make_shared<int>(0);
    controller->addChangeObserver(observer, [](const std::shared_ptr<void>& o) { ++*std::static_pointer_cast<int>(o); });

    for (const char* name : {"b", "A", "a10", "a9", "b"})
        controller->createNewPreset(name, *graph);
    EXPECT_EQ(names(controller->presets()), (std::vector<std::string>{"A", "a9", "a10", "b", "b"}));
    EXPECT_EQ(*observer, 5);
    const auto firstB = controller->presets()[3];

    quit();
    auto reloaded = make();
    EXPECT_EQ(names(reloaded->presets()), (std::vector<std::string>{"A", "a9", "a10", "b", "b"}));
    EXPECT_TRUE(reloaded->presets()[3]->isEqual(*firstB)); // the older "b" stays first

    // A preset read back from the file deletes the live one with its identity.
    controller->deletePreset(*reloaded->presets()[0]);
    EXPECT_EQ(names(controller->presets()), (std::vector<std::string>{"a9", "a10", "b", "b"}));
    // Deleting what is not there still notifies and writes.
    controller->deletePreset(*Preset::init("stranger", *graph));
    EXPECT_EQ(*observer, 7);
    quit();
    EXPECT_EQ(make()->presets().size(), 4u);
}

TEST_F(PresetsControllerTest, ObserversThatWentAwayAreDropped)
{
    auto controller = make();
    int calls = 0;
    auto kept = std::make_shared<int>(0);
    controller->addChangeObserver(kept, [&](const std::shared_ptr<void>&) { ++calls; });
    controller->addChangeObserver(kept, [&](const std::shared_ptr<void>&) { ++calls; });
    {
        auto gone = std::make_shared<int>(0);
        controller->addChangeObserver(gone, [&](const std::shared_ptr<void>&) { calls += 100; });
    }
    controller->createNewPreset("x", *graph);
    EXPECT_EQ(calls, 2);
    quit();
}

TEST_F(PresetsControllerTest, CustomGroupHoldsTheListAtEachCall)
{
    auto shared = PresetsController::shared();
    const size_t before = PresetGroup::custom()->presets().size();
    shared->createNewPreset("zz custom", *graph);
    auto after = PresetGroup::custom();
    EXPECT_EQ(after->name(), "Custom");
    EXPECT_EQ(after->presets().size(), before + 1);
    shared->deletePreset(*after->presets().back());
    EXPECT_EQ(PresetGroup::custom()->presets().size(), before);
    quit();
}

TEST_F(PresetsControllerTest, LegacyFilesLoad)
{
    auto preset = Preset::init("From Stillara", *graph);
    foundation::KeyedArchiver archiver(true);
    archiver.setClassName("Stillara.Preset", "MovaraKit.Preset");
    archiver.encodeArrayOfObjects({preset}, foundation::NSKeyedArchiveRootObjectKey);
    std::filesystem::create_directories(file().parent_path());
    fixtures::writeFile(file(), archiver.encodedData());
    auto controller = make();
    ASSERT_EQ(controller->presets().size(), 1u);
    EXPECT_TRUE(controller->presets()[0]->isEqual(*preset));
}

TEST_F(PresetsControllerTest, DamagedFilesAreMovedAsideNotOverwritten)
{
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
    };
    foundation::KeyedArchiver notPresets(true);
    notPresets.encodeValue(foundation::Value::array({1, 2}), foundation::NSKeyedArchiveRootObjectKey);
    const Case cases[] = {
        {"garbage", {'n', 'o', 't', ' ', 'a', ' ', 'p', 'l', 'i', 's', 't'}},
        {"another kind of archive", notPresets.encodedData()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(file().parent_path());
        std::filesystem::create_directories(file().parent_path());
        fixtures::writeFile(file(), c.bytes);
        auto controller = make();
        EXPECT_TRUE(controller->presets().empty());
        controller->createNewPreset("new", *graph);
        quit();
        // The user's bytes are kept beside the new list.
        const auto aside = file().parent_path() / "Custom Presets (damaged).plist";
        ASSERT_TRUE(std::filesystem::exists(aside));
        EXPECT_EQ(fixtures::readFile(aside), c.bytes);
        EXPECT_EQ(make()->presets().size(), 1u);
    }
}

TEST_F(PresetsControllerTest, AFailedWriteKeepsTheListInMemory)
{
    auto controller = make();
    // A folder where the file should be: every write fails.
    std::filesystem::create_directories(file());
    testing::internal::CaptureStdout();
    controller->createNewPreset("kept", *graph);
    quit();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("failed to write presets: "), std::string::npos) << out;
    EXPECT_EQ(controller->presets().size(), 1u);
    EXPECT_TRUE(std::filesystem::is_directory(file()));
}
