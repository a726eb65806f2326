#pragma once
// HEIC and camera RAW (DNG) files made by the tests with libheif and libtiff, for the decoders
// that have no writer of ours to round-trip through. Each picture is split into a left and a
// right half of two colours, so a decode that swaps channels or halves shows.

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "Tests/Support/ImageFixtures.h"

namespace fixtures {

using RGB8 = std::array<uint8_t, 3>;

// An HEVC-coded HEIC of width x height with EXIF (orientation, capture date) when given.
std::vector<uint8_t> makeHEIC(int width, int height, RGB8 left, RGB8 right, const std::optional<Exif>& exif = std::nullopt);

// A linear DNG (16-bit RGB, identity colour matrix) that LibRaw develops. LibRaw refuses
// pictures under 22 pixels a side. `dateTime` ("YYYY:MM:DD HH:MM:SS") is the TIFF DateTime tag,
// the only capture time many RAW files carry outside an EXIF directory.
struct DNGSpec {
    int width = 32, height = 24;
    RGB8 left {230, 20, 20};
    RGB8 right {20, 20, 230};
    int orientation = 1;
    std::optional<std::string> dateTime;
};
void writeDNG(const std::filesystem::path& path, const DNGSpec& recipe);

} // namespace fixtures
