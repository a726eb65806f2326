#include "Platform/Media/AssetWriterInputPixelBufferAdaptor.h"

#include "Platform/Media/AssetWriterInternal.h"
#include "Platform/Media/FrameConverter.h"
#include "Platform/Media/VideoSettings.h"

namespace media {

std::shared_ptr<AssetWriterInputPixelBufferAdaptor>
AssetWriterInputPixelBufferAdaptor::assetWriterInputPixelBufferAdaptorWithAssetWriterInput(
    const AssetWriterInputPtr& input, const foundation::Value& attributes)
{
    if (!input)
        throw foundation::Exception(foundation::NSInvalidArgumentException, "An adaptor needs an input");
    OSType format = PixelFormatType_32BGRA;
    if (const auto* f = attributes.find(kCVPixelBufferPixelFormatTypeKey)) {
        const auto n = f->integerValue();
        if (!n || *n < 0 || *n > 0xffffffffLL || detail::avPixelFormat(static_cast<OSType>(*n)) == AV_PIX_FMT_NONE)
            throw foundation::Exception(foundation::NSInvalidArgumentException,
                                        "Unsupported pixel format in the adaptor's attributes");
        format = static_cast<OSType>(*n);
    }
    auto dimension = [&](const std::string& key) {
        const auto* v = attributes.find(key);
        const auto n = v ? v->integerValue() : std::nullopt;
        return n && *n > 0 && *n <= 16384 ? static_cast<int>(*n) : 0;
    };
    auto& impl = input->impl();
    if (detail::inputWriterHasStarted(impl))
        throw foundation::Exception(foundation::NSInvalidArgumentException,
                                    "Cannot make an adaptor for an input whose writer has started");
    {
        std::lock_guard lock(impl.mutex);
        impl.wantsPool = true;
        impl.poolFormat = format;
        impl.poolWidth = dimension(kCVPixelBufferWidthKey);
        impl.poolHeight = dimension(kCVPixelBufferHeightKey);
    }
    std::shared_ptr<AssetWriterInputPixelBufferAdaptor> adaptor(new AssetWriterInputPixelBufferAdaptor);
    adaptor->m_input = input;
    adaptor->m_attributes = attributes;
    return adaptor;
}

PixelBufferPoolPtr AssetWriterInputPixelBufferAdaptor::pixelBufferPool() const
{
    auto& impl = m_input->impl();
    std::lock_guard lock(impl.mutex);
    return impl.pool;
}

bool AssetWriterInputPixelBufferAdaptor::appendPixelBuffer(const PixelBufferPtr& buffer, const Time& presentationTime)
{
    return detail::appendToInput(m_input->impl(), buffer, presentationTime, Time::invalid());
}

} // namespace media
