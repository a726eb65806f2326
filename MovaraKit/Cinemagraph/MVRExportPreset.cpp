#include "MovaraKit/Cinemagraph/MVRExportPreset.h"

#include <algorithm>
#include <cmath>

#include "MovaraKit/Support/Bundle+Movara.h"
#include "Platform/Foundation/Localized.h"

const std::string MVRExportPresetIdentifierDefault = "default";
const std::string MVRExportPresetIdentifierFacebook = "facebook";
const std::string MVRExportPresetIdentifierFacebookProfile = "facebook profile";
const std::string MVRExportPresetIdentifierFacebookAd = "facebook ad";
const std::string MVRExportPresetIdentifierFacebookCoverVideo = "facebook cover video";
const std::string MVRExportPresetIdentifierInstagram = "instagram";
const std::string MVRExportPresetIdentifierTwitter = "twitter";
const std::string MVRExportPresetIdentifierSnapchat = "snapchat";
const std::string MVRExportPresetIdentifierLivePhoto = "live photo";

namespace {

graphics::Size infiniteSize()
{
    return graphics::Rect::infinite().size;
}

} // namespace

const std::vector<MVRExportPresetConstPtr>& MVRExportPreset::standardPresets()
{
    static const std::vector<MVRExportPresetConstPtr> presets = [] {
        struct Row {
            const std::string& identifier;
            const char* nameKey;
            graphics::Size landscape, portrait;
            double threshold, maxDuration;
            FPS fps;
        };
        const graphics::Size none{}, endless = infiniteSize();
        const Row rows[] = {
            {MVRExportPresetIdentifierDefault, "Default", endless, endless, 0, 0, FPS::source},
            {MVRExportPresetIdentifierFacebook, "Facebook", none, none, 30, 240, FPS::fps30},
            {MVRExportPresetIdentifierFacebookProfile, "Facebook Profile Video", {640, 640}, {640, 640}, 7, 7, FPS::fps30},
            {MVRExportPresetIdentifierFacebookAd, "Facebook Ad Upload", none, none, 15, 240, FPS::fps30},
            {MVRExportPresetIdentifierFacebookCoverVideo, "Facebook Cover Video", {820, 462}, {820, 462}, 0, 90, FPS::fps30},
            {MVRExportPresetIdentifierInstagram, "Instagram", {1920, 1080}, {1080, 1920}, 14.9, 60, FPS::fps30},
            {MVRExportPresetIdentifierTwitter, "Twitter", {1280, 720}, {640, 640}, 6.5, 140, FPS::fps30},
            {MVRExportPresetIdentifierSnapchat, "Snapchat", {1920, 1080}, {1080, 1920}, 9.9, 9.9, FPS::fps30},
        };
        std::vector<MVRExportPresetConstPtr> list;
        for (const auto& row : rows) {
            auto preset = init();
            preset->identifier = row.identifier;
            preset->localizedName = foundation::localized(row.nameKey, "", mvr_movaraKitBundle());
            preset->format = Format::h264;
            preset->landscapeMaxMovieSize = row.landscape;
            preset->portraitMaxMovieSize = row.portrait;
            preset->autoLoopThreshold = row.threshold;
            preset->maxDuration = row.maxDuration;
            preset->fps = row.fps;
            list.push_back(preset);
        }
        return list;
    }();
    return presets;
}

bool MVRExportPreset::hasValidSizes() const
{
    const graphics::Size none{}, endless = infiniteSize();
    return !(landscapeMaxMovieSize == none || landscapeMaxMovieSize == endless || portraitMaxMovieSize == none
             || portraitMaxMovieSize == endless);
}

double MVRExportPreset::scaleForSize(graphics::Size size) const
{
    if (!hasValidSizes())
        return 1.0;
    const graphics::Size max = size.height < size.width ? landscapeMaxMovieSize : portraitMaxMovieSize;
    return std::min(max.width / size.width, max.height / size.height);
}

uint64_t MVRExportPreset::repeatCountFor(double duration) const
{
    // A length that is not a positive number cannot be looped to any length.
    if (!(duration > 0) || !std::isfinite(duration))
        return 1;
    double limit;
    if (autoLoopThreshold >= duration)
        limit = autoLoopThreshold;
    else if (maxDuration >= duration)
        limit = maxDuration;
    else
        return 1;
    return uint64_t(std::floor(std::abs(limit / duration)));
}
