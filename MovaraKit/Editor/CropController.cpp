#include "MovaraKit/Editor/CropController.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "MovaraKit/Service/MVRError.h"
#include "MovaraKit/Support/Bundle+Movara.h"
#include "Platform/Foundation/Bundle.h"
#include "Platform/Graphics/HorizonDetection.h"

using graphics::AffineTransform;
using graphics::Point;
using graphics::Rect;
using graphics::Size;

namespace {

constexpr double kQuarterPi = 0.7853981633974483;

// max(m, v) as the tracking rules use it: v when m <= v, else m.
double atLeast(double m, double v)
{
    return m <= v ? v : m;
}

} // namespace

std::shared_ptr<CropController> CropController::init()
{
    return std::shared_ptr<CropController>(new CropController());
}

const foundation::KeyTable& CropController::observableKeys() const
{
    static const foundation::KeyTable table = [] {
        foundation::KeyTable t;
        t.key(
            "size", [](const foundation::Observable& o) -> std::any { return static_cast<const CropController&>(o).size(); },
            [](foundation::Observable& o, const std::any& v) { static_cast<CropController&>(o).setSize(std::any_cast<Size>(v)); });
        t.key("angle", &CropController::angle, &CropController::setAngle);
        t.key(
            "rect", [](const foundation::Observable& o) -> std::any { return static_cast<const CropController&>(o).rect(); },
            [](foundation::Observable& o, const std::any& v) { static_cast<CropController&>(o).setRect(std::any_cast<Rect>(v)); });
        t.key("x", &CropController::x, &CropController::setX);
        t.key("y", &CropController::y, &CropController::setY);
        t.key("width", &CropController::width, &CropController::setWidth);
        t.key("height", &CropController::height, &CropController::setHeight);
        t.affecting("rect", {"x", "y", "width", "height"});
        for (const char* key : {"x", "y", "width", "height"})
            t.affecting(key, {"rect", "angle", "size"});
        return t;
    }();
    return table;
}

void CropController::setRect(const Rect& rect)
{
    willChange("rect");
    m_rect = rect;
    m_rect = constrainedRect(rect, std::nullopt);
    didChange("rect");
}

void CropController::setAngle(double angle)
{
    willChange("angle");
    m_angle = angle;
    didChange("angle");
    setRect(constrainedRect(m_rect, std::nullopt));
}

void CropController::setSize(const Size& size)
{
    willChange("size");
    m_size = size;
    didChange("size");
    setRect(constrainedRect(m_rect, std::nullopt));
}

void CropController::setX(double x)
{
    Rect r = m_rect;
    r.origin.x = x;
    setRect(r);
}

void CropController::setY(double y)
{
    Rect r = m_rect;
    r.origin.y = y;
    setRect(r);
}

void CropController::setWidth(double width)
{
    Rect r = m_rect;
    r.size.width = width;
    setRect(r);
}

void CropController::setHeight(double height)
{
    Rect r = m_rect;
    r.size.height = height;
    setRect(r);
}

std::optional<double> CropController::snappedAngleFor(double angle) const
{
    for (double s : m_snapAngles) {
        if (s - snapThreshold <= angle && angle <= s + snapThreshold)
            return s;
    }
    return std::nullopt;
}

bool CropController::appendSnapAngle(double angle)
{
    if (snappedAngleFor(angle))
        return false;
    m_snapAngles.push_back(angle);
    return true;
}

bool CropController::isDefaultCropAndRotate() const
{
    return m_angle == 0 && m_rect.equalTo(Rect::make(0, 0, m_size.width, m_size.height));
}

double CropController::constrainToAllowedRotation(double angle)
{
    if (std::isnan(angle))
        return -kQuarterPi;
    return std::min(std::max(angle, -kQuarterPi), kQuarterPi);
}

// ---- tracking -------------------------------------------------------------------------------------

void CropController::beginTracking(TrackingMode mode, const Point& point)
{
    if (m_trackingMode)
        foundation::fatal("CropController.beginTracking: tracking is already under way");
    m_trackingMode = mode;
    m_originalRect = m_rect;
    m_originalAngle = m_angle;
    m_startPoint = point;
    m_trackingRect = m_rect;
    m_trackingAngle = m_angle;
}

