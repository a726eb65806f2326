#pragma once
// Plane geometry with the desktop platform's exact semantics: the null rectangle (infinite
// origin) is the empty set, the infinite rectangle covers the plane, negative sizes are read
// in their standardized form, containment is half-open. Plain values; any thread.

#include <utility>

namespace graphics {

struct AffineTransform;

struct Point {
    double x = 0;
    double y = 0;

    static Point make(double x, double y) { return Point{x, y}; }
    static Point zero() { return Point{}; }

    bool equalTo(const Point& other) const { return x == other.x && y == other.y; }
    bool operator==(const Point& other) const = default;
    Point applying(const AffineTransform& t) const;
};

inline Point operator+(const Point& a, const Point& b) { return Point{a.x + b.x, a.y + b.y}; }
inline Point operator-(const Point& a, const Point& b) { return Point{a.x - b.x, a.y - b.y}; }

struct Size {
    double width = 0;
    double height = 0;

    static Size make(double width, double height) { return Size{width, height}; }
    static Size zero() { return Size{}; }

    bool equalTo(const Size& other) const { return width == other.width && height == other.height; }
    bool operator==(const Size& other) const = default;
    // Transforms the size as a vector: rotation and scale apply, translation does not.
    Size applying(const AffineTransform& t) const;
};

// A direction or displacement (dx, dy).
struct Vector {
    double dx = 0;
    double dy = 0;

    static Vector make(double dx, double dy) { return Vector{dx, dy}; }
    bool operator==(const Vector& other) const = default;
};

enum class RectEdge { minX, minY, maxX, maxY };

struct Rect {
    Point origin;
    Size size;

    static Rect make(double x, double y, double width, double height) { return Rect{{x, y}, {width, height}}; }
    static Rect zero() { return Rect{}; }
    // The empty set: origin at +infinity, zero size. Every operation treats it as "nothing".
    static Rect null();
    // The whole plane.
    static Rect infinite();

    bool isNull() const;
    bool isInfinite() const;
    // Null, or zero width or height.
    bool isEmpty() const;

    // Accessors read the standardized rectangle: a negative width is flipped first.
    double minX() const;
    double midX() const;
    double maxX() const;
    double minY() const;
    double midY() const;
    double maxY() const;
    double width() const;
    double height() const;

    // Negative sizes flipped into positive ones with the same covered area.
    Rect standardized() const;
    // The smallest rectangle with whole-number edges enclosing this one; null stays null.
    Rect integral() const;
    // Moves the origin; null and infinite rectangles stay as they are.
    Rect offsetBy(double dx, double dy) const;
    // Shrinks (positive) or grows (negative) each side; null when a side would go negative.
    Rect insetBy(double dx, double dy) const;
    // The shared area; null when the two don't overlap (touching edges don't overlap).
    Rect intersection(const Rect& other) const;
    // The smallest rectangle containing both; a null operand is ignored.
    Rect unionWith(const Rect& other) const;
    bool intersects(const Rect& other) const;
    // Half-open: points on the max edges are outside.
    bool contains(const Point& point) const;
    // Every rectangle contains the null rectangle; the null rectangle contains nothing else.
    bool contains(const Rect& other) const;
    // Splits off a slice `amount` wide (clamped to the rectangle) from `edge`:
    // returns {slice, remainder}.
    std::pair<Rect, Rect> divided(double amount, RectEdge edge) const;
    // Equal as standardized rectangles; two null rectangles are equal.
    bool equalTo(const Rect& other) const;
    // The bounding box of the four transformed corners; null stays null.
    Rect applying(const AffineTransform& t) const;

    // Member-wise equality (use equalTo for the platform's geometric test).
    bool operator==(const Rect& other) const = default;
};

// x' = a x + c y + tx, y' = b x + d y + ty.
struct AffineTransform {
    double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;

    static AffineTransform identity() { return AffineTransform{}; }
    static AffineTransform make(double a, double b, double c, double d, double tx, double ty)
    {
        return AffineTransform{a, b, c, d, tx, ty};
    }
    static AffineTransform makeTranslation(double tx, double ty);
    static AffineTransform makeScale(double sx, double sy);
    static AffineTransform makeRotation(double radians);

    bool isIdentity() const;
    // This transform followed by `other` (a point goes through this one first).
    AffineTransform concatenating(const AffineTransform& other) const;
    // Translation, scale or rotation applied before this transform.
    AffineTransform translatedBy(double tx, double ty) const;
    AffineTransform scaledBy(double sx, double sy) const;
    AffineTransform rotated(double radians) const;
    // The inverse; a singular transform comes back unchanged.
    AffineTransform inverted() const;

    bool operator==(const AffineTransform& other) const = default;
};

// Distances inward from each side.
struct EdgeInsets {
    double top = 0;
    double left = 0;
    double bottom = 0;
    double right = 0;

    static EdgeInsets make(double top, double left, double bottom, double right)
    {
        return EdgeInsets{top, left, bottom, right};
    }
    static EdgeInsets zero() { return EdgeInsets{}; }
    bool operator==(const EdgeInsets& other) const = default;
};

} // namespace graphics
