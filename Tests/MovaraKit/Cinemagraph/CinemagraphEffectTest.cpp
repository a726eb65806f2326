#include "MovaraKit/Cinemagraph/CinemagraphEffect.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "Platform/Foundation/PropertyList.h"
#include "Tests/Support/ImageFixtures.h"
#include "Tests/Support/ScopedEnv.h"
#include "Tests/Support/TempDir.h"

using foundation::URL;
using foundation::Value;

namespace {

class CinemagraphEffectTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        source = dir / "clip.mov";
        fixtures::writeFile(source, std::vector<uint8_t>(64, 7));
        effect = dir / "fx.png";
        fixtures::writeFile(effect, fixtures::makePNG8(2, 2, 2, [](int, int) { return std::vector<uint8_t> {1, 2, 3}; }));
    }

    CinemagraphEffect makeEffect(const std::filesystem::path& effectPath)
    {
        media::Time start = media::Time::make(90, 600);
        media::Time duration = media::Time::makeWithEpoch(1200, 600, 0);
        return CinemagraphEffect(URL::fileURLWithPath(source.string()), media::TimeRange::make(start, duration),
                                 URL::fileURLWithPath(effectPath.string()), "Sparkle", true, false);
    }

    // Writes a package whose Data.plist is `record` (and the two media files).
    URL packageWith(const Value& record, const std::string& name = "p.cinemagraphEffect")
    {
        const auto path = dir / name;
        std::filesystem::create_directories(path);
        fixtures::writeFile(path / "Data.plist", foundation::toBinaryPropertyList(record));
        fixtures::writeFile(path / "sourceMovie.mov", std::vector<uint8_t>(16, 1));
        fixtures::writeFile(path / "effectMovie.png", fixtures::readFile(effect));
        return URL::fileURLWithPath(path.string(), true);
    }

    Value goodRecord()
    {
        const Value time = Value::dictionary({{"value", 1}, {"timescale", 600}, {"flags", 1}, {"epoch", 0}});
        return Value::dictionary({{"version", 1},
                                  {"sourceFilename", "sourceMovie.mov"},
                                  {"sourceTimeRange", Value::dictionary({{"start", time}, {"duration", time}})},
                                  {"effectFilename", "effectMovie.png"},
                                  {"effectName", "n"},
                                  {"isVideoProvider", false},
                                  {"isImageProvider", true}});
    }

    testsupport::TempDir dir;
    std::filesystem::path source;
    std::filesystem::path effect;
};

} // namespace

