// One still image of a sequence, with lazily read and cached image, size and capture date.

#include "MovaraKit/Media/MVRImageSource.h"

#include <unistd.h>

#include <cerrno>

#include "MovaraKit/Support/Bundle+Movara.h"
#include "Platform/Foundation/DateFormatter.h"
#include "Platform/Foundation/FileManager.h"
#include "Platform/Foundation/Localized.h"
#include "Platform/Images/UTType.h"

namespace {

// Capture dates as the image source gives them ("2024-12-31T23:59:58.250"), read in the local
// time zone as cameras write them. The calendar year "yyyy" matters: the week-based "YYYY"
// would put the last days of December into the next year and break the order of photos
// taken around New Year. Made once, on first use, from whichever thread gets there first.
const foundation::DateFormatter& captureDateFormatter()
{
    static const foundation::DateFormatter formatter("yyyy'-'MM'-'dd'T'HH':'mm':'ss'.'SSS");
    return formatter;
}

} // namespace

std::shared_ptr<MVRImageSource> MVRImageSource::initWithFileURL(const foundation::URL& fileURL)
{
    if (!fileURL.isFileURL())
        return nullptr;
    images::ImageSourcePtr imageSource = images::ImageSource::createWithURL(fileURL);
    if (!imageSource)
        return nullptr;
    const std::string& type = imageSource->type();
    if (type.empty() || !images::typeConformsTo(type, images::kUTTypeImage))
        return nullptr;
    std::shared_ptr<MVRImageSource> source(new MVRImageSource());
    source->m_fileURL = fileURL;
    source->m_imageSource = std::move(imageSource);
    source->m_imageType = type;
    return source;
}

foundation::ErrorPtr MVRImageSource::unreadableFileError(const foundation::URL& fileURL)
{
    long code = 0;
    const char* text = nullptr;
    if (::access(fileURL.path().c_str(), R_OK) == 0)
        return nullptr;
    if (errno == ENOENT || errno == ENOTDIR) {
        code = foundation::NSFileReadNoSuchFileError;
        text = "The file “%@” couldn’t be opened because it is no longer there.";
    } else if (errno == EACCES || errno == EPERM) {
        code = foundation::FileReadNoPermissionError;
        text = "The file “%@” couldn’t be opened because you don’t have permission to view it.";
    } else {
        return nullptr;
    }
    std::string description = foundation::localized(text, "error description", mvr_movaraKitBundle());
    if (auto at = description.find("%@"); at != std::string::npos)
        description.replace(at, 2, fileURL.lastPathComponent());
    foundation::Error::UserInfo info;
    info[foundation::NSLocalizedDescriptionKey].text = description;
    info[foundation::NSFilePathErrorKey].text = fileURL.path();
    return foundation::Error::make(foundation::NSCocoaErrorDomain, code, std::move(info));
}

graphics::ImagePtr MVRImageSource::createImage(size_t maxPixelSize, foundation::ErrorPtr* error) const
{
    images::ImageSourcePtr source;
    if (images::typeConformsTo(m_imageType, images::kUTTypeRawImage)) {
        // Camera RAW decoders keep large state; a fresh source per decode lets it all go after.
        source = images::ImageSource::createWithURL(m_fileURL, error);
        if (!source)
            return nullptr;
        return maxPixelSize ? source->createThumbnailAtIndex(0, maxPixelSize, false, error)
                            : source->createImageAtIndex(0, error);
    }
    std::lock_guard lock(m_mutex);
    return maxPixelSize ? m_imageSource->createThumbnailAtIndex(0, maxPixelSize, false, error)
                        : m_imageSource->createImageAtIndex(0, error);
}

images::StripOutcome MVRImageSource::decodeStrips(size_t minWidth, size_t minHeight, const images::StripSink& sink,
                                                  foundation::ErrorPtr* error) const
{
    std::lock_guard lock(m_mutex);
    return m_imageSource->decodeStripsAtIndex(0, minWidth, minHeight, sink, error);
}

std::optional<images::ImageProperties> MVRImageSource::properties() const
{
    std::lock_guard lock(m_mutex);
    return m_imageSource->propertiesAtIndex(0);
}

graphics::ImagePtr MVRImageSource::image()
{
    {
        std::lock_guard lock(m_mutex);
        if (m_image)
            return m_image;
    }
    graphics::ImagePtr decoded = createImage(0, nullptr);
    std::lock_guard lock(m_mutex);
    if (!m_image)
        m_image = std::move(decoded); // stays empty when decoding failed: the next call tries again
    return m_image;
}

foundation::Date MVRImageSource::date()
{
    std::lock_guard lock(m_mutex);
    if (m_date)
        return *m_date;
    if (std::optional<std::string> text = m_imageSource->captureDateMetadataAtIndex(0)) {
        // A tag that does not parse gives the time of this request, not the modification date.
        m_date = captureDateFormatter().dateFromString(*text);
    } else if (auto attributes = foundation::FileManager::defaultManager().attributesOfItemAtPath(m_fileURL.path())) {
        m_date = attributes->modificationDate;
    }
    if (!m_date)
        m_date = foundation::Date::now();
    return *m_date;
}

std::optional<graphics::Size> MVRImageSource::sizeValue()
{
    {
        std::lock_guard lock(m_mutex);
        if (m_sizeValue)
            return m_sizeValue;
        if (auto properties = m_imageSource->propertiesAtIndex(0)) {
            // Through 32-bit floats, as the platform reads these properties.
            m_sizeValue = graphics::Size {double(float(properties->pixelWidth)), double(float(properties->pixelHeight))};
            return m_sizeValue;
        }
    }
    graphics::ImagePtr decoded = image();
    std::lock_guard lock(m_mutex);
    if (!m_sizeValue && decoded)
        m_sizeValue = graphics::Size {double(decoded->width()), double(decoded->height())};
    return m_sizeValue;
}

void MVRImageSource::setSizeValue(std::optional<graphics::Size> size)
{
    std::lock_guard lock(m_mutex);
    m_sizeValue = size;
}

graphics::Size MVRImageSource::size()
{
    return sizeValue().value_or(graphics::Size {});
}
