#include "tools/SunScape.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace tools {

namespace {

struct RGB {
    double r = 0, g = 0, b = 0;
};

RGB mix(RGB a, RGB b, double f)
{
    return {a.r + (b.r - a.r) * f, a.g + (b.g - a.g) * f, a.b + (b.b - a.b) * f};
}

double smoothstep(double edge0, double edge1, double x)
{
    const double t = std::clamp((x - edge0) / (edge1 - edge0), 0.0, 1.0);
    return t * t * (3 - 2 * t);
}

// A fixed pseudo-random sequence, so every run draws the same stars.
struct Sequence {
    uint32_t state;
    double next()
    {
        state = state * 1664525u + 1013904223u;
        return (state >> 8) / double(1u << 24);
    }
};

void setColor(cairo_t* cr, RGB c, double alpha = 1.0)
{
    cairo_set_source_rgba(cr, c.r, c.g, c.b, alpha);
}

// A ridge line across the whole width: a sum of slow waves around `baseY`.
void ridgePath(cairo_t* cr, double width, double height, double baseY, double amplitude, double phase)
{
    cairo_move_to(cr, 0, height);
    const int steps = 48;
    for (int i = 0; i <= steps; ++i) {
        const double x = width * i / steps;
        const double u = double(i) / steps;
        const double y = baseY - amplitude * (0.6 * std::sin(u * 5.1 + phase) + 0.3 * std::sin(u * 11.3 + phase * 2.0) + 0.1 * std::sin(u * 23.7));
        cairo_line_to(cr, x, y);
    }
    cairo_line_to(cr, width, height);
    cairo_close_path(cr);
}

void cloud(cairo_t* cr, double x, double y, double size)
{
    cairo_new_sub_path(cr);
    cairo_arc(cr, x, y, size * 0.5, 0, 2 * M_PI);
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + size * 0.55, y + size * 0.1, size * 0.4, 0, 2 * M_PI);
    cairo_new_sub_path(cr);
    cairo_arc(cr, x - size * 0.55, y + size * 0.15, size * 0.35, 0, 2 * M_PI);
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + size * 0.1, y - size * 0.25, size * 0.38, 0, 2 * M_PI);
}

} // namespace

void drawSunScape(cairo_t* cr, double width, double height, double dayFraction)
{
    const double t = dayFraction - std::floor(dayFraction);
    const double angle = 2 * M_PI * (t - 0.25);
    const double elevation = std::sin(angle); // -1 midnight, 0 sunrise and sunset, 1 noon
    const double light = smoothstep(-0.25, 0.35, elevation);
    const double warmth = std::exp(-(elevation / 0.22) * (elevation / 0.22));
    const double horizonY = height * 0.66;

    cairo_save(cr);
    cairo_rectangle(cr, 0, 0, width, height);
    cairo_clip(cr);

    // Sky.
    const RGB top = mix({0.02, 0.03, 0.10}, {0.20, 0.48, 0.90}, light);
    RGB horizon = mix({0.06, 0.08, 0.20}, {0.62, 0.80, 0.98}, light);
    horizon = mix(horizon, {1.0, 0.52, 0.22}, warmth * 0.85);
    cairo_pattern_t* sky = cairo_pattern_create_linear(0, 0, 0, horizonY);
    cairo_pattern_add_color_stop_rgb(sky, 0, top.r, top.g, top.b);
    cairo_pattern_add_color_stop_rgb(sky, 1, horizon.r, horizon.g, horizon.b);
    cairo_set_source(cr, sky);
    cairo_paint(cr);
    cairo_pattern_destroy(sky);

    // Stars fade in as the sun goes down.
    const double starAlpha = 1.0 - smoothstep(-0.35, -0.05, elevation);
    if (starAlpha > 0) {
        Sequence random {20240917u};
        for (int i = 0; i < 60; ++i) {
            const double x = random.next() * width;
            const double y = random.next() * horizonY * 0.9;
            const double r = 0.4 + random.next() * 0.9;
            cairo_arc(cr, x, y, r * height / 240.0, 0, 2 * M_PI);
            cairo_set_source_rgba(cr, 1, 1, 0.95, starAlpha * (0.4 + 0.6 * random.next()));
            cairo_fill(cr);
        }
    }

    // Sun and moon ride opposite arcs over the hills.
    const double radius = height * 0.07;
    auto body = [&](double bodyAngle, RGB color, double glow) {
        const double x = width * (0.5 - 0.42 * std::cos(bodyAngle));
        const double y = horizonY - std::sin(bodyAngle) * height * 0.52;
        if (glow > 0) {
            cairo_pattern_t* halo = cairo_pattern_create_radial(x, y, radius * 0.5, x, y, radius * 4);
            cairo_pattern_add_color_stop_rgba(halo, 0, color.r, color.g, color.b, glow);
            cairo_pattern_add_color_stop_rgba(halo, 1, color.r, color.g, color.b, 0);
            cairo_set_source(cr, halo);
            cairo_paint(cr);
            cairo_pattern_destroy(halo);
        }
        cairo_arc(cr, x, y, radius, 0, 2 * M_PI);
        setColor(cr, color);
        cairo_fill(cr);
    };
    body(angle, mix({1.0, 0.98, 0.75}, {1.0, 0.45, 0.15}, warmth), 0.55);
    body(angle + M_PI, {0.92, 0.92, 0.86}, 0.15 * starAlpha);

    // Clouds drift once across the sky in a day.
    const RGB cloudColor = mix(mix({0.18, 0.19, 0.28}, {1, 1, 1}, light), {1.0, 0.70, 0.55}, warmth * 0.7);
    for (int i = 0; i < 3; ++i) {
        const double span = width * 1.6;
        const double x = std::fmod(width * (0.15 + 0.45 * i) + t * span, span) - width * 0.3;
        const double y = horizonY * (0.22 + 0.18 * i);
        cloud(cr, x, y, height * (0.10 + 0.03 * i));
        setColor(cr, cloudColor, 0.85);
        cairo_fill(cr);
    }

    // Two ranges of hills, the far one hazy.
    ridgePath(cr, width, height, horizonY, height * 0.10, 0.7);
    setColor(cr, mix(mix({0.05, 0.06, 0.14}, {0.38, 0.50, 0.62}, light), horizon, 0.25));
    cairo_fill(cr);
    ridgePath(cr, width, height, horizonY + height * 0.12, height * 0.07, 2.3);
    setColor(cr, mix({0.02, 0.04, 0.05}, {0.18, 0.40, 0.20}, light));
    cairo_fill(cr);

    cairo_restore(cr);
}

} // namespace tools
