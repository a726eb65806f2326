#include "MovaraKit/Editor/BrushSampleRenderer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "Platform/Graphics/Image.h"
#include "Platform/UI/GraphicsContext.h"
#include "Tests/Support/TempDir.h"

using namespace graphics::gpu;

namespace {

struct Fixture {
    DevicePtr device = Device::createSystemDefaultDevice();
    std::unique_ptr<BrushSampleRenderer> renderer = BrushSampleRenderer::initWithDevice(device);
};

std::vector<BrushSample> samples(size_t count)
{
    std::vector<BrushSample> list;
    for (size_t i = 0; i < count; ++i)
        list.emplace_back(graphics::Point {double(i % 32), double(i / 32)}, 3.0, 0.5, 1.0);
    return list;
}

size_t drawnInstances(const RecordedPass& pass)
{
    for (const auto& command : pass.commands)
        if (auto draw = std::get_if<DrawIndexedPrimitives>(&command))
            return draw->instanceCount;
    return 0;
}

} // namespace

TEST(BrushSampleRenderer, BuildsItsPipelinesAndStaticBuffers)
{
    Fixture f;
    ASSERT_TRUE(f.renderer);
    EXPECT_EQ(f.renderer->vertexBuffer()->length(), 64u);
    EXPECT_EQ(f.renderer->indexBuffer()->length(), 12u);
    const auto& indices = f.renderer->indexBuffer()->contents();
    uint16_t expected[6] = {0, 1, 2, 2, 1, 3};
    EXPECT_EQ(std::memcmp(indices.data(), expected, 12), 0);
    const auto& brush = f.renderer->brushSamplePipelineState()->descriptor;
    EXPECT_EQ(brush.label, "Shaded brush sample pipeline");
    EXPECT_EQ(unsigned(brush.colorAttachment.pixelFormat), 81u);
    EXPECT_EQ(brush.colorAttachment.rgbBlendOperation, BlendOperation::max);
    const auto& quad = f.renderer->premultipliedSourceOverRenderPipelineState()->descriptor;
    EXPECT_EQ(quad.label, "Simple textured quad pipeline");
    EXPECT_EQ(unsigned(quad.colorAttachment.pixelFormat), 80u);
    EXPECT_EQ(quad.colorAttachment.destinationRGBBlendFactor, BlendFactor::oneMinusSourceAlpha);
}

TEST(BrushSampleRenderer, SamplesGoInBatchesOf170)
{
    Fixture f;
    auto texture = f.device->newTexture(32, 32, PixelFormat::bgra8Unorm_sRGB);
    struct Case {
        size_t count;
        std::vector<size_t> instances;
    };
    for (const Case& c : {Case {0, {}}, Case {1, {1}}, Case {170, {170}}, Case {171, {170, 1}}, Case {341, {170, 170, 1}}}) {
        CommandBuffer buffer;
        f.renderer->render(samples(c.count), texture, buffer);
        ASSERT_EQ(buffer.passes().size(), c.instances.size()) << c.count;
        for (size_t i = 0; i < c.instances.size(); ++i) {
            const RecordedPass& pass = buffer.passes()[i];
            EXPECT_EQ(drawnInstances(pass), c.instances[i]);
            EXPECT_EQ(pass.descriptor.loadAction, LoadAction::load);
            EXPECT_EQ(pass.descriptor.storeAction, StoreAction::store);
            // Cull, pipeline, quad, instances, target size, draw.
            ASSERT_EQ(pass.commands.size(), 6u);
            EXPECT_EQ(std::get<SetCullMode>(pass.commands[0]).mode, CullMode::back);
            EXPECT_EQ(std::get<SetRenderPipelineState>(pass.commands[1]).label, "Shaded brush sample pipeline");
            EXPECT_EQ(std::get<SetVertexBuffer>(pass.commands[2]).index, 0);
            const auto& instances = std::get<SetVertexBytes>(pass.commands[3]);
            EXPECT_EQ(instances.index, 1);
            EXPECT_EQ(instances.bytes.size(), c.instances[i] * 24);
            EXPECT_LT(instances.bytes.size(), 4096u);
            const auto& size = std::get<SetVertexBytes>(pass.commands[4]);
            EXPECT_EQ(size.index, 2);
            float wh[2];
            std::memcpy(wh, size.bytes.data(), 8);
            EXPECT_EQ(wh[0], 32.0f);
            const auto& draw = std::get<DrawIndexedPrimitives>(pass.commands[5]);
            EXPECT_EQ(draw.indexCount, 6u);
            EXPECT_EQ(draw.indexType, IndexType::uint16);
        }
    }
}

TEST(BrushSampleRenderer, InstanceRecordsAndExtents)
{
    const auto bytes = BrushSampleRenderer::instanceBytes({BrushSample({10.5, 20.25}, 8, 0.5, 1)});
    ASSERT_EQ(bytes.size(), 24u);
    float values[5];
    std::memcpy(values, bytes.data(), 20);
    EXPECT_EQ(values[0], 10.5f);
    EXPECT_EQ(values[1], 20.25f);
    EXPECT_EQ(values[2], 8.0f);
    EXPECT_EQ(values[3], 0.5f);
    EXPECT_EQ(values[4], 1.0f);
    EXPECT_EQ(BrushSample({10, 20}, 5, 1, 1).extent(), graphics::Rect::make(5, 15, 10, 10));
}

