#include "MovaraKit/Editor/CanvasLayer.h"
#include "MovaraKit/Editor/EditorLayers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <numbers>

#include "MovaraKit/Canvas/ImageCanvasObject.h"
#include "MovaraKit/Canvas/TextCanvasObject.h"
#include "Platform/UI/GraphicsContext.h"
#include "Tests/Support/ImageFixtures.h"
#include "Tests/Support/TempDir.h"

using graphics::AffineTransform;
using graphics::Point;
using graphics::Rect;
using graphics::Size;

namespace {

// Snapshots go to $EDITOR_SNAPSHOT_DIR when it is set (to look at them), else to a temporary folder.
std::string snapshotPath(const testsupport::TempDir& dir, const std::string& name)
{
    if (const char* keep = std::getenv("EDITOR_SNAPSHOT_DIR"))
        return std::string(keep) + "/" + name;
    return (dir / name).string();
}

std::vector<ui::LayerPtr> guidesAmong(const ui::Layer& layer)
{
    std::vector<ui::LayerPtr> guides;
    for (const auto& sub : layer.sublayers())
        if (std::dynamic_pointer_cast<AlignmentGuideLayer>(sub))
            guides.push_back(sub);
    return guides;
}

size_t indexOf(const ui::Layer& parent, const ui::LayerPtr& child)
{
    const auto& subs = parent.sublayers();
    return size_t(std::find(subs.begin(), subs.end(), child) - subs.begin());
}

} // namespace

TEST(NoAnimationLayer, NoChangeAnimatesWhileAPlainLayerWould)
{
    auto plain = ui::Layer::layer();
    auto layer = NoAnimationLayer::layer();
    auto text = NoAnimationTextLayer::layer();
    EXPECT_TRUE(plain->actionForKey("position"));
    for (const char* key : {"position", "bounds", "opacity", "contents", "anything"}) {
        EXPECT_FALSE(layer->actionForKey(key)) << key;
        EXPECT_FALSE(text->actionForKey(key)) << key;
    }
    ui::Transaction::begin();
    ui::Transaction::setDisableActions(true);
    EXPECT_FALSE(plain->actionForKey("position"));
    ui::Transaction::commit();
    EXPECT_TRUE(plain->actionForKey("position"));
    layer->setPosition({4, 5});
    EXPECT_EQ(layer->position(), (Point {4, 5}));
}

TEST(SelectionLayer, GrabbersSitOnTheOutlineAndStayUpright)
{
    auto selection = SelectionLayer::layer();
    selection->setBounds(Rect::make(0, 0, 100, 50));
    selection->setAffineTransform(AffineTransform::makeRotation(std::numbers::pi / 6));
    EXPECT_TRUE(selection->needsLayout());
    selection->layoutIfNeeded();
    const auto grabbers = selection->grabbers();
    ASSERT_EQ(selection->sublayers().size(), 9u);
    EXPECT_EQ(selection->sublayers()[0], selection->borderLayer());
    EXPECT_EQ(selection->borderLayer()->frame(), Rect::make(0, 0, 100, 50));
    const Point expected[] = {{50, 50}, {0, 50}, {0, 25}, {0, 0}, {50, 0}, {100, 0}, {100, 25}, {100, 50}};
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(grabbers[i]->position(), expected[i]) << i;
        EXPECT_EQ(grabbers[i]->bounds(), Rect::make(0, 0, 12, 12));
        const AffineTransform t = grabbers[i]->affineTransform();
        EXPECT_NEAR(std::atan2(t.b, t.a), -std::numbers::pi / 6, 1e-12);
    }
    selection->setAffineTransform(AffineTransform::identity());
    selection->layoutIfNeeded();
    EXPECT_NEAR(grabbers[0]->affineTransform().b, 0, 1e-12);

    EXPECT_EQ(selection->grabberVisibilityMask(), SelectionLayer::all);
    selection->setGrabberVisibilityMask(SelectionLayer::top | SelectionLayer::bottom);
    for (size_t i = 0; i < 8; ++i)
        EXPECT_EQ(grabbers[i]->isHidden(), i != 0 && i != 4) << i;
}

