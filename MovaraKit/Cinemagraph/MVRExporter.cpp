#include "MovaraKit/Cinemagraph/MVRExporter.h"

#include <cmath>
#include <filesystem>
#include <cstdio>

#include "MovaraKit/Cinemagraph/MVRCinemagraphReader.h"
#include "MovaraKit/Cinemagraph/MVRRepeatedAssetExportSession.h"
#include "MovaraKit/Media/GIFPixelBufferDestination.h"
#include "MovaraKit/Media/ImageSequencePixelBufferDestination.h"
#include "MovaraKit/Media/MVRAVOutputSettingsAssistant.h"
#include "MovaraKit/Media/MediaHelpers.h"
#include "MovaraKit/Media/MetadataItem+Movara.h"
#include "MovaraKit/Media/MoviePixelBufferDestination.h"
#include "MovaraKit/Support/FileManager+Movara.h"
#include "Platform/Dispatch/Queue.h"
#include "Platform/Foundation/FileManager.h"
#include "Platform/Images/UTType.h"
#include "Platform/Media/FormatDescription.h"
#include "Platform/Media/OutputSettingsAssistant.h"
#include "Platform/Media/VideoSettings.h"

const std::string MVRExporterProgressThumbnailKey = "thumbnail";

namespace {

bool isMovie(uint64_t type)
{
    return type != MVRRenderTypeGIF && type != MVRRenderTypeImageSequence;
}

foundation::Value colourProperties()
{
    return foundation::Value::dictionary({{media::AVVideoColorPrimariesKey, media::AVVideoColorPrimaries_ITU_R_709_2},
                                          {media::AVVideoTransferFunctionKey, media::AVVideoTransferFunction_ITU_R_709_2},
                                          {media::AVVideoYCbCrMatrixKey, media::AVVideoYCbCrMatrix_ITU_R_709_2}});
}

foundation::Value explicitSettings(long codec, int64_t width, int64_t height)
{
    return foundation::Value::dictionary({{media::AVVideoCodecKey, MVRStringFromVideoCodec(codec).value_or("")},
                                          {media::AVVideoWidthKey, width},
                                          {media::AVVideoHeightKey, height},
                                          {media::AVVideoScalingModeKey, media::AVVideoScalingModeResizeAspectFill},
                                          {media::AVVideoColorPropertiesKey, colourProperties()}});
}

// A free name beside `url` for a temporary of the same kind, so the final step is a rename.
foundation::URL temporaryBeside(const foundation::URL& url)
{
    const std::filesystem::path path(url.path());
    const std::string extension = path.extension().empty() ? std::string() : path.extension().string().substr(1);
    return mvr_uniqueFileURLInDirectory(path.parent_path().string(), "." + path.stem().string() + " partial", extension);
}

} // namespace

std::shared_ptr<MVRExporter> MVRExporter::initWithCinemagraph(MVRCinemagraphPtr cinemagraph, MVRExportSettingsPtr settings,
                                                              const foundation::URL& outputURL)
{
    if (!cinemagraph || !settings)
        return nullptr;
    return std::make_shared<MVRExporter>(std::move(cinemagraph), std::move(settings), outputURL);
}

MVRExporter::MVRExporter(MVRCinemagraphPtr cinemagraph, MVRExportSettingsPtr settings, foundation::URL outputURL)
    : m_cinemagraph(std::move(cinemagraph)), m_settings(std::move(settings)), m_outputURL(std::move(outputURL))
    , m_operationQueue(foundation::OperationQueue::init())
{
    m_operationQueue->setName("com.movara.cinemagraph.renderQueue");
}

MVRExporter::~MVRExporter()
{
    for (const auto& url : m_temporaries)
        removeItemAtURL(url);
}

foundation::ProgressPtr MVRExporter::progress() const
{
    std::lock_guard lock(m_mutex);
    return m_progress;
}

graphics::FilterImagePtr MVRExporter::thumbnail() const
{
    std::lock_guard lock(m_mutex);
    return m_thumbnail;
}

bool MVRExporter::hasRepeatStep() const
{
    return isMovie(m_settings->type()) && m_settings->repeatCount() >= 2;
}

