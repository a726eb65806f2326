// quintor-fuzz-seeds DIR: writes the seed corpus of every fuzz target into DIR/<target>/, made
// by our own writers (property lists, JSON, archives, canvases, effect packages)
// and, for images, by the Debian codecs' writers the tests use. Run by hand when a format
// changes; the result is kept in fuzz/corpus. The crash report's seed is a stored report of a
// real crash (see fuzz/README.md).

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "MovaraKit/Canvas/Canvas.h"
#include "MovaraKit/Canvas/ImageCanvasObject.h"
#include "MovaraKit/Canvas/TextCanvasObject.h"
#include "MovaraKit/Cinemagraph/CinemagraphEffect.h"
#include "Platform/Foundation/Date.h"
#include "Platform/Foundation/JSON.h"
#include "Platform/Foundation/KeyedArchiver.h"
#include "Platform/Foundation/PropertyList.h"
#include "Tests/Support/CameraFixtures.h"
#include "Tests/Support/ImageFixtures.h"

namespace fs = std::filesystem;
using foundation::Value;

namespace {

fs::path out;

void put(const std::string& target, const std::string& name, const void* bytes, std::size_t size)
{
    fs::create_directories(out / target);
    std::ofstream file(out / target / name, std::ios::binary | std::ios::trunc);
    file.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(size));
}
void put(const std::string& target, const std::string& name, const std::vector<uint8_t>& bytes)
{
    put(target, name, bytes.data(), bytes.size());
}
void put(const std::string& target, const std::string& name, const std::string& text)
{
    put(target, name, text.data(), text.size());
}

std::vector<Value> propertyLists()
{
    Value shared = Value::array({"x", 1});
    return {
        Value::dictionary({{"string", "text é"}, {"integer", -42}, {"real", 2.5}, {"bool", true},
                           {"date", foundation::Date::dateWithTimeIntervalSinceReferenceDate(123456789.0)},
                           {"data", foundation::Data {0, 1, 2, 255}},
                           {"array", Value::array({1, "two", Value::array({3.0})})},
                           {"uid", Value::dictionary({{"CF$UID", 7}})}}),
        Value::array({shared, shared, Value::dictionary({{"k", shared}})}),
        Value::dictionary({{"NSWindow Frame main", "10 20 800 600"}, {"exportFormat", "h264"}, {"speed", 24}}),
        Value("just text"),
    };
}

// An object of the unarchiver target's probe class, with every kind of field it asks for.
class Probe : public foundation::Coding {
public:
    std::string className() const override { return "FuzzProbe"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override
    {
        coder.encodeBool(true, "b");
        coder.encodeInt64(7, "i");
        coder.encodeDouble(0.5, "d");
        coder.encodeString("text", "s");
        coder.encodeData({1, 2, 3}, "data");
        coder.encodeDate(foundation::Date::dateWithTimeIntervalSinceReferenceDate(1000.0), "date");
        coder.encodeStringSet({"one", "two"}, "set");
        coder.encodeValue(Value::array({1, "two", Value::dictionary({{"k", 3}})}), "a");
        if (withSet)
            coder.encodeValue(Value::setOf({"x", 2, Value::dictionary({{"k", Value::setOf({3})}})}), "v");
        else
            coder.encodeValue(Value::dictionary({{"k", "v"}}), "v");
        if (depth > 0) {
            auto child = std::make_shared<Probe>(depth - 1);
            coder.encodeObject(child, "child");
            coder.encodeArrayOfObjects({child, child}, "list");
            coder.encodeDictionaryOfObjects({{"k", child}}, "map");
        }
    }
    explicit Probe(int d, bool set = false) : depth(d), withSet(set) { }
    int depth;
    bool withSet;
};

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    out = argv[1];

