#include "MovaraKit/Canvas/Canvas.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include "MovaraKit/Canvas/ImageCanvasObject.h"
#include "MovaraKit/Canvas/TextCanvasObject.h"
#include "Platform/Foundation/PropertyList.h"
#include "Tests/Support/ImageFixtures.h"
#include "Tests/Support/TempDir.h"

using foundation::FileWrapper;
using foundation::FileWrapperPtr;
using foundation::Value;
using graphics::Point;
using graphics::Size;

namespace {

foundation::Data picture(int width, int height, uint8_t red = 200)
{
    return fixtures::makePNG8(width, height, 2, [red](int, int) { return std::vector<uint8_t> {red, 10, 10}; });
}

Value plistOf(const FileWrapperPtr& package)
{
    auto file = package->fileWrapperNamed("Canvas.plist");
    EXPECT_TRUE(file);
    foundation::PropertyListFormat format {};
    Value v = foundation::readPropertyList(*file->regularFileContents(), nullptr, &format);
    EXPECT_EQ(format, foundation::PropertyListFormat::Binary);
    return v;
}

std::vector<std::string> dataNames(const FileWrapperPtr& package)
{
    std::vector<std::string> names;
    for (const auto& [name, child] : package->fileWrapperNamed("Data")->fileWrappers())
        names.push_back(name);
    return names;
}

// A package holding only a "Canvas.plist" made from `plist` (and optional data files).
FileWrapperPtr packageWith(const Value& plist, std::map<std::string, foundation::Data> data = {})
{
    auto package = FileWrapper::initDirectoryWithFileWrappers();
    package->addRegularFileWithContents(foundation::toBinaryPropertyList(plist), "Canvas.plist");
    if (!data.empty()) {
        auto dir = FileWrapper::initDirectoryWithFileWrappers();
        dir->setPreferredFilename("Data");
        for (auto& [name, bytes] : data)
            dir->addRegularFileWithContents(bytes, name);
        package->addFileWrapper(dir);
    }
    return package;
}

// A well-formed PNG whose header claims 60000 x 60000 pixels (with a correct checksum).
foundation::Data hugePicture()
{
    foundation::Data png = picture(2, 2);
    for (int i : {16, 20}) {
        png[size_t(i)] = 0;
        png[size_t(i) + 1] = 0;
        png[size_t(i) + 2] = 0xEA;
        png[size_t(i) + 3] = 0x60;
    }
    const uLong crc = crc32(0, png.data() + 12, 17);
    for (int k = 0; k < 4; ++k)
        png[29 + size_t(k)] = uint8_t(crc >> (24 - 8 * k));
    return png;
}

} // namespace

TEST(CanvasFilePackage, AnEmptyCanvasSavesTheTopKeysAndAnEmptyDataFolder)
{
    auto canvas = Canvas::init();
    auto package = FileWrapper::initDirectoryWithFileWrappers();
    ASSERT_TRUE(canvas->save(package));
    const Value plist = plistOf(package);
    EXPECT_EQ(plist["version"], Value(1));
    EXPECT_EQ(plist["size"], Value("{0, 0}"));
    EXPECT_EQ(plist["lastObjectID"], Value(0));
    EXPECT_EQ(plist["objects"], Value::array());
    EXPECT_TRUE(dataNames(package).empty());
}

