#pragma once
// Renders one cinemagraph with one set of export settings into a movie, an animated GIF or a
// folder of numbered stills: the cinemagraph reader feeds a frame destination inside a
// transcode operation on the queue "com.movara.cinemagraph.renderQueue"; a repeated movie is
// then laid end to end by the repeated-asset export session. Used once; start and results on
// the main thread.
//
// The user's file is never half-overwritten: every step of a movie or GIF writes a temporary
// beside it, which takes the output's place only when the whole export succeeded; temporaries
// are always removed. An image sequence goes straight into its folder, which may hold the
// user's own files: frames replace only files of their own names, one atomic rename each, and
// an export that does not complete gives back what it replaced.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "MovaraKit/Cinemagraph/MVRCinemagraph.h"
#include "MovaraKit/Cinemagraph/MVRExportSettings.h"
#include "MovaraKit/Media/TranscodeOperation.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/Foundation/OperationQueue.h"
#include "Platform/Foundation/Progress.h"
#include "Platform/Foundation/TemporaryFolder.h"
#include "Platform/Foundation/URL.h"

class MVRRepeatedAssetExportSession;

// "thumbnail": the progress's user-info item (progress->userInfoItem) holding the preview, a
// graphics::FilterImagePtr of the first frame, then of every fifth.
extern const std::string MVRExporterProgressThumbnailKey;

class MVRExporter : public std::enable_shared_from_this<MVRExporter> {
public:
    using CompletionHandler = std::function<void(std::optional<foundation::URL> outputURL, foundation::ErrorPtr error)>;

    static std::shared_ptr<MVRExporter> initWithCinemagraph(MVRCinemagraphPtr cinemagraph, MVRExportSettingsPtr settings,
                                                            const foundation::URL& outputURL);
    ~MVRExporter();

    const MVRCinemagraphPtr& cinemagraph() const { return m_cinemagraph; }
    const MVRExportSettingsPtr& settings() const { return m_settings; }
    const foundation::URL& outputURL() const { return m_outputURL; }
    graphics::Size renderSize() const { return m_renderSize; }
    bool isExporting() const { return m_exporting; }
    bool isFinished() const { return m_finished; }
    foundation::ProgressPtr progress() const;
    const foundation::OperationQueuePtr& operationQueue() const { return m_operationQueue; }
    // The frame most recently sampled for a preview (the first, then every fifth).
    graphics::FilterImagePtr thumbnail() const;

    // 10 units with the repeat step (a movie repeated twice or more), else 9.
    int64_t totalUnitCount() const;

    // Starts the export and returns its progress; `handler` runs on the main queue with the
    // output on success, or the error (the user-cancelled error when cancelled). A second call
    // raises NSInternalInconsistencyException.
    foundation::ProgressPtr exportAsynchronouslyWithCompletionHandler(CompletionHandler handler);

    // The operation that renders into `outputURL`, not started.
    static std::shared_ptr<TranscodeOperation> transcodeOperationForCinemagraph(const MVRCinemagraphPtr& cinemagraph,
                                                                                const MVRExportSettings& settings,
                                                                                const foundation::URL& outputURL);

    MVRExporter(MVRCinemagraphPtr cinemagraph, MVRExportSettingsPtr settings, foundation::URL outputURL);

private:
    bool hasRepeatStep() const;
    // An image sequence is written into the output folder itself, never into a stand-in for it.
    bool writesInPlace() const;
    void didRenderFrame(const foundation::Notification& notification);
    void repeatAssetAtURL(const foundation::URL& url);
    void finishTranscode(foundation::ErrorPtr error, bool cancelled);
    void didFinishWithError(foundation::ErrorPtr error);
    bool isCancelled() const; // through the progress
    // The finished temporary takes the output's place, unless the export was cancelled.
    foundation::ErrorPtr publish(const foundation::URL& temporary);
    static void removeItemAtURL(const foundation::URL& url);

    MVRCinemagraphPtr m_cinemagraph;
    MVRExportSettingsPtr m_settings;
    foundation::URL m_outputURL;
    graphics::Size m_renderSize;
    bool m_exporting = false;
    bool m_finished = false;
    bool m_wroteOutput = false; // an image sequence wrote its last frame before any cancel
    CompletionHandler m_completionHandler;
    foundation::OperationQueuePtr m_operationQueue;
    std::shared_ptr<TranscodeOperation> m_operation;
    std::shared_ptr<MVRRepeatedAssetExportSession> m_session;
    foundation::NotificationCenter::Token m_frameObservation;
    std::vector<foundation::URL> m_temporaries;
    foundation::TemporaryFolderPtr m_workFolder; // the movie a repeat step repeats, in a folder of its own
    mutable std::mutex m_mutex; // the progress and the thumbnail, read from any thread
    foundation::ProgressPtr m_progress;
    graphics::FilterImagePtr m_thumbnail;
    uint64_t m_frameCounter = 0;
};
