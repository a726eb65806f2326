// The vector loops of colour programs, compiled once per instruction set (Highway's dynamic
// dispatch picks the widest the processor has). Every loop runs over whole vectors: callers hand
// in runs padded to kChunk with the unused lanes cleared, so no lane needs a branch.

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "Platform/Graphics/ColorProgramKernels.cpp"
#include <hwy/foreach_target.h> // IWYU pragma: keep
#include <hwy/highway.h>

#include "Platform/Graphics/ColorProgramKernels.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

HWY_BEFORE_NAMESPACE();
namespace graphics::detail {
namespace HWY_NAMESPACE {
namespace {

namespace hn = hwy::HWY_NAMESPACE;
using DF = hn::ScalableTag<float>;
using DI = hn::RebindToSigned<DF>;
using DU = hn::RebindToUnsigned<DF>;
using VF = hn::Vec<DF>;
using VI = hn::Vec<DI>;

const float* decodeTable256();

// log2 of a positive normal float: the exponent, plus a polynomial of the mantissa (Chebyshev
// fit on [1, 2), error below 3e-6).
HWY_INLINE VF log2Positive(DF df, VF x)
{
    const DI di;
    const VI bits = hn::BitCast(di, x);
    const VI exponent = hn::Sub(hn::ShiftRight<23>(hn::And(bits, hn::Set(di, 0x7f800000))), hn::Set(di, 127));
    const VF m = hn::BitCast(df, hn::Or(hn::And(bits, hn::Set(di, 0x007fffff)), hn::Set(di, 0x3f800000)));
    const VF t = hn::Sub(m, hn::Set(df, 1.0f));
    VF p = hn::Set(df, -0.024568534745288712f);
    p = hn::MulAdd(p, t, hn::Set(df, 0.1176130840666147f));
    p = hn::MulAdd(p, t, hn::Set(df, -0.2726975648528214f));
    p = hn::MulAdd(p, t, hn::Set(df, 0.4545084921997514f));
    p = hn::MulAdd(p, t, hn::Set(df, -0.717312780264883f));
    p = hn::MulAdd(p, t, hn::Set(df, 1.4424535262106046f));
    p = hn::MulAdd(p, t, hn::Set(df, 2.443438720295551e-06f));
    return hn::Add(hn::ConvertTo(df, exponent), p);
}

// 2^y: the whole part into the exponent, a polynomial of the fraction (relative error 1e-7).
HWY_INLINE VF exp2(DF df, VF y)
{
    const DI di;
    y = hn::Min(hn::Max(y, hn::Set(df, -126.0f)), hn::Set(df, 126.0f));
    const VF whole = hn::Floor(y);
    const VF f = hn::Sub(y, whole);
    VF p = hn::Set(df, 0.0018937540581920975f);
    p = hn::MulAdd(p, f, hn::Set(df, 0.00894959042337237f));
    p = hn::MulAdd(p, f, hn::Set(df, 0.05586033707720827f));
    p = hn::MulAdd(p, f, hn::Set(df, 0.24014181820146044f));
    p = hn::MulAdd(p, f, hn::Set(df, 0.6931544896632286f));
    p = hn::MulAdd(p, f, hn::Set(df, 0.9999998983500245f));
    const VF scale = hn::BitCast(df, hn::ShiftLeft<23>(hn::Add(hn::ConvertTo(di, whole), hn::Set(di, 127))));
    return hn::Mul(p, scale);
}

// x^e for x > 0 (tiny or zero x gives a tiny result).
HWY_INLINE VF powPositive(DF df, VF x, float e)
{
    x = hn::Max(x, hn::Set(df, 1e-30f));
    return exp2(df, hn::Mul(log2Positive(df, x), hn::Set(df, e)));
}

// The sRGB curves, mirrored for negative values and extended past 1, as the scalar ones.
HWY_INLINE VF encode(DF df, VF v)
{
    const VF x = hn::Abs(v);
    const VF straight = hn::Mul(x, hn::Set(df, 12.92f));
    const VF curved = hn::MulAdd(hn::Set(df, 1.055f), powPositive(df, x, 1.0f / 2.4f), hn::Set(df, -0.055f));
    return hn::CopySign(hn::IfThenElse(hn::Le(x, hn::Set(df, 0.0031308f)), straight, curved), v);
}

HWY_INLINE VF decode(DF df, VF v)
{
    const VF x = hn::Abs(v);
    const VF straight = hn::Mul(x, hn::Set(df, 1.0f / 12.92f));
    const VF curved = powPositive(df, hn::Mul(hn::Add(x, hn::Set(df, 0.055f)), hn::Set(df, 1.0f / 1.055f)), 2.4f);
    return hn::CopySign(hn::IfThenElse(hn::Le(x, hn::Set(df, 0.04045f)), straight, curved), v);
}

HWY_INLINE VF clampUnit(DF df, VF v)
{
    return hn::Min(hn::Max(v, hn::Zero(df)), hn::Set(df, 1.0f));
}

// 1 / a where a > 0, else 0.
HWY_INLINE VF inverseAlpha(DF df, VF a)
{
    return hn::IfThenElseZero(hn::Gt(a, hn::Zero(df)), hn::Div(hn::Set(df, 1.0f), a));
}

HWY_INLINE int64_t rounded(int64_t count, size_t lanes)
{
    return (count + int64_t(lanes) - 1) / int64_t(lanes) * int64_t(lanes);
}

} // namespace

void DecodeBitmapRun(const BitmapPixels& bitmap, const uint8_t* src, int64_t count, const Planes& out, bool alphaOnly)
{
    const DF df;
    const DI di;
    const DU du;
    const size_t N = hn::Lanes(df);
    const float* lut = decodeTable256();
    const hn::Vec<DU> byteMask = hn::Set(du, 0xffu);
    const bool hasAlpha = bitmap.a >= 0;
    for (int64_t i = 0; i < rounded(count, N); i += int64_t(N)) {
        const hn::Vec<DU> px = hn::LoadU(du, reinterpret_cast<const uint32_t*>(src + i * 4));
        const VI a8 = hasAlpha ? hn::BitCast(di, hn::And(hn::ShiftRightSame(px, bitmap.a * 8), byteMask)) : hn::Set(di, 255);
        const VF a = hn::Mul(hn::ConvertTo(df, a8), hn::Set(df, 1.0f / 255.0f));
        hn::Store(a, df, out.c[3] + i);
        if (alphaOnly)
            continue;
        const int offsets[3] = {bitmap.r, bitmap.g, bitmap.b};
        const auto opaque = hn::Eq(a8, hn::Set(di, 255));
        const bool allOpaque = !hasAlpha || hn::AllTrue(di, opaque);
        for (int k = 0; k < 3; ++k) {
            const VI c8 = hn::BitCast(di, hn::And(hn::ShiftRightSame(px, offsets[k] * 8), byteMask));
            VF c = hn::GatherIndex(df, lut, c8);
            if (!allOpaque) {
                if (bitmap.premultiplied) {
                    // Partly covered pixels keep their colour; the stored value is scaled by alpha.
                    const VF scale = inverseAlpha(df, hn::ConvertTo(df, a8));
                    const VF colour = hn::Min(hn::Set(df, 1.0f), hn::Mul(hn::ConvertTo(df, c8), scale));
                    const VF partial = hn::Mul(decode(df, colour), a);
                    c = hn::IfThenElse(hn::RebindMask(df, opaque), c, partial);
                } else {
                    c = hn::Mul(c, a);
                }
            }
            hn::Store(c, df, out.c[k] + i);
        }
    }
}

void DecodeBitmapRunEncoded(const BitmapPixels& bitmap, const uint8_t* src, int64_t count, const Planes& out,
                            const float* const tables[3], const float gain[3])
{
    const DF df;
    const DI di;
    const DU du;
    const size_t N = hn::Lanes(df);
    const hn::Vec<DU> byteMask = hn::Set(du, 0xffu);
    const int offsets[3] = {bitmap.r, bitmap.g, bitmap.b};
    for (int64_t i = 0; i < rounded(count, N); i += int64_t(N)) {
        const hn::Vec<DU> px = hn::LoadU(du, reinterpret_cast<const uint32_t*>(src + i * 4));
        VI c8[3];
        for (int k = 0; k < 3; ++k)
            c8[k] = hn::BitCast(di, hn::And(hn::ShiftRightSame(px, offsets[k] * 8), byteMask));
        const VI a8 = bitmap.a >= 0 ? hn::BitCast(di, hn::And(hn::ShiftRightSame(px, bitmap.a * 8), byteMask))
                                    : hn::Set(di, 255);
        if (bitmap.a < 0 || hn::AllTrue(di, hn::Eq(a8, hn::Set(di, 255)))) {
            for (int k = 0; k < 3; ++k)
                hn::Store(hn::GatherIndex(df, tables[k], c8[k]), df, out.c[k] + i);
            hn::Store(hn::Set(df, 1.0f), df, out.c[3] + i);
            continue;
        }
        // Some pixel is not opaque: the long way, as the bitmap reads and the steps would run.
        const float* lut = decodeTable256();
        const VF a = hn::Mul(hn::ConvertTo(df, a8), hn::Set(df, 1.0f / 255.0f));
        const auto opaque = hn::RebindMask(df, hn::Eq(a8, hn::Set(di, 255)));
        for (int k = 0; k < 3; ++k) {
            VF c = hn::GatherIndex(df, lut, c8[k]);
            if (bitmap.premultiplied) {
                const VF scale = inverseAlpha(df, hn::ConvertTo(df, a8));
                const VF colour = hn::Min(hn::Set(df, 1.0f), hn::Mul(hn::ConvertTo(df, c8[k]), scale));
                c = hn::IfThenElse(opaque, c, hn::Mul(decode(df, colour), a));
            } else {
                c = hn::Mul(c, a);
            }
            c = hn::Mul(hn::Mul(c, hn::Set(df, gain[k])), inverseAlpha(df, a));
            hn::Store(encode(df, c), df, out.c[k] + i);
        }
        hn::Store(a, df, out.c[3] + i);
    }
}

void LoadFloatRun(const float* rgba, int64_t count, const Planes& out)
{
    const DF df;
    const size_t N = hn::Lanes(df);
    for (int64_t i = 0; i < rounded(count, N); i += int64_t(N)) {
        VF r, g, b, a;
        hn::LoadInterleaved4(df, rgba + i * 4, r, g, b, a);
        hn::Store(r, df, out.c[0] + i);
        hn::Store(g, df, out.c[1] + i);
        hn::Store(b, df, out.c[2] + i);
        hn::Store(a, df, out.c[3] + i);
    }
}

int ClassifyMask(const float* alpha, int64_t count)
{
    const DF df;
    const size_t N = hn::Lanes(df);
    bool allOne = true, allZero = true;
    for (int64_t i = 0; i < count && (allOne || allZero); i += int64_t(N)) {
        const auto live = hn::FirstN(df, size_t(std::min<int64_t>(int64_t(N), count - i)));
        const VF a = hn::Load(df, alpha + i);
        allOne = allOne && hn::AllFalse(df, hn::AndNot(hn::Ge(a, hn::Set(df, 1.0f)), live));
        allZero = allZero && hn::AllFalse(df, hn::AndNot(hn::Le(a, hn::Zero(df)), live));
    }
    return allOne ? 1 : allZero ? 2 : 0;
}

void BlendRun(const Planes& image, const Planes& background, const float* maskAlpha, int64_t count)
{
    const DF df;
    const size_t N = hn::Lanes(df);
    for (int64_t i = 0; i < rounded(count, N); i += int64_t(N)) {
        const VF w = clampUnit(df, hn::Load(df, maskAlpha + i));
        const VF rest = hn::Sub(hn::Set(df, 1.0f), w);
        for (int k = 0; k < 4; ++k) {
            const VF v = hn::MulAdd(hn::Load(df, image.c[k] + i), w, hn::Mul(hn::Load(df, background.c[k] + i), rest));
            hn::Store(v, df, image.c[k] + i);
        }
    }
}

void RunOps(const ProgramOp* ops, size_t opCount, const Planes& p, int64_t count, int64_t x, int64_t y)
{
    const DF df;
    const DI di;
    const size_t N = hn::Lanes(df);
    const int64_t end = rounded(count, N);
    for (size_t o = 0; o < opCount; ++o) {
        const ProgramOp& op = ops[o];
        switch (op.kind) {
        case ProgramOp::Kind::unpremultiply:
            for (int64_t i = 0; i < end; i += int64_t(N)) {
                const VF inverse = inverseAlpha(df, hn::Load(df, p.c[3] + i));
                for (int k = 0; k < 3; ++k)
                    hn::Store(hn::Mul(hn::Load(df, p.c[k] + i), inverse), df, p.c[k] + i);
            }
            break;
        case ProgramOp::Kind::toEncoded:
        case ProgramOp::Kind::toLinear:
            for (int64_t i = 0; i < end; i += int64_t(N))
                for (int k = 0; k < 3; ++k) {
                    const VF v = hn::Load(df, p.c[k] + i);
                    hn::Store(op.kind == ProgramOp::Kind::toEncoded ? encode(df, v) : decode(df, v), df, p.c[k] + i);
                }
            break;
        case ProgramOp::Kind::gain:
            for (int64_t i = 0; i < end; i += int64_t(N))
                for (int k = 0; k < 3; ++k)
                    hn::Store(hn::Mul(hn::Load(df, p.c[k] + i), hn::Set(df, op.gain[k])), df, p.c[k] + i);
            break;
        case ProgramOp::Kind::controls: {
            const VF lr = hn::Set(df, 0.2126f), lg = hn::Set(df, 0.7152f), lb = hn::Set(df, 0.0722f);
            const VF saturation = hn::Set(df, op.saturation), brightness = hn::Set(df, op.brightness);
            const VF contrast = hn::Set(df, op.contrast), half = hn::Set(df, 0.5f);
            for (int64_t i = 0; i < end; i += int64_t(N)) {
                VF c[3] = {hn::Load(df, p.c[0] + i), hn::Load(df, p.c[1] + i), hn::Load(df, p.c[2] + i)};
                const VF luma = hn::MulAdd(c[2], lb, hn::MulAdd(c[1], lg, hn::Mul(c[0], lr)));
                for (int k = 0; k < 3; ++k) {
                    VF v = hn::MulAdd(hn::Sub(c[k], luma), saturation, luma);
                    v = hn::Add(v, brightness);
                    v = hn::MulAdd(hn::Sub(v, half), contrast, half);
                    hn::Store(v, df, p.c[k] + i);
                }
            }
            break;
        }
        case ProgramOp::Kind::curves: {
            const VF steps = hn::Set(df, float(kCurveSteps));
            const VI last = hn::Set(di, kCurveSteps);
            for (int k = 0; k < 3; ++k) {
                const float* table = op.curves[k];
                if (!table)
                    continue;
                // The nearest entry: at 4096 steps it is within a tenth of an 8-bit level of
                // the curve for any slope a tone curve has, at half the lookups.
                for (int64_t i = 0; i < end; i += int64_t(N)) {
                    const VF position = hn::MulAdd(clampUnit(df, hn::Load(df, p.c[k] + i)), steps, hn::Set(df, 0.5f));
                    const VI index = hn::Min(hn::Max(hn::ConvertTo(di, position), hn::Zero(di)), last);
                    hn::Store(hn::GatherIndex(df, table, index), df, p.c[k] + i);
                }
            }
            break;
        }
        case ProgramOp::Kind::vignetteEncoded:
        case ProgramOp::Kind::vignette: {
            const float dy = (float(y) + 0.5f - op.centerY) / op.reach;
            const VF dy2 = hn::Set(df, dy * dy);
            const VF inverseReach = hn::Set(df, 1.0f / op.reach);
            const VF intensity = hn::Set(df, op.intensity);
            for (int64_t i = 0; i < end; i += int64_t(N)) {
                const VF px = hn::Iota(df, float(x + i) + 0.5f - op.centerX);
                const VF dx = hn::Mul(px, inverseReach);
                const VF r2 = hn::Min(hn::Set(df, 1.0f), hn::MulAdd(dx, dx, dy2));
                const VF falloff = op.halfExponent == 1.0f ? r2 : powPositive(df, r2, op.halfExponent);
                const VF factor = hn::Max(hn::Zero(df), hn::NegMulAdd(intensity, falloff, hn::Set(df, 1.0f)));
                if (op.kind == ProgramOp::Kind::vignette) {
                    for (int k = 0; k < 3; ++k)
                        hn::Store(hn::Mul(hn::Load(df, p.c[k] + i), factor), df, p.c[k] + i);
                    continue;
                }
                // On the curve's power segment, encode(decode(c) f) = (c + 0.055) f^(1/2.4) - 0.055,
                // and on its straight toe it is c f: one power a pixel instead of two a
                // component. A colour that crosses from one segment to the other takes the long way.
                const VF toe = hn::Set(df, 0.04045f), offset = hn::Set(df, 0.055f);
                const VF k = powPositive(df, factor, 1.0f / 2.4f);
                VF c[3], fast[3];
                auto onCurve = hn::Gt(factor, hn::Zero(df));
                for (int j = 0; j < 3; ++j) {
                    c[j] = hn::Load(df, p.c[j] + i);
                    const VF x = hn::Abs(c[j]);
                    const VF curved = hn::MulSub(hn::Add(x, offset), k, offset), straight = hn::Mul(x, factor);
                    const auto upper = hn::And(hn::Gt(x, toe), hn::Gt(curved, toe));
                    const auto lower = hn::And(hn::Le(x, toe), hn::Le(straight, toe));
                    fast[j] = hn::IfThenElse(upper, curved, straight);
                    onCurve = hn::And(onCurve, hn::Or(upper, lower));
                }
                const bool allOnCurve = hn::AllTrue(df, onCurve);
                for (int j = 0; j < 3; ++j) {
                    const VF v = allOnCurve ? hn::CopySign(fast[j], c[j]) : encode(df, hn::Mul(decode(df, c[j]), factor));
                    hn::Store(v, df, p.c[j] + i);
                }
            }
            break;
        }
        }
    }
}

void StoreFloatRun(const Planes& p, PlaneState state, int64_t count, float* rgba)
{
    const DF df;
    const size_t N = hn::Lanes(df);
    for (int64_t i = 0; i < rounded(count, N); i += int64_t(N)) {
        VF c[3] = {hn::Load(df, p.c[0] + i), hn::Load(df, p.c[1] + i), hn::Load(df, p.c[2] + i)};
        VF a = hn::Load(df, p.c[3] + i);
        for (int k = 0; k < 3; ++k) {
            if (state.encoded)
                c[k] = decode(df, c[k]);
            if (!state.premultiplied)
                c[k] = hn::IfThenElseZero(hn::Gt(a, hn::Zero(df)), hn::Mul(c[k], a));
        }
        if (!state.premultiplied)
            a = hn::IfThenElseZero(hn::Gt(a, hn::Zero(df)), a);
        hn::StoreInterleaved4(c[0], c[1], c[2], a, df, rgba + i * 4);
    }
}

void StoreByteRun(const Planes& p, PlaneState state, int64_t count, uint8_t* dst, const int offsets[4],
                  bool premultiplied)
{
    const DF df;
    const DI di;
    const DU du;
    const size_t N = hn::Lanes(df);
    const VF one = hn::Set(df, 1.0f), zero = hn::Zero(df), scale = hn::Set(df, 255.0f), half = hn::Set(df, 0.5f);
    for (int64_t i = 0; i < rounded(count, N); i += int64_t(N)) {
        const VF a = clampUnit(df, hn::Load(df, p.c[3] + i));
        const auto covered = hn::Gt(a, zero);
        // Premultiplied linear colour is divided out first: the curve works on the colour itself.
        const VF inverse = hn::IfThenElse(hn::Ge(a, one), one, inverseAlpha(df, a));
        auto toByte = [](DI di, DU du, VF v, int offset) HWY_ATTR {
            return hn::ShiftLeftSame(hn::BitCast(du, hn::ConvertTo(di, v)), offset * 8);
        };
        hn::Vec<DU> packed = toByte(di, du, hn::MulAdd(a, scale, half), offsets[3]);
        for (int k = 0; k < 3; ++k) {
            VF c = hn::Load(df, p.c[k] + i);
            if (state.premultiplied)
                c = clampUnit(df, hn::Mul(c, inverse));
            if (!state.encoded)
                c = encode(df, c);
            c = clampUnit(df, c);
            c = premultiplied ? hn::Mul(c, a) : hn::IfThenElseZero(covered, c);
            packed = hn::Or(packed, toByte(di, du, hn::MulAdd(c, scale, half), offsets[k]));
        }
        hn::StoreU(packed, du, reinterpret_cast<uint32_t*>(dst + i * 4));
    }
}

namespace {

const float* decodeTable256()
{
    static const std::array<float, 256> table = [] {
        std::array<float, 256> t{};
        for (int i = 0; i < 256; ++i)
            t[size_t(i)] = srgbToLinear(float(i) / 255.0f);
        return t;
    }();
    return table.data();
}

} // namespace

} // namespace HWY_NAMESPACE
} // namespace graphics::detail
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace graphics::detail {

HWY_EXPORT(DecodeBitmapRun);
HWY_EXPORT(DecodeBitmapRunEncoded);
HWY_EXPORT(LoadFloatRun);
HWY_EXPORT(ClassifyMask);
HWY_EXPORT(BlendRun);
HWY_EXPORT(RunOps);
HWY_EXPORT(StoreFloatRun);
HWY_EXPORT(StoreByteRun);

// The tail of a run (fewer pixels than a whole number of the widest vectors may be readable or
// writable) goes through cleared scratch, so every loop may read and write whole vectors.
constexpr int64_t kWidestLanes = 16;
static_assert(kChunk % kWidestLanes == 0);

void decodeBitmapRun(const BitmapPixels& bitmap, const uint8_t* src, int64_t count, const Planes& out, bool alphaOnly)
{
    const int64_t whole = count / kWidestLanes * kWidestLanes;
    if (whole == count) {
        HWY_DYNAMIC_DISPATCH(DecodeBitmapRun)(bitmap, src, count, out, alphaOnly);
        return;
    }
    alignas(64) uint8_t scratch[kChunk * 4] = {};
    std::memcpy(scratch, src, size_t(count) * 4);
    HWY_DYNAMIC_DISPATCH(DecodeBitmapRun)(bitmap, scratch, count, out, alphaOnly);
}

void decodeBitmapRunEncoded(const BitmapPixels& bitmap, const uint8_t* src, int64_t count, const Planes& out,
                            const float* const tables[3], const float gain[3])
{
    if (count % kWidestLanes == 0) {
        HWY_DYNAMIC_DISPATCH(DecodeBitmapRunEncoded)(bitmap, src, count, out, tables, gain);
        return;
    }
    alignas(64) uint8_t scratch[kChunk * 4] = {};
    std::memcpy(scratch, src, size_t(count) * 4);
    HWY_DYNAMIC_DISPATCH(DecodeBitmapRunEncoded)(bitmap, scratch, count, out, tables, gain);
}

void loadFloatRun(const float* rgba, int64_t count, const Planes& out)
{
    if (count % kWidestLanes == 0) {
        HWY_DYNAMIC_DISPATCH(LoadFloatRun)(rgba, count, out);
        return;
    }
    alignas(64) float scratch[kChunk * 4] = {};
    std::memcpy(scratch, rgba, size_t(count) * 4 * sizeof(float));
    HWY_DYNAMIC_DISPATCH(LoadFloatRun)(scratch, count, out);
}

int classifyMask(const float* alpha, int64_t count)
{
    return HWY_DYNAMIC_DISPATCH(ClassifyMask)(alpha, count);
}

void blendRun(const Planes& image, const Planes& background, const float* maskAlpha, int64_t count)
{
    HWY_DYNAMIC_DISPATCH(BlendRun)(image, background, maskAlpha, count);
}

void runOps(const ProgramOp* ops, size_t opCount, const Planes& planes, int64_t count, int64_t x, int64_t y)
{
    HWY_DYNAMIC_DISPATCH(RunOps)(ops, opCount, planes, count, x, y);
}

void storeFloatRun(const Planes& planes, PlaneState state, int64_t count, float* rgba)
{
    if (count % kWidestLanes == 0) {
        HWY_DYNAMIC_DISPATCH(StoreFloatRun)(planes, state, count, rgba);
        return;
    }
    alignas(64) float scratch[kChunk * 4];
    HWY_DYNAMIC_DISPATCH(StoreFloatRun)(planes, state, count, scratch);
    std::memcpy(rgba, scratch, size_t(count) * 4 * sizeof(float));
}

void storeByteRun(const Planes& planes, PlaneState state, int64_t count, uint8_t* dst, const int offsets[4],
                  bool premultiplied)
{
    if (count % kWidestLanes == 0) {
        HWY_DYNAMIC_DISPATCH(StoreByteRun)(planes, state, count, dst, offsets, premultiplied);
        return;
    }
    alignas(64) uint8_t scratch[kChunk * 4];
    HWY_DYNAMIC_DISPATCH(StoreByteRun)(planes, state, count, scratch, offsets, premultiplied);
    std::memcpy(dst, scratch, size_t(count) * 4);
}

float encodeExact(float v)
{
    return v < 0 ? -linearToSRGB(-v) : linearToSRGB(v);
}

float decodeExact(float v)
{
    return v < 0 ? -srgbToLinear(-v) : srgbToLinear(v);
}

} // namespace graphics::detail
#endif
