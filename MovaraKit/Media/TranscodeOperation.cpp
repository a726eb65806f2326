// The transcode operation: load, prepare, then a frame loop driven by the destination.

#include "MovaraKit/Media/TranscodeOperation.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include "Platform/Foundation/NotificationCenter.h"

const std::string TranscodeOperationErrorDomain = "TranscodeOperationErrorDomain";

namespace {

foundation::ErrorPtr contractError(TranscodeOperationErrorCode code, const std::string& description)
{
    return foundation::Error::make(TranscodeOperationErrorDomain, code, description);
}

// A step that reports failure must never end the operation as a success, even when the
// component forgot to say why.
foundation::ErrorPtr orUnexplained(foundation::ErrorPtr error, const std::string& what)
{
    if (error)
        return error;
    return contractError(TranscodeOperationUnexplainedFailure, what + " failed without an error.");
}

// Progress units for a span of source time: whole milliseconds, truncated. Times that are not
// numbers (indefinite, invalid, infinite) or do not fit a 64-bit count have no unit count.
std::optional<int64_t> unitsForSeconds(double seconds, double scale)
{
    const double units = std::trunc(seconds * scale);
    if (!std::isfinite(units) || units >= 9.2e18 || units <= -9.2e18)
        return std::nullopt;
    // A frame stamped before the range's start counts as no progress rather than turning the
    // progress indeterminate.
    return units < 0 ? 0 : static_cast<int64_t>(units);
}

} // namespace

const std::string& TranscodeOperation::didOutputFrameNotification()
{
    static const std::string name = "TranscodeOperationDidOutputFrameNotification";
    return name;
}

const std::string& TranscodeOperation::didOutputFrameNotificationPixelBufferKey()
{
    static const std::string key = "pixelBuffer";
    return key;
}

TranscodeOperation::TranscodeOperation(std::shared_ptr<PixelBufferSource> source,
                                       std::shared_ptr<PixelBufferDestination> destination)
    : m_progress(foundation::Progress::discreteProgressWithTotalUnitCount(0))
    , m_src(std::move(source))
    , m_dst(std::move(destination))
{
}

TranscodeOperation::~TranscodeOperation() = default;

std::shared_ptr<TranscodeOperation> TranscodeOperation::init(std::shared_ptr<PixelBufferSource> source,
                                                             std::shared_ptr<PixelBufferDestination> destination)
{
    if (!source || !destination)
        return nullptr;
    std::shared_ptr<TranscodeOperation> operation(new TranscodeOperation(std::move(source), std::move(destination)));
    std::weak_ptr<TranscodeOperation> weak = operation;
    operation->m_progress->setCancellationHandler([weak] {
        if (auto strong = weak.lock())
            strong->cancel();
    });
    return operation;
}

const foundation::KeyTable& TranscodeOperation::observableKeys() const
{
    static const foundation::KeyTable table = [this] {
        foundation::KeyTable t = Operation::observableKeys();
        t.key("error", &TranscodeOperation::error);
        t.key("progress", &TranscodeOperation::progress);
        // The error is read from the finished state, so it changes exactly when that does.
        t.affecting("error", {"isFinished"});
        return t;
    }();
    return table;
}

bool TranscodeOperation::isExecuting() const
{
    std::lock_guard lock(m_lock);
    return m_state == State::executing;
}

bool TranscodeOperation::isFinished() const
{
    std::lock_guard lock(m_lock);
    return m_state == State::finished;
}

foundation::ErrorPtr TranscodeOperation::error() const
{
    std::lock_guard lock(m_lock);
    return m_state == State::finished ? m_error : nullptr;
}

const char* TranscodeOperation::stateName(State state)
{
    switch (state) {
    case State::ready:
        return "ready";
    case State::executing:
        return "executing";
    case State::finished:
        return "finished";
    }
    return "?";
}

void TranscodeOperation::transition(State to, foundation::ErrorPtr error)
{
    std::lock_guard lock(m_lock);
    const State from = m_state;
    auto assign = [&] {
        m_state = to;
        if (to == State::finished)
            m_error = std::move(error);
    };
    if (from == State::ready && to == State::executing) {
        willChange("isExecuting");
        assign();
        didChange("isExecuting");
    } else if (from == State::ready && to == State::finished) {
        willChange("isFinished");
        assign();
        didChange("isFinished");
    } else if (from == State::executing && to == State::finished) {
        willChange("isExecuting");
        willChange("isFinished");
        assign();
        didChange("isFinished");
        didChange("isExecuting");
    } else {
        foundation::fatal(std::string("invalid state transition: ") + stateName(from) + " -> " + stateName(to));
    }
}

bool TranscodeOperation::finish(foundation::ErrorPtr error)
{
    std::lock_guard lock(m_lock);
    if (m_state == State::finished)
        return false;
    transition(State::finished, std::move(error));
    return true;
}

void TranscodeOperation::start()
{
    if (isCancelled())
        return;
    // Single-use: a second start (or a start after the operation ended) does nothing.
    if (m_started.exchange(true) || isFinished())
        return;
    std::weak_ptr<TranscodeOperation> weak = std::static_pointer_cast<TranscodeOperation>(shared_from_this());
    m_src->loadWithCompletionHandler([weak](foundation::ErrorPtr error) {
        auto strong = weak.lock();
        if (!strong)
            return;
        if (error)
            strong->finish(std::move(error));
        else
            strong->main();
    });
}

