// The bounded, sorted result list of a layer search. Where several hits share
// a distance, the binary search below decides the new hit's place (and so
// which equal hit is dropped on overflow); ids play no part in it.
#pragma once

#include <cstddef>
#include <vector>

#include "metrics/search_hit.hpp"

namespace quarix {

inline std::size_t result_insert_position(const std::vector<SearchHit>& list, double d) {
    std::size_t size = list.size();
    std::size_t base = 0;
    while (size > 1) {
        const std::size_t half = size / 2;
        const std::size_t mid = base + half;
        base = distance_less(d, list[mid].distance) ? base : mid;
        size -= half;
    }
    return distance_less(list[base].distance, d) ? base + 1 : base;
}

}  // namespace quarix
