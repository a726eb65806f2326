#pragma once
// A pass-through export session: lays the video track of source movies end to end into a new
// movie without encoding again (the packets are copied with their times moved), with a status,
// a progress fraction, an error and cancellation. The session works on its own serial queue;
// its members may be called from any thread. A session exports once.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/URL.h"
#include "Platform/Media/Asset.h"
#include "Platform/Media/MetadataItem.h"
#include "Platform/Media/Time.h"

namespace media {

extern const std::string AVAssetExportPresetPassthrough; // "AVAssetExportPresetPassthrough"

class AssetExportSession : public std::enable_shared_from_this<AssetExportSession> {
public:
    enum class Status { Unknown = 0, Waiting = 1, Exporting = 2, Completed = 3, Failed = 4, Cancelled = 5 };

    // One stretch of the output: the first video track of `asset`, whole, placed at `at`.
    struct Segment {
        AssetPtr asset;
        Time at = Time::zero();
    };

    // Only the pass-through preset is offered; none for any other.
    static std::shared_ptr<AssetExportSession> init(const std::string& presetName);

    void setSegments(std::vector<Segment> segments);
    const foundation::URL& outputURL() const { return m_outputURL; }
    void setOutputURL(const foundation::URL& url) { m_outputURL = url; }
    // AVFileTypeMPEG4 or AVFileTypeQuickTimeMovie.
    const std::string& outputFileType() const { return m_outputFileType; }
    void setOutputFileType(const std::string& type) { m_outputFileType = type; }
    void setMetadata(std::vector<MetadataItem> metadata) { m_metadata = std::move(metadata); }

    Status status() const { return m_status.load(); }
    foundation::ErrorPtr error() const;
    // 0 ... 1.
    float progress() const { return m_progress.load(); }

    // Writes the movie on the session's queue and then calls `handler` there. A failed or
    // cancelled export leaves no output file behind.
    void exportAsynchronouslyWithCompletionHandler(std::function<void()> handler);
    void cancelExport();

    AssetExportSession() = default;

private:
    void run();
    void finish(Status status, foundation::ErrorPtr error);

    std::vector<Segment> m_segments;
    foundation::URL m_outputURL = foundation::URL::fileURLWithPath("/");
    std::string m_outputFileType;
    std::vector<MetadataItem> m_metadata;
    std::atomic<Status> m_status{Status::Unknown};
    std::atomic<float> m_progress{0};
    std::atomic<bool> m_cancelled{false};
    mutable std::mutex m_mutex;
    foundation::ErrorPtr m_error;
};

} // namespace media
