#include "MovaraKit/Editor/AspectFraction.h"

#include <cmath>

std::optional<MVRFraction> findFraction(double value, double error)
{
    if (!std::isfinite(value) || !(error > 0))
        return std::nullopt;
    double x = std::abs(value);
    double a = std::floor(x);
    uint64_t h1 = 1, h2 = 0, k1 = 0, k2 = 1;
    constexpr double twoTo64 = 18446744073709551616.0;
    for (;;) {
        if (!(a > -1 && a < twoTo64))
            return std::nullopt;
        const auto n = static_cast<uint64_t>(a);
        uint64_t h = 0, k = 0;
        if (__builtin_mul_overflow(n, h1, &h) || __builtin_add_overflow(h, h2, &h)
            || __builtin_mul_overflow(n, k1, &k) || __builtin_add_overflow(k, k2, &k))
            return std::nullopt;
        const double numerator = value < 0 ? -static_cast<double>(h) : static_cast<double>(h);
        const double approx = numerator / static_cast<double>(k);
        if (error > std::abs(approx - value))
            return MVRFraction {h, k};
        x = 1.0 / (x - static_cast<double>(n));
        a = std::floor(x);
        if (!std::isfinite(a))
            return std::nullopt;
        h2 = h1;
        h1 = h;
        k2 = k1;
        k1 = k;
    }
}
