// Keeping the crop rectangle inside the image as rotated by the straighten angle. A corner or
// edge drag corrects the dragged corner or edge and its neighbours (the fixed side stays, and
// the aspect ratio when it is kept); anything else moves the rectangle inwards corner by
// corner, the farthest first, and shrinks it from the opposite corner only when moving is not
// enough.

#include "MovaraKit/Editor/CropController.h"

#include <algorithm>
#include <array>
#include <cmath>

using graphics::AffineTransform;
using graphics::Point;
using graphics::Rect;
using graphics::RectEdge;
using graphics::Size;

namespace {

constexpr double kEpsilon = 0.00001;

RectCorner opposite(RectCorner corner)
{
    return static_cast<RectCorner>(3 - static_cast<int>(corner));
}

// The working state of one constraint: the image frame (centred, turned back by the angle),
// the box being corrected and the aspect ratio to keep.
class Constraint {
public:
    Constraint(const Size& size, double angle, const Rect& box, double aspect)
        : m_t(AffineTransform::makeRotation(-angle).translatedBy(-size.width / 2, -size.height / 2))
        , m_inverse(m_t.inverted())
        , m_image(Rect::make(-size.width / 2, -size.height / 2, size.width, size.height))
        , m_size(size)
        , m_box(box.standardized())
        , m_aspect(aspect)
    {
    }

    const Rect& box() const { return m_box; }
    Point point(RectCorner corner) const { return mvr_point(m_box, corner); }
    void move(RectCorner corner, const Point& delta) { mvr_move(m_box, corner, delta, Size {0, 0}); }

    // The displacement that brings P back into the image along the line from Q to P.
    std::optional<Point> imageCorrection(const Point& P, const Point& Q) const
    {
        const Point p = P.applying(m_t);
        if (m_image.contains(p))
            return std::nullopt;
        const Point q = Q.applying(m_t);
        const double dx = p.x - q.x, dy = p.y - q.y;
        Point c = p;
        if (std::abs(dx) < kEpsilon || std::abs(dy) < kEpsilon) {
            c = mvr_constrain(m_image, p);
        } else {
            const double m = dy / dx;
            if (p.x > m_image.maxX())
                c = {m_image.maxX(), q.y + (m_image.maxX() - q.x) * m};
            else if (p.x < m_image.minX())
                c = {m_image.minX(), q.y + (m_image.minX() - q.x) * m};
            if (c.y > m_image.maxY())
                c = {q.x + (m_image.maxY() - q.y) / m, m_image.maxY()};
            else if (c.y < m_image.minY())
                c = {q.x + (m_image.minY() - q.y) / m, m_image.minY()};
        }
        return c.applying(m_inverse) - P;
    }

    std::optional<Point> clampedImageCorrection(const Point& P) const
    {
        const Point p = P.applying(m_t);
        if (m_image.contains(p))
            return std::nullopt;
        return mvr_constrain(m_image, p).applying(m_inverse) - P;
    }

    // The box at `size`, placed so that corner `keep` stays where it is.
    void resize(const Size& size, RectCorner keep)
    {
        const Point anchor = point(keep);
        const bool keepMinX = keep == RectCorner::minXY || keep == RectCorner::minXmaxY;
        const bool keepMinY = keep == RectCorner::minXY || keep == RectCorner::maxXminY;
        m_box = Rect::make(keepMinX ? anchor.x : anchor.x - size.width, keepMinY ? anchor.y : anchor.y - size.height,
                           size.width, size.height);
    }

    Size fittedSize() const
    {
        const double w = m_box.size.width, h = m_box.size.height;
        return m_aspect > w / h ? Size {w, w / m_aspect} : Size {h * m_aspect, h};
    }

    // The largest box of the aspect ratio inside the box, keeping the corner opposite `corner`.
    void fitAspect(RectCorner corner) { resize(fittedSize(), opposite(corner)); }

