#include "MovaraKit/Cinemagraph/MVRFilterGraph.h"

#include <gtest/gtest.h>

#include "MovaraKit/Canvas/ImageCanvasObject.h"
#include "MovaraKit/Media/Color+Movara.h"
#include "Tests/Support/FilterFixtures.h"

using filtertest::maxDifference;
using filtertest::render;
using graphics::Image;
using graphics::Rect;

namespace {

const Image::RGBA8 kVideo{200, 40, 40, 255}, kStill{40, 40, 200, 255};

// Opaque on the left half, clear on the right.
graphics::FilterImagePtr leftHalfMask(int w, int h)
{
    return graphics::FilterImage::imageWithCGImage(filtertest::bitmap(w, h, [=](int x, int) {
        return Image::RGBA8{255, 255, 255, uint8_t(x < w / 2 ? 255 : 0)};
    }));
}

std::shared_ptr<foundation::UndoManager> manualUndoManager()
{
    auto undo = foundation::UndoManager::init();
    undo->setGroupsByEvent(false);
    return undo;
}

} // namespace

TEST(MVRFilterGraph, NormalPathShowsVideoThroughTheMask)
{
    auto graph = MVRFilterGraph::init();
    EXPECT_FALSE(graph->outputImage()); // no video yet

    graph->setInputVideoImage(filtertest::solid(20, 10, kVideo));
    graph->setInputStillImage(filtertest::solid(20, 10, kStill));
    graph->setInputMaskImage(leftHalfMask(20, 10));
    auto frame = render(graph->outputImage());
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->pixelAt(2, 5), kVideo);
    EXPECT_EQ(frame->pixelAt(17, 5), kStill);

    // A still and a mask of other sizes are stretched to the video's.
    graph->setInputStillImage(filtertest::solid(5, 5, kStill));
    graph->setInputMaskImage(leftHalfMask(4, 2)->imageByApplyingTransform(graphics::AffineTransform::makeTranslation(30, 30)));
    frame = render(graph->outputImage());
    EXPECT_EQ(graph->outputImage()->extent(), Rect::make(0, 0, 20, 10));
    EXPECT_EQ(frame->pixelAt(2, 5), kVideo);
    EXPECT_EQ(frame->pixelAt(17, 5), kStill);
    filtertest::keepSnapshot(frame, "graph-normal");
}

TEST(MVRFilterGraph, CropDrawnOnTheStillLandsOnTheVideo)
{
    auto graph = MVRFilterGraph::init();
    // The video is twice the still's size; its pixel at (x, y) has red x and green y.
    auto video = graphics::FilterImage::imageWithCGImage(
        filtertest::bitmap(80, 40, [](int x, int y) { return Image::RGBA8{uint8_t(x), uint8_t(39 - y), 0, 255}; }));
    graph->setInputVideoImage(video);
    graph->setInputStillImage(filtertest::solid(40, 20, kStill));
    graph->setInputMaskImage(filtertest::solid(40, 20, {255, 255, 255, 255}));
    graph->setCropRect(Rect::make(10, 5, 20, 10));
    auto output = graph->outputImage();
    EXPECT_EQ(output->extent(), Rect::make(0, 0, 40, 20));
    auto frame = render(output);
    // The crop (20, 10, 40, 20) of the video, moved to the origin: the bottom-left pixel was (20, 10).
    EXPECT_EQ(frame->pixelAt(0, 19), (Image::RGBA8{20, 10, 0, 255}));
    EXPECT_EQ(frame->pixelAt(39, 0), (Image::RGBA8{59, 29, 0, 255}));

    // Without a still image there is nothing to measure the crop against: it is ignored.
    graph->setInputStillImage(nullptr);
    EXPECT_EQ(graph->outputImage()->extent(), Rect::make(0, 0, 80, 40));
    graph->setInputStillImage(graphics::FilterImage::emptyImage());
    EXPECT_EQ(graph->outputImage()->extent(), Rect::make(0, 0, 80, 40));
}

