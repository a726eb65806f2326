#include "Quintor/DropTargetViews.h"

#include <algorithm>

#include "Platform/UI/Pasteboard.h"

std::vector<foundation::URL> MVRDroppedFileURLs(const ui::DraggingInfo& info)
{
    const auto& pasteboard = info.draggingPasteboard();
    if (!pasteboard)
        return {};
    const auto types = pasteboard->types();
    if (std::find(types.begin(), types.end(), ui::NSPasteboardTypeFileURL) == types.end())
        return {};
    return pasteboard->readURLs(true);
}

namespace {

bool handOn(const ui::DraggingInfo& info, const DropHandler& handler)
{
    auto urls = MVRDroppedFileURLs(info);
    if (!urls.empty() && handler)
        handler(urls);
    // A drop without file URLs is accepted and ignored.
    return true;
}

} // namespace

std::shared_ptr<DragAndDropView> DragAndDropView::initWithFrame(const graphics::Rect& frame)
{
    auto view = std::shared_ptr<DragAndDropView>(new DragAndDropView(frame));
    view->registerForDraggedTypes({ ui::NSPasteboardTypeFileURL });
    return view;
}

DragAndDropView::DragAndDropView(const graphics::Rect& frame)
    : View(frame)
{
}

ui::DragOperation DragAndDropView::draggingEntered(const ui::DraggingInfo&) { return ui::NSDragOperationCopy; }
ui::DragOperation DragAndDropView::draggingUpdated(const ui::DraggingInfo&) { return ui::NSDragOperationCopy; }
bool DragAndDropView::performDragOperation(const ui::DraggingInfo& info) { return handOn(info, m_dropHandler); }

std::shared_ptr<DragAndDropPlayerView> DragAndDropPlayerView::initWithFrame(const graphics::Rect& frame)
{
    auto view = std::shared_ptr<DragAndDropPlayerView>(new DragAndDropPlayerView(frame));
    view->registerForDraggedTypes({ ui::NSPasteboardTypeFileURL });
    return view;
}

DragAndDropPlayerView::DragAndDropPlayerView(const graphics::Rect& frame)
    : PlayerView(frame)
{
}

ui::DragOperation DragAndDropPlayerView::draggingEntered(const ui::DraggingInfo&) { return ui::NSDragOperationCopy; }
ui::DragOperation DragAndDropPlayerView::draggingUpdated(const ui::DraggingInfo&) { return ui::NSDragOperationCopy; }
bool DragAndDropPlayerView::performDragOperation(const ui::DraggingInfo& info) { return handOn(info, m_dropHandler); }

std::shared_ptr<NoDragAndDropImageView> NoDragAndDropImageView::initWithFrame(const graphics::Rect& frame)
{
    auto view = std::shared_ptr<NoDragAndDropImageView>(new NoDragAndDropImageView(frame));
    view->unregisterDraggedTypes();
    return view;
}

NoDragAndDropImageView::NoDragAndDropImageView(const graphics::Rect& frame)
    : ImageView(frame)
{
}

void NoDragAndDropImageView::setEditable(bool value)
{
    ImageView::setEditable(value);
    unregisterDraggedTypes();
}

ui::DragOperation NoDragAndDropImageView::draggingEntered(const ui::DraggingInfo&) { return ui::NSDragOperationNone; }
bool NoDragAndDropImageView::performDragOperation(const ui::DraggingInfo&) { return false; }
