// Several vectors of possibly different lengths, stored back to back: one
// allocation for a whole batch instead of one per vector.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace quarix {

class VectorList {
public:
    void reserve_vectors(std::size_t count) { ends_.reserve(count); }
    std::vector<double>& values() { return values_; }
    const std::vector<double>& values() const { return values_; }
    // Closes the vector made of the values appended since the previous close.
    void close_vector() { ends_.push_back(values_.size()); }
    // Drops values appended since the last close (a failed element).
    void discard_open_vector() { values_.resize(ends_.empty() ? 0 : ends_.back()); }

    std::size_t size() const { return ends_.size(); }
    bool empty() const { return ends_.empty(); }
    std::span<const double> operator[](std::size_t i) const {
        const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
        return {values_.data() + begin, ends_[i] - begin};
    }

private:
    std::vector<double> values_;
    std::vector<std::size_t> ends_;
};

}  // namespace quarix
