#pragma once
// A real number (an aspect ratio, say) as a small fraction: the first continued-fraction
// convergent within `error` of it. 16/9 gives 16 and 9, 1.85 gives 37 and 20. Both parts are
// of |value|; only the comparison uses the sign. Pure; any thread.

#include <cstdint>
#include <optional>

struct MVRFraction {
    uint64_t numerator = 0;
    uint64_t denominator = 1;
    bool operator==(const MVRFraction&) const = default;
};

// None for a value that is not finite, an error that is not positive, or convergents that
// leave the unsigned 64-bit range before they come close enough.
std::optional<MVRFraction> findFraction(double value, double error);
