#pragma once
// The observable model behind an export sheet: format, scale (or the equivalent pixel width
// and height), repeat count, frame timing and image-sequence options for one cinemagraph,
// kept consistent with one another; applies a destination's export preset and produces the
// export settings. Main thread.

#include <memory>
#include <string>

#include "MovaraKit/Cinemagraph/MVRCinemagraph.h"
#include "MovaraKit/Cinemagraph/MVRExportPreset.h"
#include "MovaraKit/Cinemagraph/MVRExportSettings.h"
#include "Platform/Foundation/Observable.h"
#include "Platform/Media/Time.h"

class CinemagraphExportSettingsController : public foundation::Observable {
public:
    static std::shared_ptr<CinemagraphExportSettingsController> initWithCinemagraph(MVRCinemagraphPtr cinemagraph,
                                                                                    const media::Time& estimatedDuration);

    const MVRCinemagraphPtr& cinemagraph() const { return m_cinemagraph; }
    const media::Time& estimatedDuration() const { return m_estimatedDuration; }
    graphics::Size unscaledRenderSize() const { return m_unscaledRenderSize; }

    double scale() const { return m_scale; }
    // Clamped to 0.1 ... 1.
    void setScale(double scale);
    int64_t width() const;
    void setWidth(int64_t width);
    int64_t height() const;
    void setHeight(int64_t height);
    uint64_t format() const { return m_format; }
    // Leaving GIF restores full size; GIF starts at a quarter, once; a sequence plays once.
    void setFormat(uint64_t format);
    uint64_t repeatCount() const { return m_repeatCount; }
    void setRepeatCount(uint64_t count);
    const media::Time& frameDuration() const { return m_frameDuration; }
    void setFrameDuration(const media::Time& duration);
    uint64_t imageSequenceType() const { return m_imageSequenceType; }
    void setImageSequenceType(uint64_t type);
    double imageSequenceCompressionQuality() const { return m_imageSequenceCompressionQuality; }
    void setImageSequenceCompressionQuality(double quality);
    // Frames of one pass at the chosen (or the source's) frame rate, rounded up; 0 when the
    // source gives no rate.
    uint64_t imageSequenceFrameCount() const;

    void applyPreset(const MVRExportPreset& preset);
    MVRExportSettingsPtr exportSettings() const;

    // Key-value coding of no value: "scale", "width" and "height" go back to full size.
    void setNilValueForKey(const std::string& key);

    const foundation::KeyTable& observableKeys() const override;

    CinemagraphExportSettingsController() = default;

private:
    template <class T> void store(const char* key, T& field, const T& value)
    {
        willChange(key);
        field = value;
        didChange(key);
    }

    MVRCinemagraphPtr m_cinemagraph;
    media::Time m_estimatedDuration = media::Time::invalid();
    graphics::Size m_unscaledRenderSize;
    double m_scale = 1.0;
    uint64_t m_format = MVRRenderTypeH264;
    uint64_t m_repeatCount = 1;
    media::Time m_frameDuration = media::Time::invalid();
    uint64_t m_imageSequenceType = MVRImageSequenceTypePNG;
    double m_imageSequenceCompressionQuality = 1.0;
};