TEST(MVRFilterGraph, AlignmentAndOverlayPreviews)
{
    auto graph = MVRFilterGraph::init();
    graph->setInputVideoImage(filtertest::solid(20, 10, kVideo));
    graph->setInputStillImage(filtertest::solid(20, 10, kStill));
    graph->setInputMaskImage(leftHalfMask(20, 10));

    // Alignment: half the still over the video everywhere, the mask unused.
    graph->setBlendsStillImage(true);
    graph->invalidateOutputImage();
    auto aligned = render(graph->outputImage());
    filtertest::keepSnapshot(aligned, "graph-alignment");
    EXPECT_EQ(aligned->pixelAt(2, 5), aligned->pixelAt(17, 5));
    EXPECT_GT(aligned->pixelAt(2, 5).b, kVideo.b);
    EXPECT_LT(aligned->pixelAt(2, 5).r, kVideo.r);

    // Overlay: the video where the mask is painted, the still tinted elsewhere.
    graph->setBlendsStillImage(false);
    graph->setSelectedOverlayColorIndex(2);
    EXPECT_TRUE(graph->showsOverlay());
    // An index outside the five colours is the caller's slip: it changes nothing.
    const auto colours = graph->overlayColors();
    for (long long wrong : {5LL, -1LL, 1LL << 40}) {
        EXPECT_NO_THROW(graph->setSelectedOverlayColorIndex(wrong)) << wrong;
        EXPECT_EQ(graph->selectedOverlayColorIndex(), 2) << wrong;
        EXPECT_EQ(graph->overlayColors(), colours) << wrong;
    }
    auto overlay = render(graph->outputImage());
    filtertest::keepSnapshot(overlay, "graph-overlay");
    EXPECT_EQ(overlay->pixelAt(2, 5), kVideo);
    const auto tinted = overlay->pixelAt(17, 5);
    EXPECT_NE(tinted, kStill);
    EXPECT_GT(tinted.r, tinted.b); // palette colour 2 is a red

    // A translucent overlay lies over the moving video.
    graph->setOverlayOpacity(0.5);
    const auto half = render(graph->outputImage())->pixelAt(17, 5);
    EXPECT_EQ(render(graph->outputImage())->pixelAt(2, 5), kVideo);
    EXPECT_NE(half, tinted);
    graph->setOverlayOpacity(7);
    EXPECT_EQ(graph->overlayOpacity(), 1.0);
}

TEST(MVRFilterGraph, OverlayColours)
{
    auto graph = MVRFilterGraph::init();
    const auto& palette = mvr_standardOverlayColorsPalette();
    auto colors = graph->overlayColors();
    ASSERT_EQ(colors.size(), 2u);
    EXPECT_EQ(*colors[0], mvr_darkenedForOverlay(palette[0]));
    EXPECT_EQ(*colors[1], palette[0]);

    graph->setOverlayColors({palette[3], palette[4]});
    EXPECT_TRUE(graph->showsOverlay());
    graph->setOverlayColors({palette[1]});
    EXPECT_FALSE(graph->showsOverlay());
    EXPECT_EQ(*graph->overlayColors()[0], palette[3]);
}

TEST(MVRFilterGraph, InputChangesAreUndoableWithNamedActions)
{
    auto graph = MVRFilterGraph::init();
    auto undo = manualUndoManager();
    graph->setUndoManager(undo);
    graph->setInputVideoImage(filtertest::solid(4, 4, kVideo));
    graph->outputImage();

    int invalidations = 0;
    auto token = graph->addObserver("outputImage", foundation::KeyValueObservingOptionNew,
                                    [&](const foundation::KeyValueChange&) { ++invalidations; });

    // The same value again: nothing to undo, nothing redrawn.
    undo->beginUndoGrouping();
    graph->exposureFilter()->setValue(0.0, "inputEV");
    graph->exposureFilter()->setValue(filtertest::solid(2, 2, kStill), graphics::kCIInputImageKey);
    graph->exposureFilter()->setValue(std::any(), graphics::kCIInputImageKey);
    undo->endUndoGrouping();
    EXPECT_FALSE(undo->canUndo());

    undo->beginUndoGrouping();
    graph->exposureFilter()->setValue(1.0, "inputEV");
    undo->endUndoGrouping();
    ASSERT_TRUE(undo->canUndo());
    EXPECT_EQ(undo->undoActionName(), "Exposure Adjust EV");
    EXPECT_GE(invalidations, 1);

    undo->undo();
    EXPECT_TRUE(graphics::filterValuesEqual(graph->exposureFilter()->value("inputEV"), 0.0));
    ASSERT_TRUE(undo->canRedo());
    EXPECT_EQ(undo->redoActionName(), "Exposure Adjust EV");
    undo->redo();
    EXPECT_TRUE(graphics::filterValuesEqual(graph->exposureFilter()->value("inputEV"), 1.0));

    EXPECT_EQ(MVRFilterGraph::actionNameForFilter(graph->vignetteFilter().get(), "inputIntensity"), "Vignette Intensity");
    EXPECT_EQ(MVRFilterGraph::actionNameForFilter(graph->vignetteFilter().get(), "inputNoSuchKey"), std::nullopt);
    EXPECT_EQ(MVRFilterGraph::actionNameForFilter(nullptr, "inputEV"), std::nullopt);
}