void TranscodeOperation::main()
{
    if (isCancelled())
        return;
    m_info = m_src->pixelBufferSourceInfo();
    if (!m_info) {
        finish(contractError(TranscodeOperationNoSourceInfo, "The frame source describes no frames."));
        return;
    }
    const media::TimeRange range = m_info->timeRange();
    m_rangeStart = range.start;
    m_progress->setTotalUnitCount(unitsForSeconds(range.duration.seconds(), m_progressScale).value_or(-1));
    {
        // Only from ready: a cancel (or a second load callback) may have got here first, and
        // that must not end in the fatal stop for an illegal transition.
        std::lock_guard lock(m_lock);
        if (m_state != State::ready)
            return;
        transition(State::executing, nullptr);
    }
    m_allocating = dynamic_cast<PixelBufferAllocating*>(m_dst.get());
    m_scribbling = dynamic_cast<PixelBufferScribbling*>(m_src.get());
    m_destinationAllocatesBuffers = m_allocating && m_scribbling;
    // A cancel that raced the change above has already cancelled the destination; creating its
    // output now would leave it behind.
    if (isCancelled())
        return;
    foundation::ErrorPtr error;
    if (!m_dst->prepareWithInfo(m_info, m_destinationAllocatesBuffers, &error)) {
        finish(orUnexplained(std::move(error), "Preparing the destination"));
        return;
    }
    if (isCancelled())
        return;
    std::weak_ptr<TranscodeOperation> weak = std::static_pointer_cast<TranscodeOperation>(shared_from_this());
    m_dst->startEating([weak] {
        if (auto strong = weak.lock())
            strong->runFrameLoop();
    });
}

void TranscodeOperation::runFrameLoop()
{
    while (m_dst->isReadyForMore()) {
        if (isCancelled() || isFinished() || m_finishSent)
            return;
        if (m_destinationAllocatesBuffers)
            pixelStep();
        else
            sampleStep();
    }
}

void TranscodeOperation::sampleStep()
{
    foundation::ErrorPtr error;
    media::SampleBufferPtr sample = m_src->copyNextSampleBuffer(&error);
    if (!sample) {
        if (error) {
            // The source failed mid-stream: abandon the output rather than deliver a short one.
            failAbandoningOutput(std::move(error));
            return;
        }
        sourceExhausted();
        return;
    }
    media::PixelBufferPtr pixelBuffer = sample->imageBuffer();
    if (!pixelBuffer) {
        failAbandoningOutput(contractError(TranscodeOperationSampleWithoutImage, "A frame from the source has no image."));
        return;
    }
    if (!m_dst->eatSampleBuffer(sample, &error)) {
        finish(orUnexplained(std::move(error), "Writing a frame"));
        return;
    }
    frameWritten(pixelBuffer, sample->presentationTimeStamp());
}

void TranscodeOperation::pixelStep()
{
    media::PixelBufferPtr pixelBuffer = m_allocating->createNextPixelBuffer();
    if (!pixelBuffer) {
        failAbandoningOutput(contractError(TranscodeOperationNoPixelBuffer, "The destination has no buffer to draw a frame into."));
        return;
    }
    bool finished = false;
    foundation::ErrorPtr error;
    const media::Time time = m_scribbling->scribbleOnPixelBuffer(pixelBuffer, &finished, &error);
    if (time.isValid() && !isCancelled()) {
        if (!m_allocating->eatPixelBuffer(pixelBuffer, time, &error)) {
            finish(orUnexplained(std::move(error), "Writing a frame"));
            return;
        }
        frameWritten(pixelBuffer, time);
    } else if (finished) {
        sourceExhausted();
    } else {
        if (!error) {
            // No time, no end and no error: a cancel landed during the step, or the source
            // broke its word. Neither may be reported as a success.
            error = isCancelled() ? foundation::Error::userCancelled()
                                  : contractError(TranscodeOperationSourceStalled,
                                                  "The frame source stopped without finishing or reporting an error.");
        }
        failAbandoningOutput(std::move(error));
    }
}

void TranscodeOperation::failAbandoningOutput(foundation::ErrorPtr error)
{
    m_dst->cancel();
    finish(std::move(error));
}

void TranscodeOperation::sourceExhausted()
{
    if (m_finishSent.exchange(true))
        return;
    int64_t total = m_progress->totalUnitCount();
    if (total < 0) {
        // The source's duration had no unit count: end at what the frames reached.
        total = std::max<int64_t>(m_progress->completedUnitCount(), 0);
        m_progress->setTotalUnitCount(total);
    }
    m_progress->setCompletedUnitCount(total);
    // The destination's block must not keep the operation alive: its creator does that.
    std::weak_ptr<TranscodeOperation> weak = std::static_pointer_cast<TranscodeOperation>(shared_from_this());
    m_dst->finishWithCompletionHandler([weak](foundation::ErrorPtr error) {
        if (auto strong = weak.lock())
            strong->finish(std::move(error));
    });
}

void TranscodeOperation::frameWritten(const media::PixelBufferPtr& pixelBuffer, const media::Time& presentationTime)
{
    if (m_postsDidRenderFrameNotifications) {
        foundation::NotificationCenter::defaultCenter().post(
            didOutputFrameNotification(), std::static_pointer_cast<TranscodeOperation>(shared_from_this()),
            foundation::NotificationUserInfo {{didOutputFrameNotificationPixelBufferKey(), pixelBuffer}});
    }
    const media::Time offset = media::subtract(presentationTime, m_rangeStart);
    if (auto units = unitsForSeconds(offset.seconds(), m_progressScale))
        m_progress->setCompletedUnitCount(*units);
}

void TranscodeOperation::cancel()
{
    Operation::cancel();
    // Finish first and cancel the destination only if that ended the operation: a cancel that
    // arrives after a successful finish must not tear down the finished output.
    if (finish(foundation::Error::userCancelled()))
        m_dst->cancel();
}
