#include "MovaraKit/Media/ImageSequencePixelBufferDestination.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <list>
#include <mutex>
#include <vector>

#include "Platform/Foundation/FileManager.h"
#include "Platform/Images/ImageDestination.h"
#include "Platform/Images/UTType.h"
#include "Platform/Media/PixelConversion.h"

const std::string ImageSequencePixelBufferDestinationErrorDomain = "MovaraKit.ImageSequencePixelBufferDestination.Error";
const std::string ImageSequencePixelBufferDestination::ioQueueLabel =
    "com.movara.MovaarKit.ImageSequencePixelBufferDestination.ioQueue";

// Everything a write in flight needs after the writer may be gone. Until the sequence is
// complete, a file a frame replaces is kept under a hidden name beside it: giving up (a cancel,
// a failure, a writer dropped midway) puts those back and removes the frames that had no
// predecessor, so the folder is as the user left it. A write that lands after the give-up
// undoes itself.
struct ImageSequencePixelBufferDestination::Output {
    struct Frame {
        std::string path;
        std::string kept; // the user's file this frame replaced, under its hidden name
        bool inFlight = true;
        bool written = false;
    };

    std::mutex mutex;
    bool givenUp = false;
    bool cancelled = false;
    bool completed = false; // finish has handed the sequence over
    std::list<Frame> frames; // a write holds on to its own entry
    std::vector<std::string> createdFolders; // outermost first
    foundation::ErrorPtr firstError;

    // Called with `mutex` held. Frames still being written are left to their own write.
    void giveUp()
    {
        givenUp = true;
        for (auto it = frames.begin(); it != frames.end();) {
            if (it->inFlight) {
                ++it;
                continue;
            }
            if (!it->kept.empty())
                ::rename(it->kept.c_str(), it->path.c_str());
            else if (it->written)
                ::unlink(it->path.c_str());
            it = frames.erase(it);
        }
        // Only empty folders go: anything someone else put there stays, and so do its folders.
        for (auto it = createdFolders.rbegin(); it != createdFolders.rend(); ++it)
            ::rmdir(it->c_str());
    }

    // Called with `mutex` held, once every write has ended and the sequence is the user's.
    void keep()
    {
        completed = true;
        for (const auto& frame : frames)
            if (!frame.kept.empty())
                ::unlink(frame.kept.c_str());
        frames.clear();
    }
};

namespace {

foundation::ErrorPtr writerError(long code, const std::string& text, foundation::ErrorPtr underlying = nullptr)
{
    return foundation::Error::make(ImageSequencePixelBufferDestinationErrorDomain, code, text, std::move(underlying));
}

bool isDirectory(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// The folders that creating `path` with its parents would make, outermost first.
std::vector<std::string> missingFolders(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    std::vector<std::string> missing;
    while (!path.empty() && path != "/" && !exists(path)) {
        missing.insert(missing.begin(), path);
        const auto slash = path.find_last_of('/');
        if (slash == std::string::npos)
            break;
        path.resize(slash);
    }
    return missing;
}

// Keeps the file at `path`, if there is one, under a hidden name in the same folder and returns
// that name; the file itself stays where it is until the new frame replaces it.
std::string keepAside(const std::string& path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode))
        return {};
    const auto slash = path.find_last_of('/');
    const std::string folder = path.substr(0, slash + 1), name = path.substr(slash + 1);
    static std::atomic<unsigned> serial = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string kept = folder + "." + name + "." + std::to_string(::getpid()) + "-" + std::to_string(serial++) + ".kept";
        if (::link(path.c_str(), kept.c_str()) == 0)
            return kept;
        if (errno == EEXIST)
            continue;
        // A file system without hard links: move it aside instead; the frame takes its place.
        if (::rename(path.c_str(), kept.c_str()) == 0)
            return kept;
        return {};
    }
    return {};
}

} // namespace

std::shared_ptr<ImageSequencePixelBufferDestination> ImageSequencePixelBufferDestination::init(
    const std::string& imageType, double lossyCompressionQuality, const foundation::URL& outputURL)
{
    if (imageType != images::kUTTypePNG && imageType != images::kUTTypeJPEG && imageType != images::kUTTypeTIFF)
        foundation::fatal("ImageSequencePixelBufferDestination: unsupported image type " + imageType);
    if (!outputURL.isFileURL())
        foundation::fatal("ImageSequencePixelBufferDestination: the output must be a file URL: " + outputURL.absoluteString());
    return std::shared_ptr<ImageSequencePixelBufferDestination>(
        new ImageSequencePixelBufferDestination(imageType, lossyCompressionQuality, outputURL));
}

ImageSequencePixelBufferDestination::ImageSequencePixelBufferDestination(std::string imageType, double quality,
                                                                         foundation::URL outputURL)
    : m_imageType(std::move(imageType))
    , m_imageLossyCompressionQuality(quality)
    , m_outputURL(std::move(outputURL))
    , m_semaphore(dispatch::Semaphore::make(maximumWritesInFlight))
    , m_ioQueue(dispatch::Queue::concurrent(ioQueueLabel, dispatch::QoS::Utility))
    , m_group(dispatch::Group::make())
    , m_output(std::make_shared<Output>())
{
    if (auto type = images::UTType::typeWithIdentifier(m_imageType))
        m_imageFileExtension = type->preferredFilenameExtension();
}

