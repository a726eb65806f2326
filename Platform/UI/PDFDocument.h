#pragma once
// A PDF document read with poppler: its pages, their sizes in points, pictures of them, and
// its bytes written out again unchanged. The bytes are kept in memory, so the document can be
// saved even after its file has gone. Main thread only.

#include <cstdint>
#include <memory>
#include <vector>

#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/URL.h"
#include "Platform/Graphics/Geometry.h"
#include "Platform/Graphics/Image.h"

namespace poppler {
class document;
}

namespace ui {

class PDFDocument {
public:
    // None (with an error) when the file cannot be read or is not a PDF.
    static std::shared_ptr<PDFDocument> initWithURL(const foundation::URL& url, foundation::ErrorPtr* error = nullptr);
    static std::shared_ptr<PDFDocument> initWithData(std::vector<uint8_t> data, foundation::ErrorPtr* error = nullptr);
    ~PDFDocument();
    PDFDocument(const PDFDocument&) = delete;
    PDFDocument& operator=(const PDFDocument&) = delete;

    long pageCount() const;
    // Zero for a page that does not exist.
    graphics::Size pageSize(long index) const;
    // The page at `scale` pixels per point on white; none for a page that does not exist.
    graphics::ImagePtr imageOfPage(long index, double scale) const;

    const std::vector<uint8_t>& dataRepresentation() const { return m_data; }
    // Writes the document to a file URL: into a temporary file beside it, then renamed over
    // it, so a failure leaves whatever was there untouched. False, with an error, on failure.
    bool writeToURL(const foundation::URL& url, foundation::ErrorPtr* error = nullptr) const;

private:
    PDFDocument() = default;

    std::vector<uint8_t> m_data;
    std::unique_ptr<poppler::document> m_document;
};

using PDFDocumentPtr = std::shared_ptr<PDFDocument>;

} // namespace ui
