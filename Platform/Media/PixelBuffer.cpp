#include "Platform/Media/PixelBuffer.h"

#include "Platform/Media/PixelBufferLayout.h"

#include <cstdlib>
#include <cstring>

namespace media {

const std::string kCVImageBufferColorPrimariesKey = "CVImageBufferColorPrimaries";
const std::string kCVImageBufferTransferFunctionKey = "CVImageBufferTransferFunction";
const std::string kCVImageBufferYCbCrMatrixKey = "CVImageBufferYCbCrMatrix";
const std::string kCVImageBufferICCProfileKey = "CVImageBufferICCProfile";
const std::string kCVImageBufferColorPrimaries_ITU_R_709_2 = "ITU_R_709_2";
const std::string kCVImageBufferTransferFunction_ITU_R_709_2 = "ITU_R_709_2";
const std::string kCVImageBufferYCbCrMatrix_ITU_R_709_2 = "ITU_R_709_2";

bool isSupportedPixelFormat(OSType format)
{
    return format == PixelFormatType_32ARGB || format == PixelFormatType_32BGRA || detail::isPlanarFormat(format);
}

std::string pixelFormatName(OSType format)
{
    if (format == PixelFormatType_32ARGB)
        return "32ARGB";
    std::string s;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const char c = static_cast<char>((format >> shift) & 0xff);
        s += (c >= 0x20 && c < 0x7f) ? c : '?';
    }
    return s;
}

namespace detail {

bool isPlanarFormat(OSType format)
{
    return format == PixelFormatType_420YpCbCr8BiPlanarVideoRange ||
           format == PixelFormatType_420YpCbCr8BiPlanarFullRange ||
           format == PixelFormatType_420YpCbCr8PlanarVideoRange || format == PixelFormatType_422YpCbCr10PlanarVideoRange;
}

// Geometry of every plane; packed formats have one entry. Sizes are checked against overflow
// so that absurd dimensions fail instead of wrapping around.
bool computeLayout(size_t width, size_t height, OSType format, size_t alignment, std::vector<PlaneLayout>& out,
                   size_t& totalBytes)
{
    out.clear();
    totalBytes = 0;
    if (width == 0 || height == 0 || !isSupportedPixelFormat(format))
        return false;
    if (alignment == 0 || (alignment & (alignment - 1)) != 0)
        return false;
    // Keeps width * height * 4 and the row arithmetic far from size_t overflow.
    constexpr size_t kMaxSide = size_t(1) << 20;
    if (width > kMaxSide || height > kMaxSide)
        return false;
    auto align = [alignment](size_t n) { return (n + alignment - 1) & ~(alignment - 1); };
    const size_t cw = (width + 1) / 2, ch = (height + 1) / 2;
    if (format == PixelFormatType_420YpCbCr8PlanarVideoRange) {
        out.push_back({0, align(width), width, height, 1});
        out.push_back({0, align(cw), cw, ch, 1});
        out.push_back({0, align(cw), cw, ch, 1});
    } else if (format == PixelFormatType_422YpCbCr10PlanarVideoRange) {
        out.push_back({0, align(width * 2), width, height, 2});
        out.push_back({0, align(cw * 2), cw, height, 2});
        out.push_back({0, align(cw * 2), cw, height, 2});
    } else if (isPlanarFormat(format)) {
        out.push_back({0, align(width), width, height, 1});
        out.push_back({0, align(cw * 2), cw, ch, 2});
    } else {
        out.push_back({0, align(width * 4), width, height, 4});
    }
    size_t offset = 0;
    for (auto& p : out) {
        p.offset = offset;
        offset += align(p.bytesPerRow * p.height);
    }
    totalBytes = offset;
    return true;
}

} // namespace detail

namespace {

void* allocateAligned(size_t bytes, size_t alignment)
{
    const size_t a = alignment < 64 ? 64 : alignment;
    const size_t rounded = (bytes + a - 1) & ~(a - 1);
    return std::aligned_alloc(a, rounded);
}

void setResult(PixelBufferReturn* result, PixelBufferReturn value)
{
    if (result)
        *result = value;
}

PixelBufferReturn layoutError(size_t width, size_t height, OSType format)
{
    if (!isSupportedPixelFormat(format))
        return ReturnInvalidPixelFormat;
    if (width == 0 || height == 0)
        return ReturnInvalidSize;
    return ReturnInvalidArgument;
}

} // namespace

