// How far a computed Euclidean distance can lie from the exact one: a sum of
// n <= dim squares in index order and its square root differ by a relative
// (n + 4) * 2^-53 at most, plus an absolute amount far below kTiny from
// underflow. The factors below are four times wider still, which also
// covers the rounding of the bound arithmetic built on them. Pivots and
// coarse codes share them, so that every bound rests on one analysis.
#pragma once

#include <cstddef>

namespace quarix {

struct RoundingMargins {
    explicit RoundingMargins(std::size_t dim)
        : shrink(1.0 - 4.0 * static_cast<double>(dim + 16) * 0x1.0p-52),
          grow(1.0 + 4.0 * static_cast<double>(dim + 16) * 0x1.0p-52) {}

    // Below any computed distance whose exact value is at least x.
    double below(double x) const { return x * shrink - kTiny; }
    // Above the exact value of a distance computed as x.
    double above(double x) const { return (x + kTiny) * grow; }

    double shrink, grow;
    static constexpr double kTiny = 1e-150;
};

}  // namespace quarix
