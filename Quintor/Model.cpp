#include "Quintor/Model.h"

#include <algorithm>
#include <cmath>

#include "MovaraKit/Media/MVRImageSequenceImporter.h"
#include "MovaraKit/Support/URL+Movara.h"
#include "Platform/Dispatch/Queue.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Foundation/FileManager.h"
#include "Platform/Foundation/Localized.h"
#include "Platform/Foundation/StringUtils.h"
#include "Platform/Images/UTType.h"

using foundation::ErrorPtr;
using foundation::URL;

const std::string MVRImageSequenceChanged = "MVRImageSequenceChanged";
const std::string MVRImageSequenceCleared = "MVRImageSequenceCleared";
const std::string MVRImageSequenceSorted = "MVRImageSequenceSorted";
const std::string MVRSpeedChanged = "MVRSpeedChanged";
const std::string MVRRegeneratePreviewNotification = "MVRRegeneratePreviewNotification";

std::optional<double> MVRImageSequenceEstimatedFps(const foundation::Notification& notification)
{
    if (notification.name != MVRImageSequenceChanged && notification.name != MVRImageSequenceCleared)
        return std::nullopt;
    if (!notification.objectRef)
        return std::nullopt;
    return *notification.objectAs<double>();
}

namespace {

ErrorPtr modelError(const std::string& description)
{
    return foundation::Error::make(foundation::NSCocoaErrorDomain, 0, description);
}

std::string localizedError(const std::string& text)
{
    return foundation::localized(text, "error description");
}

std::string withArgument(std::string format, const std::string& argument)
{
    const auto at = format.find("%@");
    if (at != std::string::npos)
        format.replace(at, 2, argument);
    return format;
}

bool isDirectoryURL(const URL& url)
{
    bool isDirectory = false;
    return url.isFileURL() && foundation::FileManager::defaultManager().fileExistsAtPath(url.path(), &isDirectory)
        && isDirectory;
}

bool isImageURL(const URL& url)
{
    bool isDirectory = false;
    return url.isFileURL() && foundation::FileManager::defaultManager().fileExistsAtPath(url.path(), &isDirectory)
        && !isDirectory && mvr_isFileURLConformingToType(url, images::kUTTypeImage);
}

bool namesAscending(const URL& a, const URL& b)
{
    return foundation::localizedStandardCompare(a.lastPathComponent(), b.lastPathComponent())
        == foundation::ComparisonResult::OrderedAscending;
}

} // namespace

std::shared_ptr<Model> Model::init()
{
    return std::shared_ptr<Model>(new Model());
}

void Model::setUndoManagerProvider(UndoManagerProvider provider)
{
    m_undoManagerProvider = std::move(provider);
}

std::shared_ptr<foundation::UndoManager> Model::undoManager() const
{
    return m_undoManagerProvider ? m_undoManagerProvider() : nullptr;
}

const foundation::KeyTable& Model::observableKeys() const
{
    static const foundation::KeyTable table = [this] {
        foundation::KeyTable keys = Observable::observableKeys();
        keys.key("sortItemTag", &Model::sortItemTag, &Model::setSortItemTag);
        keys.key("playDirectionTag", &Model::playDirectionTag, &Model::setPlayDirectionTag);
        keys.key("fps", &Model::fps, &Model::setFps);
        return keys;
    }();
    return table;
}

void Model::setSortItemTag(SortTag tag)
{
    willChange("sortItemTag");
    m_sortItemTag = tag;
    didChange("sortItemTag");
}

void Model::setPlayDirectionTag(PlayDirectionTag tag)
{
    willChange("playDirectionTag");
    m_playDirectionTag = tag;
    didChange("playDirectionTag");
}

// ---- adding images --------------------------------------------------------------------------