    int n = 0;
    for (const Value& value : propertyLists()) {
        ++n;
        put("plist-xml", "seed-" + std::to_string(n) + ".plist", foundation::toXMLPropertyList(value));
        put("plist-binary", "seed-" + std::to_string(n) + ".plist", foundation::toBinaryPropertyList(value));
    }
    put("json", "seed-1.json", std::string(R"({"a":[1,2.5,-3e10,true,false,null],"b":{"c":"\u00e9\n\"x\""}})"));
    put("json", "seed-2.json", std::string(R"([[[]],{},"",0,-0.0,18446744073709551616])"));

    put("keyed-archive", "probe.archive", foundation::KeyedArchiver::archivedDataWithRootObject(std::make_shared<Probe>(2)));
    put("keyed-archive", "probe-set.archive",
        foundation::KeyedArchiver::archivedDataWithRootObject(std::make_shared<Probe>(1, true)));
    auto text = TextCanvasObject::init();
    text->setText("Hello");
    put("keyed-archive", "text-object.archive", foundation::KeyedArchiver::archivedDataWithRootObject(text, true));

    // Images: small, each with what its decoder reads besides pixels.
    fixtures::Exif exif;
    exif.dateTimeOriginal = "2024:05:06 07:08:09";
    exif.subsecTimeOriginal = "12";
    exif.orientation = 6;
    fixtures::JPEGSpec jpeg;
    jpeg.width = 16;
    jpeg.height = 8;
    jpeg.exif = exif;
    jpeg.quality = 50;
    jpeg.pixel = [](int x, int y) { return std::vector<uint8_t> {uint8_t(x * 16), uint8_t(y * 32), 90}; };
    put("image-jpeg", "rgb-exif.jpg", fixtures::makeJPEG(jpeg));
    jpeg.components = 4;
    jpeg.adobeInvertedCMYK = true;
    jpeg.exif.reset();
    jpeg.pixel = [](int x, int y) { return std::vector<uint8_t> {uint8_t(x * 16), uint8_t(y * 32), 90, 10}; };
    put("image-jpeg", "cmyk.jpg", fixtures::makeJPEG(jpeg));
    put("image-png", "rgb16.png", fixtures::makePNG16(4, 3, [](int x, int y) { return std::vector<uint16_t> {uint16_t(x * 9000), uint16_t(y * 9000), 500}; }, 2, 1.0));
    put("image-png", "palette.png", fixtures::makePNG8(5, 4, 3, [](int x, int y) { return std::vector<uint8_t> {uint8_t((x + y) % 3)}; },
                                                       {255, 0, 0, 0, 255, 0, 0, 0, 255}, {255, 128, 0}));
    const fs::path scratch = fs::temp_directory_path() / ("quintor-fuzz-seeds-" + std::to_string(getpid()));
    fs::create_directories(scratch);
    fixtures::TIFFSpec tiff;
    tiff.pixel = [](int x, int y) { return std::vector<uint16_t> {uint16_t(x * 60), uint16_t(y * 80), 30}; };
    fixtures::writeTIFF(scratch / "a.tiff", tiff);
    put("image-tiff", "rgb8.tiff", fixtures::readFile(scratch / "a.tiff"));
    tiff.bitsPerSample = 16;
    tiff.samples = 4;
    tiff.tiled = true;
    tiff.pages = 2;
    tiff.orientation = 8;
    tiff.pixel = [](int x, int y) { return std::vector<uint16_t> {uint16_t(x * 6000), uint16_t(y * 8000), 3000, 65535}; };
    fixtures::writeTIFF(scratch / "b.tiff", tiff);
    put("image-tiff", "rgba16-tiled-2pages.tiff", fixtures::readFile(scratch / "b.tiff"));
    fixtures::writeGIF(scratch / "a.gif", 6, 4, 2);
    put("image-gif", "two-frames.gif", fixtures::readFile(scratch / "a.gif"));
    put("image-heif", "exif.heic", fixtures::makeHEIC(16, 16, {200, 20, 20}, {20, 20, 200}, exif));
    fixtures::DNGSpec dng;
    dng.dateTime = "2023:01:02 03:04:05";
    dng.orientation = 3;
    fixtures::writeDNG(scratch / "a.dng", dng);
    put("image-raw", "linear.dng", fixtures::readFile(scratch / "a.dng"));

    // A canvas of a text and a picture whose data file is the target's own "Data/a.png".
    const std::vector<uint8_t> png = fixtures::makePNG8(2, 2, 6, [](int x, int y) { return std::vector<uint8_t> {uint8_t(x * 200), 0, uint8_t(y * 200), 200}; });
    auto canvas = Canvas::init();
    canvas->setSize({640, 480});
    auto picture = ImageCanvasObject::initWithOriginalImageData(png, "a.png");
    canvas->insert(text, 0);
    canvas->insert(picture, 1);
    Value plist = foundation::readPropertyList(canvas->makePlist());
    for (Value& object : plist.mutableDictionary()["objects"].mutableArray())
        if (object["type"] == Value("image"))
            object.mutableDictionary().set("dataFilename", "a.png");
    put("canvas", "text-and-picture.plist", foundation::toBinaryPropertyList(plist));
    put("canvas", "text-and-picture-xml.plist", foundation::toXMLPropertyList(plist));

    // An effect package's record, as written by the package writer.
    fixtures::writeFile(scratch / "source.mp4", {0, 0, 0, 20, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm', 0, 0, 2, 0, 'i', 's', 'o', 'm'});
    fixtures::writeFile(scratch / "effect.mov", fixtures::readFile(scratch / "source.mp4"));
    CinemagraphEffect effect(foundation::URL::fileURLWithPath((scratch / "source.mp4").string()),
                             media::TimeRange::make(media::Time::make(600, 600), media::Time::make(1200, 600)),
                             foundation::URL::fileURLWithPath((scratch / "effect.mov").string()), "Ripple", true, false);
    foundation::ErrorPtr error;
    if (!effect.writeToURL(foundation::URL::fileURLWithPath((scratch / "e.cinemagraphEffect").string()), &error)) {
        std::fprintf(stderr, "no effect package: %s\n", error ? error->localizedDescription().c_str() : "?");
        return 1;
    }
    put("effect-package", "ripple.plist", fixtures::readFile(scratch / "e.cinemagraphEffect" / "Data.plist"));

    fs::remove_all(scratch);
    return 0;
}
