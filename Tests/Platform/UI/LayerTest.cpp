#include "Platform/UI/Layer.h"

#include <gtest/gtest.h>

#include <numbers>

#include "Platform/UI/GraphicsContext.h"

using graphics::AffineTransform;
using graphics::Point;
using graphics::Rect;

namespace {

class CountingDelegate : public ui::LayerDelegate {
public:
    void displayLayer(ui::Layer& layer) override
    {
        ++calls;
        layer.setContents(nullptr);
    }
    int calls = 0;
};

class LayoutCounter : public ui::Layer {
public:
    static std::shared_ptr<LayoutCounter> make() { return std::shared_ptr<LayoutCounter>(new LayoutCounter()); }
    void layoutSublayers() override { ++layouts; }
    int layouts = 0;
};

} // namespace

TEST(Layer, FrameFollowsBoundsPositionAnchorAndTransform)
{
    auto layer = ui::Layer::layer();
    layer->setFrame(Rect::make(10, 20, 100, 50));
    EXPECT_EQ(layer->bounds(), Rect::make(0, 0, 100, 50));
    EXPECT_EQ(layer->position(), (Point {60, 45}));
    layer->setAnchorPoint({0, 0});
    EXPECT_EQ(layer->frame(), Rect::make(60, 45, 100, 50));
    layer->setAnchorPoint({0.5, 0.5});
    layer->setAffineTransform(AffineTransform::makeScale(2, 2));
    EXPECT_EQ(layer->frame(), Rect::make(-40, -5, 200, 100));
    // Framing a scaled layer sizes its bounds in its own units.
    layer->setFrame(Rect::make(0, 0, 40, 20));
    EXPECT_EQ(layer->bounds().size, (graphics::Size {20, 10}));
    EXPECT_EQ(layer->frame(), Rect::make(0, 0, 40, 20));
}

TEST(Layer, ConversionsGoThroughEveryAncestor)
{
    auto root = ui::Layer::layer();
    root->setFrame(Rect::make(0, 0, 200, 200));
    auto child = ui::Layer::layer();
    child->setFrame(Rect::make(50, 50, 100, 100));
    root->addSublayer(child);
    auto grandchild = ui::Layer::layer();
    grandchild->setBounds(Rect::make(0, 0, 10, 10));
    grandchild->setPosition({50, 50});
    grandchild->setAffineTransform(AffineTransform::makeRotation(std::numbers::pi / 2));
    child->addSublayer(grandchild);
    const Point p = root->convertPointFromLayer({10, 5}, grandchild.get());
    EXPECT_NEAR(p.x, 50 + 50 - 0, 1e-9);
    EXPECT_NEAR(p.y, 50 + 50 + 5, 1e-9);
    const Point back = grandchild->convertPointFromLayer(p, root.get());
    EXPECT_NEAR(back.x, 10, 1e-9);
    EXPECT_NEAR(back.y, 5, 1e-9);
    EXPECT_EQ(root->convertRectFromLayer(Rect::make(0, 0, 10, 10), child.get()), Rect::make(50, 50, 10, 10));
}

TEST(Layer, SublayersLayoutAndDisplay)
{
    auto root = LayoutCounter::make();
    auto a = ui::Layer::layer(), b = ui::Layer::layer(), c = ui::Layer::layer();
    root->addSublayer(a);
    root->insertSublayer(b, 0);
    root->insertSublayer(c, 99);
    EXPECT_EQ(root->sublayers(), (std::vector<ui::LayerPtr> {b, a, c}));
    root->setSublayers({c, a});
    EXPECT_EQ(root->sublayers(), (std::vector<ui::LayerPtr> {c, a}));
    EXPECT_EQ(b->superlayer(), nullptr);
    EXPECT_EQ(c->superlayer(), root.get());

    root->layoutIfNeeded();
    EXPECT_EQ(root->layouts, 1) << "a new layer is laid out once";
    root->layoutIfNeeded();
    EXPECT_EQ(root->layouts, 1);
    root->setBounds(Rect::make(0, 0, 5, 5));
    root->layoutIfNeeded();
    EXPECT_EQ(root->layouts, 2) << "a size change marks the layer";

    auto delegate = std::make_shared<CountingDelegate>();
    a->setDelegate(delegate);
    a->setNeedsDisplay();
    a->setNeedsDisplayOnBoundsChange(true);
    a->displayIfNeeded();
    a->displayIfNeeded();
    EXPECT_EQ(delegate->calls, 1);
    a->setBounds(Rect::make(0, 0, 3, 3));
    EXPECT_TRUE(a->needsDisplay());
}

TEST(Layer, RendersBackgroundBorderAndShadow)
{
    auto layer = ui::Layer::layer();
    layer->setFrame(Rect::make(0, 0, 40, 40));
    auto box = ui::Layer::layer();
    box->setFrame(Rect::make(10, 10, 20, 20));
    box->setBackgroundColor(ui::Color::deviceRGB(1, 0, 0, 1));
    box->setBorderWidth(2);
    box->setBorderColor(ui::Color::deviceRGB(0, 0, 1, 1));
    box->setShadowColor(ui::Color::deviceRGB(0, 0, 0, 1));
    box->setShadowOpacity(1);
    box->setShadowOffset({4, -4});
    layer->addSublayer(box);
    auto context = layer->snapshot(1.0);
    ASSERT_TRUE(context);
    auto image = context->createImage();
    // Rows count from the top: y-up 20 is row 19.
    EXPECT_EQ(image->pixelAt(20, 19), (graphics::Image::RGBA8 {255, 0, 0, 255}));
    EXPECT_EQ(image->pixelAt(10, 19), (graphics::Image::RGBA8 {0, 0, 255, 255}));
    // The shadow shows right of and below the box.
    EXPECT_EQ(image->pixelAt(32, 32), (graphics::Image::RGBA8 {0, 0, 0, 255}));
    EXPECT_EQ(image->pixelAt(5, 5).a, 0);
}
