#include "Platform/Graphics/HorizonDetection.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

namespace graphics {

namespace {

constexpr size_t kMaximumSide = 256;
constexpr double kStepDegrees = 0.1;
constexpr int kAngleBins = 901; // -45 ... 45 degrees
constexpr double kOrientationTolerance = 4.0; // degrees around a pixel's own edge direction

struct Grey {
    size_t width = 0;
    size_t height = 0;
    std::vector<float> pixels; // row 0 at the top
    float at(size_t x, size_t y) const { return pixels[y * width + x]; }
};

// Box-filtered luminance at a size whose longer side is at most kMaximumSide.
std::optional<Grey> reduce(const Image& image)
{
    const size_t w = image.width(), h = image.height();
    if (w < 8 || h < 8)
        return std::nullopt;
    std::vector<uint8_t> rgba(w * h * 4);
    if (!image.copyPixels(rgba.data(), w * 4, PixelFormat::rgba8, false))
        return std::nullopt;
    const double scale = std::min(1.0, double(kMaximumSide) / double(std::max(w, h)));
    Grey g;
    g.width = std::max<size_t>(8, size_t(std::lround(w * scale)));
    g.height = std::max<size_t>(8, size_t(std::lround(h * scale)));
    g.pixels.assign(g.width * g.height, 0);
    std::vector<float> counts(g.width * g.height, 0);
    for (size_t y = 0; y < h; ++y) {
        const size_t gy = std::min(g.height - 1, y * g.height / h);
        for (size_t x = 0; x < w; ++x) {
            const size_t gx = std::min(g.width - 1, x * g.width / w);
            const uint8_t* p = &rgba[(y * w + x) * 4];
            g.pixels[gy * g.width + gx] += 0.299f * p[0] + 0.587f * p[1] + 0.114f * p[2];
            counts[gy * g.width + gx] += 1;
        }
    }
    for (size_t i = 0; i < g.pixels.size(); ++i)
        g.pixels[i] = counts[i] > 0 ? g.pixels[i] / counts[i] : 0;
    return g;
}

} // namespace

std::optional<double> detectHorizonAngle(const Image& image)
{
    const auto grey = reduce(image);
    if (!grey)
        return std::nullopt;
    const Grey& g = *grey;
    const int w = int(g.width), h = int(g.height);

    // Sobel gradients, y up (so a positive gy means brighter above).
    struct Edge {
        double x, y, magnitude, direction; // direction: the edge's own angle in degrees
    };
    std::vector<Edge> edges;
    double strongest = 0;
    std::vector<Edge> all;
    for (int y = 1; y < h - 1; ++y) {
        for (int x = 1; x < w - 1; ++x) {
            auto p = [&](int dx, int dy) { return double(g.at(size_t(x + dx), size_t(y + dy))); };
            const double gx = (p(1, -1) + 2 * p(1, 0) + p(1, 1)) - (p(-1, -1) + 2 * p(-1, 0) + p(-1, 1));
            const double gyDown = (p(-1, 1) + 2 * p(0, 1) + p(1, 1)) - (p(-1, -1) + 2 * p(0, -1) + p(1, -1));
            const double gy = -gyDown;
            const double magnitude = std::hypot(gx, gy);
            if (magnitude <= 0 || std::abs(gy) <= std::abs(gx))
                continue;
            // The edge runs perpendicular to the gradient.
            double direction = std::atan2(gy, gx) * 180 / std::numbers::pi - 90;
            while (direction > 90)
                direction -= 180;
            while (direction < -90)
                direction += 180;
            const double yUp = double(h - 1 - y);
            all.push_back({double(x), yUp, magnitude, direction});
            strongest = std::max(strongest, magnitude);
        }
    }
    if (strongest < 20) // a flat picture: nothing stands out
        return std::nullopt;
    for (const Edge& e : all) {
        if (e.magnitude >= strongest * 0.25)
            edges.push_back(e);
    }

    // Votes in (angle, offset) space: a line y = x tan(theta) + b has offset b cos(theta).
    const double diagonal = std::hypot(double(w), double(h));
    // Offsets in bins of two pixels: an edge a pixel or two thick still falls in one bin.
    const int offsets = int(std::ceil(diagonal)) + 2;
    std::vector<uint32_t> votes(size_t(kAngleBins) * size_t(offsets), 0);
    std::vector<double> cosines(kAngleBins), sines(kAngleBins);
    for (int i = 0; i < kAngleBins; ++i) {
        const double theta = (-45.0 + i * kStepDegrees) * std::numbers::pi / 180;
        cosines[size_t(i)] = std::cos(theta);
        sines[size_t(i)] = std::sin(theta);
    }
    for (const Edge& e : edges) {
        const int first = std::max(0, int(std::floor((e.direction - kOrientationTolerance + 45.0) / kStepDegrees)));
        const int last = std::min(kAngleBins - 1, int(std::ceil((e.direction + kOrientationTolerance + 45.0) / kStepDegrees)));
        for (int i = first; i <= last; ++i) {
            const double rho = e.y * cosines[size_t(i)] - e.x * sines[size_t(i)];
            const int bin = int(std::lround((rho + diagonal) / 2));
            if (bin >= 0 && bin < offsets)
                ++votes[size_t(i) * size_t(offsets) + size_t(bin)];
        }
    }
    std::vector<uint32_t> peak(kAngleBins, 0);
    uint32_t best = 0;
    int bestAngle = -1;
    for (int i = 0; i < kAngleBins; ++i) {
        for (int b = 0; b < offsets; ++b)
            peak[size_t(i)] = std::max(peak[size_t(i)], votes[size_t(i) * size_t(offsets) + size_t(b)]);
        if (peak[size_t(i)] > best) {
            best = peak[size_t(i)];
            bestAngle = i;
        }
    }
    // The line must cross at least half the picture.
    if (bestAngle < 0 || best < uint32_t(0.5 * w))
        return std::nullopt;
    // The peak is a plateau a few steps wide (the bins are coarser than the angle steps):
    // its middle is the steadier estimate.
    int low = bestAngle, high = bestAngle;
    while (low > 0 && peak[size_t(low - 1)] >= best * 0.97)
        --low;
    while (high < kAngleBins - 1 && peak[size_t(high + 1)] >= best * 0.97)
        ++high;
    const double degrees = -45.0 + (low + high) * 0.5 * kStepDegrees;
    return degrees * std::numbers::pi / 180;
}

} // namespace graphics
