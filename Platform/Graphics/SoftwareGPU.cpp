#include "Platform/Graphics/SoftwareGPU.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

namespace graphics::gpu {

const std::string GPUErrorDomain = "GPUErrorDomain";

namespace {

const std::array<float, 256>& sRGBToLinear()
{
    static const std::array<float, 256> table = [] {
        std::array<float, 256> t {};
        for (int i = 0; i < 256; ++i) {
            const double c = i / 255.0;
            t[size_t(i)] = float(c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4));
        }
        return t;
    }();
    return table;
}

uint8_t toByte(float v)
{
    return uint8_t(std::lround(std::clamp(v, 0.0f, 1.0f) * 255.0f));
}

float linearToSRGB(float v)
{
    v = std::clamp(v, 0.0f, 1.0f);
    return v <= 0.0031308f ? v * 12.92f : float(1.055 * std::pow(double(v), 1.0 / 2.4) - 0.055);
}

std::mutex& librariesMutex()
{
    static std::mutex m;
    return m;
}

std::map<std::string, LibraryPtr>& libraries()
{
    static std::map<std::string, LibraryPtr> l;
    return l;
}

float factor(BlendFactor f, float sourceAlpha)
{
    switch (f) {
    case BlendFactor::zero: return 0;
    case BlendFactor::one: return 1;
    case BlendFactor::sourceAlpha: return sourceAlpha;
    case BlendFactor::oneMinusSourceAlpha: return 1 - sourceAlpha;
    }
    return 1;
}

Float4 blend(const ColorAttachmentDescriptor& a, const Float4& src, const Float4& dst)
{
    if (!a.blendingEnabled)
        return src;
    Float4 out {};
    // As on the platform, the maximum operation ignores the blend factors.
    for (int c = 0; c < 3; ++c) {
        out[size_t(c)] = a.rgbBlendOperation == BlendOperation::max
            ? std::max(src[size_t(c)], dst[size_t(c)])
            : src[size_t(c)] * factor(a.sourceRGBBlendFactor, src[3]) + dst[size_t(c)] * factor(a.destinationRGBBlendFactor, src[3]);
    }
    out[3] = a.alphaBlendOperation == BlendOperation::max
        ? std::max(src[3], dst[3])
        : src[3] * factor(a.sourceAlphaBlendFactor, src[3]) + dst[3] * factor(a.destinationAlphaBlendFactor, src[3]);
    return out;
}

struct ScreenVertex {
    double x, y; // pixels, y down
    VertexOut out;
};

bool isTopLeft(const ScreenVertex& a, const ScreenVertex& b)
{
    const double dy = b.y - a.y, dx = b.x - a.x;
    return dy > 0 || (dy == 0 && dx < 0);
}

double edge(const ScreenVertex& a, const ScreenVertex& b, double px, double py)
{
    return (px - a.x) * (b.y - a.y) - (py - a.y) * (b.x - a.x);
}

void rasterize(const RenderPipelineState& pipeline, const Bindings& bindings, CullMode cull, const std::array<VertexOut, 3>& v,
               Texture& target)
{
    // Facing in clip space (y up): clockwise is the front.
    const double clipArea = (double(v[1].position[0]) - v[0].position[0]) * (double(v[2].position[1]) - v[0].position[1])
        - (double(v[1].position[1]) - v[0].position[1]) * (double(v[2].position[0]) - v[0].position[0]);
    const bool clockwise = clipArea < 0;
    if (clipArea == 0 || (cull == CullMode::back && !clockwise) || (cull == CullMode::front && clockwise))
        return;
    const double W = double(target.width()), H = double(target.height());
    std::array<ScreenVertex, 3> s;
    for (size_t i = 0; i < 3; ++i) {
        const double w = v[i].position[3] != 0 ? v[i].position[3] : 1;
        s[i] = {(v[i].position[0] / w + 1) / 2 * W, (1 - v[i].position[1] / w) / 2 * H, v[i]};
    }
    // Put the corners in the order that makes the inside positive.
    double area = edge(s[0], s[1], s[2].x, s[2].y);
    if (area < 0) {
        std::swap(s[1], s[2]);
        area = -area;
    }
    const double minX = std::max(0.0, std::floor(std::min({s[0].x, s[1].x, s[2].x})));
    const double maxX = std::min(W, std::ceil(std::max({s[0].x, s[1].x, s[2].x})));
    const double minY = std::max(0.0, std::floor(std::min({s[0].y, s[1].y, s[2].y})));
    const double maxY = std::min(H, std::ceil(std::max({s[0].y, s[1].y, s[2].y})));
    const ColorAttachmentDescriptor& attachment = pipeline.descriptor.colorAttachment;
    for (double y = minY; y < maxY; ++y) {
        for (double x = minX; x < maxX; ++x) {
            const double px = x + 0.5, py = y + 0.5;
            const double w0 = edge(s[1], s[2], px, py);
            const double w1 = edge(s[2], s[0], px, py);
            const double w2 = edge(s[0], s[1], px, py);
            auto inside = [](double w, const ScreenVertex& a, const ScreenVertex& b) { return w > 0 || (w == 0 && isTopLeft(a, b)); };
            if (!inside(w0, s[1], s[2]) || !inside(w1, s[2], s[0]) || !inside(w2, s[0], s[1]))
                continue;
            const double b0 = w0 / area, b1 = w1 / area, b2 = w2 / area;
            VertexOut f;
            for (size_t k = 0; k < 4; ++k)
                f.position[k] = float(b0 * s[0].out.position[k] + b1 * s[1].out.position[k] + b2 * s[2].out.position[k]);
            for (size_t k = 0; k < f.varyings.size(); ++k)
                f.varyings[k] = float(b0 * s[0].out.varyings[k] + b1 * s[1].out.varyings[k] + b2 * s[2].out.varyings[k]);
            const Float4 color = pipeline.fragmentFunction(f, {float(px), float(py)}, bindings);
            const size_t tx = size_t(x), ty = size_t(y);
            target.write(tx, ty, blend(attachment, color, target.read(tx, ty)));
        }
    }
}

uint32_t indexAt(const std::vector<uint8_t>& bytes, size_t offset, IndexType type, size_t i, bool& ok)
{
    const size_t size = type == IndexType::uint16 ? 2 : 4;
    const size_t at = offset + i * size;
    if (at + size > bytes.size()) {
        ok = false;
        return 0;
    }
    if (type == IndexType::uint16) {
        uint16_t v;
        std::memcpy(&v, bytes.data() + at, 2);
        return v;
    }
    uint32_t v;
    std::memcpy(&v, bytes.data() + at, 4);
    return v;
}

} // namespace

