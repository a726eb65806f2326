#include "MovaraKit/Editor/CropController.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

#include "MovaraKit/Service/MVRError.h"
#include "Platform/Graphics/BitmapContext.h"

using graphics::AffineTransform;
using graphics::Point;
using graphics::Rect;
using graphics::Size;
using Mode = CropController::TrackingMode;

namespace {

constexpr double kQuarterPi = std::numbers::pi / 4;

void expectRect(const Rect& actual, const Rect& expected, double tolerance = 1e-6)
{
    EXPECT_NEAR(actual.origin.x, expected.origin.x, tolerance);
    EXPECT_NEAR(actual.origin.y, expected.origin.y, tolerance);
    EXPECT_NEAR(actual.size.width, expected.size.width, tolerance);
    EXPECT_NEAR(actual.size.height, expected.size.height, tolerance);
}

// Whether a point lies inside the image as the controller rotates it (with a little slack
// for rounding).
bool insideRotatedImage(const CropController& c, const Point& p)
{
    const AffineTransform t = AffineTransform::makeRotation(-c.angle()).translatedBy(-c.size().width / 2, -c.size().height / 2);
    const Point q = p.applying(t);
    const double slack = 1e-6;
    return std::abs(q.x) <= c.size().width / 2 + slack && std::abs(q.y) <= c.size().height / 2 + slack;
}

// A drag from the start point to the end point in one tracking session.
CropController::TrackingEnd drag(CropController& c, Mode mode, Point from, Point to)
{
    c.beginTracking(mode, from);
    c.continueTracking(to);
    return c.endTracking(to, false);
}

} // namespace

TEST(CropController, DefaultsAndTheDefaultCrop)
{
    auto c = CropController::init();
    EXPECT_EQ(c->size(), (Size {640, 480}));
    EXPECT_EQ(c->angle(), 0);
    EXPECT_EQ(c->rect(), Rect::make(30, 30, 300, 300));
    EXPECT_TRUE(c->preserveAspect());
    EXPECT_TRUE(c->snapAngles().empty());
    EXPECT_FALSE(c->isDefaultCropAndRotate());
    c->setRect(Rect::make(0, 0, 640, 480));
    EXPECT_TRUE(c->isDefaultCropAndRotate());
}

TEST(CropController, SnapAnglesAndAllowedRotation)
{
    auto c = CropController::init();
    EXPECT_TRUE(c->appendSnapAngle(0.1));
    EXPECT_FALSE(c->appendSnapAngle(0.12));
    EXPECT_EQ(c->snappedAngleFor(0.1349), 0.1);
    EXPECT_FALSE(c->snappedAngleFor(0.1 + CropController::snapThreshold + 1e-9));
    EXPECT_FALSE(c->snappedAngleFor(NAN));
    c->resetSnapAngles();
    EXPECT_TRUE(c->snapAngles().empty());

    EXPECT_EQ(CropController::constrainToAllowedRotation(1.0), kQuarterPi);
    EXPECT_EQ(CropController::constrainToAllowedRotation(-1.0), -kQuarterPi);
    EXPECT_EQ(CropController::constrainToAllowedRotation(0.3), 0.3);
    EXPECT_EQ(CropController::constrainToAllowedRotation(NAN), -kQuarterPi);
}

