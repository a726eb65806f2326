#pragma once
// An image in memory that frames travel in: packed RGB or bi-planar 4:2:0 Y'CbCr, rows aligned
// to 64 bytes, with attachments (colour tags, ICC profile) that can propagate to derived
// buffers. Owned by shared_ptr; the memory goes (or returns to its pool) with the last
// reference. Attachments are guarded by a lock; pixels are the holder's business.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

namespace media {

using OSType = uint32_t;

constexpr OSType fourCC(const char (&s)[5])
{
    return (OSType(uint8_t(s[0])) << 24) | (OSType(uint8_t(s[1])) << 16) | (OSType(uint8_t(s[2])) << 8) |
           OSType(uint8_t(s[3]));
}

// Pixel formats, with the platform's codes.
constexpr OSType PixelFormatType_32ARGB = 32;             // bytes A(or X) R G B
constexpr OSType PixelFormatType_32BGRA = fourCC("BGRA"); // bytes B G R A
constexpr OSType PixelFormatType_420YpCbCr8BiPlanarVideoRange = fourCC("420v"); // 875704438
constexpr OSType PixelFormatType_420YpCbCr8BiPlanarFullRange = fourCC("420f");  // 875704422
// Three planes (Y', Cb, Cr), 4:2:0, 8 bits, video range: what the H.264 and HEVC encoders take.
constexpr OSType PixelFormatType_420YpCbCr8PlanarVideoRange = fourCC("y420");
// Three planes (Y', Cb, Cr), 4:2:2, 10 bits in the low bits of little-endian 16-bit samples,
// video range: what the ProRes 422 encoder takes. Our own code; the platform has none.
constexpr OSType PixelFormatType_422YpCbCr10PlanarVideoRange = fourCC("y2aL");

bool isSupportedPixelFormat(OSType format);
// "32ARGB", "BGRA", "420v", ... for messages.
std::string pixelFormatName(OSType format);

// Results of pixel-buffer calls, with the platform's codes.
enum PixelBufferReturn : int32_t {
    ReturnSuccess = 0,
    ReturnError = -6660,
    ReturnInvalidArgument = -6661,
    ReturnAllocationFailed = -6662,
    ReturnInvalidPixelFormat = -6680,
    ReturnInvalidSize = -6681,
};

// Attachment values: text (the colour-tag constants), bytes (ICC profiles), numbers, flags.
using AttachmentValue = std::variant<std::string, std::vector<uint8_t>, int64_t, double, bool>;
using Attachments = std::map<std::string, AttachmentValue>;

enum class AttachmentMode {
    ShouldNotPropagate = 0,
    ShouldPropagate = 1,
};

extern const std::string kCVImageBufferColorPrimariesKey;     // "CVImageBufferColorPrimaries"
extern const std::string kCVImageBufferTransferFunctionKey;   // "CVImageBufferTransferFunction"
extern const std::string kCVImageBufferYCbCrMatrixKey;        // "CVImageBufferYCbCrMatrix"
extern const std::string kCVImageBufferICCProfileKey;         // "CVImageBufferICCProfile"
extern const std::string kCVImageBufferColorPrimaries_ITU_R_709_2;   // "ITU_R_709_2"
extern const std::string kCVImageBufferTransferFunction_ITU_R_709_2; // "ITU_R_709_2"
extern const std::string kCVImageBufferYCbCrMatrix_ITU_R_709_2;      // "ITU_R_709_2"

enum PixelBufferLockFlags : uint32_t {
    PixelBufferLockReadOnly = 1,
};

struct PixelBufferAttributes {
    // Rows (of every plane) start on multiples of this; a power of two, at least 1.
    size_t bytesPerRowAlignment = 64;
    Attachments propagatedAttachments;
    Attachments nonPropagatedAttachments;
};

// Memory handed in by the caller for one plane.
struct PlaneBytes {
    void* baseAddress = nullptr;
    size_t bytesPerRow = 0;
};

class PixelBuffer {
public:
    using ReleaseCallback = std::function<void()>;

