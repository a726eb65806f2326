#pragma once
// What a destination (a social network, or the plain default) asks of an exported movie:
// codec, frame rate, the largest picture for landscape and portrait material, and how long
// the movie may or should be. The framework's standard table has eight. Main thread.

#include <memory>
#include <string>
#include <vector>

#include "Platform/Graphics/Geometry.h"

extern const std::string MVRExportPresetIdentifierDefault;           // "default"
extern const std::string MVRExportPresetIdentifierFacebook;          // "facebook"
extern const std::string MVRExportPresetIdentifierFacebookProfile;   // "facebook profile"
extern const std::string MVRExportPresetIdentifierFacebookAd;        // "facebook ad"
extern const std::string MVRExportPresetIdentifierFacebookCoverVideo; // "facebook cover video"
extern const std::string MVRExportPresetIdentifierInstagram;         // "instagram"
extern const std::string MVRExportPresetIdentifierTwitter;           // "twitter"
extern const std::string MVRExportPresetIdentifierSnapchat;          // "snapchat"
extern const std::string MVRExportPresetIdentifierLivePhoto;         // "live photo"

class MVRExportPreset;
using MVRExportPresetPtr = std::shared_ptr<MVRExportPreset>;
using MVRExportPresetConstPtr = std::shared_ptr<const MVRExportPreset>;

class MVRExportPreset {
public:
    enum class Format : uint64_t { none = 0, h264 = 1, hevc = 2 };
    enum class FPS : uint64_t { none = 0, source = 1, fps30 = 2 };

    static MVRExportPresetPtr init() { return std::make_shared<MVRExportPreset>(); }
    // The eight standard presets, made once and shared by every caller, so they cannot be
    // changed: copy one to adjust it.
    static const std::vector<MVRExportPresetConstPtr>& standardPresets();

    std::string identifier;
    std::string localizedName;
    Format format = Format::none;
    graphics::Size landscapeMaxMovieSize;
    graphics::Size portraitMaxMovieSize;
    double autoLoopThreshold = 0;
    double maxDuration = 0;
    FPS fps = FPS::none;

    // Both sizes given (neither zero nor endless).
    bool hasValidSizes() const;
    // The factor that fits material of `size` into the landscape or portrait maximum (may
    // exceed 1); 1 without valid sizes.
    double scaleForSize(graphics::Size size) const;
    // How often material of `duration` seconds plays back to back; at least the caller's
    // duration must be positive (otherwise 1).
    uint64_t repeatCountFor(double duration) const;
};