TEST(CanvasFilePackage, SaveAndReloadThroughDiskRoundTripsTextAndImages)
{
    testsupport::TempDir dir;
    auto canvas = Canvas::init();
    canvas->setSize({1920, 1080});
    auto text = TextCanvasObject::init();
    text->setText("Hello");
    text->setFont(ui::Font::fontWithName("Helvetica-Bold", 72));
    text->setColor(graphics::Color::sRGB(1, 0.5, 0, 1));
    text->setTextAlignment(ui::TextAlignment::right);
    text->setUnderlineStyle(1);
    text->setPosition({300.25, 400});
    text->setTransform(graphics::AffineTransform::make(0.1234567, 0, 0, 1, 2, 3));
    text->setAngle(0.5);
    auto image = ImageCanvasObject::initWithOriginalImageData(picture(8, 6), "Sunset.png");
    ASSERT_TRUE(image);
    image->setPosition({10, 20});
    image->setOpacity(0.5);
    image->setHidden(true);
    canvas->insert(text, 0);
    canvas->insert(image, 1);

    auto package = FileWrapper::initDirectoryWithFileWrappers();
    ASSERT_TRUE(canvas->save(package));
    EXPECT_EQ(dataNames(package), (std::vector<std::string> {"Sunset-2.png"}));
    const Value plist = plistOf(package);
    const Value& textDict = plist["objects"][0];
    EXPECT_EQ(textDict["type"], Value("text"));
    EXPECT_EQ(textDict["position"], Value("{300.25, 400}"));
    EXPECT_EQ(textDict["transform"], Value("{0.123457, 0, 0, 1, 2, 3}"));
    EXPECT_EQ(textDict["identifier"], Value(1));
    EXPECT_EQ(textDict["name"], Value("Hello"));
    EXPECT_EQ(plist["objects"][1]["dataFilename"], Value("Sunset-2.png"));
    EXPECT_EQ(plist["lastObjectID"], Value(2));

    const auto url = foundation::URL::fileURLWithPath((dir / "doc.canvas").string());
    foundation::ErrorPtr error;
    ASSERT_TRUE(package->writeToURL(url, 0, std::nullopt, &error)) << error->localizedDescription();
    auto read = FileWrapper::initWithURL(url, 0, &error);
    ASSERT_TRUE(read);

    auto loaded = Canvas::init();
    ASSERT_TRUE(loaded->load(read, &error)) << error->localizedDescription();
    EXPECT_EQ(loaded->size(), (Size {1920, 1080}));
    ASSERT_EQ(loaded->objects().size(), 2u);
    auto t = std::dynamic_pointer_cast<TextCanvasObject>(loaded->objects()[0]);
    auto i = std::dynamic_pointer_cast<ImageCanvasObject>(loaded->objects()[1]);
    ASSERT_TRUE(t && i);
    EXPECT_EQ(t->text(), "Hello");
    EXPECT_EQ(t->font().fontName(), "Helvetica-Bold");
    EXPECT_EQ(t->font().pointSize(), 72);
    EXPECT_EQ(t->color(), text->color());
    EXPECT_EQ(t->textAlignment(), ui::TextAlignment::right);
    EXPECT_EQ(t->underlineStyle(), 1);
    EXPECT_EQ(t->position(), (Point {300.25, 400}));
    EXPECT_EQ(t->size(), text->size());
    EXPECT_EQ(t->transform().a, 0.123457);
    EXPECT_EQ(t->angle(), 0.5);
    EXPECT_EQ(loaded->identifier(t), 1);
    EXPECT_EQ(loaded->identifier(i), 2);
    EXPECT_EQ(i->originalImageData(), image->originalImageData());
    EXPECT_EQ(i->opacity(), 0.5);
    EXPECT_TRUE(i->hidden());
    EXPECT_EQ(i->position(), (Point {10, 20}));
    // The default description was stored and no longer follows the text.
    t->setText("Other");
    EXPECT_EQ(t->canvasDescription(), "Hello");
    // New objects continue after the file's last identifier.
    auto more = TextCanvasObject::init();
    loaded->insert(more, 0);
    EXPECT_EQ(loaded->identifier(more), 3);
}

TEST(CanvasFilePackage, DataFilesAreKeptRewrittenAndRemovedAsTheCanvasChanges)
{
    auto canvas = Canvas::init();
    auto first = ImageCanvasObject::initWithOriginalImageData(picture(4, 4, 10), "picture.png");
    auto second = ImageCanvasObject::initWithOriginalImageData(picture(4, 4, 20), "picture.png");
    canvas->insert(first, 0);
    canvas->insert(second, 1);
    auto package = FileWrapper::initDirectoryWithFileWrappers();
    ASSERT_TRUE(canvas->save(package));
    EXPECT_EQ(dataNames(package), (std::vector<std::string> {"picture-1.png", "picture-2.png"}));
    auto kept = package->fileWrapperNamed("Data")->fileWrapperNamed("picture-1.png");
    ASSERT_TRUE(canvas->save(package));
    EXPECT_EQ(package->fileWrapperNamed("Data")->fileWrapperNamed("picture-1.png"), kept);

    // Changed bytes are written again.
    first->setOriginalImageData(picture(4, 4, 99));
    ASSERT_TRUE(canvas->save(package));
    EXPECT_EQ(*package->fileWrapperNamed("Data")->fileWrapperNamed("picture-1.png")->regularFileContents(),
              first->originalImageData());

    canvas->remove({second});
    ASSERT_TRUE(canvas->save(package));
    EXPECT_EQ(dataNames(package), (std::vector<std::string> {"picture-1.png"}));
}