// The queue must outlive the writes submitted to it; at most 8 are in flight (and after a
// cancel they end at once without writing). A sequence never finished is given up.
ImageSequencePixelBufferDestination::~ImageSequencePixelBufferDestination()
{
    m_group->wait();
    std::lock_guard lock(m_output->mutex);
    if (!m_output->completed)
        m_output->giveUp();
}

foundation::URL ImageSequencePixelBufferDestination::fileURLForFrame(unsigned long index) const
{
    char name[48];
    std::snprintf(name, sizeof name, "%s %04lu", "image", index);
    std::string file = name;
    if (!m_imageFileExtension.empty())
        file += "." + m_imageFileExtension;
    return m_outputURL.URLByAppendingPathComponent(file);
}

bool ImageSequencePixelBufferDestination::prepareWithInfo(const std::shared_ptr<PixelBufferSourceInfo>&, bool,
                                                          foundation::ErrorPtr* error)
{
    const std::string path = m_outputURL.path();
    auto missing = missingFolders(path);
    if (!foundation::FileManager::defaultManager().createDirectoryAtURL(m_outputURL, true, error))
        return false;
    // An existing file of that name is no folder to write into (the file manager accepts it).
    if (!isDirectory(path)) {
        if (error)
            *error = foundation::Error::posix(ENOTDIR, path);
        return false;
    }
    std::lock_guard lock(m_output->mutex);
    m_output->createdFolders = std::move(missing);
    return true;
}

bool ImageSequencePixelBufferDestination::isReadyForMore()
{
    return !m_isFinished;
}

void ImageSequencePixelBufferDestination::startEating(std::function<void()> block)
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

bool ImageSequencePixelBufferDestination::eatSampleBuffer(const media::SampleBufferPtr& sampleBuffer,
                                                          foundation::ErrorPtr* error)
{
    ++m_activity;
    auto fail = [&](foundation::ErrorPtr e) {
        if (error)
            *error = std::move(e);
        return false;
    };
    if (m_isFinished)
        return fail(writerError(ImageSequencePixelBufferDestinationNotWriting, "The image sequence is no longer being written."));
    foundation::ErrorPtr earlier;
    {
        std::lock_guard lock(m_output->mutex);
        earlier = m_output->firstError;
    }
    if (earlier) {
        // Nothing more will be written, and whoever feeds us may stop without finishing: the
        // folder is given back now, once the frames still being written have landed.
        m_isFinished = true;
        m_group->wait();
        std::lock_guard lock(m_output->mutex);
        m_output->giveUp();
        return fail(earlier);
    }
    if (!sampleBuffer || !sampleBuffer->imageBuffer())
        return fail(writerError(ImageSequencePixelBufferDestinationMissingImageBuffer, "A frame has no image to write."));

    const foundation::URL fileURL = fileURLForFrame(m_count);
    m_semaphore->wait();
    m_group->enter();
    m_ioQueue->async([fileURL, sampleBuffer, output = m_output, semaphore = m_semaphore, group = m_group,
                      type = m_imageType, quality = m_imageLossyCompressionQuality] {
        std::list<Output::Frame>::iterator frame;
        bool givenUp;
        {
            std::lock_guard lock(output->mutex);
            givenUp = output->givenUp;
            if (!givenUp) {
                frame = output->frames.insert(output->frames.end(), Output::Frame{fileURL.path(), {}, true, false});
            }
        }
        if (!givenUp) {
            const std::string kept = keepAside(fileURL.path());
            foundation::ErrorPtr failure;
            const std::string name = fileURL.lastPathComponent();
            auto image = media::createImageWithPixelBuffer(sampleBuffer->imageBuffer(), &failure);
            if (!image) {
                failure = writerError(ImageSequencePixelBufferDestinationFailedToCreateImage,
                                      "The frame for “" + name + "” could not be made into an image.", failure);
            } else if (auto destination = images::ImageDestination::createWithURL(fileURL, type, 1)) {
                images::DestinationProperties properties;
                properties.lossyCompressionQuality = quality;
                destination->addImage(image, properties);
                foundation::ErrorPtr written;
                if (!destination->finalize(&written))
                    failure = writerError(ImageSequencePixelBufferDestinationFailedToWriteImage,
                                          "The image “" + name + "” could not be written.", written);
            } else {
                failure = writerError(ImageSequencePixelBufferDestinationFailedToWriteImage,
                                      "The image “" + name + "” could not be written.");
            }
            std::lock_guard lock(output->mutex);
            frame->kept = kept;
            frame->inFlight = false;
            frame->written = !failure;
            if (failure && !output->firstError && !output->givenUp)
                output->firstError = failure;
            if (output->givenUp) // the sequence was given up while this frame was being written
                output->giveUp();
        }
        semaphore->signal();
        group->leave();
    });
    ++m_count;
    return true;
}

void ImageSequencePixelBufferDestination::finishWithCompletionHandler(std::function<void(foundation::ErrorPtr)> completionHandler)
{
    ++m_activity;
    m_group->wait();
    m_isFinished = true;
    foundation::ErrorPtr error;
    {
        std::lock_guard lock(m_output->mutex);
        error = m_output->cancelled ? foundation::Error::userCancelled() : m_output->firstError;
        if (error)
            m_output->giveUp();
        else
            m_output->keep();
    }
    if (completionHandler)
        completionHandler(error);
}

void ImageSequencePixelBufferDestination::cancel()
{
    ++m_activity;
    m_isFinished = true;
    std::lock_guard lock(m_output->mutex);
    if (m_output->completed) // a finished sequence is the user's now
        return;
    m_output->cancelled = true;
    m_output->giveUp();
}
