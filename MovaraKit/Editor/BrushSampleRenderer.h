#pragma once
// Paints brush samples (round soft dabs: centre, radius, hardness, opacity) into a texture,
// and draws a texture over a render target as a full-target quad with premultiplied
// source-over blending. Brush dabs combine with what the target holds by the maximum, so
// painting the same dab twice leaves what painting it once does. The renderer only encodes
// into the command buffers and encoders its caller supplies; it holds no state after it is
// made. Runs on the software GPU; the shader functions are the framework's own.

#include <cstdint>
#include <memory>
#include <vector>

#include "Platform/Foundation/Error.h"
#include "Platform/Graphics/Geometry.h"
#include "Platform/Graphics/SoftwareGPU.h"

struct BrushSample {
    graphics::Point point; // the dab's centre in pixels of the target (x right, y down)
    double radius = 0;
    double hardness = 0;
    double opacity = 0;

    BrushSample(graphics::Point point, double radius, double hardness, double opacity)
        : point(point), radius(radius), hardness(hardness), opacity(opacity)
    {
    }
    graphics::Rect extent() const { return graphics::Rect::make(point.x - radius, point.y - radius, 2 * radius, 2 * radius); }
};

class BrushSampleRenderer {
public:
    // The per-instance record of the brush pass: five floats, records 24 bytes apart.
    struct QuadInstanceInfo {
        float centerX;
        float centerY;
        float radius;
        float hardness;
        float opacity;
    };
    static constexpr size_t instanceStride = 24;
    // Inline vertex data of one draw stays under 4096 bytes.
    static constexpr size_t maximumSamplesPerPass = 170;

    struct Vertex {
        float position[2];
        float texcoord[2];
    };

    // None with the library's or the pipeline's error when the framework's shaders can't be had.
    static std::unique_ptr<BrushSampleRenderer> initWithDevice(const graphics::gpu::DevicePtr& device,
                                                               foundation::ErrorPtr* error = nullptr);

    // One render pass (loading, never clearing, the target) and one instanced draw per batch of
    // at most 170 samples; nothing for no samples.
    void render(const std::vector<BrushSample>& samples, const graphics::gpu::TexturePtr& texture,
                graphics::gpu::CommandBuffer& commandBuffer) const;
    // One textured-quad draw into an encoder the caller opened and will end.
    void renderTexture(const graphics::gpu::TexturePtr& texture, graphics::gpu::RenderCommandEncoder& encoder) const;

    // The instance bytes of samples, as the brush pass receives them.
    static std::vector<uint8_t> instanceBytes(const std::vector<BrushSample>& samples);

    const graphics::gpu::DevicePtr& device() const { return m_device; }
    const graphics::gpu::BufferPtr& vertexBuffer() const { return m_vertexBuffer; }
    const graphics::gpu::BufferPtr& indexBuffer() const { return m_indexBuffer; }
    const graphics::gpu::RenderPipelineStatePtr& brushSamplePipelineState() const { return m_brushSamplePipelineState; }
    const graphics::gpu::RenderPipelineStatePtr& premultipliedSourceOverRenderPipelineState() const
    {
        return m_premultipliedSourceOverRenderPipelineState;
    }

private:
    BrushSampleRenderer() = default;

    graphics::gpu::DevicePtr m_device;
    graphics::gpu::RenderPipelineStatePtr m_brushSamplePipelineState;
    graphics::gpu::BufferPtr m_vertexBuffer;
    graphics::gpu::BufferPtr m_indexBuffer;
    graphics::gpu::RenderPipelineStatePtr m_premultipliedSourceOverRenderPipelineState;
    graphics::gpu::SamplerState m_samplerState;
};

// Registers the framework's shader functions as its bundle's default library (done once,
// before the first renderer is made).
void mvr_registerBrushShaders();
