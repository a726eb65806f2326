#pragma once
// The main window's drop targets: the empty-state area and the preview player take files and
// folders dragged onto them and hand their file URLs, in pasteboard order, to the drop
// handler (the application delegate's add-items, which keeps the images among them).
// NoDragAndDropImageView is an image view that never takes a drop, so a file dragged over it
// is not mistaken for the view's own picture. Main thread only.

#include <functional>
#include <memory>
#include <vector>

#include "Platform/Foundation/URL.h"
#include "Platform/UI/ImageView.h"
#include "Platform/UI/PlayerView.h"
#include "Platform/UI/View.h"

using DropHandler = std::function<void(const std::vector<foundation::URL>&)>;

// The file URLs of a drop, in pasteboard order; empty when it carries none.
std::vector<foundation::URL> MVRDroppedFileURLs(const ui::DraggingInfo& info);

class DragAndDropView : public ui::View {
public:
    static std::shared_ptr<DragAndDropView> initWithFrame(const graphics::Rect& frame);

    void setDropHandler(DropHandler handler) { m_dropHandler = std::move(handler); }

    ui::DragOperation draggingEntered(const ui::DraggingInfo& info) override;
    ui::DragOperation draggingUpdated(const ui::DraggingInfo& info) override;
    // Hands the drop's file URLs on; always reports the drop as performed.
    bool performDragOperation(const ui::DraggingInfo& info) override;

protected:
    explicit DragAndDropView(const graphics::Rect& frame);

private:
    DropHandler m_dropHandler;
};

class DragAndDropPlayerView : public ui::PlayerView {
public:
    static std::shared_ptr<DragAndDropPlayerView> initWithFrame(const graphics::Rect& frame);

    void setDropHandler(DropHandler handler) { m_dropHandler = std::move(handler); }

    ui::DragOperation draggingEntered(const ui::DraggingInfo& info) override;
    ui::DragOperation draggingUpdated(const ui::DraggingInfo& info) override;
    bool performDragOperation(const ui::DraggingInfo& info) override;

protected:
    explicit DragAndDropPlayerView(const graphics::Rect& frame);

private:
    DropHandler m_dropHandler;
};

class NoDragAndDropImageView : public ui::ImageView {
public:
    static std::shared_ptr<NoDragAndDropImageView> initWithFrame(const graphics::Rect& frame);

    // Stays unregistered for drags, also when made editable.
    void setEditable(bool value);
    ui::DragOperation draggingEntered(const ui::DraggingInfo& info) override;
    bool performDragOperation(const ui::DraggingInfo& info) override;

protected:
    explicit NoDragAndDropImageView(const graphics::Rect& frame);
};
