// Node levels: level j is drawn with probability e^-j / sum of e^-i over the
// index's layers.
#pragma once

#include <cstddef>
#include <vector>

namespace quarix {

class LevelWeights {
public:
    explicit LevelWeights(std::size_t layers);

    // The level for a uniform u in [0, 1): the first j whose running sum of
    // weights exceeds total * u, or layers - 1 when none does (always the
    // case with zero layers, where layers - 1 wraps).
    std::size_t draw(double u) const;

    double total() const { return total_; }

private:
    // Only the leading weights that still change the running sum are kept:
    // past them every partial sum equals the total, bit for bit, so a table
    // for 10^12 layers costs a few dozen entries.
    std::vector<double> weights_;
    std::size_t layers_;
    double total_ = 0.0;
};

}  // namespace quarix