TEST(MVRFilterGraph, AdjustmentsMovePixels)
{
    auto graph = MVRFilterGraph::init();
    graph->setInputVideoImage(filtertest::gradient(16, 8));
    graph->setInputStillImage(filtertest::solid(16, 8, kStill));
    graph->setInputMaskImage(filtertest::solid(16, 8, {255, 255, 255, 255}));
    auto before = render(graph->outputImage());
    EXPECT_EQ(maxDifference(before, render(filtertest::gradient(16, 8))), 0); // a new graph changes nothing
    graph->exposureFilter()->setValue(1.0, "inputEV");
    graph->vignetteFilter()->setValue(0.5, "inputIntensity");
    auto after = render(graph->outputImage());
    EXPECT_GT(after->pixelAt(8, 4).g, before->pixelAt(8, 4).g);
    graph->reset();
    EXPECT_EQ(maxDifference(render(graph->outputImage()), before), 0);
}

TEST(MVRFilterGraph, CopyKeepsSettingsButNoFramesOrPreviews)
{
    auto graph = MVRFilterGraph::init();
    graph->setCropRect(Rect::make(1, 2, 3, 4));
    graph->setStraightenAngle(0.25);
    graph->setCanvasTransform(graphics::AffineTransform::makeScale(2, 2));
    graph->setInputVideoImage(filtertest::solid(4, 4, kVideo));
    graph->setSelectedOverlayColorIndex(1);
    graph->exposureFilter()->setValue(0.7, "inputEV");

    auto copy = graph->copy();
    EXPECT_EQ(copy->cropRect(), Rect::make(1, 2, 3, 4));
    EXPECT_EQ(copy->straightenAngle(), 0.25);
    EXPECT_EQ(copy->canvasTransform(), graphics::AffineTransform::makeScale(2, 2));
    EXPECT_FALSE(copy->inputVideoImage());
    EXPECT_FALSE(copy->showsOverlay());
    EXPECT_NE(copy->exposureFilter(), graph->exposureFilter());
    EXPECT_TRUE(graphics::filterValuesEqual(copy->exposureFilter()->value("inputEV"), 0.7));
}

TEST(MVRFilterGraph, TakingValuesSkipsExcludedKeyPaths)
{
    auto source = MVRFilterGraph::init();
    source->vignetteFilter()->setValue(0.9, "inputIntensity");
    source->vignetteFilter()->setValue(1.5, "inputRadius");
    source->colorControlsFilter()->setValue(0.3, "inputBrightness");
    auto target = MVRFilterGraph::init();
    target->vignetteFilter()->setValue(0.2, "inputIntensity");
    target->takeValuesFrom(*source, {"vignetteFilter.inputIntensity"});
    EXPECT_TRUE(graphics::filterValuesEqual(target->vignetteFilter()->value("inputIntensity"), 0.2));
    EXPECT_TRUE(graphics::filterValuesEqual(target->vignetteFilter()->value("inputRadius"), 1.5));
    EXPECT_TRUE(graphics::filterValuesEqual(target->colorControlsFilter()->value("inputBrightness"), 0.3));
}

TEST(MVRFilterGraph, ArchivesKeepAdjustmentsOnly)
{
    auto graph = MVRFilterGraph::init();
    graph->setCropRect(Rect::make(1, 2, 3, 4));
    graph->setOverlayOpacity(0.3);
    graph->saturationColorControlsFilter()->setValue(0.2, "inputSaturation");
    graph->rgbToneCurveFilter()->setValue(graphics::FilterVector::make(0.5, 0.6), "inputGreenPoint2");
    auto data = foundation::KeyedArchiver::archivedDataWithRootObject(graph, true);
    foundation::ErrorPtr error;
    auto back = foundation::KeyedUnarchiver::unarchivedObjectOfClass<MVRFilterGraph>("MVRFilterGraph", data, &error);
    ASSERT_TRUE(back) << (error ? error->localizedDescription() : "");
    EXPECT_TRUE(back->cropRect().isNull());
    EXPECT_EQ(back->overlayOpacity(), 1.0);
    EXPECT_TRUE(graphics::filterValuesEqual(back->saturationColorControlsFilter()->value("inputSaturation"), 0.2));
    EXPECT_TRUE(graphics::filterValuesEqual(back->rgbToneCurveFilter()->value("inputGreenPoint2"),
                                            graphics::FilterVector::make(0.5, 0.6)));
    // Decoded filters are observed like made ones.
    auto undo = manualUndoManager();
    back->setUndoManager(undo);
    undo->beginUndoGrouping();
    back->vignetteFilter()->setValue(0.4, "inputIntensity");
    undo->endUndoGrouping();
    EXPECT_TRUE(undo->canUndo());
}

