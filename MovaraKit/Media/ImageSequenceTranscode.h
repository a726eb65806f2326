#pragma once
// One image sequence on its way into a movie file: the image-sequence source, the movie writer
// and the transcode operation between them, built in one place for the importer and the
// export job. Build and start from any thread but the writer's.

#include "MovaraKit/Media/MVRImageSequencePixelBufferSource.h"
#include "MovaraKit/Media/MoviePixelBufferDestination.h"
#include "MovaraKit/Media/TranscodeOperation.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct ImageSequenceTranscode {
    struct Options {
        media::Time frameDuration = media::Time::invalid();
        MoviePixelBufferDestinationPreset preset = MoviePixelBufferDestinationPreset::proRes422;
        std::string fileType;
        // A factor in (0, 1) scales every frame down from the first image's size; anything
        // else keeps full size.
        double scale = 1.0;
    };

    std::shared_ptr<MVRImageSequencePixelBufferSource> source;
    std::shared_ptr<MoviePixelBufferDestination> destination;
    std::shared_ptr<TranscodeOperation> operation;

    // None, with an error, when `outputURL` cannot take a movie of that type.
    static std::optional<ImageSequenceTranscode> make(std::vector<MVRImageSourcePtr> imageSources,
                                                      const foundation::URL& outputURL, const Options& options,
                                                      foundation::ErrorPtr* error);

    // Sets the operation's completion block: `handler` gets the operation's error (none on
    // success) once the writer has let go of every file it made, so a cancelled movie's
    // temporary file is gone by then. Called on the writer's queue.
    void setCompletionHandler(std::function<void(foundation::ErrorPtr)> handler) const;
};

// The largest factor 1/1, 1/2, 1/4 or 1/8 (the JPEG decoder's cheap DCT scalings) that brings
// the longer side of `size` down to at most `maxPixelSize`; 1/8 when none does.
double MVRDCTScaleToFit(graphics::Size size, double maxPixelSize);