TEST(CropController, CornerAndEdgeDragsFollowTheTrackingRules)
{
    struct Case {
        const char* name;
        bool preserveAspect;
        Rect start;
        Mode mode;
        Point delta;
        Rect expected;
    };
    const Case cases[] = {
        // The minimum: the opposite corner stays.
        {"topLeft to the minimum", false, Rect::make(30, 30, 300, 300), Mode::topLeft, {1000, -1000}, Rect::make(230, 30, 100, 100)},
        // Minimum sizes keep the rectangle's aspect ratio.
        {"wide minimum", true, Rect::make(0, 0, 400, 200), Mode::bottomRight, {-1000, 1000}, Rect::make(0, 100, 200, 100)},
        {"tall minimum", true, Rect::make(0, 0, 200, 400), Mode::bottomRight, {-1000, 1000}, Rect::make(0, 200, 100, 200)},
        {"right keeps the aspect about the centre line", true, Rect::make(30, 30, 300, 300), Mode::right, {100, 0},
         Rect::make(30, -20, 400, 400)},
        {"top without aspect", false, Rect::make(30, 30, 300, 300), Mode::top, {0, 50}, Rect::make(30, 30, 300, 350)},
        {"bottom without aspect", false, Rect::make(30, 30, 300, 300), Mode::bottom, {0, 50}, Rect::make(30, 80, 300, 250)},
        {"left without aspect", false, Rect::make(30, 30, 300, 300), Mode::left, {-20, 0}, Rect::make(10, 30, 320, 300)},
        {"center moves", true, Rect::make(30, 30, 300, 300), Mode::center, {7, -5}, Rect::make(37, 25, 300, 300)},
        // A diagonal drag with the aspect kept is projected onto the diagonal.
        {"topRight projected", true, Rect::make(0, 0, 200, 100), Mode::topRight, {20, 0}, Rect::make(0, 0, 216, 108)},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        auto c = CropController::init();
        c->setSize({100000, 100000}); // far from any image edge
        c->setPreserveAspect(k.preserveAspect);
        c->setRect(k.start);
        c->beginTracking(k.mode, {500, 500});
        auto step = c->continueTracking({500 + k.delta.x, 500 + k.delta.y});
        expectRect(step.rect, k.expected);
        EXPECT_EQ(c->rect(), k.start) << "nothing is stored while tracking";
        c->endTracking({}, true);
    }
}

TEST(CropController, RotateTracksTheAngleAboutTheCentreClamped)
{
    auto c = CropController::init();
    c->beginTracking(Mode::rotate, {280, 180}); // right of the centre (180, 180)
    auto step = c->continueTracking({180, 400});
    EXPECT_NEAR(step.angle, kQuarterPi, 1e-12);
    EXPECT_EQ(step.rect, Rect::make(30, 30, 300, 300));
    auto end = c->endTracking({}, false);
    EXPECT_NEAR(end.angle, kQuarterPi, 1e-12);
    EXPECT_NEAR(c->angle(), kQuarterPi, 1e-12);
}

TEST(CropController, EndingReportsTheTrackedRectOnlyWhenItWasCorrected)
{
    auto c = CropController::init();
    c->setRect(Rect::make(100, 100, 200, 200));
    auto moved = drag(*c, Mode::center, {0, 0}, {50, 0});
    EXPECT_FALSE(moved.oldRect);
    EXPECT_EQ(moved.newRect, Rect::make(150, 100, 200, 200));

    auto pushed = drag(*c, Mode::center, {0, 0}, {400, 0});
    ASSERT_TRUE(pushed.oldRect);
    EXPECT_EQ(*pushed.oldRect, Rect::make(550, 100, 200, 200));
    EXPECT_EQ(pushed.newRect, Rect::make(440, 100, 200, 200));
    EXPECT_EQ(c->rect(), pushed.newRect);

    c->beginTracking(Mode::topLeft, {0, 0});
    c->continueTracking({-30, 30});
    auto cancelled = c->endTracking({}, true);
    EXPECT_FALSE(cancelled.oldRect);
    EXPECT_EQ(cancelled.newRect, Rect::make(440, 100, 200, 200));
    EXPECT_EQ(c->rect(), cancelled.newRect);
    EXPECT_FALSE(c->trackingMode());
}

TEST(CropController, GeneralConstraintMovesFirstAndShrinksOnlyWhenItMust)
{
    auto c = CropController::init();
    c->setRect(Rect::make(600, 10, 100, 100));
    EXPECT_EQ(c->rect(), Rect::make(540, 10, 100, 100));
    c->setRect(Rect::make(-10, -10, 700, 500));
    expectRect(c->rect(), Rect::make(0, 0, 640, 3200.0 / 7), 1e-9);
    // Inside the unrotated image nothing changes.
    c->setRect(Rect::make(10, 20, 30, 40));
    EXPECT_EQ(c->rect(), Rect::make(10, 20, 30, 40));
}

