#include "MovaraAppKit/Controls/DropView.h"

#include <algorithm>

#include "Platform/Images/UTType.h"
#include "Platform/UI/Pasteboard.h"

DropView::DropView(const graphics::Rect& frame)
    : ui::View(frame)
    , m_fileURLPasteboardType(images::kUTTypeFileURL)
{
}

std::shared_ptr<DropView> DropView::initWithFrame(const graphics::Rect& frame)
{
    return std::shared_ptr<DropView>(new DropView(frame));
}

std::shared_ptr<DropView> DropView::initWithCoder(const graphics::Rect& frame)
{
    return std::shared_ptr<DropView>(new DropView(frame));
}

bool DropView::handleDrop(const std::vector<foundation::URL>&)
{
    return false;
}

bool DropView::shouldCopyOnDrag(const ui::DraggingInfo&)
{
    return false;
}

void DropView::awakeFromNib()
{
    ui::View::awakeFromNib();
    registerForDraggedTypes({m_fileURLPasteboardType});
}

ui::DragOperation DropView::draggingEntered(const ui::DraggingInfo& info)
{
    return shouldCopyOnDrag(info) ? ui::NSDragOperationCopy : ui::NSDragOperationNone;
}

ui::DragOperation DropView::draggingUpdated(const ui::DraggingInfo& info)
{
    return draggingEntered(info);
}

bool DropView::performDragOperation(const ui::DraggingInfo& info)
{
    const auto& pasteboard = info.draggingPasteboard();
    if (!pasteboard)
        return false;
    const auto types = pasteboard->types();
    if (std::find(types.begin(), types.end(), m_fileURLPasteboardType) == types.end())
        return false;
    const std::vector<foundation::URL> urls = pasteboard->readURLs(true);
    if (urls.empty())
        return false;
    return handleDrop(urls);
}