TEST(SelectionLayer, GrabberImagesAreSharedPerScaleAndRedrawnOnlyWhenItChanges)
{
    auto one = SelectionLayer::grabberImage(1);
    auto two = SelectionLayer::grabberImage(2);
    ASSERT_TRUE(one && two);
    EXPECT_EQ(one->width(), 12u);
    EXPECT_EQ(two->width(), 24u);
    EXPECT_EQ(SelectionLayer::grabberImage(2), two);
    // The square (6, 6, 12, 12) at scale 2: white inside, black outline, clear corners.
    EXPECT_EQ(two->pixelAt(12, 12), (graphics::Image::RGBA8 {255, 255, 255, 255}));
    EXPECT_EQ(two->pixelAt(6, 12), (graphics::Image::RGBA8 {0, 0, 0, 255}));
    EXPECT_EQ(two->pixelAt(0, 0).a, 0);

    auto selection = SelectionLayer::layer();
    selection->setBounds(Rect::make(0, 0, 40, 40));
    selection->layoutIfNeeded();
    for (const auto& g : selection->grabbers())
        g->displayIfNeeded();
    EXPECT_EQ(selection->grabbers()[3]->contents(), one);
    selection->setContentsScale(1);
    EXPECT_FALSE(selection->grabbers()[3]->needsDisplay());
    selection->setContentsScale(2);
    EXPECT_TRUE(selection->grabbers()[3]->needsDisplay());
    selection->grabbers()[3]->displayIfNeeded();
    EXPECT_EQ(selection->grabbers()[3]->contents(), two);
}

TEST(AlignmentGuideLayer, TheLabelSitsAboveOrBesideTheLine)
{
    auto guide = AlignmentGuideLayer::layer();
    guide->setBounds(Rect::make(0, 0, 200, 1));
    guide->setLabel("123");
    EXPECT_TRUE(guide->needsLayout());
    guide->layoutIfNeeded();
    const Size measured = AlignmentGuideLayer::labelFont().sizeOfString("123");
    const double w = std::ceil(measured.width), h = std::ceil(measured.height);
    ASSERT_TRUE(guide->distanceLabel());
    EXPECT_EQ(guide->distanceLabel()->frame(), Rect::make(std::floor(100 - w / 2), 3, w, h));
    EXPECT_EQ(guide->distanceLabel()->string(), "123");

    guide->setBounds(Rect::make(0, 0, 1, 200));
    guide->setIsVertical(true);
    guide->layoutIfNeeded();
    EXPECT_EQ(guide->distanceLabel()->frame(), Rect::make(5, std::floor(100 - h / 2), w, h));

    guide->setLabel(std::nullopt);
    guide->layoutIfNeeded();
    EXPECT_FALSE(guide->distanceLabel());
    EXPECT_TRUE(guide->sublayers().empty());
}

