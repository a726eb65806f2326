#include "MovaraKit/Media/MovieFormat.h"

#include "Platform/Media/VideoSettings.h"

#include <gtest/gtest.h>

// Every way into the table leads to the same row, and the rows agree with the codec codes.
TEST(MovieFormat, EveryKeyFindsTheSameRow)
{
    ASSERT_EQ(MovieFormats().size(), 4u);
    for (const auto& format : MovieFormats()) {
        EXPECT_EQ(MovieFormatForCodec(format.codec), &format);
        EXPECT_EQ(MovieFormatForCode(format.code), &format);
        EXPECT_EQ(MovieFormatNamed(format.name), &format);
        EXPECT_EQ(MovieFormatForSettingsTag(format.settingsTag), &format);
        EXPECT_EQ(MVRVideoCodecFromString(format.codec), format.code);
        EXPECT_EQ(MVRStringFromVideoCodec(format.code), format.codec);
        // ProRes lives only in QuickTime movies.
        EXPECT_EQ(format.extension == "mov", format.fileType == media::AVFileTypeQuickTimeMovie) << format.name;
    }
    EXPECT_FALSE(MovieFormatForCodec("jpeg"));
    EXPECT_FALSE(MovieFormatForCode(MVRVideoCodecUnknown));
    EXPECT_FALSE(MovieFormatNamed("gif"));
    EXPECT_FALSE(MovieFormatForSettingsTag(MovieFormat::SettingsTag(6001)));
}

TEST(MovieFormat, HandOffMoviesNamedMovAreQuickTime)
{
    const auto& h264 = *MovieFormatNamed("h264");
    EXPECT_EQ(MovieFileTypeForExtension(h264, "mov"), media::AVFileTypeQuickTimeMovie);
    EXPECT_EQ(MovieFileTypeForExtension(h264, "MOV"), media::AVFileTypeQuickTimeMovie);
    EXPECT_EQ(MovieFileTypeForExtension(h264, "mp4"), media::AVFileTypeMPEG4);
    EXPECT_EQ(MovieFileTypeForExtension(*MovieFormatNamed("prores422"), "mp4"), media::AVFileTypeQuickTimeMovie);
}