CropController::TrackingStep CropController::continueTracking(const Point& p)
{
    if (!m_trackingMode || !m_originalRect || !m_startPoint)
        foundation::fatal("CropController.continueTracking: no tracking under way");
    const TrackingMode mode = *m_trackingMode;
    const Rect R = *m_originalRect;
    const double x = R.origin.x, y = R.origin.y, w = R.size.width, h = R.size.height;
    const double W = R.width(), H = R.height();
    const double r = H / W;
    double dx = p.x - m_startPoint->x;
    double dy = p.y - m_startPoint->y;

    // A rectangle without an aspect ratio (no width or height) drags like one that keeps none.
    const bool keepAspect = m_preserveAspect && std::isfinite(r) && r > 0;
    Size minimum {100, 100};
    if (keepAspect)
        minimum = W > H ? Size {100 / r, 100} : Size {100, 100 * r};
    const double mw = minimum.width, mh = minimum.height;

    const bool corner = mode == TrackingMode::topLeft || mode == TrackingMode::topRight || mode == TrackingMode::bottomLeft
        || mode == TrackingMode::bottomRight;
    if (corner && keepAspect) {
        // The drag point is projected onto the diagonal through the dragged corner.
        Point p1;
        graphics::Vector v1, v2;
        switch (mode) {
        case TrackingMode::topLeft:
            p1 = {R.minX(), R.maxY()}, v1 = {-W, H}, v2 = {-H, -W};
            break;
        case TrackingMode::topRight:
            p1 = {R.maxX(), R.maxY()}, v1 = {W, H}, v2 = {-H, W};
            break;
        case TrackingMode::bottomLeft:
            p1 = {R.minX(), R.minY()}, v1 = {W, H}, v2 = {-H, W};
            break;
        default:
            p1 = {R.maxX(), R.minY()}, v1 = {-W, H}, v2 = {-H, -W};
            break;
        }
        if (auto i = mvr_intersection(p1, v1, Point {p1.x + dx, p1.y + dy}, v2)) {
            dx = i->x - p1.x;
            dy = i->y - p1.y;
        }
    }

    Rect t = R;
    switch (mode) {
    case TrackingMode::topLeft:
    case TrackingMode::bottomLeft:
    case TrackingMode::topRight:
    case TrackingMode::bottomRight: {
        const bool left = mode == TrackingMode::topLeft || mode == TrackingMode::bottomLeft;
        const bool top = mode == TrackingMode::topLeft || mode == TrackingMode::topRight;
        const double w2 = atLeast(mw, left ? w - dx : w + dx);
        if (left)
            t.origin.x = x + w - w2;
        t.size.width = w2;
        t = t.standardized();
        const double h2 = atLeast(mh, top ? h + dy : h - dy);
        if (!top)
            t.origin.y = y + h - h2;
        t.size.height = h2;
        t = t.standardized();
        break;
    }
    case TrackingMode::top:
    case TrackingMode::bottom: {
        const bool top = mode == TrackingMode::top;
        const double h2 = atLeast(mh, top ? h + dy : h - dy);
        if (!top)
            t.origin.y = y + h - h2;
        t.size.height = h2;
        if (keepAspect) {
            const double w2 = h2 / r;
            t.origin.x = x - (w2 - w) / 2;
            t.size.width = w2;
        } else {
            t = t.standardized();
        }
        break;
    }
    case TrackingMode::left:
    case TrackingMode::right: {
        const bool left = mode == TrackingMode::left;
        const double w2 = atLeast(mw, left ? w - dx : w + dx);
        if (left)
            t.origin.x = x + w - w2;
        t.size.width = w2;
        if (keepAspect) {
            const double h2 = r * w2;
            t.origin.y = y - (h2 - h) / 2;
            t.size.height = h2;
        } else {
            t = t.standardized();
        }
        break;
    }
    case TrackingMode::center:
        t = R.offsetBy(dx, dy);
        break;
    case TrackingMode::rotate:
        break;
    }

    double angle = m_angle;
    if (mode == TrackingMode::rotate) {
        if (!m_originalAngle)
            foundation::fatal("CropController.continueTracking: no tracking under way");
        const Point c {R.minX() + W / 2, R.minY() + H / 2};
        const double theta = std::atan2(p.y - c.y, p.x - c.x) - std::atan2(m_startPoint->y - c.y, m_startPoint->x - c.x)
            + *m_originalAngle;
        angle = constrainToAllowedRotation(theta);
    }
    m_trackingRect = t;
    m_trackingAngle = angle;
    return {t, angle};
}