TEST(CanvasContentsLayer, BackgroundStaysBelowAndTheComparatorOrdersObjects)
{
    auto contents = CanvasContentsLayer::layer();
    contents->setBounds(Rect::make(0, 0, 300, 200));
    auto background = ImageCanvasObject::initWithOriginalImageData(
        fixtures::makePNG8(3, 2, 2, [](int, int) { return std::vector<uint8_t> {9, 9, 9}; }), "bg.png");
    contents->setBackgroundImage(background->image());
    contents->setNeedsLayout();
    contents->layoutIfNeeded();
    ASSERT_EQ(contents->sublayers().size(), 1u);
    EXPECT_EQ(contents->sublayers()[0]->frame(), Rect::make(0, 0, 300, 200));
    EXPECT_EQ(contents->sublayers()[0]->contents(), background->image());
    contents->setBackgroundImage(nullptr);
    EXPECT_FALSE(contents->sublayers()[0]->contents());

    std::vector<CanvasObjectPtr> document;
    for (int i = 0; i < 4; ++i)
        document.push_back(TextCanvasObject::init());
    // Inserted out of document order.
    for (int i : {2, 0, 3, 1})
        contents->insertLayer(document[size_t(i)]);
    auto rank = [&](const CanvasObjectPtr& o) { return std::find(document.begin(), document.end(), o) - document.begin(); };
    contents->setObjectLayerComparator([&](const CanvasObjectPtr& a, const CanvasObjectPtr& b) { return rank(a) < rank(b); });
    contents->setNeedsLayout();
    contents->layoutIfNeeded();
    ASSERT_EQ(contents->sublayers().size(), 5u);
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(contents->sublayers()[i + 1], contents->layer(document[i]));

    // Without a comparator the last order stays.
    contents->setObjectLayerComparator(nullptr);
    contents->setNeedsLayout();
    contents->layoutIfNeeded();
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(contents->sublayers()[i + 1], contents->layer(document[i]));

    // A comparator that is no order at all still gives one defined, complete order.
    contents->setObjectLayerComparator([](const CanvasObjectPtr&, const CanvasObjectPtr&) { return true; });
    contents->setNeedsLayout();
    contents->layoutIfNeeded();
    const auto first = contents->sublayers();
    contents->setNeedsLayout();
    contents->layoutIfNeeded();
    EXPECT_EQ(contents->sublayers().size(), 5u);
    EXPECT_EQ(contents->sublayers(), first);
}

TEST(CanvasContentsLayer, ObjectsDrawTheirLayersAndTextRedrawsWhenResized)
{
    auto contents = CanvasContentsLayer::layer();
    auto text = TextCanvasObject::init();
    text->setText("Hi");
    text->setSize({60, 40});
    auto image = ImageCanvasObject::initWithOriginalImageData(
        fixtures::makePNG8(4, 4, 2, [](int, int) { return std::vector<uint8_t> {9, 9, 9}; }), "i.png");
    auto textLayer = contents->insertLayer(text);
    auto imageLayer = contents->insertLayer(image);
    EXPECT_EQ(contents->insertLayer(text), textLayer);
    EXPECT_TRUE(textLayer->needsDisplayOnBoundsChange());
    EXPECT_FALSE(imageLayer->needsDisplayOnBoundsChange());
    textLayer->displayIfNeeded();
    imageLayer->displayIfNeeded();
    EXPECT_EQ(imageLayer->contents(), image->image());
    ASSERT_TRUE(textLayer->contents());
    EXPECT_EQ(textLayer->contents()->width(), 60u);
    textLayer->setBounds(Rect::make(0, 0, 80, 40));
    imageLayer->setBounds(Rect::make(0, 0, 80, 40));
    EXPECT_TRUE(textLayer->needsDisplay());
    EXPECT_FALSE(imageLayer->needsDisplay());

    contents->removeLayer(text);
    EXPECT_FALSE(textLayer->delegate());
    EXPECT_FALSE(textLayer->superlayer());
    EXPECT_FALSE(contents->layer(text));
    contents->removeLayer(text); // a second removal changes nothing
}

