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

inline bool distance_less(double a, double b) {
    if (std::isnan(a)) return false;
    if (std::isnan(b)) return true;
    return a < b;
}

inline bool hit_less(const SearchHit& x, const SearchHit& y) {
    if (distance_less(x.distance, y.distance)) return true;
    if (distance_less(y.distance, x.distance)) return false;
    return x.id < y.id;
}

}  // namespace quarix
