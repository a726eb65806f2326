#pragma once
// Plane-geometry helpers shared by the crop and straighten controls and the canvas layers:
// angle conversion, distances, rectangle corners, resizing by a corner or an edge with a
// minimum size, clamping and line intersection. Pure functions except the two mvr_move
// overloads, which change the rectangle they are given. Point + and - come with the platform.

#include <optional>

#include "Platform/Graphics/Geometry.h"

// The corners of a rectangle: the first half of each name is the horizontal side, the
// second the vertical one.
enum class RectCorner { minXY, minXmaxY, maxXminY, maxXY };

double mvr_radiansToDegrees(double radians);
double mvr_degreesToRadians(double degrees);

// Euclidean distance between the two points.
double mvr_distance(const graphics::Point& point, const graphics::Point& from);
// Width over height (infinite or not a number for a zero height, as the division gives).
double mvr_aspectRatio(const graphics::Size& size);

graphics::Point mvr_center(const graphics::Rect& rect);
graphics::Point mvr_minXY(const graphics::Rect& rect);
graphics::Point mvr_minXmaxY(const graphics::Rect& rect);
graphics::Point mvr_maxXminY(const graphics::Rect& rect);
graphics::Point mvr_maxXY(const graphics::Rect& rect);
graphics::Point mvr_point(const graphics::Rect& rect, RectCorner corner);

// Drags `corner` by `delta` while the opposite corner stays put; no side gets shorter than
// `minimumSize`. The rectangle comes back standardized.
void mvr_move(graphics::Rect& rect, RectCorner corner, const graphics::Point& delta, const graphics::Size& minimumSize);
// Drags one edge by `delta`; the side does not get shorter than `minimumLength`.
void mvr_move(graphics::Rect& rect, graphics::RectEdge edge, double delta, double minimumLength);

// The point clamped into the rectangle (a point on a max edge counts as inside).
graphics::Point mvr_constrain(const graphics::Rect& rect, const graphics::Point& point);

// Where the line through p1 along v1 crosses the line through p2 along v2; none for
// parallel lines (equal, opposite or proportional directions) and for a zero direction.
std::optional<graphics::Point> mvr_intersection(const graphics::Point& p1, const graphics::Vector& v1,
                                                const graphics::Point& p2, const graphics::Vector& v2);
