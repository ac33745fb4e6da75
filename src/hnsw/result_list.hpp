// The bounded, sorted result list of a layer search. Where several hits share
// a distance, a binary search decides the new hit's place (and so which equal
// hit is dropped on overflow); ids play no part in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "metrics/search_hit.hpp"

namespace quarix {

class ResultList {
public:
    // Holds at most `bound` hits (at least 1).
    explicit ResultList(std::size_t bound);

    // Room for `hits` hits (a walk's list holds at most as many as there are nodes).
    void reserve(std::size_t hits) {
        distances_.reserve(hits);
        ids_.reserve(hits);
    }
    bool full() const { return distances_.size() >= bound_; }
    // The farthest hit (the list must not be empty).
    double worst() const { return distances_.back(); }
    // Places the hit as the binary search does, then drops the farthest beyond the bound.
    void insert(double d, std::uint32_t id);
    std::vector<SearchHit> hits() const;

private:
    std::size_t bound_;
    // Apart, so that finding a place reads distances only.
    std::vector<double> distances_;
    std::vector<std::uint32_t> ids_;
};

}  // namespace quarix
