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
    // `type` is the file's type (typeOfData); `decoded` what an image decoder takes the bytes
    // for (typeOfContent), which never trusts a name its signature check contradicts.
    struct Case {
        std::string what, head, ext, type, decoded;
    } cases[] = {
        {"JPEG", bytes("\xFF\xD8\xFF\xE0"), "png", kUTTypeJPEG, kUTTypeJPEG},
        {"PNG", bytes("\x89PNG\r\n\x1A\n"), "", kUTTypePNG, kUTTypePNG},
        {"GIF", bytes("GIF89a"), "", kUTTypeGIF, kUTTypeGIF},
        {"TIFF", bytes(std::string("II*\0\x08\0\0\0", 8)), "tif", kUTTypeTIFF, kUTTypeTIFF},
        {"TIFF-based RAW by extension", bytes(std::string("II*\0\x08\0\0\0", 8)), "NEF", "com.nikon.raw-image",
         "com.nikon.raw-image"},
        {"CR2 by content", bytes(std::string("II*\0\x10\0\0\0CR\x02\0", 12)), "", "com.canon.cr2-raw-image",
         "com.canon.cr2-raw-image"},
        {"HEIC", bytes(std::string("\0\0\0\x18" "ftypheic\0\0\0\0mif1heic", 24)), "", kUTTypeHEIC, kUTTypeHEIC},
        {"QuickTime", bytes(std::string("\0\0\0\x14" "ftypqt  \0\0\0\0qt  ", 20)), "", kUTTypeQuickTimeMovie,
         kUTTypeQuickTimeMovie},
        {"MPEG-4", bytes(std::string("\0\0\0\x18" "ftypisom\0\0\0\0isomiso2", 24)), "", kUTTypeMPEG4, kUTTypeMPEG4},
        {"PDF", bytes("%PDF-1.4"), "", kUTTypePDF, kUTTypePDF},
        {"BMP needs its extension", bytes("BM\x36\0\0\0"), "bmp", kUTTypeBMP, kUTTypeBMP},
        {"unknown bytes named as a JPEG", bytes("hello"), "jpg", kUTTypeJPEG, ""},
        {"unknown bytes named as a TIFF-based RAW", bytes("hello"), "dng", "com.adobe.raw-image", ""},
        {"a RAW kind without a signature we check", bytes("hello"), "crw", "com.canon.crw-raw-image",
         "com.canon.crw-raw-image"},
        {"unknown bytes, no extension", bytes("hello"), "", "", ""},
        {"nothing at all", bytes(""), "txt", kUTTypePlainText, kUTTypePlainText},
        {"nothing at all, named as a PNG", bytes(""), "png", kUTTypePNG, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto* head = reinterpret_cast<const uint8_t*>(c.head.data());
        EXPECT_EQ(typeOfData(head, c.head.size(), c.ext), c.type);
        EXPECT_EQ(typeOfContent(head, c.head.size(), c.ext), c.decoded);
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
