#pragma once
// A metadata item of a movie: a key in a key space and its value, as the asset writer stores
// them. Common-space keys are written as QuickTime metadata ("com.apple.quicktime.<key>").
// A plain value; any thread.

#include "Platform/Foundation/Value.h"

#include <string>

namespace media {

extern const std::string AVMetadataKeySpaceCommon;            // "comn"
extern const std::string AVMetadataKeySpaceQuickTimeMetadata; // "mdta"
extern const std::string AVMetadataKeySpaceQuickTimeUserData; // "udta"

extern const std::string AVMetadataCommonKeyDescription;  // "description"
extern const std::string AVMetadataCommonKeyTitle;        // "title"
extern const std::string AVMetadataCommonKeySoftware;     // "software"
extern const std::string AVMetadataCommonKeyCreator;      // "creator"
extern const std::string AVMetadataCommonKeyCreationDate; // "creationDate"

struct MetadataItem {
    std::string key;
    std::string keySpace = AVMetadataKeySpaceCommon;
    foundation::Value value; // a string, number or date

    // The key as the file stores it.
    std::string fileKey() const;
    // The value as the file stores it (text); none for values a movie cannot carry.
    std::optional<std::string> fileValue() const;
};

} // namespace media