bool MVRExporter::writesInPlace() const
{
    return m_settings->type() == MVRRenderTypeImageSequence;
}

int64_t MVRExporter::totalUnitCount() const
{
    return hasRepeatStep() ? 10 : 9;
}

std::shared_ptr<TranscodeOperation> MVRExporter::transcodeOperationForCinemagraph(const MVRCinemagraphPtr& cinemagraph,
                                                                                  const MVRExportSettings& settings,
                                                                                  const foundation::URL& outputURL)
{
    auto reader = MVRCinemagraphReader::initWithCinemagraph(cinemagraph);
    reader->setScale(settings.scale());
    reader->setFrameDuration(settings.frameDuration());

    std::shared_ptr<PixelBufferDestination> destination;
    if (settings.type() == MVRRenderTypeGIF) {
        destination = GIFPixelBufferDestination::initWithOutputURL(outputURL);
    } else if (settings.type() == MVRRenderTypeImageSequence) {
        const std::string& type = settings.imageSequenceType() == MVRImageSequenceTypeJPEG ? images::kUTTypeJPEG
            : settings.imageSequenceType() == MVRImageSequenceTypeTIFF                     ? images::kUTTypeTIFF
                                                                                           : images::kUTTypePNG;
        destination =
            ImageSequencePixelBufferDestination::initWithImageType(type, settings.imageSequenceCompressionQuality(), outputURL);
    } else {
        const graphics::Size size = cinemagraph->renderSizeForScale(settings.scale());
        const int64_t width = int64_t(std::trunc(size.width)), height = int64_t(std::trunc(size.height));
        std::string fileType = media::AVFileTypeMPEG4;
        std::optional<std::string> preset;
        long codec = MVRVideoCodecH264;
        switch (settings.type()) {
        case MVRRenderTypeProRes422: fileType = media::AVFileTypeQuickTimeMovie, codec = MVRVideoCodecAppleProRes422; break;
        case MVRRenderTypeProRes4444: fileType = media::AVFileTypeQuickTimeMovie, codec = MVRVideoCodecAppleProRes4444; break;
        case MVRRenderTypeHEVC: preset = media::AVOutputSettingsPresetHEVC3840x2160, codec = MVRVideoCodecHEVC; break;
        case MVRRenderTypeH264: preset = media::AVOutputSettingsPreset3840x2160; break;
        default: break;
        }
        std::optional<foundation::Value> videoSettings;
        if (preset) {
            if (auto assistant = MVRAVOutputSettingsAssistant::outputSettingsAssistantWithPreset(*preset)) {
                assistant->setSourceVideoFormat(media::VideoFormatDescription::create(
                    media::PixelFormatType_32BGRA, int32_t(width), int32_t(height)));
                if (auto made = assistant->videoSettings()) {
                    videoSettings = *made;
                    videoSettings->set(media::AVVideoWidthKey, width);
                    videoSettings->set(media::AVVideoHeightKey, height);
                }
            }
        }
        if (!videoSettings)
            videoSettings = explicitSettings(codec, width, height);
        videoSettings->set(media::AVVideoColorPropertiesKey, colourProperties());
        auto movie = MoviePixelBufferDestination::initWithOutputURL(outputURL, fileType);
        movie->setVideoSettings(videoSettings);
        movie->setMetadata({mvr_commonMetadataItem()});
        destination = movie;
    }
    auto operation = TranscodeOperation::initWithSource(reader, destination);
    operation->setPostsDidRenderFrameNotifications(true);
    return operation;
}