TEST(CropController, RotatingShrinksTheCropIntoTheTurnedImage)
{
    auto c = CropController::init();
    c->setRect(Rect::make(0, 0, 640, 480));
    c->setAngle(0.2);
    for (auto corner : {RectCorner::minXY, RectCorner::minXmaxY, RectCorner::maxXminY, RectCorner::maxXY})
        EXPECT_TRUE(insideRotatedImage(*c, mvr_point(c->rect(), corner)));
    EXPECT_LT(c->rect().width(), 640);
}

TEST(CropController, AspectKeepingCornerDragOutsideTheImageKeepsTheRatioAndTheFixedCorner)
{
    auto c = CropController::init();
    c->setAngle(0.1);
    c->setRect(Rect::make(200, 150, 200, 100));
    const Rect before = c->rect();
    const double ratio = before.width() / before.height();
    auto end = drag(*c, Mode::topRight, {0, 0}, {2000, 1000});
    EXPECT_NEAR(end.newRect.width() / end.newRect.height(), ratio, 1e-9);
    EXPECT_NEAR(end.newRect.minX(), before.minX(), 1e-9);
    EXPECT_NEAR(end.newRect.minY(), before.minY(), 1e-9);
    for (auto corner : {RectCorner::minXY, RectCorner::minXmaxY, RectCorner::maxXminY, RectCorner::maxXY})
        EXPECT_TRUE(insideRotatedImage(*c, mvr_point(end.newRect, corner)));
}

TEST(CropController, EdgeDragWithoutAspectMovesOnlyTheDraggedEdge)
{
    auto c = CropController::init();
    c->setPreserveAspect(false);
    c->setAngle(0.15);
    c->setRect(Rect::make(250, 200, 100, 80));
    const Rect before = c->rect();
    auto end = drag(*c, Mode::right, {0, 0}, {1000, 0});
    EXPECT_NEAR(end.newRect.minX(), before.minX(), 1e-9);
    EXPECT_GT(end.newRect.maxX(), before.maxX());
    for (auto corner : {RectCorner::minXY, RectCorner::minXmaxY, RectCorner::maxXminY, RectCorner::maxXY})
        EXPECT_TRUE(insideRotatedImage(*c, mvr_point(end.newRect, corner)));
}

// Random drags and rotations never leave a corner outside the turned image.
TEST(CropController, PropertyEveryCornerStaysInsideAfterRandomDragsAndRotations)
{
    std::mt19937 random(1234);
    std::uniform_real_distribution<double> unit(0, 1);
    const Mode modes[] = {Mode::topLeft, Mode::topRight, Mode::bottomLeft, Mode::bottomRight, Mode::top,
                          Mode::left,    Mode::bottom,   Mode::right,      Mode::center,     Mode::rotate};
    for (int run = 0; run < 40; ++run) {
        auto c = CropController::init();
        c->setSize({200 + unit(random) * 1800, 200 + unit(random) * 1800});
        c->setRect(Rect::make(0, 0, c->size().width, c->size().height));
        c->setAngle(CropController::constrainToAllowedRotation((unit(random) - 0.5) * 1.6));
        for (int step = 0; step < 25; ++step) {
            c->setPreserveAspect(unit(random) < 0.5);
            const Mode mode = modes[random() % 10];
            const Rect r = c->rect();
            const Point from {r.midX(), r.midY()};
            const Point to {from.x + (unit(random) - 0.5) * 3000, from.y + (unit(random) - 0.5) * 3000};
            auto end = drag(*c, mode, mode == Mode::rotate ? Point {r.maxX() + 10, r.midY()} : from, to);
            for (auto corner : {RectCorner::minXY, RectCorner::minXmaxY, RectCorner::maxXminY, RectCorner::maxXY}) {
                const Point p = mvr_point(c->rect(), corner);
                ASSERT_TRUE(insideRotatedImage(*c, p)) << "run " << run << " step " << step << " mode " << int(mode) << " corner "
                                                       << int(corner) << " at " << p.x << ", " << p.y << " rect "
                                                       << c->rect().origin.x << " " << c->rect().origin.y << " "
                                                       << c->rect().size.width << " " << c->rect().size.height << " angle "
                                                       << c->angle() << " size " << c->size().width << " " << c->size().height;
            }
            EXPECT_LE(std::abs(c->angle()), kQuarterPi);
            (void)end;
        }
    }
}

