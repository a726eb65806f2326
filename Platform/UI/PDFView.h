#pragma once
// Shows a PDFDocument: its pages one under the other, scaled to the view's width, on a grey
// ground. Main thread only.

#include <memory>

#include "Platform/UI/PDFDocument.h"
#include "Platform/UI/View.h"

namespace ui {

class PDFView : public View {
public:
    static std::shared_ptr<PDFView> initWithFrame(const graphics::Rect& frame);

    const PDFDocumentPtr& document() const { return m_document; }
    void setDocument(PDFDocumentPtr document);

    void draw(const graphics::Rect& dirtyRect, GraphicsContext& context) override;
    bool isOpaque() const override { return true; }

protected:
    explicit PDFView(const graphics::Rect& frame);

private:
    PDFDocumentPtr m_document;
};

using PDFViewPtr = std::shared_ptr<PDFView>;

} // namespace ui
