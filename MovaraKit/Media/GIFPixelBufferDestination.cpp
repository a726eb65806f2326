#include "MovaraKit/Media/GIFPixelBufferDestination.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <limits>

#include "Platform/Images/GIFWriter.h"
#include "Platform/Images/UTType.h"
#include "Platform/Media/PixelConversion.h"

const std::string GIFPixelBufferDestinationErrorDomain = "MovaraKit.GIFPixelBufferDestination.Error";

namespace {

foundation::ErrorPtr gifError(long code, const std::string& text, foundation::ErrorPtr underlying = nullptr)
{
    return foundation::Error::make(GIFPixelBufferDestinationErrorDomain, code, text, std::move(underlying));
}

// Why the GIF could not be written at `path`, checked up front so that a bad location fails
// the job before any frame is encoded; none when it looks writable.
foundation::ErrorPtr unwritableLocation(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0)
        return foundation::Error::posix(errno, folder);
    if (!S_ISDIR(st.st_mode))
        return foundation::Error::posix(ENOTDIR, folder);
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
        return foundation::Error::posix(errno, folder);
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return foundation::Error::posix(EISDIR, path);
    return nullptr;
}

// The time from `from` to `to` in seconds; none when either is not a plain time.
std::optional<double> gapSeconds(const media::Time& from, const media::Time& to)
{
    if (!from.isNumeric() || !to.isNumeric())
        return std::nullopt;
    const double gap = media::subtract(to, from).seconds();
    if (!std::isfinite(gap))
        return std::nullopt;
    return std::max(gap, 0.0);
}

} // namespace

std::shared_ptr<GIFPixelBufferDestination> GIFPixelBufferDestination::init(const foundation::URL& outputURL)
{
    return std::shared_ptr<GIFPixelBufferDestination>(new GIFPixelBufferDestination(outputURL));
}

bool GIFPixelBufferDestination::prepareWithInfo(const std::shared_ptr<PixelBufferSourceInfo>&, bool,
                                                foundation::ErrorPtr* error)
{
    foundation::ErrorPtr underlying = m_outputURL.isFileURL() ? unwritableLocation(m_outputURL.path()) : nullptr;
    // A GIF holds as many frames as come: the count is not known in advance.
    auto destination = underlying ? nullptr
                                  : images::ImageDestination::createWithURL(m_outputURL, images::kUTTypeGIF,
                                                                            std::numeric_limits<size_t>::max());
    if (!destination) {
        if (error)
            *error = gifError(GIFPixelBufferDestinationFailedToCreateImageDestination,
                              "The GIF file “" + m_outputURL.lastPathComponent() + "” cannot be created.", underlying);
        return false;
    }
    images::DestinationProperties file;
    file.extra[images::kCGImagePropertyGIFLoopCount] = 0; // for ever
    destination->setProperties(file);
    m_imageDestination = std::move(destination);
    return true;
}

bool GIFPixelBufferDestination::isReadyForMore()
{
    return !m_isFinished;
}

void GIFPixelBufferDestination::startEating(std::function<void()> block)
{
    while (isReadyForMore()) {
        const unsigned long before = m_activity;
        block();
        // A block that neither ate nor finished has nothing more to give (its operation ended
        // without finishing us): asking again would spin for ever.
        if (m_activity == before)
            return;
    }
}

bool GIFPixelBufferDestination::eatSampleBuffer(const media::SampleBufferPtr& sampleBuffer, foundation::ErrorPtr* error)
{
    ++m_activity;
    auto fail = [&](foundation::ErrorPtr e) {
        // The operation ends on a failed frame without finishing us: stop asking for more.
        m_isFinished = true;
        if (error)
            *error = std::move(e);
        return false;
    };
    if (!m_imageDestination || m_isFinished)
        return fail(gifError(GIFPixelBufferDestinationFailedToCreateImageDestination, "The GIF is not being written."));
    if (!sampleBuffer || !sampleBuffer->imageBuffer())
        return fail(gifError(GIFPixelBufferDestinationMissingImageBuffer, "A frame has no image to write."));
    foundation::ErrorPtr conversion;
    auto image = media::createImageWithPixelBuffer(sampleBuffer->imageBuffer(), &conversion);
    if (!image)
        return fail(gifError(GIFPixelBufferDestinationFailedToCreateCGImageFromPixelBuffer,
                             "A frame could not be made into an image.", conversion));

    const media::Time time = sampleBuffer->outputPresentationTimeStamp();
    if (m_pending) {
        const double delay = gapSeconds(m_pending->presentationTime, time).value_or(0.0);
        addImage(m_pending->image, delay);
        m_lastDelay = delay;
    }
    m_pending = PendingFrame{std::move(image), time};
    return true;
}

void GIFPixelBufferDestination::addImage(const graphics::ImagePtr& image, double delaySeconds)
{
    images::DestinationProperties frame;
    frame.extra[images::kCGImagePropertyGIFUnclampedDelayTime] = delaySeconds;
    // Encoding errors are kept by the image destination and reported when it is finalised.
    m_imageDestination->addImage(image, frame);
}

void GIFPixelBufferDestination::finishWithCompletionHandler(std::function<void(foundation::ErrorPtr)> completionHandler)
{
    ++m_activity;
    m_isFinished = true;
    foundation::ErrorPtr error;
    if (!m_imageDestination) {
        error = gifError(GIFPixelBufferDestinationFailedToFinalizeImageDestination, "The GIF was never started.");
    } else {
        // The last frame has no successor: it keeps the rhythm of the one before it.
        if (m_pending) {
            addImage(m_pending->image, m_lastDelay.value_or(0.0));
            m_pending.reset();
        }
        foundation::ErrorPtr underlying;
        if (!m_imageDestination->finalize(&underlying))
            error = gifError(GIFPixelBufferDestinationFailedToFinalizeImageDestination,
                             "The GIF file “" + m_outputURL.lastPathComponent() + "” could not be completed.", underlying);
    }
    if (completionHandler)
        completionHandler(error);
}

void GIFPixelBufferDestination::cancel()
{
    ++m_activity;
    // Nothing reaches the file before finishing, so abandoning the output is enough.
    m_isFinished = true;
}
