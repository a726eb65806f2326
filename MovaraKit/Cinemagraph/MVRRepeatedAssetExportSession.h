#pragma once
// Writes a movie whose video is the video track of a source movie played `repeatCount` times
// back to back, without encoding again. The exporter uses it for repeated movies. Start it
// from the main thread: its progress is polled on the main run loop while the export waits or
// runs; the completion handler runs on the session's own queue.

#include <functional>
#include <memory>
#include <vector>

#include "Platform/Foundation/Progress.h"
#include "Platform/Media/ExportSession.h"

class MVRRepeatedAssetExportSession : public std::enable_shared_from_this<MVRRepeatedAssetExportSession> {
public:
    using Status = media::AssetExportSession::Status;

    // None for a preset other than pass-through.
    static std::shared_ptr<MVRRepeatedAssetExportSession> initWithAsset(media::AssetPtr asset, const std::string& presetName);

    const media::AssetPtr& sourceAsset() const { return m_sourceAsset; }
    uint64_t repeatCount() const { return m_repeatCount; }
    void setRepeatCount(uint64_t count) { m_repeatCount = count; }
    void setOutputURL(const foundation::URL& url) { m_session->setOutputURL(url); }
    const foundation::URL& outputURL() const { return m_session->outputURL(); }
    void setOutputFileType(const std::string& type) { m_session->setOutputFileType(type); }
    void setMetadata(std::vector<media::MetadataItem> metadata) { m_session->setMetadata(std::move(metadata)); }

    Status status() const;
    foundation::ErrorPtr error() const;
    // The 1000-unit progress made when the export starts (a child of the caller's current one).
    const foundation::ProgressPtr& progress() const { return m_progress; }

    // Lays the copies out and starts. A source without video, or one that cannot be laid
    // out, fails with an error (it is not taken for a cancellation).
    void exportAsynchronouslyWithCompletionHandler(std::function<void()> handler);
    void cancelExport() { m_session->cancelExport(); }
    void updateProgressAndRescheduleIfStillExporting(const foundation::ProgressPtr& progress);

    MVRRepeatedAssetExportSession(media::AssetPtr asset, std::shared_ptr<media::AssetExportSession> session);

private:
    media::AssetPtr m_sourceAsset;
    std::shared_ptr<media::AssetExportSession> m_session;
    uint64_t m_repeatCount = 1;
    foundation::ProgressPtr m_progress;
    foundation::ErrorPtr m_setUpError;
};
