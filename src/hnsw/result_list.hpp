// The bounded, sorted result list of a layer search. Where several hits share
// a distance, a binary search decides the new hit's place (and so which equal
// hit is dropped on overflow); ids play no part in it.
//
// The list also serves as the walk's queue of nodes to expand: every hit
// admitted is one to expand, and one dropped beyond the farthest hit can only
// be expanded while its distance equals the farthest's (the walk stops at the
// first node beyond it), so those few are kept aside and nothing else is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
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
        expanded_.reserve(hits);
    }
    bool full() const { return distances_.size() >= bound_; }
    // The farthest hit (the list must not be empty).
    double worst() const { return distances_.back(); }
    // Places the hit as the binary search does, then drops the farthest beyond the bound.
    void insert(double d, std::uint32_t id);
    std::vector<SearchHit> hits() const;

    // The nearest hit not yet expanded (smaller id first among equal
    // distances), marked expanded; none once every hit that a best-first
    // walk would still expand has been.
    std::optional<SearchHit> next_to_expand();
    // The hit next_to_expand() will most likely give next, for fetching ahead.
    std::optional<std::uint32_t> likely_next() const {
        if (frontier_ < ids_.size()) return ids_[frontier_];
        return std::nullopt;
    }

private:
    std::size_t bound_;
    // Apart, so that finding a place reads distances only.
    std::vector<double> distances_;
    std::vector<std::uint32_t> ids_;
    std::vector<std::uint8_t> expanded_;
    // The first hit not yet expanded (the size when there is none): an
    // insert before it moves it back to the new hit, an expansion at it
    // moves it past the expanded hits that follow.
    std::size_t frontier_ = 0;
    // Dropped hits not expanded whose distance equalled the farthest kept.
    std::vector<SearchHit> dropped_ties_;
};

}  // namespace quarix