// ---- texture --------------------------------------------------------------------------------------

Texture::Texture(size_t width, size_t height, PixelFormat format)
    : m_width(width), m_height(height), m_format(format), m_bytes(width * height * 4, 0)
{
}

Float4 Texture::read(size_t x, size_t y) const
{
    const uint8_t* p = &m_bytes[(y * m_width + x) * 4];
    if (m_format == PixelFormat::bgra8Unorm_sRGB) {
        const auto& lut = sRGBToLinear();
        return {lut[p[2]], lut[p[1]], lut[p[0]], p[3] / 255.0f};
    }
    return {p[2] / 255.0f, p[1] / 255.0f, p[0] / 255.0f, p[3] / 255.0f};
}

void Texture::write(size_t x, size_t y, const Float4& c)
{
    uint8_t* p = &m_bytes[(y * m_width + x) * 4];
    const bool srgb = m_format == PixelFormat::bgra8Unorm_sRGB;
    auto encode = [srgb](float v) { return toByte(srgb ? linearToSRGB(v) : v); };
    p[0] = encode(c[2]);
    p[1] = encode(c[1]);
    p[2] = encode(c[0]);
    p[3] = toByte(c[3]);
}

Float4 Texture::sample(float u, float v, SamplerFilter filter) const
{
    if (m_width == 0 || m_height == 0)
        return {0, 0, 0, 0};
    const float fx = u * float(m_width) - 0.5f, fy = v * float(m_height) - 0.5f;
    auto clampX = [this](long i) { return size_t(std::clamp<long>(i, 0, long(m_width) - 1)); };
    auto clampY = [this](long i) { return size_t(std::clamp<long>(i, 0, long(m_height) - 1)); };
    if (filter == SamplerFilter::nearest)
        return read(clampX(std::lround(fx)), clampY(std::lround(fy)));
    const long x0 = long(std::floor(fx)), y0 = long(std::floor(fy));
    const float ax = fx - float(x0), ay = fy - float(y0);
    const Float4 a = read(clampX(x0), clampY(y0)), b = read(clampX(x0 + 1), clampY(y0));
    const Float4 c = read(clampX(x0), clampY(y0 + 1)), d = read(clampX(x0 + 1), clampY(y0 + 1));
    Float4 out {};
    for (size_t k = 0; k < 4; ++k)
        out[k] = (a[k] * (1 - ax) + b[k] * ax) * (1 - ay) + (c[k] * (1 - ax) + d[k] * ax) * ay;
    return out;
}