TEST(CanvasLayer, GuidesFollowTheFlagsAndLabelTheDistances)
{
    auto canvas = CanvasLayer::layer();
    canvas->setFrame(Rect::make(0, 0, 1000, 500));
    canvas->contentsLayer()->setFrame(Rect::make(0, 0, 1000, 500));
    canvas->layoutIfNeeded();
    EXPECT_TRUE(guidesAmong(*canvas).empty());

    canvas->setNeedsLayout();
    canvas->layoutIfNeeded();
    canvas->setAlignmentFlags(0);
    EXPECT_FALSE(canvas->needsLayout());
    canvas->setAlignmentLayerScale(1.0);
    EXPECT_TRUE(canvas->needsLayout());

    canvas->setAlignmentFlags(CanvasLayer::left | CanvasLayer::right | CanvasLayer::top | CanvasLayer::bottom | CanvasLayer::centerX);
    canvas->layoutIfNeeded();
    EXPECT_EQ(guidesAmong(*canvas).size(), 1u) << "no corner guides without a rectangle";

    canvas->setCornerAlignmentDistanceRect(Rect::make(100, 50, 200, 100));
    canvas->layoutIfNeeded();
    EXPECT_EQ(guidesAmong(*canvas).size(), 5u);
    struct Expect {
        int64_t flag;
        const char* label;
        Rect frame;
        bool vertical;
    };
    for (const Expect& e : {Expect {CanvasLayer::left, "100", Rect::make(0, 100, 100, 1), false},
                            Expect {CanvasLayer::right, "700", Rect::make(300, 100, 700, 1), false},
                            Expect {CanvasLayer::bottom, "50", Rect::make(200, 0, 1, 50), true},
                            Expect {CanvasLayer::top, "350", Rect::make(200, 150, 1, 350), true}}) {
        auto guide = canvas->alignmentGuideLayer(e.flag);
        ASSERT_TRUE(guide) << e.label;
        EXPECT_EQ(guide->label(), std::string(e.label));
        EXPECT_EQ(guide->frame(), e.frame) << e.label;
        EXPECT_EQ(guide->isVertical(), e.vertical);
    }
    EXPECT_EQ(canvas->alignmentGuideLayer(CanvasLayer::centerX)->frame(), Rect::make(500, 0, 1, 500));

    // Past the left edge: a negative distance.
    canvas->setCornerAlignmentDistanceRect(Rect::make(-20.4, 50, 200, 100));
    canvas->layoutIfNeeded();
    EXPECT_EQ(canvas->alignmentGuideLayer(CanvasLayer::left)->label(), std::string("-20"));

    // Thicker lines for new guides; old ones keep the scale they were made with.
    canvas->setAlignmentLayerScale(2);
    canvas->setAlignmentFlags(CanvasLayer::centerX | CanvasLayer::minY);
    canvas->layoutIfNeeded();
    EXPECT_EQ(canvas->alignmentGuideLayer(CanvasLayer::centerX)->frame(), Rect::make(500, 0, 2, 500));
    EXPECT_EQ(canvas->alignmentGuideLayer(CanvasLayer::centerX)->bounds().size, (Size {2, 500}));
    EXPECT_EQ(canvas->alignmentGuideLayer(CanvasLayer::minY)->bounds().size, (Size {500, 1}));
    EXPECT_FALSE(canvas->alignmentGuideLayer(CanvasLayer::left));

    canvas->setCornerAlignmentDistanceRect(Rect::null());
    canvas->setAlignmentFlags(0);
    canvas->layoutIfNeeded();
    EXPECT_TRUE(guidesAmong(*canvas).empty());
}

