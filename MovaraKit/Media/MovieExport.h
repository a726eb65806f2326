#pragma once
// One export of an image sequence into a movie file: the first pass writes the images at the
// sequence's own rate; when a fixed output rate is asked for, it writes a ProRes 422
// intermediate at the export's size in a folder made for this job, and a second pass re-times
// that into the chosen format. The job owns its passes, its temporary files (gone when it
// ends, whatever the outcome), its progress and its cancel. The user's file is replaced only
// by a finished movie. Start on the main thread; handlers are called on the main queue.

#include "MovaraKit/Media/ImageSequenceTranscode.h"
#include "MovaraKit/Media/MovieFormat.h"
#include "Platform/Foundation/Progress.h"
#include "Platform/Foundation/TemporaryFolder.h"
#include "Platform/Foundation/URL.h"

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class MovieExport : public std::enable_shared_from_this<MovieExport> {
public:
    struct Settings {
        // The frames, in order, each shown for `frameDuration` (the sequence's own rate).
        std::vector<MVRImageSourcePtr> imageSources;
        media::Time frameDuration = media::Time::invalid();
        std::string codec;
        // A factor in (0, 1) scales the movie down from the first image's size.
        double scale = 1.0;
        // Valid: a second pass re-times the movie to this frame duration.
        media::Time outputFrameDuration = media::Time::invalid();
    };

    // The intermediate's name inside the job's folder.
    static const std::string firstPassFileName; // "qtrExportPass1.mov"

    // Null, with an error, for a codec the format table does not hold, a location that is not
    // a file or that is one of the photos (also through a link), or a job folder that cannot
    // be made.
    static std::shared_ptr<MovieExport> make(const foundation::URL& outputURL, Settings settings,
                                             foundation::ErrorPtr* error);
    ~MovieExport();

    const foundation::URL& outputURL() const { return m_outputURL; }
    const MovieFormat& format() const { return *m_format; }
    bool isTwoPass() const { return m_settings.outputFrameDuration.isValid(); }
    // Where the first pass writes: the output itself, or the intermediate in the job's folder.
    foundation::URL firstPassURL() const;
    // The job's own folder; none for a single pass, which needs none.
    std::optional<foundation::URL> workFolderURL() const;

    // Called as each pass starts, with the progress that pass reports (and that cancels it).
    using PassHandler = std::function<void(const foundation::ProgressPtr& progress)>;
    void setPassHandler(PassHandler handler) { m_passHandler = std::move(handler); }

    // Runs the job; `completion` gets its error (none on success) once, after the job's
    // temporary files are gone. The job keeps itself alive until then.
    void start(std::function<void(foundation::ErrorPtr)> completion);
    // Ends the job with the user-cancelled error. Any thread.
    void cancel();
    // The running pass's progress; null before the start and after the end.
    foundation::ProgressPtr progress() const;

private:
    MovieExport() = default;
    void startFirstPass();
    void startSecondPass();
    void runPass(const std::shared_ptr<TranscodeOperation>& operation);
    void finish(foundation::ErrorPtr error);

    foundation::URL m_outputURL = foundation::URL::fileURLWithPath("/");
    Settings m_settings;
    const MovieFormat* m_format = nullptr;
    foundation::TemporaryFolderPtr m_folder;
    PassHandler m_passHandler;
    std::function<void(foundation::ErrorPtr)> m_completion;
    std::shared_ptr<MovieExport> m_running; // the job's hold on itself while it runs

    mutable std::mutex m_mutex;
    std::shared_ptr<TranscodeOperation> m_operation;
    bool m_cancelled = false;
};