TEST(CropController, ObserversOfCoordinatesHearRectAngleAndSizeChanges)
{
    auto c = CropController::init();
    int heard = 0;
    auto token = c->addObserver("width", 0, [&](const foundation::KeyValueChange&) { ++heard; });
    c->setAngle(0.1);
    EXPECT_GT(heard, 0);
    heard = 0;
    c->setX(40);
    EXPECT_GT(heard, 0);
    EXPECT_EQ(c->x(), 40);
}

TEST(CropControllerDeathTest, TrackingOutOfOrderStops)
{
    auto c = CropController::init();
    EXPECT_DEATH(c->continueTracking({0, 0}), "no tracking under way");
    c->beginTracking(Mode::center, {0, 0});
    EXPECT_DEATH(c->beginTracking(Mode::center, {0, 0}), "already under way");
}

TEST(CropControllerConversions, AnglesRectanglesAndRescaling)
{
    const AffineTransform mirror = AffineTransform::make(-1, 0, 0, 1, 0, 0);
    EXPECT_EQ(CropController::convertDocumentAngleToController(0.3, mirror), -0.3);
    EXPECT_EQ(CropController::convertControllerAngleToDocument(0.3, AffineTransform::identity()), 0.3);
    EXPECT_EQ(CropController::convertDocumentAngleToController(0.3, AffineTransform::make(0, 1, 1, 0, 0, 0)), -0.3);

    const Size size {200, 100};
    EXPECT_EQ(CropController::convertDocumentCropRectToController(Rect::make(10, 10, -5, 20), size, AffineTransform::identity()),
              Rect::make(5, 10, 5, 20));
    // Round trips through a flip and a quarter turn.
    for (const AffineTransform& t : {mirror, AffineTransform::makeRotation(std::numbers::pi / 2), AffineTransform::makeScale(1, -1)}) {
        const Rect r = Rect::make(10, 20, 30, 40);
        const Rect there = CropController::convertDocumentCropRectToController(r, size, t);
        expectRect(CropController::convertControllerCropRectToDocument(there, size, t), r, 1e-9);
    }
    expectRect(CropController::convertDocumentCropRectToController(Rect::null(), size, AffineTransform::makeTranslation(50, 0)),
               Rect::make(50, 0, 200, 100));

    EXPECT_EQ(CropController::convertCropRect(Rect::make(10, 20, 100, 50), {200, 100}, {400, 300}), Rect::make(20, 60, 200, 150));
    EXPECT_EQ(CropController::convertCropRect(Rect::make(1, 1, 1, 1), {3, 3}, {2, 2}), Rect::make(1, 1, 1, 1));
    EXPECT_EQ(CropController::convertCropRect(Rect::make(0.4, 0.4, 10.6, 10.6), {5, 5}, {5, 5}), Rect::make(0.4, 0.4, 10.6, 10.6));
    EXPECT_TRUE(CropController::convertCropRect(Rect::null(), {5, 5}, {7, 7}).isNull());
}

