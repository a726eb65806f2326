#include "Platform/Media/MetadataItem.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace media {

const std::string AVMetadataKeySpaceCommon = "comn";
const std::string AVMetadataKeySpaceQuickTimeMetadata = "mdta";
const std::string AVMetadataKeySpaceQuickTimeUserData = "udta";

const std::string AVMetadataCommonKeyDescription = "description";
const std::string AVMetadataCommonKeyTitle = "title";
const std::string AVMetadataCommonKeySoftware = "software";
const std::string AVMetadataCommonKeyCreator = "creator";
const std::string AVMetadataCommonKeyCreationDate = "creationDate";

std::string MetadataItem::fileKey() const
{
    if (keySpace == AVMetadataKeySpaceCommon) {
        // The common space is an abstraction over the file's own keys; QuickTime metadata
        // spells its creation date key differently from the common one.
        if (key == AVMetadataCommonKeyCreationDate)
            return "com.apple.quicktime.creationdate";
        return "com.apple.quicktime." + key;
    }
    return key;
}

std::optional<std::string> MetadataItem::fileValue() const
{
    if (auto text = value.stringValue())
        return text;
    if (value.isBool())
        return value.asBool() ? "1" : "0";
    if (value.isInteger())
        return std::to_string(value.asInteger());
    if (value.isReal()) {
        char text[64];
        std::snprintf(text, sizeof text, "%.17g", value.asDouble());
        return text;
    }
    if (auto date = value.dateValue()) {
        const double seconds = date->timeIntervalSince1970();
        if (!std::isfinite(seconds))
            return std::nullopt;
        const std::time_t t = static_cast<std::time_t>(std::floor(seconds));
        std::tm tm{};
        if (!gmtime_r(&t, &tm))
            return std::nullopt;
        char text[32];
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
        return text;
    }
    return std::nullopt;
}

} // namespace media
