#pragma once
// The writer's shared state and its thread, behind AssetWriter. Internal to Platform/Media:
// AssetWriter.cpp holds the calls of the writer's users, AssetWriterThread.cpp the thread
// that encodes the queued frames and completes the file.

#include "Platform/Media/AssetWriter.h"
#include "Platform/Media/AssetWriterInternal.h"
#include "Platform/Media/DecodeTimestamps.h"
#include "Platform/Media/FFmpeg.h"
#include "Platform/Media/PartialFile.h"
#include "Platform/Media/VideoEncoder.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

namespace media {
namespace detail {

// Frames waiting for the encoder thread. One is enough to keep the encoder fed (the appending
// thread waits with the next one, and sources decode ahead on their own), and every queued
// frame pins a source pixel buffer: 96 MB for a 24-megapixel photo.
constexpr size_t WriterQueueCapacity = 1;
// Frame times inside the movie: a clock that holds the common frame rates (24, 25, 30, 60,
// 30000/1001) and the 1/600 s grid exactly.
constexpr AVRational MovieTimeBase{1, 90000};

struct WriterJob {
    PixelBufferPtr buffer; // until converted into `frame`
    Time pts;
    Time duration;
    ff::FramePtr frame;
};

foundation::ErrorPtr writeError(const std::string& reason, int averror = 0);

} // namespace detail

struct AssetWriter::Impl : std::enable_shared_from_this<AssetWriter::Impl> {
    foundation::URL url = foundation::URL::fileURLWithPath("/");
    std::string fileType;
    const char* muxer = "mov";
    const char* brand = nullptr;

    mutable std::mutex mutex;
    std::condition_variable changed;
    Status status = Status::Unknown;
    foundation::ErrorPtr error;
    std::vector<MetadataItem> metadata;
    AssetWriterInputPtr input;
    bool sessionStarted = false;
    Time sessionStart = Time::invalid();
    Time sessionEnd = Time::invalid();
    Time lastAppended = Time::invalid();
    std::deque<detail::WriterJob> jobs;
    bool inputFinished = false;
    bool finishRequested = false;
    bool cancelRequested = false;
    bool shutdown = false;
    std::function<void()> completion;
    dispatch::QueuePtr requestQueue;
    std::function<void()> requestBlock;
    bool requestScheduled = false;
    size_t appendsDuringRequest = 0;
    std::thread worker;

    // Touched by startWriting before the worker runs, then by the worker only.
    std::string finalPath;
    std::unique_ptr<detail::PartialFile> partial; // the file written, until it takes the final name
    ff::OutputContextPtr output;
    AVStream* stream = nullptr;
    detail::EncoderConfig config;
    graphics::AffineTransform transform;
    std::unique_ptr<detail::VideoEncoder> encoder;
    std::optional<detail::WriterJob> held;
    std::map<int64_t, int64_t> durations;
    std::optional<detail::DecodeTimestamps> decodeTimes;
    int64_t lastTicks = -1;
    Time lastDuration = Time::invalid();

    // --- the writer's thread ---

    bool readyLocked() const;
    void failLocked(foundation::ErrorPtr e);
    void fail(foundation::ErrorPtr e);
    // Calls the request block on its queue when the input is ready and no call is pending.
    void pumpLocked();
    bool append(const PixelBufferPtr& buffer, const Time& pts, const Time& duration);

    // --- the writer's thread (AssetWriterThread.cpp) ---
    void run();
    void discardOutput();
    // A full disk becomes an error that says so and names the movie.
    foundation::ErrorPtr namingTheFile(foundation::ErrorPtr e) const;
    bool process(detail::WriterJob& job, foundation::ErrorPtr* e);
    bool openEncoder(const detail::WriterJob& first, const Time& duration, foundation::ErrorPtr* e);
    bool encodeHeld(Time duration, foundation::ErrorPtr* e);
    bool drain(foundation::ErrorPtr* e);
    bool complete(foundation::ErrorPtr* e);
    void finalize();
    bool start();
    void stopWorker(bool cancel);
};

} // namespace media
