#include "MovaraKit/Cinemagraph/MVRRepeatedAssetExportSession.h"

#include <cstdio>

#include "MovaraKit/Media/Asset+Movara.h"
#include "Platform/Dispatch/Queue.h"
#include "Platform/Media/MediaError.h"

MVRRepeatedAssetExportSession::MVRRepeatedAssetExportSession(media::AssetPtr asset,
                                                             std::shared_ptr<media::AssetExportSession> session)
    : m_sourceAsset(std::move(asset)), m_session(std::move(session))
{
}

std::shared_ptr<MVRRepeatedAssetExportSession> MVRRepeatedAssetExportSession::initWithAsset(media::AssetPtr asset,
                                                                                            const std::string& presetName)
{
    auto session = media::AssetExportSession::init(presetName);
    if (!asset || !session)
        return nullptr;
    return std::make_shared<MVRRepeatedAssetExportSession>(std::move(asset), std::move(session));
}

MVRRepeatedAssetExportSession::Status MVRRepeatedAssetExportSession::status() const
{
    return m_setUpError ? Status::Failed : m_session->status();
}

foundation::ErrorPtr MVRRepeatedAssetExportSession::error() const
{
    return m_setUpError ? m_setUpError : m_session->error();
}

void MVRRepeatedAssetExportSession::exportAsynchronouslyWithCompletionHandler(std::function<void()> handler)
{
    auto track = mvr_videoTrack(m_sourceAsset);
    if (!track) {
        std::printf("Asset contains no tracks\n");
        m_setUpError = media::makeMediaError(media::AVErrorInvalidSourceMedia, "The movie to repeat has no video.");
        m_session->cancelExport();
        if (handler)
            handler();
        return;
    }
    std::vector<media::AssetExportSession::Segment> segments;
    media::Time at = media::Time::zero();
    const media::Time duration = m_sourceAsset->duration();
    for (uint64_t i = 0; i < m_repeatCount; ++i) {
        segments.push_back({m_sourceAsset, at});
        at = at + duration;
    }
    m_session->setSegments(std::move(segments));

    m_progress = foundation::Progress::progressWithTotalUnitCount(1000);
    std::weak_ptr<media::AssetExportSession> weakSession = m_session;
    m_progress->setCancellationHandler([weakSession] {
        if (auto session = weakSession.lock())
            session->cancelExport();
    });
    m_session->exportAsynchronouslyWithCompletionHandler(std::move(handler));
    updateProgressAndRescheduleIfStillExporting(m_progress);
}

void MVRRepeatedAssetExportSession::updateProgressAndRescheduleIfStillExporting(const foundation::ProgressPtr& progress)
{
    const Status status = m_session->status();
    // A session still waiting to begin is polled on, so its progress is not lost.
    if (status != Status::Exporting && status != Status::Waiting)
        return;
    progress->setCompletedUnitCount(int64_t(m_session->progress() * 1000));
    std::weak_ptr<MVRRepeatedAssetExportSession> weak = weak_from_this();
    dispatch::Queue::main()->asyncAfter(1.0 / 60.0, [weak, progress] {
        if (auto self = weak.lock())
            self->updateProgressAndRescheduleIfStillExporting(progress);
    });
}
