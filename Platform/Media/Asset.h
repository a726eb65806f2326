#pragma once
// A movie file and its tracks, read with FFmpeg. Values are loaded once, in the background
// with loadValuesAsynchronouslyForKeys, or on first use by the accessors (which then block
// while the file is read). Thread-safe.

#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/URL.h"
#include "Platform/Media/AssetTrack.h"
#include "Platform/Media/Time.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace media {

enum class KeyValueStatus { Unknown, Loading, Loaded, Failed, Cancelled };

class Asset : public std::enable_shared_from_this<Asset> {
public:
    static std::shared_ptr<Asset> assetWithURL(const foundation::URL& url);
    // An asset made in memory (a composition's snapshot): loaded from the start, with no file
    // of its own; its tracks' segments name the tracks they show.
    static std::shared_ptr<Asset> assetWithTracks(std::vector<AssetTrackPtr> tracks);
    ~Asset();

    const foundation::URL& URL() const { return m_url; }

    // Reads the file on a background queue (once for all keys) and calls `completion` there
    // when done, also when the file cannot be read (see statusOfValueForKey).
    void loadValuesAsynchronouslyForKeys(const std::vector<std::string>& keys, std::function<void()> completion);
    // "tracks" or "duration": Loaded, Failed (with `error`), Cancelled, Loading or Unknown.
    KeyValueStatus statusOfValueForKey(const std::string& key, foundation::ErrorPtr* error = nullptr) const;
    // Loads not yet begun are not started; completions of a pending load see Cancelled.
    void cancelLoading();

    // Empty, and a zero duration, when the file cannot be read.
    std::vector<AssetTrackPtr> tracks();
    std::vector<AssetTrackPtr> tracksWithMediaType(const std::string& mediaType);
    AssetTrackPtr trackWithTrackID(int32_t trackID);
    // The end of the longest track.
    Time duration();

    struct State;

private:
    Asset() = default;
    void loadNow();

    foundation::URL m_url = foundation::URL::fileURLWithPath("/");
    std::shared_ptr<State> m_state;
};

using AssetPtr = std::shared_ptr<Asset>;

} // namespace media