namespace {

// A landscape: bright sky over dark ground, the horizon through the centre tilted by
// `degrees` (y up, counter-clockwise positive), with a little texture.
graphics::ImagePtr landscape(double degrees, size_t width = 640, size_t height = 480)
{
    std::vector<uint8_t> pixels(width * height * 4);
    const double slope = std::tan(degrees * std::numbers::pi / 180);
    std::mt19937 random(7);
    for (size_t row = 0; row < height; ++row) {
        for (size_t x = 0; x < width; ++x) {
            const double yUp = double(height - 1 - row);
            const double horizon = double(height) / 2 + (double(x) - double(width) / 2) * slope;
            const bool sky = yUp > horizon;
            const uint8_t noise = uint8_t(random() % 12);
            uint8_t* p = &pixels[(row * width + x) * 4];
            p[0] = uint8_t((sky ? 170 : 60) + noise);
            p[1] = uint8_t((sky ? 190 : 80) + noise);
            p[2] = uint8_t((sky ? 230 : 40) + noise);
            p[3] = 255;
        }
    }
    return graphics::Image::create(width, height, 8, 32, width * 4, graphics::ColorSpace::createDeviceRGB(),
                                   {graphics::AlphaInfo::noneSkipLast}, std::move(pixels));
}

} // namespace

TEST(CropControllerAutoStraighten, FindsATiltedHorizonWithinHalfADegree)
{
    for (double degrees : {-12.0, -3.5, 0.0, 2.0, 7.25, 20.0}) {
        std::optional<double> angle;
        foundation::ErrorPtr error;
        CropController::computeAutoStraightenAngleForImage(landscape(degrees), [&](std::optional<double> a, foundation::ErrorPtr e) {
            angle = a;
            error = e;
        });
        ASSERT_TRUE(angle) << degrees << (error ? error->localizedDescription() : "");
        EXPECT_NEAR(*angle * 180 / std::numbers::pi, degrees, 0.5);
    }
}

TEST(CropControllerAutoStraighten, RefusesAPictureWithoutAHorizon)
{
    // A flat picture, and a small disc: edges, but no long straight one.
    std::vector<uint8_t> flat(320 * 240 * 4, 128);
    auto plain = graphics::Image::create(320, 240, 8, 32, 320 * 4, graphics::ColorSpace::createDeviceRGB(),
                                         {graphics::AlphaInfo::noneSkipLast}, flat);
    std::vector<uint8_t> discPixels(320 * 240 * 4, 40);
    for (int y = 0; y < 240; ++y)
        for (int x = 0; x < 320; ++x)
            if (std::hypot(x - 160, y - 120) < 40)
                for (int k = 0; k < 3; ++k)
                    discPixels[size_t(y * 320 + x) * 4 + size_t(k)] = 230;
    auto disc = graphics::Image::create(320, 240, 8, 32, 320 * 4, graphics::ColorSpace::createDeviceRGB(),
                                        {graphics::AlphaInfo::noneSkipLast}, discPixels);
    // Strong vertical edges only: a wall, not a horizon.
    std::vector<uint8_t> stripePixels(320 * 240 * 4, 30);
    for (int y = 0; y < 240; ++y)
        for (int x = 100; x < 200; ++x)
            for (int k = 0; k < 3; ++k)
                stripePixels[size_t(y * 320 + x) * 4 + size_t(k)] = 240;
    auto stripe = graphics::Image::create(320, 240, 8, 32, 320 * 4, graphics::ColorSpace::createDeviceRGB(),
                                          {graphics::AlphaInfo::noneSkipLast}, stripePixels);
    for (const auto& image : {plain, disc, stripe, graphics::ImagePtr()}) {
        bool called = false;
        CropController::computeAutoStraightenAngleForImage(image, [&](std::optional<double> a, foundation::ErrorPtr e) {
            called = true;
            EXPECT_FALSE(a);
            ASSERT_TRUE(e);
            EXPECT_EQ(e->domain(), MVRErrorDomain);
            EXPECT_EQ(e->domain(), "com.movara.movara");
            EXPECT_EQ(e->code(), -1);
            EXPECT_EQ(e->localizedDescription(), "Could not determine auto-straighten angle");
        });
        EXPECT_TRUE(called);
    }
    // A steep horizon is clamped to the allowed rotation.
    std::optional<double> steep;
    CropController::computeAutoStraightenAngleForImage(landscape(44.0), [&](std::optional<double> a, foundation::ErrorPtr) { steep = a; });
    if (steep) {
        EXPECT_LE(*steep, kQuarterPi);
    }
}
