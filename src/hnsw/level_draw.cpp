#include "hnsw/level_draw.hpp"

#include <cmath>

namespace quarix {

LevelWeights::LevelWeights(std::size_t layers) : layers_(layers) {
    for (std::size_t j = 0; j < layers; ++j) {
        const double weight = std::exp(-static_cast<double>(j));
        // Weights only shrink and rounding is monotonic: once one leaves the
        // sum unchanged, every later one does too.
        if (j > 0 && total_ + weight == total_) break;
        total_ += weight;
        weights_.push_back(weight);
    }
}

std::size_t LevelWeights::draw(double u) const {
    const double target = total_ * u;
    double sum = 0.0;
    for (std::size_t j = 0; j < weights_.size(); ++j) {
        sum += weights_[j];
        if (sum > target) return j;
    }
    return layers_ - 1;
}

}  // namespace quarix