struct PixelBufferFactory {
    // A buffer over memory whose layout is already known; `release` frees it.
    static std::shared_ptr<PixelBuffer> make(size_t width, size_t height, OSType format,
                                             const std::vector<detail::PlaneLayout>& layout,
                                             const std::vector<void*>& bases, PixelBuffer::ReleaseCallback release,
                                             const PixelBufferAttributes& attributes)
    {
        std::shared_ptr<PixelBuffer> buffer(new PixelBuffer());
        buffer->m_width = width;
        buffer->m_height = height;
        buffer->m_format = format;
        for (size_t i = 0; i < layout.size(); ++i)
            buffer->m_planes.push_back({bases[i], layout[i].bytesPerRow, layout[i].width, layout[i].height,
                                        layout[i].bytesPerPixel});
        buffer->m_release = std::move(release);
        buffer->m_propagated = attributes.propagatedAttachments;
        buffer->m_notPropagated = attributes.nonPropagatedAttachments;
        return buffer;
    }
};

std::shared_ptr<PixelBuffer> detail::makePixelBuffer(size_t width, size_t height, OSType format,
                                                     const std::vector<PlaneLayout>& layout, uint8_t* memory,
                                                     PixelBuffer::ReleaseCallback release,
                                                     const PixelBufferAttributes& attributes)
{
    std::vector<void*> bases;
    for (const auto& p : layout)
        bases.push_back(memory + p.offset);
    return PixelBufferFactory::make(width, height, format, layout, bases, std::move(release), attributes);
}

std::shared_ptr<PixelBuffer> PixelBuffer::create(size_t width, size_t height, OSType format,
                                                 const PixelBufferAttributes& attributes, PixelBufferReturn* result)
{
    std::vector<detail::PlaneLayout> layout;
    size_t total = 0;
    if (!detail::computeLayout(width, height, format, attributes.bytesPerRowAlignment, layout, total)) {
        setResult(result, layoutError(width, height, format));
        return nullptr;
    }
    auto* memory = static_cast<uint8_t*>(allocateAligned(total, attributes.bytesPerRowAlignment));
    if (!memory) {
        setResult(result, ReturnAllocationFailed);
        return nullptr;
    }
    std::memset(memory, 0, total);
    setResult(result, ReturnSuccess);
    return detail::makePixelBuffer(width, height, format, layout, memory, [memory] { std::free(memory); }, attributes);
}

std::shared_ptr<PixelBuffer> PixelBuffer::createWithBytes(size_t width, size_t height, OSType format, void* baseAddress,
                                                          size_t bytesPerRow, ReleaseCallback release,
                                                          const PixelBufferAttributes& attributes,
                                                          PixelBufferReturn* result)
{
    if (detail::isPlanarFormat(format)) {
        setResult(result, ReturnInvalidPixelFormat);
        return nullptr;
    }
    return createWithPlanarBytes(width, height, format, {{baseAddress, bytesPerRow}}, std::move(release), attributes,
                                 result);
}

std::shared_ptr<PixelBuffer> PixelBuffer::createWithPlanarBytes(size_t width, size_t height, OSType format,
                                                                const std::vector<PlaneBytes>& planes,
                                                                ReleaseCallback release,
                                                                const PixelBufferAttributes& attributes,
                                                                PixelBufferReturn* result)
{
    std::vector<detail::PlaneLayout> layout;
    size_t total = 0;
    // Caller memory need not follow our alignment; only the row lengths must hold the pixels.
    if (!detail::computeLayout(width, height, format, 1, layout, total)) {
        setResult(result, layoutError(width, height, format));
        return nullptr;
    }
    if (planes.size() != layout.size()) {
        setResult(result, ReturnInvalidArgument);
        return nullptr;
    }
    std::vector<void*> bases;
    for (size_t i = 0; i < planes.size(); ++i) {
        if (!planes[i].baseAddress || planes[i].bytesPerRow < layout[i].width * layout[i].bytesPerPixel) {
            setResult(result, ReturnInvalidArgument);
            return nullptr;
        }
        layout[i].bytesPerRow = planes[i].bytesPerRow;
        bases.push_back(planes[i].baseAddress);
    }
    setResult(result, ReturnSuccess);
    return PixelBufferFactory::make(width, height, format, layout, bases, std::move(release), attributes);
}

PixelBuffer::~PixelBuffer()
{
    if (m_release)
        m_release();
}

bool PixelBuffer::isPlanar() const { return detail::isPlanarFormat(m_format); }

