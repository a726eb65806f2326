#pragma once
// The sheet in which the user chooses the format and the frame rate of an export. It tells
// whether the movie will be scaled down (H.264 in MPEG-4 is limited to 4096 x 2160) and hands
// the codec, container, scale and frame duration back to the main window. One instance serves
// every export of the window, so the user's choices persist while the application runs. Its
// window comes from the interface file "ExportSettings", whose controls bind to the
// observable properties below. Main thread only.

#include <functional>
#include <memory>
#include <string>

#include "MovaraAppKit/Shell/SheetController.h"
#include "MovaraKit/Media/MovieFormat.h"
#include "Platform/Foundation/Observable.h"
#include "Platform/Graphics/Geometry.h"
#include "Platform/Media/Time.h"

class ExportSettingsController : public SheetController, public foundation::Observable {
public:
    // Format items: H.264 in MPEG-4, ProRes 422 and ProRes 4444 in QuickTime, HEVC in MPEG-4.
    // Their tags are the movie format table's.
    using FormatTag = MovieFormat::SettingsTag;
    // Frame-rate items: the sequence's own rate, then fixed 24, 25 and 30 fps; none until the
    // sheet has first opened.
    enum class FpsTag : unsigned long { none = 0, current = 6001, fps24 = 6002, fps25 = 6003, fps30 = 6004 };

    static std::shared_ptr<ExportSettingsController> init();

    std::string windowNibName() const override { return "ExportSettings"; }

    // The sequence's frame rate, read each time the sheet opens (the model's fps).
    using FpsProvider = std::function<double()>;
    void setFpsProvider(FpsProvider provider) { m_fpsProvider = std::move(provider); }

    // Observable, read-only: whether this machine may encode HEVC.
    bool isHEVCEncodingEnabled() const { return m_isHEVCEncodingEnabled; }
    const std::string& videoCodec() const { return m_videoCodec; }
    const std::string& fileFormatUTI() const { return m_fileFormatUTI; }

    // Observable. Choosing a format sets the codec and container and recomputes the scale.
    FormatTag formatTag() const { return m_formatTag; }
    void setFormatTag(FormatTag tag);
    FpsTag fpsTag() const { return m_fpsTag; }
    void setFpsTag(FpsTag tag);
    bool hideFPS24() const { return m_hideFPS24; }
    bool hideFPS25() const { return m_hideFPS25; }
    bool hideFPS30() const { return m_hideFPS30; }
    const std::string& fpsCurrentLabel() const { return m_fpsCurrentLabel; }
    const std::string& sizeInfoString() const { return m_sizeInfoString; }

    // Pixel size of the source images, set by the main window before the sheet opens.
    graphics::Size size() const { return m_size; }
    void setSize(graphics::Size size) { m_size = size; }
    // The factor the export applies to the images' size; setting it refreshes sizeInfoString.
    double scale() const { return m_scale; }
    void setScale(double scale);
    // The invalid time keeps the sequence's own rate; otherwise 1/24, 1/25 or 1/30 s on a
    // 600 time scale.
    media::Time frameDuration() const;

    // The scale that fits `size` within 4096 x 2160 (either orientation); 1 when it fits.
    static double h264Scale(graphics::Size size);

    // Refreshes the frame-rate items and, for H.264, the scale; then presents the sheet.
    void beginSheetWithCompletionHandler(CompletionHandler handler) override;
    void refreshFrameRateOptions();

    const foundation::KeyTable& observableKeys() const override;

protected:
    ExportSettingsController();

private:
    template <class T> void change(const char* key, T& field, T value);
    void refreshSizeInfo();

    FpsProvider m_fpsProvider;
    bool m_isHEVCEncodingEnabled = false;
    std::string m_videoCodec;
    std::string m_fileFormatUTI;
    FormatTag m_formatTag = FormatTag::h264;
    FpsTag m_fpsTag = FpsTag::none;
    bool m_hideFPS24 = false;
    bool m_hideFPS25 = false;
    bool m_hideFPS30 = false;
    std::string m_fpsCurrentLabel;
    graphics::Size m_size;
    double m_scale = 1.0;
    std::string m_sizeInfoString;
};
