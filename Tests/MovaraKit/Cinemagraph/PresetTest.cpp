#include "MovaraKit/Cinemagraph/Preset.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "Platform/Foundation/FileManager.h"
#include "Tests/Support/ImageFixtures.h"
#include "Tests/Support/TempDir.h"

namespace {

MVRFilterGraphPtr warmGraph(double ev = 0.5)
{
    auto graph = MVRFilterGraph::init();
    graph->exposureFilter()->setValue(ev, "inputEV");
    graph->vignetteFilter()->setValue(0.6, "inputIntensity");
    graph->tempTintFilter()->setValue(graphics::FilterVector::make(7500, 10), "inputNeutral");
    return graph;
}

double number(const graphics::FilterPtr& filter, const std::string& key)
{
    auto value = filter->value(key);
    return *std::any_cast<double>(&value);
}

// A preset archive written under the class names another application uses.
struct Renamed {
    foundation::Data bytes;
};

Renamed archiveUnderNames(const std::shared_ptr<const foundation::Coding>& root, const std::string& presetName,
                          const std::string& groupName)
{
    foundation::KeyedArchiver archiver(true);
    archiver.setClassName(presetName, "MovaraKit.Preset");
    archiver.setClassName(groupName, "MovaraKit.PresetGroup");
    archiver.encodeObject(root, foundation::NSKeyedArchiveRootObjectKey);
    return {archiver.encodedData()};
}

} // namespace

TEST(Preset, ArchivesKeepIdentityNameKeyPathsAndValues)
{
    auto preset = Preset::init("Warm", *warmGraph(), {"vignetteFilter.inputIntensity"});
    auto data = foundation::KeyedArchiver::archivedDataWithRootObject(preset, true);
    foundation::ErrorPtr error;
    auto back = foundation::KeyedUnarchiver::unarchivedObjectOfClass<Preset>("MovaraKit.Preset", data, &error);
    ASSERT_TRUE(back) << (error ? error->localizedDescription() : "");
    EXPECT_TRUE(back->isEqual(*preset));
    EXPECT_EQ(back->hash(), preset->hash());
    EXPECT_EQ(back->name(), "Warm");
    EXPECT_EQ(back->excludedKeyPaths(), (std::set<std::string>{"vignetteFilter.inputIntensity"}));
    EXPECT_EQ(number(back->filterGraph()->exposureFilter(), "inputEV"), 0.5);

    // The same name and values, made twice, are two presets; the graph given is copied.
    auto graph = warmGraph();
    auto a = Preset::init("Warm", *graph), b = Preset::init("Warm", *graph);
    EXPECT_FALSE(a->isEqual(*b));
    graph->exposureFilter()->setValue(2.0, "inputEV");
    EXPECT_EQ(number(a->filterGraph()->exposureFilter(), "inputEV"), 0.5);
}

TEST(Preset, LegacyClassNamesAndMissingKeys)
{
    auto preset = Preset::init("Old", *warmGraph());
    auto group = PresetGroup::init("Legacy", {preset});
    auto legacy = archiveUnderNames(group, "Stillara.Preset", "Stillara.PresetGroup");
    registerPresetArchiveClasses();
    auto back = foundation::KeyedUnarchiver::unarchivedObjectOfClass<PresetGroup>("MovaraKit.PresetGroup", legacy.bytes);
    ASSERT_TRUE(back);
    ASSERT_EQ(back->presets().size(), 1u);
    EXPECT_TRUE(back->presets()[0]->isEqual(*preset));
    EXPECT_EQ(back->children().size(), 1u);

    // A whole preset's archive with keys taken out (a null reference reads as missing): without
    // key paths it decodes with none; without an identity or a name, or with a filter where the
    // graph belongs, it does not decode.
    struct Partial : foundation::Coding {
        PresetPtr whole = Preset::init("Partial", *warmGraph(), {"exposureFilter.inputEV"});
        const char* dropped = nullptr;
        bool graphIsAFilter = false;
        std::string className() const override { return "MovaraKit.Preset"; }
        void encodeWithCoder(foundation::KeyedArchiver& coder) const override
        {
            whole->encodeWithCoder(coder);
            if (dropped)
                coder.encodeValue(foundation::Value(), dropped);
            if (graphIsAFilter)
                coder.encodeObject(graphics::Filter::filterWithName("CIVignette"), "filterGraph");
        }
    };
    struct Case {
        const char* dropped;
        bool graphIsAFilter, decodes;
    } cases[] = {
        {nullptr, false, true}, {"excludedKeyPaths", false, true}, {"uuid", false, false},
        {"name", false, false}, {"filterGraph", false, false},     {nullptr, true, false},
    };
    for (const auto& c : cases) {
        auto partial = std::make_shared<Partial>();
        partial->dropped = c.dropped;
        partial->graphIsAFilter = c.graphIsAFilter;
        auto data = foundation::KeyedArchiver::archivedDataWithRootObject(partial, true);
        auto decoded = foundation::KeyedUnarchiver::unarchivedObjectOfClass<Preset>("MovaraKit.Preset", data);
        EXPECT_EQ(bool(decoded), c.decodes) << (c.dropped ? c.dropped : "-") << c.graphIsAFilter;
        if (decoded && c.dropped) {
            EXPECT_TRUE(decoded->excludedKeyPaths().empty());
        }
    }
}

