#include "Platform/UI/PDFView.h"

#include <cmath>

#include "Platform/UI/GraphicsContext.h"

namespace ui {

using graphics::Rect;

PDFView::PDFView(const Rect& frame)
    : View(frame)
{
}

std::shared_ptr<PDFView> PDFView::initWithFrame(const Rect& frame)
{
    return std::shared_ptr<PDFView>(new PDFView(frame));
}

void PDFView::setDocument(PDFDocumentPtr document)
{
    m_document = std::move(document);
    setNeedsDisplay(true);
}

void PDFView::draw(const Rect&, GraphicsContext& context)
{
    const Rect b = bounds();
    context.setFillColor(Color::calibratedWhite(0.5));
    context.fillRect(b);
    if (!m_document)
        return;
    const double margin = 8;
    double top = b.maxY() - margin;
    for (long i = 0; i < m_document->pageCount() && top > b.minY(); ++i) {
        const graphics::Size page = m_document->pageSize(i);
        if (!(page.width > 0) || !(page.height > 0))
            continue;
        const double width = std::max(1.0, b.width() - 2 * margin);
        const double points = width / page.width;
        const double height = page.height * points;
        const Rect at = Rect::make(b.minX() + margin, top - height, width, height);
        if (auto image = m_document->imageOfPage(i, points * context.backingScaleFactor()))
            context.drawBitmap(image, at);
        top = at.minY() - margin;
    }
}

} // namespace ui
