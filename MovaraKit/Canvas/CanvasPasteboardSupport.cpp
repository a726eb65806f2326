#include "MovaraKit/Canvas/CanvasPasteboardSupport.h"

#include <algorithm>

#include "MovaraKit/Canvas/ImageCanvasObject.h"
#include "Platform/Foundation/FileManager.h"
#include "Platform/UI/Image.h"

foundation::Data CanvasPasteboardSupport::dataFor(const std::vector<CanvasObjectPtr>& objects)
{
    foundation::KeyedArchiver archiver(true);
    std::vector<std::shared_ptr<const foundation::Coding>> items(objects.begin(), objects.end());
    archiver.encodeArrayOfObjects(items, foundation::NSKeyedArchiveRootObjectKey);
    return archiver.encodedData();
}

std::optional<std::vector<CanvasObjectPtr>> CanvasPasteboardSupport::objectsFrom(const foundation::Data& data)
{
    CanvasObject::registerCodingClasses();
    auto unarchiver = foundation::KeyedUnarchiver::initForReadingFromData(data);
    if (!unarchiver)
        return std::nullopt;
    unarchiver->setRequiresSecureCoding(true);
    auto decoded = unarchiver->decodeArrayOfObjectsOfClasses({"CanvasObject"}, foundation::NSKeyedArchiveRootObjectKey);
    if (!decoded || unarchiver->error())
        return std::nullopt;
    std::vector<CanvasObjectPtr> objects;
    for (const auto& item : *decoded) {
        auto object = std::dynamic_pointer_cast<CanvasObject>(item);
        if (!object)
            return std::nullopt;
        objects.push_back(std::move(object));
    }
    return objects;
}

bool CanvasPasteboardSupport::canReadFromPasteboard(const ui::Pasteboard& pasteboard)
{
    if (pasteboard.canReadItemWithDataConformingToTypes({CanvasObject::pasteboardType()}))
        return true;
    return pasteboard.canReadImageFileURLsOrImages();
}

void CanvasPasteboardSupport::writeObjects(const std::vector<CanvasObjectPtr>& objects, ui::Pasteboard& pasteboard)
{
    pasteboard.declareTypes({CanvasObject::pasteboardType()});
    pasteboard.setDataForType(dataFor(objects), CanvasObject::pasteboardType());
}

std::optional<std::vector<CanvasObjectPtr>> CanvasPasteboardSupport::read(const ui::Pasteboard& pasteboard,
                                                                           std::optional<graphics::Point> position,
                                                                           std::optional<graphics::Size> maximumSize)
{
    // Canvas objects first; when there are such items, nothing else is tried.
    const auto items = pasteboard.pasteboardItems();
    bool hasArchives = false;
    std::vector<CanvasObjectPtr> archived;
    for (const auto& item : items) {
        const auto types = item.types();
        if (std::find(types.begin(), types.end(), CanvasObject::pasteboardType()) == types.end())
            continue;
        hasArchives = true;
        auto data = item.dataForType(CanvasObject::pasteboardType());
        if (!data)
            continue;
        if (auto objects = objectsFrom(*data))
            archived.insert(archived.end(), objects->begin(), objects->end());
    }
    if (hasArchives) {
        if (archived.empty())
            return std::nullopt;
        return archived;
    }

    const auto read = pasteboard.readImageFileURLsAndImages();
    if (read.empty())
        return std::nullopt;
    std::vector<CanvasObjectPtr> created;
    for (const auto& entry : read) {
        if (entry.fileURL) {
            auto bytes = foundation::FileManager::defaultManager().contentsAtPath(entry.fileURL->path());
            if (!bytes)
                continue;
            // Files whose bytes can't be decoded are skipped like unreadable ones.
            if (auto object = ImageCanvasObject::initWithOriginalImageData(std::move(*bytes), entry.fileURL->lastPathComponent()))
                created.push_back(object);
        } else if (entry.image && entry.image->bitmap()) {
            if (auto object = ImageCanvasObject::initWithImage(entry.image->bitmap()))
                created.push_back(object);
        }
    }
    for (const auto& object : created) {
        if (position)
            object->setPosition(*position);
        if (maximumSize && (object->width() > maximumSize->width || object->height() > maximumSize->height)) {
            const graphics::Size natural = object->naturalSize();
            if (natural.width > 0 && natural.height > 0) {
                const double scale = std::min(maximumSize->width / natural.width, maximumSize->height / natural.height);
                object->setSize({natural.width * scale, natural.height * scale});
            }
        }
    }
    return created;
}
