#include "MovaraKit/Media/MovieExport.h"

#include "MovaraKit/Media/AssetReaderPixelBufferSource.h"
#include "Platform/Dispatch/Queue.h"
#include "Platform/Media/Asset.h"
#include "Platform/Media/MediaError.h"
#include "Platform/Media/VideoComposition.h"
#include "Platform/Media/VideoSettings.h"

#include <sys/stat.h>

const std::string MovieExport::firstPassFileName = "qtrExportPass1.mov";

namespace {

foundation::ErrorPtr writeFailure(const std::string& reason)
{
    return media::makeMediaError(media::AVErrorUnknown, "The movie could not be written.", reason);
}

} // namespace

std::shared_ptr<MovieExport> MovieExport::make(const foundation::URL& outputURL, Settings settings,
                                               foundation::ErrorPtr* error)
{
    auto fail = [&](foundation::ErrorPtr e) -> std::shared_ptr<MovieExport> {
        if (error)
            *error = std::move(e);
        return nullptr;
    };
    const MovieFormat* format = MovieFormatForCodec(settings.codec);
    if (!format)
        return fail(writeFailure("Movies with the codec " + settings.codec + " are not written."));
    if (!outputURL.isFileURL())
        return fail(writeFailure("The output location is not a file: " + outputURL.absoluteString()));
    // The movie must never replace one of its own photos, whatever name or link leads there.
    struct stat output {};
    if (::stat(outputURL.path().c_str(), &output) == 0) {
        for (const auto& source : settings.imageSources) {
            struct stat photo {};
            if (source && ::stat(source->fileURL().path().c_str(), &photo) == 0 && photo.st_dev == output.st_dev
                && photo.st_ino == output.st_ino)
                return fail(media::makeMediaError(media::AVErrorFileAlreadyExists, "The movie could not be written.",
                                                  "The movie would replace " + source->fileURL().path()
                                                      + ", one of the photos it is made of. Choose another name."));
        }
    }
    std::shared_ptr<MovieExport> job(new MovieExport);
    job->m_outputURL = outputURL;
    job->m_format = format;
    job->m_settings = std::move(settings);
    if (job->isTwoPass()) {
        // A folder of this job's own: exports running side by side never meet in it.
        foundation::ErrorPtr folderError;
        job->m_folder = foundation::TemporaryFolder::make("qtrExport", &folderError);
        if (!job->m_folder)
            return fail(folderError ? folderError : writeFailure("The temporary folder could not be made."));
    }
    return job;
}

MovieExport::~MovieExport() = default;

foundation::URL MovieExport::firstPassURL() const
{
    return m_folder ? m_folder->URLByAppendingPathComponent(firstPassFileName) : m_outputURL;
}

std::optional<foundation::URL> MovieExport::workFolderURL() const
{
    if (!m_folder)
        return std::nullopt;
    return m_folder->url();
}

foundation::ProgressPtr MovieExport::progress() const
{
    std::lock_guard lock(m_mutex);
    return m_operation ? m_operation->progress() : nullptr;
}

void MovieExport::start(std::function<void(foundation::ErrorPtr)> completion)
{
    m_completion = std::move(completion);
    m_running = shared_from_this();
    startFirstPass();
}

void MovieExport::cancel()
{
    std::shared_ptr<TranscodeOperation> operation;
    {
        std::lock_guard lock(m_mutex);
        m_cancelled = true;
        operation = m_operation;
    }
    if (operation)
        operation->cancel();
}

void MovieExport::startFirstPass()
{
    ImageSequenceTranscode::Options options;
    options.frameDuration = m_settings.frameDuration;
    options.scale = m_settings.scale;
    if (isTwoPass()) {
        options.preset = MoviePixelBufferDestinationPreset::proRes422;
        options.fileType = media::AVFileTypeQuickTimeMovie;
    } else {
        options.preset = m_format->preset;
        options.fileType = MovieFileTypeForExtension(*m_format, m_outputURL.pathExtension());
    }
    foundation::ErrorPtr error;
    auto transcode = ImageSequenceTranscode::make(m_settings.imageSources, firstPassURL(), options, &error);
    if (!transcode)
        return finish(error);
    std::weak_ptr<MovieExport> weak = weak_from_this();
    transcode->setCompletionHandler([weak](foundation::ErrorPtr error) {
        dispatch::Queue::main()->async([weak, error] {
            auto self = weak.lock();
            if (!self)
                return;
            if (self->isTwoPass() && !error)
                self->startSecondPass();
            else
                self->finish(error);
        });
    });
    runPass(transcode->operation);
}

void MovieExport::startSecondPass()
{
    auto asset = media::Asset::assetWithURL(firstPassURL());
    const auto tracks = asset->tracksWithMediaType(media::AVMediaTypeVideo);
    if (tracks.empty())
        return finish(writeFailure("The intermediate movie has no video."));
    // Re-times only: frames are repeated or dropped to fill the new rate, at the first pass's
    // pixel size, over the movie's whole duration.
    const auto composition = media::VideoComposition::passThrough(
        *tracks.front(), m_settings.outputFrameDuration, media::TimeRange::make(media::Time::zero(), asset->duration()));
    auto source = AssetReaderPixelBufferSource::init(asset, composition);
    auto destination = MoviePixelBufferDestination::init(m_outputURL,
                                                         MovieFileTypeForExtension(*m_format, m_outputURL.pathExtension()));
    if (!destination)
        return finish(writeFailure("The output location is not a file: " + m_outputURL.absoluteString()));
    destination->setPreset(m_format->preset);
    ImageSequenceTranscode pass;
    pass.destination = destination;
    pass.operation = TranscodeOperation::init(source, destination);
    std::weak_ptr<MovieExport> weak = weak_from_this();
    pass.setCompletionHandler([weak](foundation::ErrorPtr error) {
        dispatch::Queue::main()->async([weak, error] {
            if (auto self = weak.lock())
                self->finish(error);
        });
    });
    runPass(pass.operation);
}

void MovieExport::runPass(const std::shared_ptr<TranscodeOperation>& operation)
{
    bool cancelled = false;
    {
        std::lock_guard lock(m_mutex);
        m_operation = operation;
        cancelled = m_cancelled;
    }
    if (m_passHandler)
        m_passHandler(operation->progress());
    if (cancelled)
        operation->cancel();
    else
        operation->start();
}

void MovieExport::finish(foundation::ErrorPtr error)
{
    {
        std::lock_guard lock(m_mutex);
        m_operation.reset();
    }
    // The intermediate goes with its folder, whatever the outcome.
    m_folder.reset();
    auto completion = std::move(m_completion);
    m_completion = nullptr;
    auto self = std::move(m_running);
    if (completion)
        completion(error);
}
