#pragma once
// What one export writes: the format, the scale, how often a movie repeats, the frame timing
// and the image-sequence options. An immutable value; any thread.

#include <cstdint>
#include <memory>
#include <string>

#include "MovaraKit/Cinemagraph/MVRCinemagraph.h"
#include "Platform/Graphics/Geometry.h"
#include "Platform/Media/Time.h"

enum MVRRenderType : uint64_t {
    MVRRenderTypeH264 = 0,
    MVRRenderTypeProRes422 = 1,
    MVRRenderTypeProRes4444 = 2,
    MVRRenderTypeGIF = 3,
    MVRRenderTypeImageSequence = 4,
    MVRRenderTypeHEVC = 5,
};

enum MVRImageSequenceType : uint64_t {
    MVRImageSequenceTypePNG = 0,
    MVRImageSequenceTypeJPEG = 1,
    MVRImageSequenceTypeTIFF = 2,
    MVRImageSequenceTypeNone = 3, // not chosen: written as PNG
};

// The scale that keeps `size` within `maxSize` (width: the long side's limit, height: the
// short side's, whatever the orientation); 1 when it fits. Never enlarges.
double MVRScaleConstrainingSizeToSize(graphics::Size size, graphics::Size maxSize);

class MVRExportSettings;
using MVRExportSettingsPtr = std::shared_ptr<const MVRExportSettings>;

class MVRExportSettings {
public:
    static MVRExportSettingsPtr settingsWithType(uint64_t type, double scale, const media::Time& frameDuration,
                                                 uint64_t repeatCount, uint64_t imageSequenceType,
                                                 double imageSequenceCompressionQuality);
    // Source timing, no image-sequence type chosen, quality 1.
    static MVRExportSettingsPtr settingsWithType(uint64_t type, double scale, uint64_t repeatCount);
    // HEVC where the machine encodes it, else H.264; once; scaled to fit 4096 x 2160.
    static MVRExportSettingsPtr uploadSettingsForCinemagraph(const MVRCinemagraph& cinemagraph);

    uint64_t type() const { return m_type; }
    double scale() const { return m_scale; }
    const media::Time& frameDuration() const { return m_frameDuration; }
    uint64_t repeatCount() const { return m_repeatCount; }
    uint64_t imageSequenceType() const { return m_imageSequenceType; }
    double imageSequenceCompressionQuality() const { return m_imageSequenceCompressionQuality; }
    // The container or writer type of the render type.
    std::string fileType() const;

    bool isEqual(const MVRExportSettings& other) const;
    uint64_t hash() const { return m_type ^ m_repeatCount; }
    std::string description() const;
    MVRExportSettingsPtr copy() const { return m_self.lock(); }

    MVRExportSettings() = default;

private:
    uint64_t m_type = MVRRenderTypeH264;
    double m_scale = 1;
    media::Time m_frameDuration = media::Time::invalid();
    uint64_t m_repeatCount = 1;
    uint64_t m_imageSequenceType = MVRImageSequenceTypeNone;
    double m_imageSequenceCompressionQuality = 1;
    std::weak_ptr<const MVRExportSettings> m_self;
};
