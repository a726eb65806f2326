#include "MovaraKit/Media/DeviceCapabilities.h"

#include "Platform/Media/CodecCapabilities.h"
#include "Platform/Media/OutputSettingsAssistant.h"

#include <algorithm>
#include <atomic>
#include <mutex>

namespace {

std::once_flag hevcEnabledOnce;
std::atomic<bool> hevcEnabled {false};

// The stored flag, with its initial value computed the first time anyone reads or writes it,
// so a store before any read is not overwritten by a late first computation.
void initialiseHEVCEnabled()
{
    std::call_once(hevcEnabledOnce, [] { hevcEnabled.store(DeviceCapabilities::hasHEVCHardwareEncoder()); });
}

} // namespace

bool DeviceCapabilities::hasHEVCEncoder()
{
    static const bool present = [] {
        const auto presets = media::OutputSettingsAssistant::availableOutputSettingsPresets();
        return std::find(presets.begin(), presets.end(), media::AVOutputSettingsPresetHEVC1920x1080) != presets.end();
    }();
    return present;
}

bool DeviceCapabilities::hasHEVCHardwareEncoder()
{
    // The probe opens devices, which is slow; the platform layer answers it once per process.
    static const bool present = media::hasHardwareHEVCEncoder();
    return present;
}

bool DeviceCapabilities::hasHEVCHardwareDecoder()
{
    static const bool present = media::hasHardwareHEVCDecoder();
    return present;
}

bool DeviceCapabilities::isHEVCEncodingEnabled()
{
    initialiseHEVCEnabled();
    return hevcEnabled.load();
}

void DeviceCapabilities::setHEVCEncodingEnabled(bool enabled)
{
    initialiseHEVCEnabled();
    hevcEnabled.store(enabled);
}
