#pragma once
// Turns an ordered list of still images into a QuickTime movie: an image-sequence source, a
// movie writer and a transcode operation, with the writer's preset chosen from a codec name.
// An importer runs once; its result is delivered once, on the main queue. Start it from any
// thread but the writer's; progress() may be observed and cancelled from any thread.

#include "MovaraKit/Media/MVRImageSource.h"
#include "MovaraKit/Media/TranscodeOperation.h"
#include "Platform/Foundation/Date.h"
#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/Progress.h"
#include "Platform/Foundation/URL.h"
#include "Platform/Media/Time.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class MVRImageSequenceImporter : public std::enable_shared_from_this<MVRImageSequenceImporter> {
public:
    // (the movie's URL, none) on success, (none, the error) on failure or cancel.
    using CompletionHandler = std::function<void(std::optional<foundation::URL>, foundation::ErrorPtr)>;

    // `scale` is accepted and ignored. Without a codec, useHighEfficiencyFormat (true unless
    // given) picks the fast high-efficiency preset, else ProRes 4444.
    static std::shared_ptr<MVRImageSequenceImporter> init();
    static std::shared_ptr<MVRImageSequenceImporter> initWithImageSources(std::vector<MVRImageSourcePtr> imageSources,
                                                                          double scale);
    static std::shared_ptr<MVRImageSequenceImporter> initWithImageSources(std::vector<MVRImageSourcePtr> imageSources,
                                                                          double scale,
                                                                          std::optional<std::string> videoCodec);
    // Keeps a codec given as a literal from turning into the Boolean overload.
    static std::shared_ptr<MVRImageSequenceImporter> initWithImageSources(std::vector<MVRImageSourcePtr> imageSources,
                                                                          double scale, const char* videoCodec);
    static std::shared_ptr<MVRImageSequenceImporter> initWithImageSources(std::vector<MVRImageSourcePtr> imageSources,
                                                                          double scale, bool useHighEfficiencyFormat);
    static std::shared_ptr<MVRImageSequenceImporter> initWithImageSources(std::vector<MVRImageSourcePtr> imageSources,
                                                                          double scale,
                                                                          std::optional<std::string> videoCodec,
                                                                          bool useHighEfficiencyFormat);

    // The frame duration the capture dates imply: their average interval on a 1/600 s grid
    // when it lies between 1/240 s and 2 s (exclusive), else 1/24 s. Intervals next to a
    // missing date are skipped.
    static media::Time estimatedFrameDurationFromDates(const std::vector<std::optional<foundation::Date>>& dates);

    // Starts the import. Throws foundation::Exception (NSInvalidArgumentException) for a
    // missing URL or handler, and NSInternalInconsistencyException when this importer has
    // already imported. Returns once the frame loop is handed to the writer.
    void importAsynchronouslyWithOutputURL(std::optional<foundation::URL> outputURL, CompletionHandler completionHandler);
    // Delivers the result; called on the main queue when the operation has finished. Throws
    // NSInternalInconsistencyException when the result was already delivered.
    void finishWithError(foundation::ErrorPtr error);

    // "<MVRImageSequenceImporter: 0x...>"
    std::string description() const;

    bool useHighEfficiencyFormat() const;
    void setUseHighEfficiencyFormat(bool value);
    bool isImporting() const;
    bool isFinished() const;
    const std::vector<MVRImageSourcePtr>& imageSources() const { return m_imageSources; }
    CompletionHandler completionHandler() const;
    std::optional<std::string> videoCodec() const;
    void setVideoCodec(std::optional<std::string> codec);
    std::optional<foundation::URL> outputURL() const;
    foundation::ProgressPtr progress() const;
    std::shared_ptr<TranscodeOperation> operation() const;
    media::Time frameDuration() const;
    void setFrameDuration(const media::Time& duration);
    // 0 (the default) writes frames at the first image's size; otherwise they are scaled down
    // by the JPEG decoder's cheapest factor that fits the longer side within this many pixels.
    size_t maxPixelSize() const;
    void setMaxPixelSize(size_t pixels);

private:
    MVRImageSequenceImporter() = default;
    // The import's own state: set only by the import as it starts, runs and finishes.
    void setImporting(bool value);
    void setFinished(bool value);
    void setCompletionHandler(CompletionHandler handler);
    void setOutputURL(std::optional<foundation::URL> url);
    void setProgress(foundation::ProgressPtr progress);
    void setOperation(std::shared_ptr<TranscodeOperation> operation);
    void deliverOnMainQueue(foundation::ErrorPtr error);

    mutable std::recursive_mutex m_mutex;
    bool m_useHighEfficiencyFormat = true;
    bool m_importing = false;
    bool m_finished = false;
    std::vector<MVRImageSourcePtr> m_imageSources;
    CompletionHandler m_completionHandler;
    std::optional<std::string> m_videoCodec;
    std::optional<foundation::URL> m_outputURL;
    foundation::ProgressPtr m_progress;
    std::shared_ptr<TranscodeOperation> m_operation;
    media::Time m_frameDuration = media::Time::invalid();
    size_t m_maxPixelSize = 0;
};