    // A new buffer with fresh, zeroed memory; nullptr for a zero size or unknown format.
    static std::shared_ptr<PixelBuffer> create(size_t width, size_t height, OSType format,
                                               const PixelBufferAttributes& attributes = {},
                                               PixelBufferReturn* result = nullptr);
    // Wraps the caller's memory of a packed format without copying. `release` runs exactly once,
    // when the buffer goes. On failure nothing is wrapped, `release` is not called and the
    // memory stays the caller's.
    static std::shared_ptr<PixelBuffer> createWithBytes(size_t width, size_t height, OSType format, void* baseAddress,
                                                        size_t bytesPerRow, ReleaseCallback release,
                                                        const PixelBufferAttributes& attributes = {},
                                                        PixelBufferReturn* result = nullptr);
    // The same for a planar format: one PlaneBytes per plane.
    static std::shared_ptr<PixelBuffer> createWithPlanarBytes(size_t width, size_t height, OSType format,
                                                              const std::vector<PlaneBytes>& planes,
                                                              ReleaseCallback release,
                                                              const PixelBufferAttributes& attributes = {},
                                                              PixelBufferReturn* result = nullptr);
    ~PixelBuffer();
    PixelBuffer(const PixelBuffer&) = delete;
    PixelBuffer& operator=(const PixelBuffer&) = delete;

    size_t width() const { return m_width; }
    size_t height() const { return m_height; }
    OSType pixelFormatType() const { return m_format; }
    bool isPlanar() const;
    // 0 for packed formats, as the platform counts.
    size_t planeCount() const;

    // Packed formats: the pixels; planar formats: the first plane.
    void* baseAddress() const { return m_planes.empty() ? nullptr : m_planes[0].baseAddress; }
    size_t bytesPerRow() const { return m_planes.empty() ? 0 : m_planes[0].bytesPerRow; }
    void* baseAddressOfPlane(size_t plane) const;
    size_t bytesPerRowOfPlane(size_t plane) const;
    size_t widthOfPlane(size_t plane) const;
    size_t heightOfPlane(size_t plane) const;
    // Bytes per pixel of a packed format, or of a plane.
    size_t bytesPerPixelOfPlane(size_t plane) const;

    // Locks nest and must be balanced with the same flags; an unmatched unlock is an error.
    PixelBufferReturn lockBaseAddress(uint32_t flags = 0);
    PixelBufferReturn unlockBaseAddress(uint32_t flags = 0);
    bool isLocked() const;

    void setAttachment(const std::string& key, const AttachmentValue& value, AttachmentMode mode);
    // The value and (through `mode`) how it was attached, or nullptr.
    std::shared_ptr<const AttachmentValue> attachment(const std::string& key, AttachmentMode* mode = nullptr) const;
    void removeAttachment(const std::string& key);
    void removeAllAttachments();
    Attachments attachments(AttachmentMode mode) const;
    void setAttachments(const Attachments& attachments, AttachmentMode mode);
    // Copies this buffer's propagating attachments onto `destination`.
    void propagateAttachments(PixelBuffer& destination) const;
    // Whether the attachments name a colour space: an ICC profile, or primaries with a
    // transfer function.
    bool hasColorSpace() const;

private:
    struct Plane {
        void* baseAddress = nullptr;
        size_t bytesPerRow = 0;
        size_t width = 0;
        size_t height = 0;
        size_t bytesPerPixel = 0;
    };
    PixelBuffer() = default;
    friend class PixelBufferPool;
    friend struct PixelBufferFactory;

    size_t m_width = 0;
    size_t m_height = 0;
    OSType m_format = 0;
    std::vector<Plane> m_planes;
    ReleaseCallback m_release;

    mutable std::mutex m_mutex;
    Attachments m_propagated;
    Attachments m_notPropagated;
    int m_lockCount = 0;
    int m_readOnlyLockCount = 0;
};

using PixelBufferPtr = std::shared_ptr<PixelBuffer>;

// Locks a buffer for the scope.
class PixelBufferLock {
public:
    explicit PixelBufferLock(PixelBuffer& buffer, uint32_t flags = 0) : m_buffer(buffer), m_flags(flags)
    {
        m_buffer.lockBaseAddress(m_flags);
    }
    ~PixelBufferLock() { m_buffer.unlockBaseAddress(m_flags); }
    PixelBufferLock(const PixelBufferLock&) = delete;
    PixelBufferLock& operator=(const PixelBufferLock&) = delete;

private:
    PixelBuffer& m_buffer;
    uint32_t m_flags = 0;
};

} // namespace media
