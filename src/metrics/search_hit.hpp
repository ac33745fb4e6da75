// A (distance, node id) pair and the total order every heap and result list
// of both indexes uses: numbers ascending with -0.0 == +0.0, NaN after every
// number and equal to another NaN, equal distances by the smaller id.
#pragma once

#include <cmath>
#include <cstddef>

namespace quarix {

struct SearchHit {
    double distance;
    std::size_t id;
};

// Bitwise operators, not branches: in a binary search over distances every
// outcome is a coin toss that a branch would mispredict half the time.
inline bool distance_less(double a, double b) {
    const bool a_nan = a != a, b_nan = b != b;
    return (!a_nan) & (b_nan | (a < b));
}

inline bool hit_less(const SearchHit& x, const SearchHit& y) {
    if (distance_less(x.distance, y.distance)) return true;
    if (distance_less(y.distance, x.distance)) return false;
    return x.id < y.id;
}

}  // namespace quarix