TEST(BrushSampleRenderer, DabsBlendByTheMaximumOverWhatWasThere)
{
    Fixture f;
    auto texture = f.device->newTexture(32, 32, PixelFormat::bgra8Unorm_sRGB);
    // Earlier contents: a mid-grey pixel far from the dab.
    texture->write(0, 0, {0.2f, 0.2f, 0.2f, 0.5f});
    const std::vector<BrushSample> dab = {BrushSample({16, 16}, 8, 0.5, 0.8)};
    CommandBuffer once;
    f.renderer->render(dab, texture, once);
    once.commit();
    const auto afterOnce = texture->bytes();
    CommandBuffer twice;
    f.renderer->render(dab, texture, twice);
    twice.commit();
    EXPECT_EQ(texture->bytes(), afterOnce) << "painting the same dab again changes nothing";
    // The centre is the dab's opacity; outside the radius nothing was drawn; the old pixel stays.
    EXPECT_NEAR(texture->read(16, 16)[3], 0.8f, 0.01f);
    EXPECT_EQ(texture->read(30, 30)[3], 0.0f);
    EXPECT_NEAR(texture->read(0, 0)[3], 0.5f, 0.01f);
    // The edge is soft: halfway between the hard core and the rim is partly covered.
    const float soft = texture->read(16 + 6, 16)[3];
    EXPECT_GT(soft, 0.05f);
    EXPECT_LT(soft, 0.8f);
    // A weaker dab on top leaves the stronger one.
    CommandBuffer weaker;
    f.renderer->render({BrushSample({16, 16}, 8, 0.5, 0.3)}, texture, weaker);
    weaker.commit();
    EXPECT_EQ(texture->bytes(), afterOnce);
}

TEST(BrushSampleRenderer, TheQuadPassCompositesPremultipliedOverTheTarget)
{
    Fixture f;
    auto mask = f.device->newTexture(4, 4, PixelFormat::bgra8Unorm);
    for (size_t y = 0; y < 4; ++y)
        for (size_t x = 0; x < 4; ++x)
            mask->write(x, y, {0.5f, 0.0f, 0.0f, 0.5f}); // red at half coverage, premultiplied
    auto target = f.device->newTexture(4, 4, PixelFormat::bgra8Unorm);
    RenderPassDescriptor pass;
    pass.texture = target;
    pass.loadAction = LoadAction::clear;
    pass.clearColor = {0, 0, 1, 1};
    CommandBuffer buffer;
    auto encoder = buffer.renderCommandEncoderWithDescriptor(pass);
    f.renderer->renderTexture(mask, *encoder);
    EXPECT_FALSE(encoder->isEnded());
    encoder->endEncoding();
    ASSERT_EQ(buffer.passes()[0].commands.size(), 5u);
    EXPECT_EQ(std::get<SetRenderPipelineState>(buffer.passes()[0].commands[0]).label, "Simple textured quad pipeline");
    buffer.commit();
    // Every pixel once: 0.5 red + 0.5 x blue.
    for (size_t y = 0; y < 4; ++y) {
        for (size_t x = 0; x < 4; ++x) {
            const Float4 c = target->read(x, y);
            EXPECT_NEAR(c[0], 0.5f, 0.01f);
            EXPECT_NEAR(c[2], 0.5f, 0.01f);
            EXPECT_NEAR(c[3], 1.0f, 0.01f);
        }
    }
}

TEST(BrushSampleRenderer, NoShaderLibraryFailsConstruction)
{
    // A device asked for a bundle without a library reports it.
    foundation::ErrorPtr error;
    auto device = Device::createSystemDefaultDevice();
    EXPECT_FALSE(device->newDefaultLibraryWithBundle("com.example.nothing", &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), GPUErrorDomain);
    Library empty;
    RenderPipelineDescriptor descriptor;
    descriptor.vertexFunctionName = "brushSampleVertexFunction";
    error = nullptr;
    EXPECT_FALSE(device->newRenderPipelineState(descriptor, empty, &error));
    EXPECT_EQ(error->code(), GPUFunctionNotFound);
}

// A stroke of dabs painted into a mask; look at the snapshot.
TEST(BrushSampleRenderer, SnapshotOfAStroke)
{
    Fixture f;
    auto texture = f.device->newTexture(160, 80, PixelFormat::bgra8Unorm_sRGB);
    std::vector<BrushSample> stroke;
    for (int i = 0; i <= 60; ++i)
        stroke.emplace_back(graphics::Point {20.0 + i * 2, 40 + 20 * std::sin(i / 9.0)}, 4 + i / 6.0, i < 30 ? 0.9 : 0.2, 1.0);
    CommandBuffer buffer;
    f.renderer->render(stroke, texture, buffer);
    buffer.commit();
    const auto& b = texture->bytes();
    auto image = graphics::Image::create(160, 80, 8, 32, 160 * 4, graphics::ColorSpace::createDeviceRGB(),
                                         {graphics::AlphaInfo::premultipliedFirst, graphics::ByteOrder::order32Little}, b);
    ASSERT_TRUE(image);
    auto context = ui::GraphicsContext::bitmapContext({160, 80}, 1.0);
    context->setFillColor(ui::Color::deviceWhite(0.1, 1));
    context->fillRect(graphics::Rect::make(0, 0, 160, 80));
    context->drawBitmap(image, graphics::Rect::make(0, 0, 160, 80));
    testsupport::TempDir dir;
    const char* keep = std::getenv("EDITOR_SNAPSHOT_DIR");
    ASSERT_TRUE(context->writePNG(keep ? std::string(keep) + "/brush-stroke.png" : (dir / "brush-stroke.png").string()));
    EXPECT_GT(texture->read(20, 40)[3], 0.9f);
    EXPECT_EQ(texture->read(20, 5)[3], 0.0f);
}
