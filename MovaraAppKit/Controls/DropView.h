#pragma once
// A base view that takes files dragged onto it. Loaded from an interface file it registers
// for file URLs; subclasses decide whether a drag shows copy feedback (shouldCopyOnDrag) and
// what a drop of files does (handleDrop). The base class takes nothing. Main thread only.

#include <memory>
#include <string>
#include <vector>

#include "Platform/Foundation/URL.h"
#include "Platform/UI/View.h"

class DropView : public ui::View {
public:
    static std::shared_ptr<DropView> initWithFrame(const graphics::Rect& frame);
    static std::shared_ptr<DropView> initWithCoder(const graphics::Rect& frame);

    // Whether the drop was taken; the URLs are file URLs in the pasteboard's order.
    virtual bool handleDrop(const std::vector<foundation::URL>& urls);
    virtual bool shouldCopyOnDrag(const ui::DraggingInfo& info);

    void awakeFromNib() override;
    ui::DragOperation draggingEntered(const ui::DraggingInfo& info) override;
    // Asks draggingEntered again, so a subclass's answer there governs updates too.
    ui::DragOperation draggingUpdated(const ui::DraggingInfo& info) override;
    bool performDragOperation(const ui::DraggingInfo& info) override;

protected:
    explicit DropView(const graphics::Rect& frame);

private:
    std::string m_fileURLPasteboardType;
};
