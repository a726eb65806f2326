#pragma once
// What this machine can encode and decode: probes of FFmpeg's hardware and software video
// codecs. Each probe runs once per process (the hardware ones open devices, which is slow) and
// is then answered from memory; safe from any thread.

#include <optional>
#include <string>
#include <vector>

namespace media {

// The FFmpeg name of a hardware HEVC encoder that actually opens here (VAAPI, NVENC, Quick
// Sync, ...), or none. Merely being compiled into FFmpeg does not count.
std::optional<std::string> hardwareHEVCEncoderName();
inline bool hasHardwareHEVCEncoder() { return hardwareHEVCEncoderName().has_value(); }

// Whether a hardware device that FFmpeg's HEVC decoder can use is present.
bool hasHardwareHEVCDecoder();

// The codec types ("avc1", "hvc1", "apcn", "ap4h") that the software encoders of this
// FFmpeg can write, in that order.
std::vector<std::string> availableSoftwareVideoCodecTypes();
bool canEncodeVideoCodecType(const std::string& codecType);

} // namespace media
