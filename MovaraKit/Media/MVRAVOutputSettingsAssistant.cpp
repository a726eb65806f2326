#include "MovaraKit/Media/MVRAVOutputSettingsAssistant.h"

#include "MovaraKit/Media/DeviceCapabilities.h"
#include "Platform/Media/VideoSettings.h"

#include <algorithm>

std::shared_ptr<MVRAVOutputSettingsAssistant> MVRAVOutputSettingsAssistant::outputSettingsAssistantWithPreset(
    const std::string& preset)
{
    const auto available = availableOutputSettingsPresets();
    if (std::find(available.begin(), available.end(), preset) == available.end())
        return nullptr;
    return std::shared_ptr<MVRAVOutputSettingsAssistant>(new MVRAVOutputSettingsAssistant(preset));
}

std::optional<foundation::Value> MVRAVOutputSettingsAssistant::videoSettings() const
{
    return adjustedVideoSettings(OutputSettingsAssistant::videoSettings(), DeviceCapabilities::hasHEVCHardwareEncoder());
}

std::optional<foundation::Value> MVRAVOutputSettingsAssistant::adjustedVideoSettings(
    std::optional<foundation::Value> settings, bool hasHardwareEncoder)
{
    if (!settings || !settings->isDictionary())
        return settings;
    const auto* codec = settings->find(media::AVVideoCodecKey);
    if (!codec || !codec->isString() || codec->asString() != media::AVVideoCodecTypeHEVC || hasHardwareEncoder)
        return settings;
    const auto* compression = settings->find(media::AVVideoCompressionPropertiesKey);
    if (!compression || !compression->isDictionary())
        return settings;
    const auto* level = compression->find(media::AVVideoProfileLevelKey);
    if (!level || !level->isString() || level->asString() != media::kVTProfileLevel_HEVC_Main_AutoLevel)
        return settings;

    foundation::Value amended = *compression;
    amended[media::AVVideoProfileLevelKey] = media::kVTProfileLevel_HEVC_Main10_AutoLevel;
    (*settings)[media::AVVideoCompressionPropertiesKey] = amended;
    (*settings)[media::AVVideoEncoderSpecificationKey] =
        foundation::Value::dictionary({{media::EnableHardwareAcceleratedVideoEncoderKey, false}});
    return settings;
}