TEST_F(CinemagraphEffectTest, WriteAndReadBackGivesTheSameValuesWithHardLinkedMedia)
{
    const URL url = URL::fileURLWithPath((dir / "out.cinemagraphEffect").string(), true);
    foundation::ErrorPtr error;
    ASSERT_TRUE(makeEffect(effect).writeToURL(url, &error)) << error->localizedDescription();
    struct stat a {}, b {};
    ASSERT_EQ(::stat(source.c_str(), &a), 0);
    ASSERT_EQ(::stat((dir / "out.cinemagraphEffect" / "sourceMovie.mov").c_str(), &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino) << "the movie is linked, not copied";

    auto read = CinemagraphEffect::initWithPackageURL(url, &error);
    ASSERT_TRUE(read) << error->localizedDescription();
    EXPECT_EQ(read->sourceURL().lastPathComponent(), "sourceMovie.mov");
    EXPECT_EQ(read->effectURL().lastPathComponent(), "effectMovie.png");
    EXPECT_EQ(read->sourceTimeRange().start.value, 90);
    EXPECT_EQ(read->sourceTimeRange().start.timescale, 600);
    EXPECT_EQ(read->sourceTimeRange().start.flags, makeEffect(effect).sourceTimeRange().start.flags);
    EXPECT_EQ(read->sourceTimeRange().duration.value, 1200);
    EXPECT_EQ(read->sourceTimeRange().duration.epoch, 0);
    EXPECT_EQ(read->effectName(), "Sparkle");
    EXPECT_TRUE(read->isVideoProvider());
    EXPECT_FALSE(read->isImageProvider());

    // Writing again replaces the package whole.
    ASSERT_TRUE(makeEffect(effect).writeToURL(url, &error));
}

TEST_F(CinemagraphEffectTest, RefusedPackages)
{
    struct Case {
        const char* name;
        std::function<URL()> make;
        std::string domain;
        long code;
    };
    const std::string reading = CinemagraphEffectReadingErrorDomain;
    const std::vector<Case> cases = {
        {"wrong extension", [&] { return packageWith(goodRecord(), "p.folder"); }, reading, 0},
        {"newer version", [&] { Value r = goodRecord(); r.set("version", 2); return packageWith(r); }, reading, 1},
        {"no Data.plist", [&] { URL u = packageWith(goodRecord()); std::filesystem::remove(u.path() + "/Data.plist"); return u; }, reading, 0},
        {"source is an image", [&] { Value r = goodRecord(); r.set("sourceFilename", "effectMovie.png"); return packageWith(r); }, reading, 0},
        {"missing media", [&] { Value r = goodRecord(); r.set("effectFilename", "gone.mov"); return packageWith(r); }, reading, 0},
        {"a name leading out", [&] { Value r = goodRecord(); r.set("sourceFilename", "../clip.mov"); return packageWith(r); }, reading, 0},
        {"a missing key", [&] { Value r = goodRecord(); r.erase("effectName"); return packageWith(r); },
         foundation::NSCocoaErrorDomain, foundation::NSCoderValueNotFoundError},
        {"a wrong type", [&] { Value r = goodRecord(); r.set("isVideoProvider", "yes"); return packageWith(r); },
         foundation::NSCocoaErrorDomain, foundation::NSCoderReadCorruptError},
        {"not a folder", [&] { return URL::fileURLWithPath(dir.write("f.cinemagraphEffect", "x").string()); }, reading, 0},
        // Links inside the package would read, and copy on the next write, files outside it.
        {"a source movie linking out", [&] {
             URL u = packageWith(goodRecord());
             std::filesystem::remove(u.path() + "/sourceMovie.mov");
             std::filesystem::create_symlink("/etc/passwd", u.path() + "/sourceMovie.mov");
             return u;
         }, reading, 0},
        {"an effect linking out", [&] {
             URL u = packageWith(goodRecord());
             std::filesystem::remove(u.path() + "/effectMovie.png");
             std::filesystem::create_symlink(effect, u.path() + "/effectMovie.png");
             return u;
         }, reading, 0},
        {"a link to another entry", [&] {
             Value r = goodRecord();
             r.set("sourceFilename", "linked.mov");
             URL u = packageWith(r);
             std::filesystem::create_symlink("sourceMovie.mov", u.path() + "/linked.mov");
             return u;
         }, reading, 0},
        {"a linked package", [&] {
             URL u = packageWith(goodRecord(), "p.folder");
             std::filesystem::create_symlink(u.path(), dir / "p.cinemagraphEffect");
             return URL::fileURLWithPath((dir / "p.cinemagraphEffect").string(), true);
         }, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        foundation::ErrorPtr error;
        EXPECT_FALSE(CinemagraphEffect::initWithPackageURL(c.make(), &error));
        ASSERT_TRUE(error);
        if (!c.domain.empty()) {
            EXPECT_EQ(error->domain(), c.domain);
            EXPECT_EQ(error->code(), c.code);
        }
        std::filesystem::remove_all(dir / "p.cinemagraphEffect");
        std::filesystem::remove_all(dir / "p.folder");
    }
    // Version 1 with an unreadable time range still loads, with an invalid range.
    Value r = goodRecord();
    r.set("sourceTimeRange", Value::dictionary({{"start", Value::dictionary({{"value", 1}})}}));
    auto read = CinemagraphEffect::initWithPackageURL(packageWith(r));
    ASSERT_TRUE(read);
    EXPECT_FALSE(read->sourceTimeRange().start.isValid());
}

TEST_F(CinemagraphEffectTest, ExportGoesIntoTheSharedContainerAndTheLaunchURLRoundTrips)
{
    auto written = makeEffect(effect).exportToStillaraImportContainer();
    ASSERT_TRUE(written);
    EXPECT_EQ(written->path().find(std::string(std::getenv("XDG_DATA_HOME")) + "/Group Containers/group.com.movara.stillara-import-effect/"), 0u);
    EXPECT_EQ(std::filesystem::path(written->path()).extension(), ".cinemagraphEffect");
    EXPECT_TRUE(CinemagraphEffect::initWithPackageURL(*written));

    const URL launch = CinemagraphEffect::containerURLToLaunchURL(*written);
    EXPECT_EQ(launch.absoluteString().find("stillara://import-effect-track?url=file"), 0u);
    EXPECT_EQ(CinemagraphEffect::launchURLToContainerURL(launch), written);

    auto launchFor = [](const std::string& text) { return *URL::URLWithString(text); };
    const std::vector<std::string> refused = {
        "stillara://import-effect?url=" + written->absoluteString(),
        "other://import-effect-track?url=" + written->absoluteString(),
        "stillara://import-effect-track",
        "stillara://import-effect-track?url=https://example.com/x",
    };
    for (const std::string& text : refused)
        EXPECT_FALSE(CinemagraphEffect::launchURLToContainerURL(launchFor(text))) << text;
    // The launch URL only names a package: any file URL, inside the container or not, comes
    // back as it went in. Whoever opens it reads it as a package, which refuses anything else.
    const URL outside = URL::fileURLWithPath((dir / "elsewhere" / "with space.cinemagraphEffect").string());
    EXPECT_EQ(CinemagraphEffect::launchURLToContainerURL(CinemagraphEffect::containerURLToLaunchURL(outside)), outside);
    const URL passwd = URL::fileURLWithPath("/etc/passwd");
    auto named = CinemagraphEffect::launchURLToContainerURL(CinemagraphEffect::containerURLToLaunchURL(passwd));
    ASSERT_TRUE(named);
    EXPECT_EQ(*named, passwd);
    EXPECT_FALSE(CinemagraphEffect::initWithPackageURL(*named));
}

TEST_F(CinemagraphEffectTest, WithoutAContainerNothingIsWritten)
{
    // A data home under a regular file can't hold the container.
    const std::string blocked = dir.write("blocker", "x").string() + "/data";
    testsupport::ScopedEnv env("XDG_DATA_HOME", blocked.c_str());
    EXPECT_FALSE(makeEffect(effect).exportToStillaraImportContainer());
    foundation::ErrorPtr error;
    EXPECT_FALSE(makeEffect(dir / "missing.png").writeToURL(URL::fileURLWithPath((dir / "x.cinemagraphEffect").string()), &error));
    EXPECT_TRUE(error);
    EXPECT_FALSE(std::filesystem::exists(dir / "x.cinemagraphEffect"));
}
