#include "Platform/Graphics/ColorProgram.h"
#include "Platform/Graphics/ColorProgramKernels.h"
#include "Platform/Graphics/FilterTransfer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>

namespace graphics {

namespace {

using detail::kChunk;
using detail::Planes;
using detail::PlaneState;
using detail::ProgramOp;

bool sameRect(const PixelRect& a, const PixelRect& b)
{
    return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

// Float tiles of the inputs that have no bitmap to read come from a small per-thread pool, as
// the engine's own intermediate tiles do: a render asks for the same sizes tile after tile.
struct ScratchTile {
    std::vector<float> storage;
    PixelTile tile;
    explicit ScratchTile(const PixelRect& region)
    {
        auto& pool = pool_();
        if (!pool.empty()) {
            storage = std::move(pool.back());
            pool.pop_back();
        }
        tile.region = region;
        tile.stride = size_t(region.width) * 4;
        if (storage.size() < tile.stride * size_t(region.height))
            storage.resize(tile.stride * size_t(region.height));
        tile.data = storage.data();
    }
    ~ScratchTile()
    {
        auto& pool = pool_();
        if (pool.size() < 8 && storage.capacity() <= (size_t(1) << 22))
            pool.push_back(std::move(storage));
    }
    ScratchTile(const ScratchTile&) = delete;
    ScratchTile& operator=(const ScratchTile&) = delete;
    static std::vector<std::vector<float>>& pool_()
    {
        thread_local std::vector<std::vector<float>> pool;
        return pool;
    }
};

// Four planes of one run of pixels, on the stack of the render.
struct RunPlanes {
    alignas(64) float storage[4][kChunk];
    Planes planes() { return Planes{{storage[0], storage[1], storage[2], storage[3]}}; }
};

// One input of a program for the tile being rendered: read from its bitmap where the tile lies
// inside it, else rendered into floats first.
class TileInput {
public:
    TileInput(const FilterImagePtr& image, const PixelRect& region)
    {
        const BitmapPixels* bitmap = image->bitmapPixels();
        if (bitmap && region.x >= 0 && region.y >= 0 && region.x + region.width <= bitmap->width
            && region.y + region.height <= bitmap->height) {
            m_bitmap = bitmap;
            return;
        }
        m_tile.emplace(region);
        image->render(m_tile->tile);
    }

    bool isBitmap() const { return m_bitmap != nullptr; }

    void load(int64_t x, int64_t y, int64_t count, const Planes& out, bool alphaOnly) const
    {
        if (m_bitmap) {
            detail::decodeBitmapRun(*m_bitmap, bytes(x, y), count, out, alphaOnly);
            return;
        }
        const PixelTile& t = m_tile->tile;
        detail::loadFloatRun(t.row(y - t.region.y) + size_t(x - t.region.x) * 4, count, out);
    }

    // Bitmaps only: straight to encoded colour through the entry tables.
    void loadEncoded(int64_t x, int64_t y, int64_t count, const Planes& out, const float* const tables[3],
                     const float gain[3]) const
    {
        detail::decodeBitmapRunEncoded(*m_bitmap, bytes(x, y), count, out, tables, gain);
    }

private:
    const uint8_t* bytes(int64_t x, int64_t y) const
    {
        return m_bitmap->base + size_t(m_bitmap->height - 1 - y) * m_bitmap->bytesPerRow + size_t(x) * 4;
    }

    const BitmapPixels* m_bitmap = nullptr;
    std::optional<ScratchTile> m_tile;
};

float lookUpCurve(const std::vector<float>& table, float v)
{
    const float p = std::clamp(v, 0.0f, 1.0f) * float(table.size() - 1);
    const size_t i = std::min(size_t(p), table.size() - 2);
    const float w = p - float(i);
    return table[i] + (table[i + 1] - table[i]) * w;
}

class ProgramImage final : public FilterImage {
public:
    // A program over one picture, or the blend of image, background and mask.
    ProgramImage(Rect extent, std::vector<FilterImagePtr> sources, std::vector<ColorStep> steps)
        : FilterImage(extent), m_sources(std::move(sources)), m_steps(std::move(steps))
    {
        compile();
    }

    const std::vector<FilterImagePtr>& sources() const { return m_sources; }
    const std::vector<ColorStep>& steps() const { return m_steps; }

    void render(const PixelTile& tile) const override
    {
        const PixelRect inner = tile.region.intersection(PixelRect::covering(extent()));
        if (inner.isEmpty()) {
            clear(tile, tile.region);
            return;
        }
        if (!sameRect(inner, tile.region))
            clear(tile, tile.region);
        run(inner, [&](const Planes& planes, PlaneState state, int64_t x, int64_t y, int64_t count) {
            detail::storeFloatRun(planes, state, count,
                                  tile.row(y - tile.region.y) + size_t(x - tile.region.x) * 4);
        });
    }

    bool renderBytes(const PixelRect& region, const ByteTarget& target) const override
    {
        if (!sameRect(region.intersection(PixelRect::covering(extent())), region))
            return false;
        run(region, [&](const Planes& planes, PlaneState state, int64_t x, int64_t y, int64_t count) {
            detail::storeByteRun(planes, state, count, target.pixel(x, y), target.offsets, target.premultiplied);
        });
        return true;
    }

private:
    static void clear(const PixelTile& tile, const PixelRect& region)
    {
        for (int64_t r = 0; r < region.height; ++r)
            std::memset(tile.row(r), 0, size_t(region.width) * 4 * sizeof(float));
    }

    template <class Store> void run(const PixelRect& region, const Store& store) const
    {
        const bool blend = m_sources.size() == 3;
        std::optional<TileInput> inputs[3];
        for (size_t k = 0; k < m_sources.size(); ++k)
            inputs[k].emplace(m_sources[k], region);
        RunPlanes image, background, mask;
        const Planes p = image.planes();
        for (int64_t r = 0; r < region.height; ++r) {
            const int64_t y = region.y + r;
            for (int64_t x = region.x; x < region.x + region.width; x += kChunk) {
                const int64_t count = std::min(kChunk, region.x + region.width - x);
                // Where the mask is all painted or all clear, only one picture is read.
                const TileInput* only = &*inputs[0];
                if (blend) {
                    inputs[2]->load(x, y, count, mask.planes(), true);
                    const int cover = detail::classifyMask(mask.storage[3], count);
                    only = cover == 1 ? &*inputs[0] : cover == 2 ? &*inputs[1] : nullptr;
                }
                if (only && only->isBitmap() && m_hasEntry) {
                    // 8-bit pixels go straight to encoded colour by table: the steps up to there
                    // are done.
                    const float* tables[3] = {m_entryTables[0].data(), m_entryTables[1].data(), m_entryTables[2].data()};
                    only->loadEncoded(x, y, count, p, tables, m_entryGain);
                    detail::runOps(m_ops.data() + m_entrySkip, m_ops.size() - m_entrySkip, p, count, x, y);
                    store(p, m_entryFinal, x, y, count);
                    continue;
                }
                if (only) {
                    only->load(x, y, count, p, false);
                } else {
                    inputs[0]->load(x, y, count, p, false);
                    inputs[1]->load(x, y, count, background.planes(), false);
                    detail::blendRun(p, background.planes(), mask.storage[3], count);
                }
                detail::runOps(m_ops.data(), m_ops.size(), p, count, x, y);
                store(p, m_final, x, y, count);
            }
        }
    }

    // Turns the steps into vector operations. Colour stays sRGB-encoded from the first step
    // that wants it encoded until one wants linear light again, so a chain of controls and
    // curves converts once each way; consecutive curves become one table per channel.
    void compile()
    {
        PlaneState state;
        auto push = [&](ProgramOp::Kind kind) {
            ProgramOp op;
            op.kind = kind;
            m_ops.push_back(op);
            return &m_ops.back();
        };
        auto wantLinear = [&] {
            if (state.encoded)
                push(ProgramOp::Kind::toLinear);
            state.encoded = false;
        };
        auto wantEncodedColour = [&] {
            if (state.premultiplied)
                push(ProgramOp::Kind::unpremultiply);
            state.premultiplied = false;
            if (!state.encoded)
                push(ProgramOp::Kind::toEncoded);
            state.encoded = true;
        };
        for (const ColorStep& step : m_steps) {
            switch (step.kind) {
            case ColorStep::Kind::gain:
                wantLinear();
                if (!m_ops.empty() && m_ops.back().kind == ProgramOp::Kind::gain) {
                    for (int k = 0; k < 3; ++k)
                        m_ops.back().gain[k] *= step.gain[size_t(k)];
                } else {
                    ProgramOp* op = push(ProgramOp::Kind::gain);
                    for (int k = 0; k < 3; ++k)
                        op->gain[k] = step.gain[size_t(k)];
                }
                break;
            case ColorStep::Kind::controls: {
                wantEncodedColour();
                ProgramOp* op = push(ProgramOp::Kind::controls);
                op->saturation = step.saturation, op->brightness = step.brightness, op->contrast = step.contrast;
                break;
            }
            case ColorStep::Kind::curves:
                wantEncodedColour();
                addCurves(step);
                break;
            case ColorStep::Kind::vignette: {
                // Encoded colour stays encoded: the factor is applied as if in linear light.
                ProgramOp* op = push(state.encoded ? ProgramOp::Kind::vignetteEncoded : ProgramOp::Kind::vignette);
                op->intensity = step.intensity, op->halfExponent = step.halfExponent;
                op->centerX = step.centerX, op->centerY = step.centerY, op->reach = step.reach;
                break;
            }
            }
        }
        m_final = state;
        compileEntry();
    }

    // Opaque 8-bit pixels read as encoded colour can skip the leading gains, the division by
    // alpha and the encoding: one table a channel does all of it.
    void compileEntry()
    {
        size_t skip = 0;
        float gain[3] = {1, 1, 1};
        for (; skip < m_ops.size() && m_ops[skip].kind == ProgramOp::Kind::gain; ++skip)
            for (int k = 0; k < 3; ++k)
                gain[k] *= m_ops[skip].gain[k];
        if (skip == m_ops.size()) {
            m_entryFinal = PlaneState{false, true};
        } else if (skip + 1 < m_ops.size() && m_ops[skip].kind == ProgramOp::Kind::unpremultiply
                   && m_ops[skip + 1].kind == ProgramOp::Kind::toEncoded) {
            skip += 2;
            m_entryFinal = m_final;
        } else {
            return; // the steps start in linear light
        }
        m_hasEntry = true;
        m_entrySkip = skip;
        for (int k = 0; k < 3; ++k) {
            m_entryGain[k] = gain[k];
            m_entryTables[size_t(k)].resize(256);
            for (int i = 0; i < 256; ++i)
                m_entryTables[size_t(k)][size_t(i)] = detail::encodeExact(srgbToLinear(float(i) / 255.0f) * gain[k]);
        }
    }

    // A step's curves as encoded-to-encoded tables, composed with the curves just before.
    void addCurves(const ColorStep& step)
    {
        ProgramOp* previous = !m_ops.empty() && m_ops.back().kind == ProgramOp::Kind::curves ? &m_ops.back() : nullptr;
        ProgramOp op;
        op.kind = ProgramOp::Kind::curves;
        for (size_t k = 0; k < 3; ++k) {
            const auto& curve = step.curves[k];
            const float* before = previous ? previous->curves[k] : nullptr;
            if (!curve) {
                op.curves[k] = before;
                continue;
            }
            auto table = std::make_shared<std::vector<float>>(detail::kCurveSteps + 2);
            for (int i = 0; i <= detail::kCurveSteps; ++i) {
                float u = float(i) / float(detail::kCurveSteps);
                if (before)
                    u = lookUpTable(before, u);
                (*table)[size_t(i)] = detail::encodeExact(lookUpCurve(*curve, u));
            }
            (*table)[detail::kCurveSteps + 1] = (*table)[detail::kCurveSteps];
            m_tables.push_back(table);
            op.curves[k] = table->data();
        }
        if (previous)
            *previous = op;
        else
            m_ops.push_back(op);
    }

    static float lookUpTable(const float* table, float v)
    {
        const float p = std::clamp(v, 0.0f, 1.0f) * float(detail::kCurveSteps);
        const int i = std::min(int(p), detail::kCurveSteps - 1);
        const float w = p - float(i);
        return table[i] + (table[i + 1] - table[i]) * w;
    }

    std::vector<FilterImagePtr> m_sources;
    std::vector<ColorStep> m_steps;
    std::vector<ProgramOp> m_ops;
    std::vector<std::shared_ptr<std::vector<float>>> m_tables;
    PlaneState m_final;
    size_t m_entrySkip = 0;
    float m_entryGain[3] = {1, 1, 1};
    std::array<std::vector<float>, 3> m_entryTables;
    PlaneState m_entryFinal;
    bool m_hasEntry = false;
};

} // namespace

ColorStep ColorStep::makeGain(std::array<float, 3> gain)
{
    ColorStep s;
    s.kind = Kind::gain;
    s.gain = gain;
    return s;
}

ColorStep ColorStep::makeControls(float saturation, float brightness, float contrast)
{
    ColorStep s;
    s.kind = Kind::controls;
    s.saturation = saturation, s.brightness = brightness, s.contrast = contrast;
    return s;
}

ColorStep ColorStep::makeCurves(std::array<std::shared_ptr<const std::vector<float>>, 3> curves)
{
    ColorStep s;
    s.kind = Kind::curves;
    s.curves = std::move(curves);
    return s;
}

ColorStep ColorStep::makeVignette(float intensity, float halfExponent, float centerX, float centerY, float reach)
{
    ColorStep s;
    s.kind = Kind::vignette;
    s.intensity = intensity, s.halfExponent = halfExponent, s.centerX = centerX, s.centerY = centerY, s.reach = reach;
    return s;
}

FilterImagePtr imageByApplyingColorStep(const FilterImagePtr& image, const ColorStep& step)
{
    if (!image)
        return nullptr;
    if (step.kind == ColorStep::Kind::curves && !step.curves[0] && !step.curves[1] && !step.curves[2])
        return image;
    if (auto program = dynamic_cast<const ProgramImage*>(image.get())) {
        std::vector<ColorStep> steps = program->steps();
        steps.push_back(step);
        return std::make_shared<ProgramImage>(image->extent(), program->sources(), std::move(steps));
    }
    return std::make_shared<ProgramImage>(image->extent(), std::vector<FilterImagePtr>{image}, std::vector<ColorStep>{step});
}

FilterImagePtr imageByBlendingWithAlphaMask(const FilterImagePtr& image, const FilterImagePtr& background,
                                            const FilterImagePtr& mask)
{
    if (!image || !mask)
        return nullptr;
    const FilterImagePtr under = background ? background : FilterImage::emptyImage();
    return std::make_shared<ProgramImage>(image->extent().unionWith(under->extent()),
                                          std::vector<FilterImagePtr>{image, under, mask}, std::vector<ColorStep>{});
}

std::shared_ptr<const std::vector<float>> toneCurveTable(std::array<FilterVector, 5> points)
{
    std::sort(points.begin(), points.end(), [](const FilterVector& a, const FilterVector& b) { return a.x() < b.x(); });
    double x[5], y[5], m[5], delta[4];
    for (int i = 0; i < 5; ++i)
        x[i] = points[size_t(i)].x(), y[i] = points[size_t(i)].y();
    for (int i = 0; i < 4; ++i)
        delta[i] = x[i + 1] > x[i] ? (y[i + 1] - y[i]) / (x[i + 1] - x[i]) : 0.0;
    m[0] = delta[0], m[4] = delta[3];
    for (int i = 1; i < 4; ++i)
        m[i] = delta[i - 1] * delta[i] <= 0 ? 0.0 : (delta[i - 1] + delta[i]) / 2;
    for (int i = 0; i < 4; ++i) {
        if (delta[i] == 0) {
            m[i] = m[i + 1] = 0;
            continue;
        }
        const double a = m[i] / delta[i], b = m[i + 1] / delta[i], s = a * a + b * b;
        if (s > 9) {
            const double tau = 3 / std::sqrt(s);
            m[i] = tau * a * delta[i], m[i + 1] = tau * b * delta[i];
        }
    }
    // A smooth curve through the five points (monotone cubic, flat beyond the end points),
    // tabulated over 0...1 of encoded values, its results in linear light.
    auto table = std::make_shared<std::vector<float>>(1025);
    for (size_t k = 0; k < table->size(); ++k) {
        const double v = double(k) / double(table->size() - 1);
        double out;
        if (v <= x[0]) {
            out = y[0];
        } else if (v >= x[4]) {
            out = y[4];
        } else {
            int i = 0;
            while (i < 3 && v > x[i + 1])
                ++i;
            const double h = x[i + 1] - x[i];
            if (h <= 0) {
                out = y[i + 1];
            } else {
                const double t = (v - x[i]) / h, t2 = t * t, t3 = t2 * t;
                out = (2 * t3 - 3 * t2 + 1) * y[i] + (t3 - 2 * t2 + t) * h * m[i] + (-2 * t3 + 3 * t2) * y[i + 1]
                    + (t3 - t2) * h * m[i + 1];
            }
        }
        (*table)[k] = detail::fastSRGBToLinear(std::clamp(float(out), 0.0f, 1.0f));
    }
    return table;
}

} // namespace graphics