foundation::ProgressPtr MVRExporter::exportAsynchronouslyWithCompletionHandler(CompletionHandler handler)
{
    if (m_exporting)
        throw foundation::Exception(foundation::NSInternalInconsistencyException, "MVRExporter already exporting!");
    m_exporting = true;
    m_completionHandler = std::move(handler);

    const bool repeat = hasRepeatStep();
    foundation::URL target = m_outputURL;
    if (repeat) {
        // The movie to repeat is written in a folder of this export's own: exports running side
        // by side never take each other's, and it goes with the folder.
        m_workFolder = foundation::TemporaryFolder::make("export");
        target = m_workFolder ? m_workFolder->URLByAppendingPathComponent("export.mp4")
                              : mvr_uniqueFileURLInDirectory(
                                    foundation::FileManager::defaultManager().temporaryDirectory().path(), "export", "mp4");
    } else if (!writesInPlace()) {
        target = temporaryBeside(m_outputURL);
    }
    if (target != m_outputURL && !m_workFolder)
        m_temporaries.push_back(target);

    auto progress = foundation::Progress::progressWithTotalUnitCount(totalUnitCount());
    std::weak_ptr<MVRExporter> weak = weak_from_this();
    progress->setCancellationHandler([weak] {
        if (auto self = weak.lock())
            self->m_operationQueue->cancelAllOperations();
    });
    {
        std::lock_guard lock(m_mutex);
        m_progress = progress;
    }
    m_operation = transcodeOperationForCinemagraph(m_cinemagraph, *m_settings, target);
    progress->addChild(m_operation->progress(), 9);
    m_renderSize = m_cinemagraph->renderSizeForScale(m_settings->scale());

    std::weak_ptr<TranscodeOperation> weakOperation = m_operation;
    auto self = shared_from_this();
    m_operation->setCompletionBlock([weakOperation, self, target, repeat] {
        // What the operation ended with is taken here, before the main queue runs anything.
        auto operation = weakOperation.lock();
        const foundation::ErrorPtr error = operation ? operation->error() : foundation::Error::userCancelled();
        const bool cancelled = operation ? operation->isCancelled() : true;
        dispatch::Queue::main()->async([self, error, cancelled, target, repeat] {
            if (!error && !cancelled && repeat)
                self->repeatAssetAtURL(target);
            else
                self->finishTranscode(error, cancelled);
        });
    });

    m_frameCounter = 0;
    std::weak_ptr<MVRExporter> observer = weak_from_this();
    m_frameObservation = foundation::NotificationCenter::defaultCenter().addObserver(
        TranscodeOperation::didOutputFrameNotification(), m_operation.get(), nullptr,
        [observer](const foundation::Notification& n) {
            if (auto exporter = observer.lock())
                exporter->didRenderFrame(n);
        });
    m_operationQueue->addOperation(m_operation);
    return progress;
}

void MVRExporter::didRenderFrame(const foundation::Notification& notification)
{
    if (m_frameCounter++ % 5 != 0)
        return;
    auto it = notification.userInfo.find(TranscodeOperation::didOutputFrameNotificationPixelBufferKey());
    if (it == notification.userInfo.end())
        return;
    const auto* buffer = std::any_cast<media::PixelBufferPtr>(&it->second);
    if (!buffer || !*buffer)
        return;
    // A copy of the frame: the destination reuses its buffers.
    const auto& frame = **buffer;
    if (frame.isPlanar())
        return;
    std::vector<uint8_t> bytes(frame.bytesPerRow() * frame.height());
    {
        media::PixelBufferLock lock(**buffer, media::PixelBufferLockReadOnly);
        const auto* base = static_cast<const uint8_t*>(frame.baseAddress());
        if (!base)
            return;
        std::copy(base, base + bytes.size(), bytes.begin());
    }
    const bool bgra = frame.pixelFormatType() == media::PixelFormatType_32BGRA;
    auto image = graphics::Image::create(frame.width(), frame.height(), 8, 32, frame.bytesPerRow(),
                                         graphics::ColorSpace::createWithName(graphics::kCGColorSpaceSRGB),
                                         {graphics::AlphaInfo::noneSkipFirst,
                                          bgra ? graphics::ByteOrder::order32Little : graphics::ByteOrder::order32Big},
                                         std::move(bytes));
    auto thumbnail = graphics::FilterImage::imageWithCGImage(image);
    if (!thumbnail)
        return;
    foundation::ProgressPtr progress;
    {
        std::lock_guard lock(m_mutex);
        m_thumbnail = thumbnail;
        progress = m_progress;
    }
    // Outside our lock: the progress tells its observers on this thread.
    if (progress)
        progress->setUserInfoItem(MVRExporterProgressThumbnailKey, thumbnail);
}