size_t PixelBuffer::planeCount() const { return isPlanar() ? m_planes.size() : 0; }

void* PixelBuffer::baseAddressOfPlane(size_t plane) const
{
    return isPlanar() && plane < m_planes.size() ? m_planes[plane].baseAddress : nullptr;
}

size_t PixelBuffer::bytesPerRowOfPlane(size_t plane) const
{
    return isPlanar() && plane < m_planes.size() ? m_planes[plane].bytesPerRow : 0;
}

size_t PixelBuffer::widthOfPlane(size_t plane) const
{
    return isPlanar() && plane < m_planes.size() ? m_planes[plane].width : 0;
}

size_t PixelBuffer::heightOfPlane(size_t plane) const
{
    return isPlanar() && plane < m_planes.size() ? m_planes[plane].height : 0;
}

size_t PixelBuffer::bytesPerPixelOfPlane(size_t plane) const
{
    return plane < m_planes.size() ? m_planes[plane].bytesPerPixel : 0;
}

PixelBufferReturn PixelBuffer::lockBaseAddress(uint32_t flags)
{
    std::lock_guard lock(m_mutex);
    ++m_lockCount;
    if (flags & PixelBufferLockReadOnly)
        ++m_readOnlyLockCount;
    return ReturnSuccess;
}

PixelBufferReturn PixelBuffer::unlockBaseAddress(uint32_t flags)
{
    std::lock_guard lock(m_mutex);
    const bool readOnly = flags & PixelBufferLockReadOnly;
    if (m_lockCount == 0 || (readOnly && m_readOnlyLockCount == 0) ||
        (!readOnly && m_lockCount == m_readOnlyLockCount))
        return ReturnInvalidArgument;
    --m_lockCount;
    if (readOnly)
        --m_readOnlyLockCount;
    return ReturnSuccess;
}

bool PixelBuffer::isLocked() const
{
    std::lock_guard lock(m_mutex);
    return m_lockCount > 0;
}

void PixelBuffer::setAttachment(const std::string& key, const AttachmentValue& value, AttachmentMode mode)
{
    std::lock_guard lock(m_mutex);
    // A key lives in one mode at a time; attaching again moves it.
    if (mode == AttachmentMode::ShouldPropagate) {
        m_notPropagated.erase(key);
        m_propagated[key] = value;
    } else {
        m_propagated.erase(key);
        m_notPropagated[key] = value;
    }
}

std::shared_ptr<const AttachmentValue> PixelBuffer::attachment(const std::string& key, AttachmentMode* mode) const
{
    std::lock_guard lock(m_mutex);
    if (auto it = m_propagated.find(key); it != m_propagated.end()) {
        if (mode)
            *mode = AttachmentMode::ShouldPropagate;
        return std::make_shared<const AttachmentValue>(it->second);
    }
    if (auto it = m_notPropagated.find(key); it != m_notPropagated.end()) {
        if (mode)
            *mode = AttachmentMode::ShouldNotPropagate;
        return std::make_shared<const AttachmentValue>(it->second);
    }
    return nullptr;
}

void PixelBuffer::removeAttachment(const std::string& key)
{
    std::lock_guard lock(m_mutex);
    m_propagated.erase(key);
    m_notPropagated.erase(key);
}

void PixelBuffer::removeAllAttachments()
{
    std::lock_guard lock(m_mutex);
    m_propagated.clear();
    m_notPropagated.clear();
}

Attachments PixelBuffer::attachments(AttachmentMode mode) const
{
    std::lock_guard lock(m_mutex);
    return mode == AttachmentMode::ShouldPropagate ? m_propagated : m_notPropagated;
}

void PixelBuffer::setAttachments(const Attachments& attachments, AttachmentMode mode)
{
    for (const auto& [key, value] : attachments)
        setAttachment(key, value, mode);
}

void PixelBuffer::propagateAttachments(PixelBuffer& destination) const
{
    if (&destination == this)
        return;
    destination.setAttachments(attachments(AttachmentMode::ShouldPropagate), AttachmentMode::ShouldPropagate);
}

bool PixelBuffer::hasColorSpace() const
{
    std::lock_guard lock(m_mutex);
    auto has = [this](const std::string& key) { return m_propagated.count(key) || m_notPropagated.count(key); };
    return has(kCVImageBufferICCProfileKey) || (has(kCVImageBufferColorPrimariesKey) && has(kCVImageBufferTransferFunctionKey));
}

} // namespace media