// ---- library and device ---------------------------------------------------------------------------

std::optional<VertexFunction> Library::vertexFunction(const std::string& name) const
{
    auto it = m_vertex.find(name);
    return it == m_vertex.end() ? std::nullopt : std::optional(it->second);
}

std::optional<FragmentFunction> Library::fragmentFunction(const std::string& name) const
{
    auto it = m_fragment.find(name);
    return it == m_fragment.end() ? std::nullopt : std::optional(it->second);
}

void registerDefaultLibrary(const std::string& bundleIdentifier, LibraryPtr library)
{
    std::lock_guard lock(librariesMutex());
    libraries()[bundleIdentifier] = std::move(library);
}

std::shared_ptr<Device> Device::createSystemDefaultDevice()
{
    return std::make_shared<Device>();
}

LibraryPtr Device::newDefaultLibraryWithBundle(const std::string& bundleIdentifier, foundation::ErrorPtr* error) const
{
    std::lock_guard lock(librariesMutex());
    auto it = libraries().find(bundleIdentifier);
    if (it == libraries().end()) {
        if (error)
            *error = foundation::Error::make(GPUErrorDomain, GPUNoDefaultLibrary,
                                             "The bundle \"" + bundleIdentifier + "\" has no default shader library.");
        return nullptr;
    }
    return it->second;
}

RenderPipelineStatePtr Device::newRenderPipelineState(const RenderPipelineDescriptor& descriptor, const Library& library,
                                                      foundation::ErrorPtr* error) const
{
    auto vertex = library.vertexFunction(descriptor.vertexFunctionName);
    auto fragment = library.fragmentFunction(descriptor.fragmentFunctionName);
    if (!vertex || !fragment) {
        if (error)
            *error = foundation::Error::make(GPUErrorDomain, GPUFunctionNotFound,
                                             "The pipeline \"" + descriptor.label + "\" names a function the library doesn't have.");
        return nullptr;
    }
    auto state = std::make_shared<RenderPipelineState>();
    state->descriptor = descriptor;
    state->vertexFunction = std::move(*vertex);
    state->fragmentFunction = std::move(*fragment);
    return state;
}

SamplerState Device::newSamplerState(const SamplerDescriptor& descriptor) const
{
    return std::make_shared<const SamplerDescriptor>(descriptor);
}

BufferPtr Device::newBuffer(const void* bytes, size_t length, unsigned) const
{
    const auto* p = static_cast<const uint8_t*>(bytes);
    return std::make_shared<Buffer>(std::vector<uint8_t>(p, p + length));
}

TexturePtr Device::newTexture(size_t width, size_t height, PixelFormat format) const
{
    return std::make_shared<Texture>(width, height, format);
}

// ---- command buffers ------------------------------------------------------------------------------