CropController::TrackingEnd CropController::endTracking(const Point&, bool cancelled)
{
    if (!m_trackingMode || !m_originalRect || !m_originalAngle || !m_trackingRect || !m_trackingAngle)
        foundation::fatal("CropController.endTracking: no tracking under way");
    const Rect original = *m_originalRect;
    const double originalAngle = *m_originalAngle;
    if (cancelled) {
        setRect(original);
        setAngle(originalAngle);
        m_trackingMode.reset();
        m_trackingRect.reset();
        m_trackingAngle.reset();
        return {std::nullopt, original, originalAngle};
    }
    const TrackingMode mode = *m_trackingMode;
    const Rect tracked = *m_trackingRect;
    const double trackedAngle = *m_trackingAngle;
    Rect candidate = tracked;
    if (mode == TrackingMode::rotate) {
        // The crop's centre turns with the image about the image's centre.
        const Point cI {m_size.width / 2, m_size.height / 2};
        const Point cR {original.minX() + original.width() / 2, original.minY() + original.height() / 2};
        const double delta = trackedAngle - m_angle;
        const Point v = (cR - cI).applying(AffineTransform::makeRotation(delta));
        candidate = original.offsetBy(cI.x + v.x - cR.x, cI.y + v.y - cR.y);
    }
    setAngle(trackedAngle);
    const Rect newRect = constrainedRect(candidate, mode);
    setRect(newRect);
    std::optional<Rect> oldRect;
    if (!newRect.equalTo(tracked))
        oldRect = tracked;
    const double angle = m_angle;
    m_trackingMode.reset();
    m_trackingRect.reset();
    m_trackingAngle.reset();
    return {oldRect, newRect, angle};
}

// ---- conversions ----------------------------------------------------------------------------------

double CropController::convertDocumentAngleToController(double angle, const AffineTransform& transform)
{
    return transform.a / transform.d == 1 ? angle : -angle;
}

double CropController::convertControllerAngleToDocument(double angle, const AffineTransform& transform)
{
    return convertDocumentAngleToController(angle, transform);
}

namespace {

// The image's bounds in controller space, and the translation that moves them to the origin.
std::pair<Rect, AffineTransform> controllerBounds(const Size& size, const AffineTransform& transform)
{
    const Size s = size.applying(transform.inverted());
    const Rect b = Rect::make(0, 0, s.width, s.height).standardized().applying(transform);
    return {b, AffineTransform::makeTranslation(-b.minX(), -b.minY())};
}

} // namespace

Rect CropController::convertDocumentCropRectToController(const Rect& rect, const Size& size, const AffineTransform& transform)
{
    const auto [b, n] = controllerBounds(size, transform);
    if (rect.isNull())
        return b.standardized();
    return rect.applying(transform).applying(n).standardized();
}

Rect CropController::convertControllerCropRectToDocument(const Rect& rect, const Size& size, const AffineTransform& transform)
{
    const auto [b, n] = controllerBounds(size, transform);
    return rect.applying(n.inverted()).applying(transform.inverted()).standardized();
}

Rect CropController::convertCropRect(const Rect& rect, const Size& from, const Size& to)
{
    if (rect.isNull() || (from.width == to.width && from.height == to.height))
        return rect;
    const Rect unit = Rect::make(rect.minX() / from.width, rect.minY() / from.height, rect.width() / from.width,
                                 rect.height() / from.height);
    return Rect::make(std::round(unit.origin.x * to.width), std::round(unit.origin.y * to.height),
                      std::round(unit.size.width * to.width), std::round(unit.size.height * to.height));
}

// ---- auto-straighten ------------------------------------------------------------------------------

void CropController::computeAutoStraightenAngleForImage(
    const graphics::ImagePtr& image, const std::function<void(std::optional<double>, foundation::ErrorPtr)>& completion)
{
    const std::optional<double> horizon = image ? graphics::detectHorizonAngle(*image) : std::nullopt;
    if (!completion)
        return;
    if (!horizon) {
        // Comment for translators: "Horizon detection error".
        const std::string text = mvr_movaraKitBundle()->localizedStringForKey("Could not determine auto-straighten angle");
        completion(std::nullopt, foundation::Error::make(MVRErrorDomain, MVRErrorCodeGeneric, text));
        return;
    }
    completion(constrainToAllowedRotation(*horizon), nullptr);
}
