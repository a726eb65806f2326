#include "Platform/Media/AssetWriter.h"
#include "Platform/Media/AssetWriterInput.h"
#include "Platform/Media/AssetWriterInputPixelBufferAdaptor.h"
#include "Platform/Media/MediaError.h"
#include "Platform/Media/VideoSettings.h"
#include "Tests/Platform/Media/MovieFixtures.h"
#include "Tests/Support/TempDir.h"

#include <gtest/gtest.h>


using namespace media;
using mediatest::MovieSpec;

namespace {

struct ContainerCase {
    std::string fileType;
    std::string codec;
    std::string fileName;
    std::string codecName;
    std::string brand;
    std::string pixelFormat;
};

} // namespace

TEST(AssetWriter, WritesEachCodecAndContainerReadableByFFprobe)
{
    const ContainerCase cases[] = {
        {AVFileTypeQuickTimeMovie, AVVideoCodecTypeH264, "a.mov", "h264", "qt  ", "yuv420p"},
        {AVFileTypeMPEG4, AVVideoCodecTypeH264, "a.mp4", "h264", "mp42", "yuv420p"},
        {AVFileTypeAppleM4V, AVVideoCodecTypeH264, "a.m4v", "h264", "M4V ", "yuv420p"},
        {AVFileTypeMPEG4, AVVideoCodecTypeHEVC, "h.mp4", "hevc", "mp42", "yuv420p"},
        {AVFileTypeQuickTimeMovie, AVVideoCodecTypeAppleProRes422, "p.mov", "prores", "qt  ", "yuv422p10le"},
        {AVFileTypeQuickTimeMovie, AVVideoCodecTypeAppleProRes4444, "p4.mov", "prores", "qt  ", "yuva444p12le"},
    };
    testsupport::TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fileName);
        MovieSpec spec;
        spec.fileType = c.fileType;
        spec.settings = mediatest::settingsFor(c.codec);
        const auto path = dir / c.fileName;
        auto error = mediatest::writeMovie(path, spec);
        ASSERT_FALSE(error) << error->localizedDescription() << " " << error->localizedFailureReason().value_or("");
        auto info = mediatest::probe(path);
        ASSERT_TRUE(info.is_object());
        const auto& stream = info["streams"][0];
        EXPECT_EQ(stream["codec_name"], c.codecName);
        EXPECT_EQ(stream["codec_tag_string"], c.codec);
        EXPECT_EQ(stream["pix_fmt"], c.pixelFormat);
        EXPECT_EQ(stream["width"], 64);
        EXPECT_EQ(stream["height"], 48);
        EXPECT_EQ(stream["nb_frames"], "10");
        EXPECT_EQ(stream["color_space"], "bt709");
        EXPECT_EQ(stream["color_primaries"], "bt709");
        EXPECT_EQ(stream["color_transfer"], "bt709");
        EXPECT_EQ(std::stod(stream["start_time"].get<std::string>()), 0.0);
        EXPECT_NEAR(std::stod(stream["duration"].get<std::string>()), 1.0, 1e-6);
        EXPECT_EQ(info["format"]["tags"]["major_brand"], c.brand);
    }
}