TEST(CanvasFilePackage, PicturesWithoutIdentifiersAndTheSameNameKeepBothTheirBytes)
{
    // Objects read from a file without identifiers would otherwise share one data file.
    const Value plist = Value::dictionary(
        {{"objects", Value::array({Value::dictionary({{"type", "image"}, {"originalFilename", "a.png"}, {"dataFilename", "x.png"}}),
                                   Value::dictionary({{"type", "image"}, {"originalFilename", "a.png"}, {"dataFilename", "y.png"}})})}});
    auto canvas = Canvas::init();
    ASSERT_TRUE(canvas->load(packageWith(plist, {{"x.png", picture(2, 2, 1)}, {"y.png", picture(2, 2, 2)}})));
    auto package = FileWrapper::initDirectoryWithFileWrappers();
    ASSERT_TRUE(canvas->save(package));
    const auto names = dataNames(package);
    ASSERT_EQ(names.size(), 2u);
    auto reloaded = Canvas::init();
    ASSERT_TRUE(reloaded->load(package));
    ASSERT_EQ(reloaded->objects().size(), 2u);
    for (size_t k = 0; k < 2; ++k)
        EXPECT_EQ(std::dynamic_pointer_cast<ImageCanvasObject>(reloaded->objects()[k])->originalImageData(),
                  std::dynamic_pointer_cast<ImageCanvasObject>(canvas->objects()[k])->originalImageData());
}

TEST(CanvasFilePackage, OriginalNamesThatAreNoFileNamesStillGiveEachPictureAFileOfItsOwn)
{
    // Names come from pasteboards and old packages: a NUL, a slash or a dot-name must neither
    // stall the save nor reach outside the "Data" folder.
    using namespace std::string_literals;
    const std::vector<std::string> names = {"a\0b.png"s, "\0"s, "\0.png"s, "x.p\0g"s, "/"s, ".."s, "."s, ""s, "a/..png"s, "a/\0"s};
    auto canvas = Canvas::init();
    auto outside = ImageCanvasObject::initWithOriginalImageData(picture(2, 2, 7), "o\0ut.png"s);
    ASSERT_TRUE(outside);
    std::vector<std::shared_ptr<ImageCanvasObject>> images;
    for (size_t k = 0; k < names.size(); ++k) {
        auto image = ImageCanvasObject::initWithOriginalImageData(picture(2, 2, uint8_t(k)), names[k]);
        ASSERT_TRUE(image) << k;
        canvas->insert(image, k);
        images.push_back(image);
    }
    for (const auto& image : images)
        EXPECT_TRUE(FileWrapper::isSinglePathComponent(canvas->dataFilename(image)));
    EXPECT_TRUE(FileWrapper::isSinglePathComponent(canvas->dataFilename(outside)));
    EXPECT_FALSE(canvas->makePlist().empty());

    auto package = FileWrapper::initDirectoryWithFileWrappers();
    ASSERT_TRUE(canvas->save(package));
    EXPECT_EQ(dataNames(package).size(), names.size());
    auto reloaded = Canvas::init();
    foundation::ErrorPtr error;
    ASSERT_TRUE(reloaded->load(package, &error)) << error->localizedDescription();
    ASSERT_EQ(reloaded->objects().size(), names.size());
    for (size_t k = 0; k < names.size(); ++k) {
        auto image = std::dynamic_pointer_cast<ImageCanvasObject>(reloaded->objects()[k]);
        ASSERT_TRUE(image);
        EXPECT_EQ(image->originalImageData(), images[k]->originalImageData()) << k;
        EXPECT_EQ(image->originalFilename(), names[k]) << k;
    }
}

TEST(CanvasFilePackage, LenientReadingOfOptionalAndUnknownKeys)
{
    const Value plist = Value::dictionary(
        {{"version", 2},
         {"size", "{ 100 ,  50 }"},
         {"objects", Value::array({Value::dictionary({{"type", "shape"}}), Value::dictionary({{"text", "no type"}}), 17,
                                   Value::dictionary({{"type", "text"}, {"identifier", 9}, {"position", "garbage"},
                                                      {"opacity", "high"}, {"transform", "{1, 2}"}}),
                                   Value::dictionary({{"type", "text"}, {"text", "kept"}, {"font", 3}})})}});
    auto canvas = Canvas::init();
    foundation::ErrorPtr error;
    ASSERT_TRUE(canvas->load(packageWith(plist), &error));
    EXPECT_EQ(canvas->size(), (Size {100, 50}));
    ASSERT_EQ(canvas->objects().size(), 2u);
    auto first = std::dynamic_pointer_cast<TextCanvasObject>(canvas->objects()[0]);
    EXPECT_EQ(first->text(), "");
    EXPECT_EQ(first->font().fontName(), "Helvetica");
    EXPECT_EQ(first->opacity(), 1.0);
    EXPECT_TRUE(first->transform().isIdentity());
    EXPECT_EQ(canvas->identifier(first), 9);
    // The largest identifier read counts even when the file's lastObjectID is missing.
    EXPECT_EQ(canvas->lastObjectID(), 9);
    auto added = TextCanvasObject::init();
    canvas->insert(added, 0);
    EXPECT_EQ(canvas->identifier(added), 10);
}