void MVRExporter::finishTranscode(foundation::ErrorPtr error, bool cancelled)
{
    if (!error && writesInPlace()) {
        // A cancel that took effect would have ended the operation with its error. Without
        // one, every frame is in the folder already, whatever came after: the export is done.
        m_wroteOutput = true;
        didFinishWithError(nullptr);
        return;
    }
    if (!error && cancelled)
        error = foundation::Error::userCancelled();
    if (!error && !writesInPlace())
        error = publish(m_temporaries.front());
    didFinishWithError(error);
}

bool MVRExporter::isCancelled() const
{
    auto progress = this->progress();
    return progress && progress->isCancelled();
}

void MVRExporter::repeatAssetAtURL(const foundation::URL& url)
{
    auto asset = media::Asset::assetWithURL(url);
    m_session = MVRRepeatedAssetExportSession::initWithAsset(asset, media::AVAssetExportPresetPassthrough);
    // The session writes the staged movie only where nothing is, and leaves nothing when it fails:
    // the name is this export's to remove only once its session has put the movie there.
    const foundation::URL staged = temporaryBeside(m_outputURL);
    m_session->setRepeatCount(m_settings->repeatCount());
    m_session->setOutputURL(staged);
    m_session->setOutputFileType(m_settings->fileType());
    m_session->setMetadata({mvr_commonMetadataItem()});

    auto progress = this->progress();
    progress->becomeCurrentWithPendingUnitCount(1);
    std::weak_ptr<MVRRepeatedAssetExportSession> weakSession = m_session;
    progress->setCancellationHandler([weakSession] {
        if (auto session = weakSession.lock())
            session->cancelExport();
    });
    auto self = shared_from_this();
    auto session = m_session;
    session->exportAsynchronouslyWithCompletionHandler([self, session, staged] {
        const auto status = session->status();
        foundation::ErrorPtr error = session->error();
        if (status == MVRRepeatedAssetExportSession::Status::Cancelled && !error)
            error = foundation::Error::userCancelled();
        else if (status != MVRRepeatedAssetExportSession::Status::Completed && !error)
            error = foundation::Error::make(foundation::NSCocoaErrorDomain, foundation::NSFileWriteUnknownError,
                                            "The repeated movie could not be written.");
        const bool written = status == MVRRepeatedAssetExportSession::Status::Completed;
        dispatch::Queue::main()->async([self, error, staged, written] {
            if (written)
                self->m_temporaries.push_back(staged);
            foundation::ErrorPtr result = error;
            if (!result)
                result = self->publish(staged);
            self->didFinishWithError(result);
        });
    });
    progress->resignCurrent();
}

foundation::ErrorPtr MVRExporter::publish(const foundation::URL& temporary)
{
    // A cancel that came after the last frame still keeps the user's file: the export ends
    // cancelled, and must not have replaced anything.
    if (isCancelled())
        return foundation::Error::userCancelled();
    auto& files = foundation::FileManager::defaultManager();
    foundation::ErrorPtr error;
    const bool exists = files.fileExistsAtPath(m_outputURL.path());
    const bool ok = exists ? files.replaceItemAtURL(m_outputURL, temporary, &error)
                           : files.moveItemAtURL(temporary, m_outputURL, &error);
    return ok ? nullptr : error;
}

void MVRExporter::didFinishWithError(foundation::ErrorPtr error)
{
    if (m_finished)
        throw foundation::Exception(foundation::NSInternalInconsistencyException, "MVRExporter already finished!");
    if (!error && !m_wroteOutput && isCancelled())
        error = foundation::Error::userCancelled();
    m_finished = true;
    m_frameObservation.remove();
    for (const auto& url : m_temporaries)
        removeItemAtURL(url);
    m_temporaries.clear();
    m_workFolder.reset();
    if (auto handler = std::move(m_completionHandler)) {
        m_completionHandler = nullptr;
        if (error)
            handler(std::nullopt, error);
        else
            handler(m_outputURL, nullptr);
    }
}

void MVRExporter::removeItemAtURL(const foundation::URL& url)
{
    auto& files = foundation::FileManager::defaultManager();
    if (!files.fileExistsAtPath(url.path()))
        return;
    foundation::ErrorPtr error;
    if (!files.removeItemAtURL(url, &error))
        std::printf("error deleting file at: %s\n%s\n", url.absoluteString().c_str(),
                    error ? error->localizedDescription().c_str() : "");
}
