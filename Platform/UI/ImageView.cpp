#include "Platform/UI/ImageView.h"

#include <algorithm>

#include "Platform/UI/GraphicsContext.h"
#include "Platform/UI/Pasteboard.h"

namespace ui {

using graphics::Rect;

ImageView::ImageView(const Rect& frame)
    : Control(frame, Cell::initTextCell(""))
{
}

std::shared_ptr<ImageView> ImageView::initWithFrame(const Rect& frame)
{
    return std::shared_ptr<ImageView>(new ImageView(frame));
}

std::shared_ptr<ImageView> ImageView::imageViewWithImage(ImagePtr image)
{
    graphics::Size size = image ? image->size() : graphics::Size{};
    auto view = initWithFrame(Rect{{0, 0}, size});
    view->setImage(std::move(image));
    return view;
}

void ImageView::setImage(ImagePtr image)
{
    m_image = std::move(image);
    setNeedsDisplay(true);
}

void ImageView::setImageScaling(ImageScaling scaling)
{
    m_scaling = scaling;
    setNeedsDisplay(true);
}

void ImageView::setEditable(bool value)
{
    m_editable = value;
    if (value)
        registerForDraggedTypes({NSPasteboardTypeFileURL});
    else
        unregisterDraggedTypes();
}

Rect ImageView::imageRect() const
{
    const Rect b = bounds();
    if (!m_image || m_image->size().width <= 0 || m_image->size().height <= 0)
        return Rect::zero();
    const graphics::Size is = m_image->size();
    double w = is.width, h = is.height;
    switch (m_scaling) {
    case ImageScaling::axesIndependently:
        return b;
    case ImageScaling::none:
        break;
    case ImageScaling::proportionallyDown:
        if (w <= b.width() && h <= b.height())
            break;
        [[fallthrough]];
    case ImageScaling::proportionallyUpOrDown: {
        const double s = std::min(b.width() / w, b.height() / h);
        w *= s;
        h *= s;
        break;
    }
    }
    return Rect::make(b.midX() - w / 2, b.midY() - h / 2, w, h);
}

void ImageView::draw(const Rect&, GraphicsContext& context)
{
    if (m_image)
        context.drawImage(*m_image, imageRect(), isEnabled() ? 1.0 : 0.5);
}

DragOperation ImageView::draggingEntered(const DraggingInfo& info)
{
    if (!m_editable)
        return NSDragOperationNone;
    return info.draggingPasteboard()->readURLs(true).empty() ? NSDragOperationNone : NSDragOperationCopy;
}

bool ImageView::performDragOperation(const DraggingInfo& info)
{
    if (!m_editable)
        return false;
    const auto urls = info.draggingPasteboard()->readURLs(true);
    if (urls.empty())
        return false;
    // A file that is not a picture is refused; the old image stays.
    auto image = Image::imageWithContentsOfFile(urls.front().path());
    if (!image)
        return false;
    setImage(image);
    userDidChangeValue();
    return true;
}

bool ImageView::setValueForBinding(const std::string& binding, const std::any& value)
{
    if (binding == NSValueBinding) {
        const auto* image = std::any_cast<ImagePtr>(&value);
        setImage(image ? *image : nullptr);
        return true;
    }
    return Control::setValueForBinding(binding, value);
}

} // namespace ui