TEST(CanvasFilePackage, HostilePackagesFailWithErrorsAndLeaveTheCanvasAsItWas)
{
    const Value imageObject = Value::dictionary({{"type", "image"}, {"originalFilename", "p.png"}, {"dataFilename", "p.png"}});
    struct Case {
        const char* name;
        FileWrapperPtr package;
        std::string domain;
        long code;
    };
    auto notPlist = FileWrapper::initDirectoryWithFileWrappers();
    notPlist->addRegularFileWithContents({'n', 'o', 'p', 'e'}, "Canvas.plist");
    auto plistFolder = FileWrapper::initDirectoryWithFileWrappers();
    auto inner = FileWrapper::initDirectoryWithFileWrappers();
    inner->setPreferredFilename("Canvas.plist");
    plistFolder->addFileWrapper(inner);
    const std::vector<Case> cases = {
        {"a regular file", FileWrapper::initRegularFileWithContents({1}), CanvasErrorDomain, 1},
        {"an empty folder", FileWrapper::initDirectoryWithFileWrappers(), CanvasErrorDomain, 1},
        {"a folder named Canvas.plist", plistFolder, CanvasErrorDomain, 1},
        {"not a property list", notPlist, foundation::NSCocoaErrorDomain, foundation::NSPropertyListReadCorruptError},
        {"an array at the top", packageWith(Value::array({1})), CanvasErrorDomain, 1},
        {"no Data folder", packageWith(Value::dictionary({{"size", "{5, 5}"}, {"objects", Value::array({imageObject})}})),
         CanvasErrorDomain, 0},
        {"a name leaving the package",
         packageWith(Value::dictionary({{"objects", Value::array({Value::dictionary(
                                                                 {{"type", "image"}, {"dataFilename", "../p.png"}})})}}),
                     {{"p.png", picture(2, 2)}}),
         CanvasErrorDomain, 0},
        {"a picture of huge dimensions",
         packageWith(Value::dictionary({{"objects", Value::array({imageObject})}}), {{"p.png", hugePicture()}}), "", 0},
        {"undecodable picture bytes",
         packageWith(Value::dictionary({{"objects", Value::array({imageObject})}}), {{"p.png", {1, 2, 3}}}), "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto canvas = Canvas::init();
        auto undo = foundation::UndoManager::init();
        undo->setGroupsByEvent(false);
        canvas->setSize({10, 20});
        auto existing = TextCanvasObject::init();
        undo->beginUndoGrouping();
        canvas->insert(existing, 0);
        undo->endUndoGrouping();
        canvas->setUndoManager(undo);
        foundation::ErrorPtr error;
        EXPECT_FALSE(canvas->load(c.package, &error));
        ASSERT_TRUE(error);
        if (!c.domain.empty()) {
            EXPECT_EQ(error->domain(), c.domain);
            EXPECT_EQ(error->code(), c.code);
        }
        EXPECT_EQ(canvas->size(), (Size {10, 20}));
        EXPECT_EQ(canvas->objects(), (std::vector<CanvasObjectPtr> {existing}));
        EXPECT_EQ(canvas->lastObjectID(), 1);
        EXPECT_FALSE(undo->canUndo());
    }
}

TEST(CanvasFilePackage, ALoadIsOneUndoableChangeWithTheSize)
{
    auto source = Canvas::init();
    source->setSize({300, 200});
    source->insert(TextCanvasObject::init(), 0);
    auto package = FileWrapper::initDirectoryWithFileWrappers();
    ASSERT_TRUE(source->save(package));

    auto canvas = Canvas::init();
    canvas->setSize({100, 100});
    auto old = TextCanvasObject::init();
    old->setPosition({80, 80});
    canvas->setObjects({old});
    auto undo = foundation::UndoManager::init();
    undo->setGroupsByEvent(false);
    canvas->setUndoManager(undo);
    undo->beginUndoGrouping();
    ASSERT_TRUE(canvas->load(package));
    undo->endUndoGrouping();
    EXPECT_EQ(canvas->size(), (Size {300, 200}));
    undo->undo();
    EXPECT_EQ(canvas->size(), (Size {100, 100}));
    EXPECT_EQ(canvas->objects(), (std::vector<CanvasObjectPtr> {old}));
    EXPECT_EQ(old->position(), (Point {80, 80}));
    undo->redo();
    EXPECT_EQ(canvas->size(), (Size {300, 200}));
    EXPECT_EQ(canvas->objects().size(), 1u);
    EXPECT_NE(canvas->objects()[0], old);
}
