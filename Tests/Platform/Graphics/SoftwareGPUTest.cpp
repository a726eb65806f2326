#include "Platform/Graphics/SoftwareGPU.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace graphics::gpu;

namespace {

// A full-target quad of two triangles (clockwise, as the platform's front faces), drawn with
// a constant colour.
struct QuadDraw {
    DevicePtr device = Device::createSystemDefaultDevice();
    RenderPipelineStatePtr pipeline;
    BufferPtr vertices;
    BufferPtr indices;

    explicit QuadDraw(ColorAttachmentDescriptor attachment, Float4 colour)
    {
        Library library;
        library.addVertexFunction("quad", [](uint32_t id, uint32_t, const Bindings& b) {
            float xy[2];
            std::memcpy(xy, b.vertexBuffers.at(0).data() + id * 8, 8);
            VertexOut out;
            out.position = {xy[0], xy[1], 0, 1};
            return out;
        });
        library.addFragmentFunction("flat", [colour](const VertexOut&, const std::array<float, 2>&, const Bindings&) { return colour; });
        pipeline = device->newRenderPipelineState({"flat", "quad", "flat", attachment}, library, nullptr);
        const float corners[8] = {-1, -1, -1, 1, 1, -1, 1, 1};
        vertices = device->newBuffer(corners, sizeof corners, 0);
        const uint16_t order[6] = {0, 1, 2, 2, 1, 3};
        indices = device->newBuffer(order, sizeof order, 0);
    }

    void draw(const TexturePtr& target, CullMode cull)
    {
        CommandBuffer buffer;
        RenderPassDescriptor pass;
        pass.texture = target;
        pass.loadAction = LoadAction::load;
        auto encoder = buffer.renderCommandEncoderWithDescriptor(pass);
        encoder->setCullMode(cull);
        encoder->setRenderPipelineState(pipeline);
        encoder->setVertexBuffer(vertices, 0, 0);
        encoder->drawIndexedPrimitives(6, IndexType::uint16, indices, 0);
        encoder->endEncoding();
        buffer.commit();
    }
};

} // namespace

TEST(SoftwareGPU, TrianglesSharingAnEdgeCoverEveryPixelOnce)
{
    ColorAttachmentDescriptor additive;
    additive.blendingEnabled = true;
    additive.destinationRGBBlendFactor = BlendFactor::one;
    additive.destinationAlphaBlendFactor = BlendFactor::one;
    QuadDraw quad(additive, {0.2f, 0.2f, 0.2f, 0.2f});
    for (auto [w, h] : {std::pair {7, 5}, std::pair {8, 8}, std::pair {1, 1}, std::pair {13, 3}}) {
        auto target = quad.device->newTexture(size_t(w), size_t(h), PixelFormat::bgra8Unorm);
        quad.draw(target, CullMode::back);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                EXPECT_NEAR(target->read(size_t(x), size_t(y))[3], 0.2f, 0.003f) << w << "x" << h << " at " << x << ", " << y;
    }
}

TEST(SoftwareGPU, CullingAndClearing)
{
    QuadDraw quad({}, {1, 1, 1, 1});
    auto target = quad.device->newTexture(4, 4, PixelFormat::bgra8Unorm);
    quad.draw(target, CullMode::front);
    EXPECT_EQ(target->read(1, 1)[3], 0.0f) << "the quad's triangles face the front";
    quad.draw(target, CullMode::back);
    EXPECT_EQ(target->read(1, 1)[3], 1.0f);

    CommandBuffer buffer;
    RenderPassDescriptor pass;
    pass.texture = target;
    pass.loadAction = LoadAction::clear;
    pass.clearColor = {0, 0, 0, 0};
    buffer.renderCommandEncoderWithDescriptor(pass)->endEncoding();
    EXPECT_EQ(target->read(1, 1)[3], 1.0f) << "nothing runs before the commit";
    buffer.commit();
    EXPECT_EQ(target->read(1, 1)[3], 0.0f);
}

TEST(SoftwareGPU, SRGBTargetsBlendInLinearSpace)
{
    auto texture = std::make_shared<Texture>(1, 1, PixelFormat::bgra8Unorm_sRGB);
    texture->write(0, 0, {0.5f, 0.5f, 0.5f, 1});
    // Linear 0.5 is stored as sRGB 188 and reads back as 0.5.
    EXPECT_EQ(texture->bytes()[0], 188);
    EXPECT_NEAR(texture->read(0, 0)[0], 0.5f, 0.005f);
    auto linear = std::make_shared<Texture>(1, 1, PixelFormat::bgra8Unorm);
    linear->write(0, 0, {0.5f, 0.5f, 0.5f, 1});
    EXPECT_EQ(linear->bytes()[0], 128);
}
