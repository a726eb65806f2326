#pragma once
// Moves canvas objects through a pasteboard. Copied objects travel as one secure keyed archive
// of an array of objects under "com.movara.CanvasObject"; reading prefers such archives and
// otherwise makes new image objects from image files and pictures on the pasteboard, placed
// at a point and shrunk to fit a size when asked. Class functions only; main thread.

#include <optional>
#include <vector>

#include "MovaraKit/Canvas/CanvasObject.h"
#include "Platform/UI/Pasteboard.h"

class CanvasPasteboardSupport {
public:
    CanvasPasteboardSupport() = delete;

    // The archive of the objects.
    static foundation::Data dataFor(const std::vector<CanvasObjectPtr>& objects);
    // The objects of an archive; none unless it decodes to an array of canvas objects.
    static std::optional<std::vector<CanvasObjectPtr>> objectsFrom(const foundation::Data& data);

    static bool canReadFromPasteboard(const ui::Pasteboard& pasteboard);
    // Replaces the pasteboard's contents with the archive of the objects.
    static void writeObjects(const std::vector<CanvasObjectPtr>& objects, ui::Pasteboard& pasteboard);
    // Archived objects keep their geometry; new image objects get `position` as their centre
    // and are shrunk (never enlarged) to fit `maximumSize`. None when there is nothing usable.
    static std::optional<std::vector<CanvasObjectPtr>> read(const ui::Pasteboard& pasteboard,
                                                             std::optional<graphics::Point> position = std::nullopt,
                                                             std::optional<graphics::Size> maximumSize = std::nullopt);
};
