#include <gtest/gtest.h>

#include <filesystem>

#include "Platform/Images/UTType.h"
#include "Tests/Support/TempDir.h"

using namespace images;

TEST(UTType, ConformanceFollowsTheHierarchy)
{
    struct Case {
        std::string type, parent;
        bool conforms;
    } cases[] = {
        {"public.jpeg", "public.image", true},
        {"public.jpeg", "public.data", true},
        {"public.jpeg", "public.item", true},
        {"public.jpeg", "public.jpeg", true},
        {"public.heic", "public.heif", true},
        {"com.canon.cr2-raw-image", "public.camera-raw-image", true},
        {"com.canon.cr2-raw-image", "public.image", true},
        {"public.jpeg", "public.camera-raw-image", false},
        {"public.mpeg-4", "public.movie", true},
        {"com.apple.quicktime-movie", "public.image", false},
        {"com.adobe.pdf", "public.image", false},
        {"public.folder", "public.directory", true},
        {"public.folder", "public.data", false},
        {"public.html", "public.plain-text", false},
        {"com.example.unknown", "com.example.unknown", true},
        {"com.example.unknown", "public.data", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(typeConformsTo(c.type, c.parent), c.conforms) << c.type << " -> " << c.parent;
}

TEST(UTType, ExtensionsAndMIMETypesMapBothWays)
{
    EXPECT_EQ(UTType::typeWithFilenameExtension("JPG")->identifier(), kUTTypeJPEG);
    EXPECT_EQ(UTType::typeWithFilenameExtension(".tif")->identifier(), kUTTypeTIFF);
    EXPECT_EQ(UTType::typeWithFilenameExtension("NEF")->identifier(), "com.nikon.raw-image");
    EXPECT_FALSE(UTType::typeWithFilenameExtension("xyz"));
    EXPECT_FALSE(UTType::typeWithFilenameExtension(""));
    EXPECT_EQ(UTType::typeWithIdentifier(kUTTypeJPEG)->preferredFilenameExtension(), "jpeg");
    EXPECT_EQ(UTType::typeWithIdentifier(kUTTypeJPEG)->preferredMIMEType(), "image/jpeg");
    EXPECT_EQ(UTType::typeWithIdentifier(kUTTypeQuickTimeMovie)->preferredFilenameExtension(), "mov");
    EXPECT_EQ(UTType::typeWithMIMEType("IMAGE/PNG")->identifier(), kUTTypePNG);
    EXPECT_EQ(UTType::typeWithIdentifier(kUTTypeImage)->preferredFilenameExtension(), "");
    EXPECT_FALSE(UTType::typeWithIdentifier("com.example.unknown"));
}

TEST(UTType, ContentDecidesAndTheExtensionBreaksTies)
{
    auto bytes = [](std::string s) { return s; };
    struct Case {
        std::string what, head, ext, type;
    } cases[] = {
        {"JPEG", bytes("\xFF\xD8\xFF\xE0"), "png", kUTTypeJPEG},
        {"PNG", bytes("\x89PNG\r\n\x1A\n"), "", kUTTypePNG},
        {"GIF", bytes("GIF89a"), "", kUTTypeGIF},
        {"TIFF", bytes(std::string("II*\0\x08\0\0\0", 8)), "tif", kUTTypeTIFF},
        {"TIFF-based RAW by extension", bytes(std::string("II*\0\x08\0\0\0", 8)), "NEF", "com.nikon.raw-image"},
        {"CR2 by content", bytes(std::string("II*\0\x10\0\0\0CR\x02\0", 12)), "", "com.canon.cr2-raw-image"},
        {"HEIC", bytes(std::string("\0\0\0\x18" "ftypheic\0\0\0\0mif1heic", 24)), "", kUTTypeHEIC},
        {"QuickTime", bytes(std::string("\0\0\0\x14" "ftypqt  \0\0\0\0qt  ", 20)), "", kUTTypeQuickTimeMovie},
        {"MPEG-4", bytes(std::string("\0\0\0\x18" "ftypisom\0\0\0\0isomiso2", 24)), "", kUTTypeMPEG4},
        {"PDF", bytes("%PDF-1.4"), "", kUTTypePDF},
        {"unknown bytes fall back to the extension", bytes("hello"), "jpg", kUTTypeJPEG},
        {"unknown bytes, no extension", bytes("hello"), "", ""},
        {"nothing at all", bytes(""), "txt", kUTTypePlainText},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(typeOfData(reinterpret_cast<const uint8_t*>(c.head.data()), c.head.size(), c.ext), c.type);
    }
}

TEST(UTType, TypeOfFileNamesFoldersAndReadsContent)
{
    testsupport::TempDir dir;
    std::filesystem::create_directories(dir / "Photos.jpg");
    EXPECT_EQ(typeOfFile((dir / "Photos.jpg").string()), kUTTypeFolder);
    auto png = dir.write("actually-png.jpg", "\x89PNG\r\n\x1A\n....");
    EXPECT_EQ(typeOfFile(png.string()), kUTTypePNG);
    EXPECT_EQ(typeOfFile((dir / "missing.mov").string()), kUTTypeQuickTimeMovie);
    EXPECT_EQ(typeOfFile((dir / "missing").string()), "");
}
