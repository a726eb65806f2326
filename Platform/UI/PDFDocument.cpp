#include "Platform/UI/PDFDocument.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>

#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-image.h>
#include <poppler-page-renderer.h>
#include <poppler-page.h>

#include "Platform/Foundation/FileManager.h"

namespace ui {

namespace {

// Poppler prints every complaint about a damaged file on stderr; we report our own errors.
void quietPoppler()
{
    static std::once_flag once;
    std::call_once(once, [] { poppler::set_debug_error_function([](const std::string&, void*) { }, nullptr); });
}

foundation::ErrorPtr readError(long code, const std::string& what, const std::string& path)
{
    foundation::Error::UserInfo info;
    info[foundation::NSLocalizedDescriptionKey].text = what;
    info[foundation::NSFilePathErrorKey].text = path;
    return foundation::Error::make(foundation::NSCocoaErrorDomain, code, std::move(info));
}

} // namespace

PDFDocument::~PDFDocument() = default;

std::shared_ptr<PDFDocument> PDFDocument::initWithURL(const foundation::URL& url, foundation::ErrorPtr* error)
{
    if (!url.isFileURL()) {
        if (error)
            *error = readError(foundation::NSFileReadUnknownError, "The document is not a file.", url.absoluteString());
        return nullptr;
    }
    foundation::ErrorPtr readFailure;
    // A document is read whole into memory: one past this size is refused, saying so.
    constexpr std::uint64_t maximumSize = 256ULL << 20;
    auto bytes = foundation::FileManager::defaultManager().contentsAtPath(url.path(), &readFailure, maximumSize);
    if (!bytes) {
        const bool tooLarge = readFailure && readFailure->code() == foundation::NSFileReadTooLargeError;
        if (error)
            *error = readError(readFailure ? readFailure->code() : long(foundation::NSFileReadUnknownError),
                               tooLarge ? readFailure->localizedDescription() : "The document could not be opened.",
                               url.path());
        return nullptr;
    }
    foundation::ErrorPtr dataError;
    auto doc = initWithData(std::move(*bytes), &dataError);
    if (!doc && error)
        *error = readError(foundation::NSFileReadCorruptFileError, "The document is not a readable PDF file.", url.path());
    return doc;
}

std::shared_ptr<PDFDocument> PDFDocument::initWithData(std::vector<uint8_t> data, foundation::ErrorPtr* error)
{
    quietPoppler();
    std::shared_ptr<PDFDocument> doc(new PDFDocument());
    doc->m_data = std::move(data);
    if (!doc->m_data.empty() && doc->m_data.size() < static_cast<size_t>(INT_MAX)) {
        // Poppler reads from our buffer without copying it; the buffer lives as long as we do.
        doc->m_document.reset(poppler::document::load_from_raw_data(reinterpret_cast<const char*>(doc->m_data.data()),
                                                                     static_cast<int>(doc->m_data.size())));
    }
    if (!doc->m_document || doc->m_document->is_locked() || doc->m_document->pages() <= 0) {
        if (error)
            *error = foundation::Error::make(foundation::NSCocoaErrorDomain, foundation::NSFileReadCorruptFileError,
                                             "The document is not a readable PDF file.");
        return nullptr;
    }
    return doc;
}

long PDFDocument::pageCount() const
{
    return m_document->pages();
}

graphics::Size PDFDocument::pageSize(long index) const
{
    if (index < 0 || index >= pageCount())
        return {};
    std::unique_ptr<poppler::page> page(m_document->create_page(static_cast<int>(index)));
    if (!page)
        return {};
    const poppler::rectf r = page->page_rect(poppler::media_box);
    return {r.width(), r.height()};
}

graphics::ImagePtr PDFDocument::imageOfPage(long index, double scale) const
{
    if (index < 0 || index >= pageCount() || !(scale > 0) || scale > 16)
        return nullptr;
    std::unique_ptr<poppler::page> page(m_document->create_page(static_cast<int>(index)));
    if (!page)
        return nullptr;
    poppler::page_renderer renderer;
    renderer.set_render_hint(poppler::page_renderer::antialiasing, true);
    renderer.set_render_hint(poppler::page_renderer::text_antialiasing, true);
    renderer.set_image_format(poppler::image::format_argb32);
    renderer.set_paper_color(0xffffffff);
    const poppler::image img = renderer.render_page(page.get(), 72.0 * scale, 72.0 * scale);
    if (!img.is_valid() || img.width() <= 0 || img.height() <= 0)
        return nullptr;
    const size_t rowBytes = static_cast<size_t>(img.bytes_per_row());
    std::vector<uint8_t> bytes(img.const_data(), img.const_data() + rowBytes * static_cast<size_t>(img.height()));
    return graphics::Image::create(static_cast<size_t>(img.width()), static_cast<size_t>(img.height()), 8, 32, rowBytes,
                                   graphics::ColorSpace::createDeviceRGB(),
                                   {graphics::AlphaInfo::premultipliedFirst, graphics::ByteOrder::order32Little},
                                   std::move(bytes));
}

bool PDFDocument::writeToURL(const foundation::URL& url, foundation::ErrorPtr* error) const
{
    auto fail = [&](int err) {
        if (error) {
            foundation::Error::UserInfo info;
            info[foundation::NSLocalizedDescriptionKey].text = "The document could not be saved.";
            info[foundation::NSFilePathErrorKey].text = url.path();
            info[foundation::NSUnderlyingErrorKey].error = foundation::Error::posix(err, url.path());
            *error = foundation::Error::make(foundation::NSCocoaErrorDomain,
                                             err == ENOSPC ? foundation::NSFileWriteOutOfSpaceError : foundation::NSFileWriteUnknownError,
                                             std::move(info));
        }
        return false;
    };
    if (!url.isFileURL() || url.path().empty())
        return fail(EINVAL);
    const std::filesystem::path target(url.path());
    const std::string temp = (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    const int fd = ::mkstemp(name.data());
    if (fd < 0)
        return fail(errno);
    size_t done = 0;
    int err = 0;
    while (done < m_data.size()) {
        const ssize_t n = ::write(fd, m_data.data() + done, m_data.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            err = errno;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (!err && ::fsync(fd) != 0)
        err = errno;
    if (::close(fd) != 0 && !err)
        err = errno;
    if (!err && ::chmod(name.data(), 0644) != 0)
        err = errno;
    if (!err && ::rename(name.data(), target.c_str()) != 0)
        err = errno;
    if (err) {
        ::unlink(name.data());
        return fail(err);
    }
    return true;
}

} // namespace ui
