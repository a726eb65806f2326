#pragma once
// Small stateless helpers shared by the media pipeline, the shell and export: codec codes and
// their identifiers, the application's display name, linear normalisation and transforming an
// image. Any thread.

#include "Platform/Graphics/Geometry.h"
#include "Platform/Graphics/Image.h"

#include <optional>
#include <string>

// Codes of the codecs the system writes; 5 stands for any other.
enum MVRVideoCodec : long {
    MVRVideoCodecH264 = 1,
    MVRVideoCodecHEVC = 2,
    MVRVideoCodecAppleProRes422 = 3,
    MVRVideoCodecAppleProRes4444 = 4,
    MVRVideoCodecUnknown = 5,
};

// The codec identifier ("avc1", "hvc1", "apcn", "ap4h") of codes 1 to 4; none for any other code.
std::optional<std::string> MVRStringFromVideoCodec(long code);
// The code of a codec identifier; 5 for an unknown identifier or none.
long MVRVideoCodecFromString(const std::optional<std::string>& identifier);

// The main bundle's "CFBundleDisplayName", else its "CFBundleName", else "Stillara".
std::string MVRLocalizedAppName();

// (value - min) / (max - min) and back; no clamping, no special case for max == min.
float normalizedValueInRange(float value, float min, float max);
float valueFromNormalizedValueInRange(float normalizedValue, float min, float max);

// The image drawn through `transform` into a bitmap just large enough for the transformed
// image; the identity gives the very same image. None when the result would be empty.
graphics::ImagePtr MVRImageByApplyingTransform(const graphics::ImagePtr& image, const graphics::AffineTransform& transform);
