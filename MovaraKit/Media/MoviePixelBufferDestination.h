#pragma once
// The movie writer: a PixelBufferDestination that encodes one video track into a QuickTime,
// MPEG-4 or M4V file, configured by explicit output settings or by one of five presets. It
// also hands out buffers from the writer's own pool (the pixel path). All writing runs on its
// serial video queue; prepareWithInfo must not be called from that queue's blocks.
// The file appears at the output URL only when finishing succeeds: a failed or cancelled
// movie leaves whatever was there before untouched.

#include "MovaraKit/Media/PixelBufferDestination.h"
#include "Platform/Dispatch/Queue.h"
#include "Platform/Foundation/URL.h"
#include "Platform/Foundation/Value.h"
#include "Platform/Media/AssetWriter.h"
#include "Platform/Media/AssetWriterInput.h"
#include "Platform/Media/AssetWriterInputPixelBufferAdaptor.h"
#include "Platform/Media/MetadataItem.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

enum class MoviePixelBufferDestinationPreset : long {
    h264 = 0,
    hevc = 1,
    proRes422 = 2,
    proRes4444 = 3,
    // HEVC or H.264 by DeviceCapabilities::isHEVCEncodingEnabled(), tuned for speed: previews
    // and intermediates.
    highEfficiency = 4,
};

// The preset of a raw value; none for anything but 0 to 4.
std::optional<MoviePixelBufferDestinationPreset> MoviePixelBufferDestinationPresetFromRawValue(long rawValue);

// "MovaraKit.MoviePixelBufferDestination.Error"; code 0 = failedToAddAssetWriterInput.
extern const std::string MoviePixelBufferDestinationErrorDomain;
enum MoviePixelBufferDestinationErrorCode : long {
    MoviePixelBufferDestinationFailedToAddAssetWriterInput = 0,
};

class MoviePixelBufferDestination : public PixelBufferDestination,
                                    public PixelBufferAllocating,
                                    public std::enable_shared_from_this<MoviePixelBufferDestination> {
public:
    static constexpr bool canProvideBuffers = true;
    static const std::string videoQueueLabel; // "com.movara.MovaraKit.MoviePixelBufferDestination.videoQueue"

    // nullptr unless `outputURL` is a file URL and `fileType` is AVFileTypeQuickTimeMovie,
    // AVFileTypeMPEG4 or AVFileTypeAppleM4V.
    static std::shared_ptr<MoviePixelBufferDestination> init(const foundation::URL& outputURL, const std::string& fileType);
    static std::shared_ptr<MoviePixelBufferDestination> initWithOutputURL(const foundation::URL& outputURL,
                                                                          const std::string& fileType)
    {
        return init(outputURL, fileType);
    }
    ~MoviePixelBufferDestination() override;

    // Set these before preparing. Explicit video settings replace the preset entirely.
    MoviePixelBufferDestinationPreset preset() const;
    void setPreset(MoviePixelBufferDestinationPreset preset);
    std::optional<foundation::Value> videoSettings() const;
    void setVideoSettings(std::optional<foundation::Value> settings);
    std::vector<media::MetadataItem> metadata() const;
    void setMetadata(std::vector<media::MetadataItem> metadata);

    const foundation::URL& outputURL() const { return m_outputURL; }
    const std::string& fileType() const { return m_fileType; }
    const dispatch::QueuePtr& videoQueue() const { return m_videoQueue; }
    media::AssetWriterPtr assetWriter() const;

    // The output settings a preset gives for a source of `width` x `height` pixels.
    static foundation::Value presetVideoSettings(MoviePixelBufferDestinationPreset preset, double width, double height);

    // PixelBufferDestination
    bool prepareWithInfo(const std::shared_ptr<PixelBufferSourceInfo>& info, bool shouldAllocate,
                         foundation::ErrorPtr* error) override;
    bool isReadyForMore() override;
    void startEating(std::function<void()> block) override;
    bool eatSampleBuffer(const media::SampleBufferPtr& sampleBuffer, foundation::ErrorPtr* error) override;
    // Reports success only when the movie was completed and is in place.
    void finishWithCompletionHandler(std::function<void(foundation::ErrorPtr)> completionHandler) override;
    void cancel() override;

    // PixelBufferAllocating: a buffer from the writer's pool, tagged BT.709 when it carries no
    // colour space; null without a pool (not prepared to allocate).
    media::PixelBufferPtr createNextPixelBuffer() override;
    bool eatPixelBuffer(const media::PixelBufferPtr& pixelBuffer, const media::Time& presentationTime,
                        foundation::ErrorPtr* error) override;

private:
    MoviePixelBufferDestination(const foundation::URL& outputURL, std::string fileType);

    bool prepare(const std::shared_ptr<PixelBufferSourceInfo>& info, bool shouldAllocate, foundation::ErrorPtr* error);
    bool startSessionIfNeeded(const media::Time& time, foundation::ErrorPtr* error);
    foundation::ErrorPtr writerError() const;

    mutable std::mutex m_mutex;
    MoviePixelBufferDestinationPreset m_preset = MoviePixelBufferDestinationPreset::proRes422;
    std::optional<foundation::Value> m_videoSettings;
    std::vector<media::MetadataItem> m_metadata;
    foundation::URL m_outputURL;
    std::string m_fileType;
    media::AssetWriterPtr m_assetWriter;
    media::AssetWriterInputPtr m_assetWriterInput;
    media::AssetWriterInputPixelBufferAdaptorPtr m_assetWriterInputPixelBufferAdaptor;
    dispatch::QueuePtr m_videoQueue;
    bool m_hasStartedSession = false;
};