TEST(CanvasLayer, GuidesLieBetweenTheContentsAndTheSelectionAndTheMarqueeOnTop)
{
    auto canvas = CanvasLayer::layer();
    canvas->setFrame(Rect::make(0, 0, 400, 300));
    auto contents = canvas->contentsLayer();
    contents->setFrame(Rect::make(50, 50, 300, 200));
    auto object = TextCanvasObject::init();
    auto selection = canvas->insertSelectionLayer(object);
    EXPECT_EQ(canvas->selectionLayer(object), selection);
    canvas->setAlignmentFlags(CanvasLayer::minX | CanvasLayer::maxY);
    canvas->setMarqueeRect(Rect::make(10, 10, 20, 30));
    canvas->setContentsScale(2);
    canvas->setNeedsLayout();
    canvas->layoutIfNeeded();
    const auto guides = guidesAmong(*canvas);
    ASSERT_EQ(guides.size(), 2u);
    for (const auto& g : guides) {
        EXPECT_GT(indexOf(*canvas, g), indexOf(*canvas, contents));
        EXPECT_LT(indexOf(*canvas, g), indexOf(*canvas, selection));
        EXPECT_EQ(g->contentsScale(), 2);
    }
    EXPECT_EQ(canvas->alignmentGuideLayer(CanvasLayer::minX)->frame(), Rect::make(50, 50, 1, 200));
    EXPECT_EQ(canvas->alignmentGuideLayer(CanvasLayer::maxY)->frame(), Rect::make(50, 250, 300, 1));
    ASSERT_TRUE(canvas->marqueeLayer());
    EXPECT_EQ(canvas->sublayers().back(), canvas->marqueeLayer());
    EXPECT_EQ(canvas->marqueeLayer()->frame(), Rect::make(60, 60, 20, 30));
    EXPECT_EQ(selection->contentsScale(), 2);

    auto first = canvas->marqueeLayer();
    canvas->setMarqueeRect(Rect::null());
    canvas->layoutIfNeeded();
    EXPECT_FALSE(canvas->marqueeLayer());
    EXPECT_EQ(indexOf(*canvas, first), canvas->sublayers().size());
    canvas->setMarqueeRect(Rect::make(0, 0, 5, 5));
    canvas->layoutIfNeeded();
    EXPECT_NE(canvas->marqueeLayer(), first);

    canvas->removeSelectionLayer(object);
    EXPECT_FALSE(canvas->selectionLayer(object));
    EXPECT_EQ(indexOf(*canvas, selection), canvas->sublayers().size());
}

// What an editor shows: a picture, a text object selected and turned, guides with distances
// and a marquee. Look at the snapshot.
TEST(CanvasLayer, SnapshotOfAnEditedCanvas)
{
    testsupport::TempDir dir;
    auto canvas = CanvasLayer::layer();
    canvas->setFrame(Rect::make(0, 0, 480, 320));
    canvas->setBackgroundColor(ui::Color::deviceWhite(0.2, 1));
    auto contents = canvas->contentsLayer();
    contents->setFrame(Rect::make(40, 40, 400, 240));
    auto picture = ImageCanvasObject::initWithOriginalImageData(
        fixtures::makePNG8(40, 24, 2, [](int x, int y) {
            return std::vector<uint8_t> {uint8_t(60 + x * 4), uint8_t(90 + y * 5), 170};
        }),
        "sky.png");
    contents->setBackgroundImage(picture->image());

    auto text = TextCanvasObject::init();
    text->setText("Hello");
    text->setFont(ui::Font::fontWithName("Helvetica-Bold", 48));
    text->setSize(text->naturalSize());
    text->setPosition({150, 150});
    text->setAngle(0.2);
    auto textLayer = contents->insertLayer(text);
    textLayer->setBounds(Rect {{0, 0}, text->size()});
    textLayer->setPosition(text->position());
    textLayer->setAffineTransform(AffineTransform::makeRotation(text->angle()));

    auto selection = canvas->insertSelectionLayer(text);
    selection->setBounds(Rect {{0, 0}, text->size()});
    selection->setPosition(canvas->convertPointFromLayer(text->position(), contents.get()));
    selection->setAffineTransform(AffineTransform::makeRotation(text->angle()));

    canvas->setAlignmentFlags(CanvasLayer::centerX | CanvasLayer::left | CanvasLayer::top | CanvasLayer::right |
                              CanvasLayer::bottom);
    canvas->setCornerAlignmentDistanceRect(text->alignmentRect());
    canvas->setMarqueeRect(Rect::make(280, 30, 90, 60));
    canvas->setNeedsLayout();
    auto snapshot = canvas->snapshot(1.0);
    ASSERT_TRUE(snapshot);
    foundation::ErrorPtr error;
    ASSERT_TRUE(snapshot->writePNG(snapshotPath(dir, "canvas-layer.png"), &error));
    auto image = snapshot->createImage();
    // The guide through the contents' centre is yellow; the marquee is light.
    const auto guide = image->pixelAt(240, 320 - 60);
    EXPECT_GT(guide.r, 200);
    EXPECT_GT(guide.g, 150);
    EXPECT_LT(guide.b, 100);
}
