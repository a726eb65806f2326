#include "MovaraKit/Media/ImageSequenceTranscode.h"

#include "Platform/Media/MediaError.h"

#include <algorithm>
#include <cmath>

std::optional<ImageSequenceTranscode> ImageSequenceTranscode::make(std::vector<MVRImageSourcePtr> imageSources,
                                                                   const foundation::URL& outputURL,
                                                                   const Options& options, foundation::ErrorPtr* error)
{
    auto destination = MoviePixelBufferDestination::init(outputURL, options.fileType);
    if (!destination) {
        if (error)
            *error = media::makeMediaError(media::AVErrorUnknown, "The movie could not be written.",
                                           "The output location is not a file: " + outputURL.absoluteString());
        return std::nullopt;
    }
    destination->setPreset(options.preset);
    auto source = MVRImageSequencePixelBufferSource::initWithImageSources(std::move(imageSources));
    source->setFrameDuration(options.frameDuration);
    if (options.scale > 0.0 && options.scale < 1.0)
        source->setScale(options.scale);
    ImageSequenceTranscode transcode;
    transcode.source = source;
    transcode.destination = destination;
    transcode.operation = TranscodeOperation::init(source, destination);
    return transcode;
}

void ImageSequenceTranscode::setCompletionHandler(std::function<void(foundation::ErrorPtr)> handler) const
{
    std::weak_ptr<TranscodeOperation> weakOperation = operation;
    auto destination = this->destination;
    operation->setCompletionBlock([weakOperation, destination, handler = std::move(handler)] {
        auto finished = weakOperation.lock();
        auto error = finished ? finished->error() : foundation::Error::userCancelled();
        // A cancel reaches the writer through its queue; whatever runs there after it sees the
        // writer stopped and its unfinished file removed.
        destination->videoQueue()->async([handler, error] {
            if (handler)
                handler(error);
        });
    });
}

double MVRDCTScaleToFit(graphics::Size size, double maxPixelSize)
{
    const double longer = std::max(size.width, size.height);
    for (double d : {1.0, 2.0, 4.0})
        if (std::ceil(longer / d) <= maxPixelSize)
            return 1.0 / d;
    return 1.0 / 8.0;
}
