#pragma once
// Moves every frame from a PixelBufferSource into a PixelBufferDestination as an asynchronous
// operation, publishing progress in milliseconds of source time. The frame loop runs wherever
// the destination calls its eating block; cancel() (also through progress()) may come from any
// thread. Single-use. The creator keeps the operation alive until it has finished.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "MovaraKit/Media/PixelBufferDestination.h"
#include "MovaraKit/Media/PixelBufferSource.h"
#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/Operation.h"
#include "Platform/Foundation/Progress.h"

// Errors the operation itself raises (a source or destination that breaks its contract).
extern const std::string TranscodeOperationErrorDomain; // "TranscodeOperationErrorDomain"
enum TranscodeOperationErrorCode : long {
    // The source gave no frame time, yet reported neither the end nor an error.
    TranscodeOperationSourceStalled = 1,
    // A sample from the source carried no image buffer.
    TranscodeOperationSampleWithoutImage = 2,
    // The destination handed out no buffer to render into.
    TranscodeOperationNoPixelBuffer = 3,
    // The source loaded but describes no frames.
    TranscodeOperationNoSourceInfo = 4,
    // A source or destination reported failure without an error.
    TranscodeOperationUnexplainedFailure = 5,
};

class TranscodeOperation : public foundation::Operation {
public:
    static std::shared_ptr<TranscodeOperation> init(std::shared_ptr<PixelBufferSource> source,
                                                    std::shared_ptr<PixelBufferDestination> destination);
    static std::shared_ptr<TranscodeOperation> initWithSource(std::shared_ptr<PixelBufferSource> source,
                                                              std::shared_ptr<PixelBufferDestination> destination)
    {
        return init(std::move(source), std::move(destination));
    }
    ~TranscodeOperation() override;

    // "TranscodeOperationDidOutputFrameNotification", posted on the loop's thread after each
    // written frame when postsDidRenderFrameNotifications() is set; object: the operation.
    static const std::string& didOutputFrameNotification();
    // "pixelBuffer": the frame's media::PixelBufferPtr in that notification's user info.
    static const std::string& didOutputFrameNotificationPixelBufferKey();

    // Units are milliseconds of source time; cancelling it cancels the operation.
    const foundation::ProgressPtr& progress() const { return m_progress; }
    // The error that ended the operation; null while ready or executing, and after success.
    foundation::ErrorPtr error() const;

    bool postsDidRenderFrameNotifications() const { return m_postsDidRenderFrameNotifications; }
    void setPostsDidRenderFrameNotifications(bool posts) { m_postsDidRenderFrameNotifications = posts; }

    bool isAsynchronous() const override { return true; }
    bool isExecuting() const override;
    bool isFinished() const override;
    void start() override;
    void main() override;
    void cancel() override;

    const foundation::KeyTable& observableKeys() const override;

private:
    enum class State { ready, executing, finished };

    TranscodeOperation(std::shared_ptr<PixelBufferSource> source, std::shared_ptr<PixelBufferDestination> destination);
    static const char* stateName(State state);

    // Ends the operation with `error` (null = success) unless it has ended already; true when
    // this call ended it.
    bool finish(foundation::ErrorPtr error);
    // Changes the state under m_lock with the key-value notifications in the platform's order.
    void transition(State to, foundation::ErrorPtr error);

    void runFrameLoop();
    void sampleStep();
    void pixelStep();
    void sourceExhausted();
    void failAbandoningOutput(foundation::ErrorPtr error);
    void frameWritten(const media::PixelBufferPtr& pixelBuffer, const media::Time& presentationTime);

    foundation::ProgressPtr m_progress;
    std::atomic<bool> m_postsDidRenderFrameNotifications = false;
    std::shared_ptr<PixelBufferSource> m_src;
    std::shared_ptr<PixelBufferDestination> m_dst;
    std::shared_ptr<PixelBufferSourceInfo> m_info;
    double m_progressScale = 1000.0;
    bool m_destinationAllocatesBuffers = false;
    PixelBufferAllocating* m_allocating = nullptr; // m_dst's optional interfaces, when offered
    PixelBufferScribbling* m_scribbling = nullptr;
    media::Time m_rangeStart = media::Time::zero();

    mutable std::recursive_mutex m_lock;
    State m_state = State::ready;
    foundation::ErrorPtr m_error;

    std::atomic<bool> m_started = false;
    // Set once the destination has been asked to finish, so a destination that keeps calling
    // the eating block is not finished twice.
    std::atomic<bool> m_finishSent = false;
};
