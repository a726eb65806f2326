#include "MovaraKit/Media/MetadataItem+Movara.h"

#include "MovaraKit/Media/MediaHelpers.h"

media::MetadataItem mvr_commonMetadataItem()
{
    media::MetadataItem item;
    item.key = media::AVMetadataCommonKeyDescription;
    item.keySpace = media::AVMetadataKeySpaceCommon;
    item.value = foundation::Value("Created with " + MVRLocalizedAppName());
    return item;
}