    void pullIntoImage(RectCorner a, RectCorner b, bool horizontally)
    {
        for (RectCorner corner : {a, b}) {
            const Point p = point(corner);
            const Point q = horizontally ? Point {p.x + 1, p.y} : Point {p.x, p.y + 1};
            if (auto d = imageCorrection(p, q))
                move(corner, *d);
        }
    }

    void cornerDrag(bool preserveAspect, RectCorner dragged, RectCorner horizontalNeighbour, RectCorner verticalNeighbour)
    {
        bool moved = false;
        auto d = preserveAspect ? imageCorrection(point(dragged), point(opposite(dragged)))
                                : clampedImageCorrection(point(dragged));
        if (d) {
            move(dragged, *d);
            moved = true;
        }
        const Point v = point(verticalNeighbour);
        if (auto e = imageCorrection(v, {v.x + 1, v.y})) {
            move(verticalNeighbour, *e);
            moved = true;
        }
        const Point h = point(horizontalNeighbour);
        if (auto e = imageCorrection(h, {h.x, h.y + 1})) {
            move(horizontalNeighbour, *e);
            moved = true;
        }
        if (preserveAspect && moved)
            fitAspect(dragged);
    }

    void edgeDrag(bool preserveAspect, RectEdge edge, const Rect& current)
    {
        using C = RectCorner;
        if (!preserveAspect) {
            switch (edge) {
            case RectEdge::minX: pullIntoImage(C::minXY, C::minXmaxY, true); break;
            case RectEdge::maxX: pullIntoImage(C::maxXminY, C::maxXY, true); break;
            case RectEdge::minY: pullIntoImage(C::minXY, C::maxXminY, false); break;
            case RectEdge::maxY: pullIntoImage(C::minXmaxY, C::maxXY, false); break;
            }
            return;
        }
        const bool xEdge = edge == RectEdge::minX || edge == RectEdge::maxX;
        // 1. The opposite edge is pulled in along itself.
        switch (edge) {
        case RectEdge::minX: pullIntoImage(C::maxXminY, C::maxXY, false); break;
        case RectEdge::maxX: pullIntoImage(C::minXY, C::minXmaxY, false); break;
        case RectEdge::minY: pullIntoImage(C::minXmaxY, C::maxXY, true); break;
        case RectEdge::maxY: pullIntoImage(C::minXY, C::maxXminY, true); break;
        }
        // 2. The dragged dimension follows the other, the opposite edge staying.
        if (xEdge) {
            const double width = m_box.size.height * m_aspect;
            if (edge == RectEdge::minX)
                m_box.origin.x = m_box.origin.x + m_box.size.width - width;
            m_box.size.width = width;
        } else {
            const double height = m_box.size.width / m_aspect;
            if (edge == RectEdge::minY)
                m_box.origin.y = m_box.origin.y + m_box.size.height - height;
            m_box.size.height = height;
        }
        // 3. The anchor: the middle of the opposite edge of the rectangle as it was.
        Point anchor;
        std::array<std::pair<C, C>, 2> steps; // the corner to correct, the corner to keep
        switch (edge) {
        case RectEdge::minX:
            anchor = {current.maxX(), current.midY()};
            steps = {{{C::minXY, C::maxXminY}, {C::minXmaxY, C::maxXY}}};
            break;
        case RectEdge::maxX:
            anchor = {current.minX(), current.midY()};
            steps = {{{C::maxXminY, C::minXY}, {C::maxXY, C::minXmaxY}}};
            break;
        case RectEdge::minY:
            anchor = {current.midX(), current.maxY()};
            steps = {{{C::minXY, C::minXmaxY}, {C::maxXminY, C::maxXY}}};
            break;
        case RectEdge::maxY:
            anchor = {current.midX(), current.minY()};
            steps = {{{C::minXmaxY, C::minXY}, {C::maxXY, C::maxXminY}}};
            break;
        }
        // 4, 5. Each corner of the dragged edge is pulled towards the anchor, then the box
        // takes the aspect ratio again.
        for (const auto& [corner, keep] : steps) {
            auto d = imageCorrection(point(corner), anchor);
            if (!d)
                return;
            move(corner, *d);
            resize(fittedSize(), keep);
        }
    }

