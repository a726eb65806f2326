#pragma once
// The output-settings assistant whose HEVC settings also suit a machine without an HEVC
// hardware encoder: there the Main profile becomes Main 10 with hardware acceleration off.
// Every other codec, and every machine with the hardware, gets the platform's settings as they
// are. Any thread once configured.

#include "Platform/Media/OutputSettingsAssistant.h"

#include <memory>
#include <string>

class MVRAVOutputSettingsAssistant : public media::OutputSettingsAssistant {
public:
    // nullptr for a preset that is unknown or not available here.
    static std::shared_ptr<MVRAVOutputSettingsAssistant> outputSettingsAssistantWithPreset(const std::string& preset);

    std::optional<foundation::Value> videoSettings() const override;

    // The adjustment itself, given the platform's settings and whether a hardware encoder exists.
    static std::optional<foundation::Value> adjustedVideoSettings(std::optional<foundation::Value> settings,
                                                                  bool hasHardwareEncoder);

private:
    explicit MVRAVOutputSettingsAssistant(std::string preset) : OutputSettingsAssistant(std::move(preset)) { }
};