TEST(Preset, ApplyingSkipsExcludedKeyPaths)
{
    auto preset = Preset::init("Warm", *warmGraph(), {"vignetteFilter.inputIntensity"});
    auto target = MVRFilterGraph::init();
    target->vignetteFilter()->setValue(0.1, "inputIntensity");
    preset->apply(*target);
    EXPECT_EQ(number(target->exposureFilter(), "inputEV"), 0.5);
    EXPECT_EQ(number(target->vignetteFilter(), "inputIntensity"), 0.1);
    EXPECT_TRUE(graphics::filterValuesEqual(target->tempTintFilter()->value("inputNeutral"),
                                            graphics::FilterVector::make(7500, 10)));
}

TEST(Preset, WritingNeverReplacesAFile)
{
    testsupport::TempDir dir;
    auto preset = Preset::init("Warm", *warmGraph());
    const auto url = foundation::URL::fileURLWithPath((dir.path() / "Warm.stillarapreset").string());
    foundation::ErrorPtr error;
    ASSERT_TRUE(preset->write(url, &error));
    auto back = foundation::KeyedUnarchiver::unarchivedObjectOfClass<Preset>("MovaraKit.Preset",
                                                                              fixtures::readFile(url.path()));
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->isEqual(*preset));

    fixtures::writeFile(url.path(), {'k', 'e', 'e', 'p'});
    EXPECT_FALSE(preset->write(url, &error));
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->is(foundation::NSCocoaErrorDomain, foundation::NSFileWriteFileExistsError));
    EXPECT_EQ(fixtures::readFile(url.path()), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));

    EXPECT_FALSE(preset->write(foundation::URL::fileURLWithPath((dir.path() / "no" / "such" / "x.stillarapreset").string())));
}

TEST(PresetGroup, FolderTreesBecomeSortedGroups)
{
    testsupport::TempDir dir;
    auto write = [&](const std::filesystem::path& relative, double ev) {
        std::filesystem::create_directories((dir.path() / relative).parent_path());
        ASSERT_TRUE(Preset::init("stored name", *warmGraph(ev))
                        ->write(foundation::URL::fileURLWithPath((dir.path() / relative).string())));
    };
    write("b/10.stillarapreset", 1);
    write("b/9.stillarapreset", 2);
    write("A/Soft/Dusk.stillarapreset", 3);
    write("Top.stillarapreset", 4); // directly in the folder: not part of a group
    fixtures::writeFile(dir.path() / "b" / "notes.txt", {'x'});
    fixtures::writeFile(dir.path() / "b" / "broken.stillarapreset", {'b', 'a', 'd'});

    auto groups = PresetGroup::groups(foundation::URL::fileURLWithPath(dir.path().string(), true));
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[0]->name(), "A");
    ASSERT_EQ(groups[0]->presets().size(), 1u);
    EXPECT_EQ(groups[0]->presets()[0]->name(), "Dusk");
    EXPECT_EQ(groups[1]->name(), "b");
    ASSERT_EQ(groups[1]->presets().size(), 2u);
    EXPECT_EQ(groups[1]->presets()[0]->name(), "9");
    EXPECT_EQ(groups[1]->presets()[1]->name(), "10");
    EXPECT_EQ(number(groups[1]->presets()[0]->filterGraph()->exposureFilter(), "inputEV"), 2);
    EXPECT_TRUE(groups[1]->presets()[0]->excludedKeyPaths().empty());

    // Every reading makes new identities.
    auto again = PresetGroup::groups(foundation::URL::fileURLWithPath(dir.path().string(), true));
    EXPECT_FALSE(again[1]->presets()[0]->isEqual(*groups[1]->presets()[0]));
}

TEST(PresetGroup, BuiltinGroupsShipWithTheFramework)
{
    const auto& groups = PresetGroup::builtinGroups();
    ASSERT_FALSE(groups.empty());
    for (const auto& group : groups) {
        EXPECT_FALSE(group->name().empty());
        EXPECT_FALSE(group->presets().empty()) << group->name();
        for (const auto& preset : group->presets())
            EXPECT_TRUE(preset->filterGraph()) << preset->name();
    }
    EXPECT_EQ(&PresetGroup::builtinGroups(), &groups);
}