    void generalPass()
    {
        const Point c {m_size.width / 2, m_size.height / 2};
        std::array<RectCorner, 4> order {RectCorner::minXY, RectCorner::minXmaxY, RectCorner::maxXminY, RectCorner::maxXY};
        std::array<double, 4> distance {};
        for (size_t i = 0; i < 4; ++i)
            distance[i] = mvr_distance(point(order[i]), c);
        std::array<size_t, 4> index {0, 1, 2, 3};
        std::stable_sort(index.begin(), index.end(), [&](size_t a, size_t b) { return distance[a] > distance[b]; });
        for (size_t i : index) {
            const RectCorner k = order[i];
            const Point pk = point(k);
            const Point t = pk.applying(m_t);
            if (m_image.contains(t))
                continue;
            const Point d = mvr_constrain(m_image, t).applying(m_inverse) - pk;
            if (std::abs(d.x) < kEpsilon && std::abs(d.y) < kEpsilon)
                continue;
            m_box = m_box.offsetBy(d.x, d.y);
            auto e = imageCorrection(point(opposite(k)), point(k));
            if (!e)
                continue;
            const Rect saved = m_box;
            move(opposite(k), *e);
            if (std::abs(m_box.size.width) < kEpsilon || std::abs(m_box.size.height) < kEpsilon)
                m_box = saved;
        }
    }

private:
    AffineTransform m_t;
    AffineTransform m_inverse;
    Rect m_image;
    Size m_size;
    Rect m_box;
    double m_aspect;
};

} // namespace

Rect CropController::constrainedRect(const Rect& candidate, std::optional<TrackingMode> mode) const
{
    if (candidate.isNull())
        return candidate;
    const Rect current = rect();
    Constraint c(m_size, m_angle, candidate, current.width() / current.height());
    using C = RectCorner;
    switch (mode.value_or(TrackingMode::center)) {
    case TrackingMode::topLeft: c.cornerDrag(m_preserveAspect, C::minXmaxY, C::maxXY, C::minXY); break;
    case TrackingMode::topRight: c.cornerDrag(m_preserveAspect, C::maxXY, C::minXmaxY, C::maxXminY); break;
    case TrackingMode::bottomLeft: c.cornerDrag(m_preserveAspect, C::minXY, C::maxXminY, C::minXmaxY); break;
    case TrackingMode::bottomRight: c.cornerDrag(m_preserveAspect, C::maxXminY, C::minXY, C::maxXY); break;
    case TrackingMode::left: c.edgeDrag(m_preserveAspect, RectEdge::minX, current); break;
    case TrackingMode::bottom: c.edgeDrag(m_preserveAspect, RectEdge::minY, current); break;
    case TrackingMode::right: c.edgeDrag(m_preserveAspect, RectEdge::maxX, current); break;
    case TrackingMode::top: c.edgeDrag(m_preserveAspect, RectEdge::maxY, current); break;
    case TrackingMode::center:
    case TrackingMode::rotate: c.generalPass(); break;
    }
    // A corner or edge correction can squeeze the box to nothing (a neighbour pulled in past
    // the opposite side of a steeply turned image); a crop of no size, or of a size that is
    // not a number, is never stored: the general pass, which undoes such collapses, decides.
    auto usable = [](const Rect& r) {
        return std::isfinite(r.origin.x) && std::isfinite(r.origin.y) && std::isfinite(r.size.width)
            && std::isfinite(r.size.height) && std::abs(r.size.width) >= kEpsilon && std::abs(r.size.height) >= kEpsilon;
    };
    if (usable(c.box()) || !usable(candidate.standardized()))
        return usable(c.box()) ? c.box() : (usable(current) ? current : c.box());
    Constraint general(m_size, m_angle, candidate, current.width() / current.height());
    general.generalPass();
    if (usable(general.box()))
        return general.box();
    return usable(current) ? current : general.box();
}
