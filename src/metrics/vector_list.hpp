// Several vectors of possibly different lengths, stored back to back: one
// allocation for a whole batch instead of one per vector.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "metrics/page_allocator.hpp"

namespace quarix {

class VectorList {
public:
    // `count` vectors of `length` elements each whose values are not kept: a batch
    // the call refuses for that length whatever its values, so they are never copied.
    static VectorList refused(std::size_t count, std::size_t length) {
        VectorList out;
        out.uniform_refusal_ = Refusal{count, length};
        return out;
    }

    void reserve_vectors(std::size_t count) { ends_.reserve(count); }
    PagedVector<double>& values() { return values_; }
    const PagedVector<double>& values() const { return values_; }
    // Closes the vector made of the values appended since the previous close.
    void close_vector() { ends_.push_back(values_.size()); }
    // Closes a vector of `length` elements without values, refused like those of refused().
    void close_refused_vector(std::size_t length) {
        refusals_.push_back({ends_.size(), length});
        close_vector();
    }
    // Drops values appended since the last close (a failed element).
    void discard_open_vector() { values_.resize(ends_.empty() ? 0 : ends_.back()); }

    std::size_t size() const { return uniform_refusal_ ? uniform_refusal_->first : ends_.size(); }
    bool empty() const { return size() == 0; }
    // The element count of vector i, kept or refused.
    std::size_t length(std::size_t i) const {
        if (uniform_refusal_) return uniform_refusal_->second;
        const auto refusal = std::lower_bound(refusals_.begin(), refusals_.end(), Refusal{i, 0});
        if (refusal != refusals_.end() && refusal->first == i) return refusal->second;
        return (*this)[i].size();
    }
    // The values of vector i; empty for a refused vector.
    std::span<const double> operator[](std::size_t i) const {
        const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
        return {values_.data() + begin, ends_[i] - begin};
    }

private:
    using Refusal = std::pair<std::size_t, std::size_t>;  // (vector, length)

    // A batch can be as large as the index it goes to; freed after the call, it must not stay resident.
    PagedVector<double> values_;
    std::vector<std::size_t> ends_;
    std::vector<Refusal> refusals_;  // in vector order
    std::optional<Refusal> uniform_refusal_;  // (count, length)
};

}  // namespace quarix
