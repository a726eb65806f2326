#pragma once
// Writes one movie file (QuickTime, MPEG-4 or M4V) from the frames appended to its video input,
// encoding with FFmpeg. The movie is written to a hidden temporary file beside the
// destination and moved into place only when finishing succeeds; on failure or cancel the
// temporary goes and whatever was at the destination stays.
// Every member may be called from any thread; encoding runs on the writer's own thread and the
// finish completion handler is called there too.

#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/URL.h"
#include "Platform/Media/MetadataItem.h"
#include "Platform/Media/Time.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace media {

class AssetWriterInput;

class AssetWriter : public std::enable_shared_from_this<AssetWriter> {
public:
    enum class Status { Unknown, Writing, Completed, Failed, Cancelled };

    // nullptr, with `error` filled, for a URL that is not a file URL or an unknown file type.
    static std::shared_ptr<AssetWriter> assetWriterWithURL(const foundation::URL& outputURL, const std::string& fileType,
                                                           foundation::ErrorPtr* error = nullptr);
    ~AssetWriter();

    const foundation::URL& outputURL() const;
    const std::string& outputFileType() const;
    Status status() const;
    // The error that made the status Failed; null otherwise.
    foundation::ErrorPtr error() const;

    // Set before startWriting.
    std::vector<MetadataItem> metadata() const;
    void setMetadata(std::vector<MetadataItem> items);

    std::vector<std::shared_ptr<AssetWriterInput>> inputs() const;
    // One video input per writer, added before startWriting, with a codec the container holds
    // (ProRes only in QuickTime movies).
    bool canAddInput(const std::shared_ptr<AssetWriterInput>& input) const;
    // Throws NSInvalidArgumentException when canAddInput is false.
    void addInput(const std::shared_ptr<AssetWriterInput>& input);

    // Creates the temporary file; false (status Failed, error set) when it cannot be made.
    bool startWriting();
    // The first frame's time: frame times are written relative to it, so the movie starts at 0.
    // Frames before it are dropped.
    void startSessionAtSourceTime(const Time& time);
    // The last frame lasts until `time`; frames appended later at or after it are dropped.
    // Throws NSInvalidArgumentException for a time not after every frame already appended.
    void endSessionAtSourceTime(const Time& time);
    // Marks the inputs finished, encodes what is queued and completes the file in the
    // background; `handler` runs afterwards on the writer's thread, with the status final.
    void finishWritingWithCompletionHandler(std::function<void()> handler);
    // Stops writing and removes the temporary file; blocks until the writer's thread has
    // stopped. Does nothing once the writer has completed or failed.
    void cancelWriting();

    struct Impl;

private:
    AssetWriter() = default;
    std::shared_ptr<Impl> m_impl;
};

using AssetWriterPtr = std::shared_ptr<AssetWriter>;

// The name of a writer status, for messages ("writing", ...).
std::string statusName(AssetWriter::Status status);

} // namespace media
