#include "MovaraKit/Editor/BrushSampleRenderer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

#include "MovaraKit/Support/Bundle+Movara.h"

using namespace graphics::gpu;

namespace {

const BrushSampleRenderer::Vertex kQuad[4] = {
    {{-1, -1}, {0, 0}},
    {{-1, 1}, {0, 1}},
    {{1, -1}, {1, 0}},
    {{1, 1}, {1, 1}},
};
const uint16_t kIndices[6] = {0, 1, 2, 2, 1, 3};

template <class T> T readAt(const std::vector<uint8_t>& bytes, size_t offset)
{
    T value {};
    if (offset + sizeof(T) <= bytes.size())
        std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

const std::vector<uint8_t>& bound(const Bindings& b, int index)
{
    static const std::vector<uint8_t> none;
    auto it = b.vertexBuffers.find(index);
    return it == b.vertexBuffers.end() ? none : it->second;
}

// The brush pass: each instance's quad covers its dab; varyings carry the quad's own
// coordinates (-1...1), hardness and opacity.
VertexOut brushSampleVertex(uint32_t vertexID, uint32_t instanceID, const Bindings& b)
{
    const auto vertex = readAt<BrushSampleRenderer::Vertex>(bound(b, 0), vertexID * sizeof(BrushSampleRenderer::Vertex));
    const auto info = readAt<BrushSampleRenderer::QuadInstanceInfo>(bound(b, 1), instanceID * BrushSampleRenderer::instanceStride);
    const float width = readAt<float>(bound(b, 2), 0), height = readAt<float>(bound(b, 2), 4);
    VertexOut out;
    const float px = info.centerX + vertex.position[0] * info.radius;
    // Pixel rows run down while clip space runs up: the quad's y is turned with them, so its
    // triangles keep their (front-facing) winding.
    const float py = info.centerY - vertex.position[1] * info.radius;
    out.position = {width > 0 ? px / width * 2 - 1 : 0, height > 0 ? 1 - py / height * 2 : 0, 0, 1};
    out.varyings = {vertex.position[0], vertex.position[1], info.hardness, info.opacity, 0, 0, 0, 0};
    return out;
}

// Full inside the hardness fraction of the radius, falling smoothly to nothing at the rim;
// written as white with the dab's alpha (a mask), premultiplied.
Float4 brushSampleFragment(const VertexOut& in, const std::array<float, 2>&, const Bindings&)
{
    const float d = std::sqrt(in.varyings[0] * in.varyings[0] + in.varyings[1] * in.varyings[1]);
    const float hardness = std::clamp(in.varyings[2], 0.0f, 1.0f);
    const float opacity = std::clamp(in.varyings[3], 0.0f, 1.0f);
    float coverage = 0;
    if (d <= hardness)
        coverage = 1;
    else if (d < 1) {
        const float t = (d - hardness) / (1 - hardness);
        coverage = 1 - t * t * (3 - 2 * t);
    }
    const float a = coverage * opacity;
    return {a, a, a, a};
}

VertexOut passthroughVertex(uint32_t vertexID, uint32_t, const Bindings& b)
{
    const auto vertex = readAt<BrushSampleRenderer::Vertex>(bound(b, 0), vertexID * sizeof(BrushSampleRenderer::Vertex));
    VertexOut out;
    out.position = {vertex.position[0], vertex.position[1], 0, 1};
    out.varyings = {vertex.texcoord[0], vertex.texcoord[1], 0, 0, 0, 0, 0, 0};
    return out;
}

Float4 sampleTextureFragment(const VertexOut& in, const std::array<float, 2>&, const Bindings& b)
{
    auto texture = b.fragmentTextures.find(0);
    if (texture == b.fragmentTextures.end() || !texture->second)
        return {0, 0, 0, 0};
    auto sampler = b.fragmentSamplers.find(0);
    const SamplerFilter filter = sampler != b.fragmentSamplers.end() && sampler->second ? sampler->second->magFilter
                                                                                        : SamplerFilter::nearest;
    return texture->second->sample(in.varyings[0], in.varyings[1], filter);
}

} // namespace

void mvr_registerBrushShaders()
{
    static std::once_flag once;
    std::call_once(once, [] {
        auto library = std::make_shared<Library>();
        library->addVertexFunction("brushSampleVertexFunction", brushSampleVertex);
        library->addFragmentFunction("brushSampleFragmentFunction", brushSampleFragment);
        library->addVertexFunction("vertexPassthrough", passthroughVertex);
        library->addFragmentFunction("fragmentSampleTexture", sampleTextureFragment);
        registerDefaultLibrary(MVRMovaraKitBundleIdentifier, library);
    });
}

std::unique_ptr<BrushSampleRenderer> BrushSampleRenderer::initWithDevice(const DevicePtr& device, foundation::ErrorPtr* error)
{
    if (!device)
        return nullptr;
    mvr_registerBrushShaders();
    LibraryPtr library = device->newDefaultLibraryWithBundle(MVRMovaraKitBundleIdentifier, error);
    if (!library)
        return nullptr;

    // Brush dabs: an sRGB target, combined by the maximum. Textured quads: a linear target,
    // premultiplied source-over.
    auto brushState = device->newRenderPipelineState(
        {"Shaded brush sample pipeline", "brushSampleVertexFunction", "brushSampleFragmentFunction",
         {PixelFormat::bgra8Unorm_sRGB, true, BlendFactor::sourceAlpha, BlendFactor::oneMinusSourceAlpha, BlendFactor::one,
          BlendFactor::one, BlendOperation::max, BlendOperation::max}},
        *library, error);
    if (!brushState)
        return nullptr;
    auto quadState = device->newRenderPipelineState(
        {"Simple textured quad pipeline", "vertexPassthrough", "fragmentSampleTexture",
         {PixelFormat::bgra8Unorm, true, BlendFactor::one, BlendFactor::oneMinusSourceAlpha, BlendFactor::one,
          BlendFactor::oneMinusSourceAlpha, BlendOperation::add, BlendOperation::add}},
        *library, error);
    if (!quadState)
        return nullptr;

    std::unique_ptr<BrushSampleRenderer> renderer(new BrushSampleRenderer());
    renderer->m_device = device;
    renderer->m_brushSamplePipelineState = std::move(brushState);
    renderer->m_premultipliedSourceOverRenderPipelineState = std::move(quadState);
    SamplerDescriptor sampler;
    sampler.sAddressMode = SamplerAddressMode::clampToEdge;
    sampler.tAddressMode = SamplerAddressMode::clampToEdge;
    sampler.minFilter = SamplerFilter::linear;
    sampler.magFilter = SamplerFilter::linear;
    renderer->m_samplerState = device->newSamplerState(sampler);
    renderer->m_vertexBuffer = device->newBuffer(kQuad, sizeof kQuad, 0);
    renderer->m_indexBuffer = device->newBuffer(kIndices, sizeof kIndices, 0);
    return renderer;
}

std::vector<uint8_t> BrushSampleRenderer::instanceBytes(const std::vector<BrushSample>& samples)
{
    std::vector<uint8_t> bytes(samples.size() * instanceStride, 0);
    for (size_t i = 0; i < samples.size(); ++i) {
        const QuadInstanceInfo info {float(samples[i].point.x), float(samples[i].point.y), float(samples[i].radius),
                                     float(samples[i].hardness), float(samples[i].opacity)};
        std::memcpy(bytes.data() + i * instanceStride, &info, sizeof info);
    }
    return bytes;
}

void BrushSampleRenderer::render(const std::vector<BrushSample>& samples, const TexturePtr& texture,
                                 CommandBuffer& commandBuffer) const
{
    if (samples.empty() || !texture)
        return;
    for (size_t first = 0; first < samples.size(); first += maximumSamplesPerPass) {
        const size_t count = std::min(maximumSamplesPerPass, samples.size() - first);
        const std::vector<BrushSample> batch(samples.begin() + std::ptrdiff_t(first),
                                             samples.begin() + std::ptrdiff_t(first + count));
        RenderPassDescriptor pass;
        pass.texture = texture;
        pass.loadAction = LoadAction::load;
        pass.storeAction = StoreAction::store;
        pass.clearColor = {1, 1, 1, 1};
        auto encoder = commandBuffer.renderCommandEncoderWithDescriptor(pass);
        encoder->setCullMode(CullMode::back);
        encoder->setRenderPipelineState(m_brushSamplePipelineState);
        encoder->setVertexBuffer(m_vertexBuffer, 0, 0);
        const std::vector<uint8_t> instances = instanceBytes(batch);
        encoder->setVertexBytes(instances.data(), instances.size(), 1);
        const float size[2] = {float(texture->width()), float(texture->height())};
        encoder->setVertexBytes(size, sizeof size, 2);
        encoder->drawIndexedPrimitives(6, IndexType::uint16, m_indexBuffer, 0, count);
        encoder->endEncoding();
    }
}

void BrushSampleRenderer::renderTexture(const TexturePtr& texture, RenderCommandEncoder& encoder) const
{
    encoder.setRenderPipelineState(m_premultipliedSourceOverRenderPipelineState);
    encoder.setVertexBuffer(m_vertexBuffer, 0, 0);
    encoder.setFragmentSamplerState(m_samplerState, 0);
    encoder.setFragmentTexture(texture, 0);
    encoder.drawIndexedPrimitives(6, IndexType::uint16, m_indexBuffer, 0, 1);
}
