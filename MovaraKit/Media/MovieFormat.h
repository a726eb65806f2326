#pragma once
// The movie formats the application writes, in one table: the codec, its code, the writer's
// preset, the container and its file name extension, the name the command line takes and the
// tag of the export settings sheet's item. Every place that maps one of these to another
// reads this table. Any thread.

#include "MovaraKit/Media/MediaHelpers.h"
#include "MovaraKit/Media/MoviePixelBufferDestination.h"

#include <string>
#include <vector>

struct MovieFormat {
    // The tags of the export settings sheet's format items.
    enum class SettingsTag : unsigned long { h264 = 1000, proRes422 = 1001, proRes4444 = 1002, hevc = 1003 };

    std::string name;                          // "h264", "hevc", "prores422", "prores4444"
    std::string codec;                         // AVVideoCodecType...
    MVRVideoCodec code;
    MoviePixelBufferDestinationPreset preset;
    std::string fileType;                      // AVFileTypeMPEG4 or AVFileTypeQuickTimeMovie
    std::string extension;                     // "mp4" or "mov"
    SettingsTag settingsTag;
};

// H.264, ProRes 422, ProRes 4444, HEVC: the order of the settings sheet's items.
const std::vector<MovieFormat>& MovieFormats();

// The format of a codec identifier, a code, a command-line name or a settings tag; null when
// the table has none.
const MovieFormat* MovieFormatForCodec(const std::string& codec);
const MovieFormat* MovieFormatForCode(long code);
const MovieFormat* MovieFormatNamed(const std::string& name);
const MovieFormat* MovieFormatForSettingsTag(MovieFormat::SettingsTag tag);

// The container a movie of `format` gets at a path with `extension`: H.264 and HEVC go into
// a QuickTime movie when the file is named .mov (the hand-off's movie), else the format's own.
std::string MovieFileTypeForExtension(const MovieFormat& format, const std::string& extension);