bool Model::addImages(const std::vector<URL>& urls, ErrorPtr* error)
{
    auto refuse = [error](ErrorPtr refusal) {
        if (error)
            *error = std::move(refusal);
        return false;
    };
    const std::string noImages = "You must add at least one image.";
    if (urls.empty())
        return refuse(modelError(localizedError(noImages)));

    std::vector<URL> expanded;
    for (const URL& url : urls) {
        if (!isDirectoryURL(url)) {
            // A file named on its own that is gone or locked is reported, not passed over.
            if (url.isFileURL()) {
                if (ErrorPtr unreadable = MVRImageSource::unreadableFileError(url))
                    return refuse(std::move(unreadable));
            }
            expanded.push_back(url);
            continue;
        }
        // A folder that can't be listed stops the addition with the reason, naming it: it
        // was chosen for its photos, and "no images" would hide why none came. Its entries go
        // in natural name order, so photos with the same capture time keep the order their
        // names give them.
        ErrorPtr listing;
        auto entries = foundation::FileManager::defaultManager().contentsOfDirectoryAtURL(
            url, foundation::DirectoryEnumerationSkipsHiddenFiles, &listing);
        if (!entries)
            return refuse(std::move(listing));
        std::stable_sort(entries->begin(), entries->end(), namesAscending);
        expanded.insert(expanded.end(), entries->begin(), entries->end());
    }

    std::vector<MVRImageSourcePtr> added;
    for (const URL& url : expanded) {
        if (!isImageURL(url))
            continue;
        // Size and date are read here, off the main thread: ordering and checks use them there.
        // A file whose name promises an image but whose content yields no size is as unknown
        // as one that can't be decoded; one that is gone or locked is said to be so.
        auto source = MVRImageSource::initWithFileURL(url);
        if (!source || !source->sizeValue()) {
            if (ErrorPtr unreadable = MVRImageSource::unreadableFileError(url))
                return refuse(std::move(unreadable));
            return refuse(modelError(withArgument(
                localizedError("File \u201c%@\u201d contains an unknown image type."), url.lastPathComponent())));
        }
        source->date();
        added.push_back(std::move(source));
    }
    if (added.empty())
        return refuse(modelError(localizedError(noImages)));

    // The lists belong to the main thread: the checks against the images already there and
    // the append happen there in one step, so that two additions in quick succession can't
    // both pass against the same list and mix sizes.
    ErrorPtr refusal;
    bool wasEmpty = false;
    auto apply = [&] {
        if (m_imageSources.size() + added.size() <= 1) {
            refusal = modelError(localizedError("You must start with more than one image."));
            return;
        }
        const graphics::Size reference = m_imageSources.empty() ? added.front()->size() : m_imageSources.front()->size();
        for (const auto& source : added) {
            if (source->size() != reference) {
                refusal = modelError(localizedError("The images in the sequence must all have the same dimensions."));
                return;
            }
        }
        wasEmpty = m_imageSources.empty();
        m_previousImageSources = m_imageSources;
        m_imageSources.insert(m_imageSources.end(), added.begin(), added.end());
    };
    if (dispatch::RunLoop::isMainThread())
        apply();
    else
        dispatch::Queue::main()->sync(apply);
    if (refusal)
        return refuse(std::move(refusal));

    dispatch::Queue::main()->async([self = shared_from_this(), wasEmpty] { self->finishAddingImages(wasEmpty); });
    return true;
}

void Model::finishAddingImages(bool estimateFps)
{
    if (!m_imageSources.empty())
        sortImageSources(false);
    imageSourcesDidChange(estimateFps);
}

void Model::sortImageSources(bool postingNotification)
{
    if (m_imageSources.empty())
        return;
    if (m_sortItemTag == SortTag::byName) {
        std::stable_sort(m_imageSources.begin(), m_imageSources.end(), [](const MVRImageSourcePtr& a, const MVRImageSourcePtr& b) {
            return namesAscending(a->fileURL(), b->fileURL());
        });
    } else {
        std::stable_sort(m_imageSources.begin(), m_imageSources.end(), [](const MVRImageSourcePtr& a, const MVRImageSourcePtr& b) {
            return a->date() < b->date();
        });
    }
    if (postingNotification)
        foundation::NotificationCenter::defaultCenter().post(MVRImageSequenceSorted);
}

void Model::imageSourcesDidChange(bool estimateFps)
{
    const std::string& name = m_imageSources.empty() ? MVRImageSequenceCleared : MVRImageSequenceChanged;
    auto& center = foundation::NotificationCenter::defaultCenter();
    if (!estimateFps) {
        center.post(name);
        return;
    }
    std::vector<std::optional<foundation::Date>> dates;
    dates.reserve(m_imageSources.size());
    for (const auto& source : m_imageSources)
        dates.push_back(source->date());
    // Not rounded here: the preview rounds it when it takes it as the frame rate.
    const double estimate = 1.0 / MVRImageSequenceImporter::estimatedFrameDurationFromDates(dates).seconds();
    center.post(name, std::make_shared<double>(estimate));
}

// ---- undo -----------------------------------------------------------------------------------

void Model::registerImageSourcesUndo(const std::vector<MVRImageSourcePtr>& imageSources, const std::string& actionName)
{
    auto undo = undoManager();
    // Naming while registration is off would rename whatever entry is on top of the stack.
    if (!undo || !undo->isUndoRegistrationEnabled())
        return;
    undo->setActionName(actionName);
    undo->registerUndo<Model>(shared_from_this(), [imageSources](Model& model) { model.restoreImageSources(imageSources); });
}

void Model::restoreImageSources(const std::vector<MVRImageSourcePtr>& imageSources)
{
    const bool wasEmpty = m_imageSources.empty();
    if (auto undo = undoManager()) {
        if (undo->isUndoing() || undo->isRedoing()) {
            // The undo manager carries the name of the entry being undone over to its inverse.
            if (undo->isUndoRegistrationEnabled()) {
                undo->registerUndo<Model>(shared_from_this(), [current = m_imageSources](Model& model) {
                    model.restoreImageSources(current);
                });
            }
        } else {
            registerImageSourcesUndo(m_imageSources, undo->undoActionName());
        }
    }
    m_imageSources = imageSources;
    imageSourcesDidChange(wasEmpty);
}

// ---- frame rate -----------------------------------------------------------------------------

void Model::setFps(double fps)
{
    // Zero (as the slider's empty end or a cleared field gives it), negative and non-finite
    // rates would reach the player and the movie timing: the old rate stays.
    if (!std::isfinite(fps) || fps <= 0)
        return;
    const double replaced = m_fps;
    willChange("fps");
    m_fps = fps;
    didChange("fps");
    if (auto undo = undoManager(); undo && undo->isUndoRegistrationEnabled()) {
        undo->setActionName(foundation::localized("FPS Change", "undo action name"));
        undo->registerUndo<Model>(shared_from_this(), [replaced](Model& model) { model.restoreFps(replaced); });
    }
    foundation::NotificationCenter::defaultCenter().post(MVRSpeedChanged);
}