TEST(MVRFilterGraph, DamagedArchivesAreErrors)
{
    MVRFilterGraph::initialize();
    // A graph archive whose slots hold the wrong filters.
    struct Swapped : foundation::Coding {
        std::string key;
        graphics::FilterPtr filter;
        std::string className() const override { return "MVRFilterGraph"; }
        void encodeWithCoder(foundation::KeyedArchiver& coder) const override { coder.encodeObject(filter, key); }
    };
    struct Case {
        const char* key;
        const char* filterName;
    } cases[] = {{"exposureFilter", "CIVignette"}, {"rgbToneCurveFilter", "CIToneCurve"}, {"vignetteFilter", "RGBToneCurve"}};
    for (const auto& c : cases) {
        auto swapped = std::make_shared<Swapped>();
        swapped->key = c.key;
        swapped->filter = graphics::Filter::filterWithName(c.filterName);
        auto data = foundation::KeyedArchiver::archivedDataWithRootObject(swapped, true);
        foundation::ErrorPtr error;
        EXPECT_FALSE(foundation::KeyedUnarchiver::unarchivedObjectOfClass<MVRFilterGraph>("MVRFilterGraph", data, &error))
            << c.key;
        EXPECT_TRUE(error) << c.key;
    }
    // Truncated bytes.
    auto data = foundation::KeyedArchiver::archivedDataWithRootObject(MVRFilterGraph::init(), true);
    data.resize(data.size() / 2);
    EXPECT_FALSE(foundation::KeyedUnarchiver::unarchivedObjectOfClass<MVRFilterGraph>("MVRFilterGraph", data));
}

TEST(MVRFilterGraph, CanvasObjectsAreDrawnFirstOnTop)
{
    const Image::RGBA8 dimRed{128, 0, 0, 255}, green{0, 200, 0, 255};
    auto top = ImageCanvasObject::initWithImage(filtertest::bitmap(3, 3, [&](int, int) { return dimRed; }));
    auto bottom = ImageCanvasObject::initWithImage(filtertest::bitmap(5, 5, [&](int, int) { return green; }));
    ASSERT_TRUE(top && bottom);
    top->setRect(Rect::make(2, 2, 6, 6)); // stretched from 3 x 3
    bottom->setRect(Rect::make(0, 0, 10, 10));

    auto graph = MVRFilterGraph::init();
    graph->setInputVideoImage(filtertest::solid(20, 10, kVideo));
    graph->setInputStillImage(filtertest::solid(20, 10, kStill));
    graph->setInputMaskImage(filtertest::solid(20, 10, {255, 255, 255, 255}));
    graph->setCanvasObjects({top, bottom});
    auto frame = render(graph->outputImage());
    filtertest::keepSnapshot(frame, "graph-canvas");
    EXPECT_EQ(frame->pixelAt(4, 5), dimRed); // both: the first object is on top
    EXPECT_EQ(frame->pixelAt(9, 5), green);  // the second alone
    EXPECT_EQ(frame->pixelAt(15, 5), kVideo);
    EXPECT_EQ(graph->outputImage()->extent(), Rect::make(0, 0, 20, 10));

    // Adjustments reach objects only when they ask for them.
    graph->exposureFilter()->setValue(1.0, "inputEV");
    frame = render(graph->outputImage());
    EXPECT_EQ(frame->pixelAt(4, 5), dimRed);
    EXPECT_NE(frame->pixelAt(15, 5), kVideo);
    top->setApplyAdjustments(true);
    graph->invalidateOutputImage();
    EXPECT_GT(render(graph->outputImage())->pixelAt(4, 5).r, dimRed.r);

    top->setHidden(true);
    graph->invalidateOutputImage();
    EXPECT_EQ(render(graph->outputImage())->pixelAt(4, 5), green);
}
