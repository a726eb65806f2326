// Canvas packages from hostile bytes: "Canvas.plist" is the input, beside a "Data" folder that
// holds one small picture ("a.png"). Whatever loads must save, and the saved package must load
// again: a canvas never writes what it can't read back, and saving never hangs.

#include <cstddef>
#include <cstdint>
#include <map>

#include "FuzzSupport.h"
#include "MovaraKit/Canvas/Canvas.h"
#include "Platform/Foundation/FileWrapper.h"

namespace {

using foundation::FileWrapper;

const std::uint8_t kPicture[] = { 0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00, 0x00, 0x1f, 0x15, 0xc4, 0x89, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x44, 0x41, 0x54, 0x78, 0xda, 0x63, 0x64, 0xf8, 0xcf, 0x50, 0x0f, 0x00, 0x03, 0x86, 0x01, 0x80, 0x5a, 0x34, 0x7d, 0x6b, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82 };

foundation::FileWrapperPtr package(foundation::Data plist)
{
    auto data = FileWrapper::initDirectoryWithFileWrappers(
        {{"a.png", FileWrapper::initRegularFileWithContents(foundation::Data(std::begin(kPicture), std::end(kPicture)))}});
    return FileWrapper::initDirectoryWithFileWrappers(
        {{"Canvas.plist", FileWrapper::initRegularFileWithContents(std::move(plist))}, {"Data", data}});
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    auto canvas = Canvas::init();
    foundation::ErrorPtr error;
    if (!canvas->load(package(foundation::Data(data, data + size)), &error)) {
        FUZZ_CHECK(error, "a refused package gave no error");
        return 0;
    }
    auto saved = FileWrapper::initDirectoryWithFileWrappers();
    foundation::ErrorPtr saveError;
    if (!canvas->save(saved, &saveError))
        return 0;
    auto again = Canvas::init();
    foundation::ErrorPtr loadError;
    FUZZ_CHECK(again->load(saved, &loadError), "a package the canvas saved does not load again");
    FUZZ_CHECK(again->objects().size() == canvas->objects().size(), "a saved package loads with other objects");
    return 0;
}
