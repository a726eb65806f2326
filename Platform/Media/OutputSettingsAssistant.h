#pragma once
// Ready-made H.264 and HEVC output settings for a preset size, scaled to fit a source format
// (never enlarged, aspect kept, even dimensions). Subclasses may adjust videoSettings();
// they are made through the protected constructor. Any thread once configured.

#include "Platform/Foundation/Value.h"
#include "Platform/Media/FormatDescription.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace media {

extern const std::string AVOutputSettingsPreset640x480;       // "AVOutputSettingsPreset640x480"
extern const std::string AVOutputSettingsPreset960x540;       // "AVOutputSettingsPreset960x540"
extern const std::string AVOutputSettingsPreset1280x720;      // "AVOutputSettingsPreset1280x720"
extern const std::string AVOutputSettingsPreset1920x1080;     // "AVOutputSettingsPreset1920x1080"
extern const std::string AVOutputSettingsPreset3840x2160;     // "AVOutputSettingsPreset3840x2160"
extern const std::string AVOutputSettingsPresetHEVC1920x1080; // "AVOutputSettingsPresetHEVC1920x1080"
extern const std::string AVOutputSettingsPresetHEVC3840x2160; // "AVOutputSettingsPresetHEVC3840x2160"

class OutputSettingsAssistant {
public:
    // The presets this machine can encode: the HEVC ones only when an HEVC encoder exists.
    static std::vector<std::string> availableOutputSettingsPresets();
    // nullptr for a preset that is unknown or not available here.
    static std::shared_ptr<OutputSettingsAssistant> outputSettingsAssistantWithPreset(const std::string& preset);
    virtual ~OutputSettingsAssistant();

    const std::string& preset() const { return m_preset; }
    const VideoFormatDescriptionPtr& sourceVideoFormat() const { return m_sourceFormat; }
    void setSourceVideoFormat(VideoFormatDescriptionPtr format) { m_sourceFormat = std::move(format); }

    // The output settings: codec, size, compression properties (bit rate for the size,
    // profile, key-frame interval) and BT.709 colour properties.
    virtual std::optional<foundation::Value> videoSettings() const;

protected:
    // `preset` must be one of availableOutputSettingsPresets().
    explicit OutputSettingsAssistant(std::string preset) : m_preset(std::move(preset)) { }

private:
    std::string m_preset;
    VideoFormatDescriptionPtr m_sourceFormat;
};

using OutputSettingsAssistantPtr = std::shared_ptr<OutputSettingsAssistant>;

} // namespace media
