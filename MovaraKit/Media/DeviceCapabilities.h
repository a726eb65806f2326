#pragma once
// What this machine can do with HEVC, worked out once per process, and the process-wide switch
// between HEVC and H.264 that the writers read. Class-level only; any thread. Store into
// isHEVCEncodingEnabled before exports begin.

class DeviceCapabilities {
public:
    // An HEVC encoder of any kind (software counts) is offered by the settings assistant.
    static bool hasHEVCEncoder();
    // An HEVC hardware encoder actually opens here.
    static bool hasHEVCHardwareEncoder();
    static bool hasHEVCHardwareDecoder();

    // Starts as hasHEVCHardwareEncoder(); afterwards whatever was stored last.
    static bool isHEVCEncodingEnabled();
    static void setHEVCEncodingEnabled(bool enabled);

    DeviceCapabilities() = default;
};