std::shared_ptr<RenderCommandEncoder> CommandBuffer::renderCommandEncoderWithDescriptor(const RenderPassDescriptor& descriptor)
{
    m_passes.push_back({descriptor, {}});
    if (descriptor.texture && descriptor.loadAction == LoadAction::clear) {
        TexturePtr texture = descriptor.texture;
        const Float4 clear = descriptor.clearColor;
        m_work.push_back([texture, clear] {
            for (size_t y = 0; y < texture->height(); ++y)
                for (size_t x = 0; x < texture->width(); ++x)
                    texture->write(x, y, clear);
        });
    }
    return std::make_shared<RenderCommandEncoder>(*this, m_passes.size() - 1);
}

void CommandBuffer::commit()
{
    auto work = std::move(m_work);
    m_work.clear();
    for (auto& w : work)
        w();
}

RenderCommandEncoder::RenderCommandEncoder(CommandBuffer& buffer, size_t pass) : m_buffer(buffer), m_pass(pass)
{
}

RecordedPass& RenderCommandEncoder::pass()
{
    return m_buffer.m_passes[m_pass];
}

void RenderCommandEncoder::setRenderPipelineState(const RenderPipelineStatePtr& state)
{
    m_pipeline = state;
    pass().commands.push_back(SetRenderPipelineState {state ? state->descriptor.label : std::string()});
}

void RenderCommandEncoder::setCullMode(CullMode mode)
{
    m_cull = mode;
    pass().commands.push_back(SetCullMode {mode});
}

void RenderCommandEncoder::setVertexBuffer(const BufferPtr& buffer, size_t offset, int index)
{
    const auto& bytes = buffer->contents();
    m_bindings.vertexBuffers[index] = std::vector<uint8_t>(bytes.begin() + std::ptrdiff_t(std::min(offset, bytes.size())), bytes.end());
    pass().commands.push_back(SetVertexBuffer {index, buffer->length(), offset});
}

void RenderCommandEncoder::setVertexBytes(const void* bytes, size_t length, int index)
{
    const auto* p = static_cast<const uint8_t*>(bytes);
    m_bindings.vertexBuffers[index] = std::vector<uint8_t>(p, p + length);
    pass().commands.push_back(SetVertexBytes {index, std::vector<uint8_t>(p, p + length)});
}

void RenderCommandEncoder::setFragmentTexture(const TexturePtr& texture, int index)
{
    m_bindings.fragmentTextures[index] = texture;
    pass().commands.push_back(SetFragmentTexture {index});
}

void RenderCommandEncoder::setFragmentSamplerState(const SamplerState& sampler, int index)
{
    m_bindings.fragmentSamplers[index] = sampler;
    pass().commands.push_back(SetFragmentSamplerState {index});
}

void RenderCommandEncoder::drawIndexedPrimitives(size_t indexCount, IndexType indexType, const BufferPtr& indexBuffer,
                                                 size_t indexBufferOffset, size_t instanceCount)
{
    pass().commands.push_back(DrawIndexedPrimitives {indexCount, indexType, indexBufferOffset, instanceCount});
    const TexturePtr target = pass().descriptor.texture;
    if (!target || !m_pipeline || !indexBuffer)
        return;
    m_buffer.m_work.push_back([pipeline = m_pipeline, bindings = m_bindings, cull = m_cull, indices = indexBuffer->contents(),
                               indexCount, indexType, indexBufferOffset, instanceCount, target] {
        for (size_t instance = 0; instance < instanceCount; ++instance) {
            for (size_t i = 0; i + 2 < indexCount; i += 3) {
                std::array<VertexOut, 3> v;
                bool ok = true;
                for (size_t k = 0; k < 3; ++k)
                    v[k] = pipeline->vertexFunction(indexAt(indices, indexBufferOffset, indexType, i + k, ok), uint32_t(instance),
                                                    bindings);
                if (!ok)
                    return;
                rasterize(*pipeline, bindings, cull, v, *target);
            }
        }
    });
}

void RenderCommandEncoder::endEncoding()
{
    m_ended = true;
}

} // namespace graphics::gpu
