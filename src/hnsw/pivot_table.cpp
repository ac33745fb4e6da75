#include "hnsw/pivot_table.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quarix {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Pivots come from at most this many stored vectors, spread over the ids.
constexpr std::size_t kSample = 4096;
constexpr std::size_t kMaxPivots = 256;
constexpr std::size_t kRefinements = 2;

// Only vectors of moderate, finite values make pivots: their distances to
// each other can neither overflow nor lose everything to underflow.
bool usable_as_pivot(const double* v, std::size_t dim) {
    for (std::size_t i = 0; i < dim; ++i)
        if (!(std::fabs(v[i]) < 1e140)) return false;
    return true;
}

// A fixed-seed generator: the choice of pivots only affects speed, and a
// fixed seed keeps that speed repeatable.
struct SplitMix {
    std::uint64_t state = 0x5EED5EED5EED5EEDull;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
};

}  // namespace

PivotTable::PivotTable(std::size_t dim) : dim_(dim), margins_(dim) {}

double PivotTable::lower_bound(double computed) const {
    if (!(computed <= kLargest)) return kNaN;
    return margins_.below(computed);
}

double PivotTable::upper_bound(double computed) const {
    if (!(computed <= kLargest)) return kNaN;
    return margins_.above(computed);
}

void PivotTable::squares_to_pivots(const double* vector, std::size_t length, double* out) const {
    const std::size_t count = pivot_count();
    const double* rows[kBatchWidth];
    for (std::size_t k = 0; k < count; k += kBatchWidth) {
        const std::size_t lanes = std::min(kBatchWidth, count - k);
        for (std::size_t j = 0; j < lanes; ++j) rows[j] = pivots_.data() + (k + j) * dim_;
        double sums[kBatchWidth] = {};
        batch_->squares(vector, 0, length, rows, lanes, kNaN, sums);
        std::copy(sums, sums + lanes, out + k);
    }
}

PivotTable::Assignment PivotTable::assign(const double* vector) const {
    const std::size_t count = pivot_count();
    double squares[kMaxPivots];
    squares_to_pivots(vector, dim_, squares);
    std::size_t best = 0;
    for (std::size_t k = 1; k < count; ++k)
        if (squares[k] < squares[best]) best = k;
    const double distance = std::sqrt(squares[best]);
    return {lower_bound(distance), upper_bound(distance), static_cast<std::uint32_t>(best)};
}

void PivotTable::expect(std::size_t nodes) {
    expected_ = std::max(expected_, nodes);
    if (pivot_count() > 0) assigned_.reserve(expected_);
}

void PivotTable::added(std::span<const double> vectors, std::size_t count) {
    if (pivot_count() > 0) assigned_.push_back(assign(vectors.data() + (count - 1) * dim_));
}

// k-means on a sample of the stored vectors (seeded by squared-distance
// sampling, then refined a few times), and every node assigned again.
void PivotTable::choose(std::span<const double> vectors, std::size_t count) {
    std::vector<std::size_t> sample;
    const std::size_t step = std::max<std::size_t>(1, count / kSample);
    for (std::size_t id = 0; id < count && sample.size() < kSample; id += step)
        if (usable_as_pivot(vectors.data() + id * dim_, dim_)) sample.push_back(id);
    pivots_.clear();
    assigned_.clear();
    if (dim_ == 0) return;
    const std::size_t wanted = std::min({kMaxPivots, std::max<std::size_t>(8, count / 8), sample.size()});
    if (wanted == 0) return;

    SplitMix rng;
    const auto row = [&](std::size_t id) { return vectors.data() + id * dim_; };
    std::vector<double> nearest(sample.size(), std::numeric_limits<double>::infinity());
    std::vector<double> squares(kMaxPivots);
    pivots_.insert(pivots_.end(), row(sample[0]), row(sample[0]) + dim_);
    while (pivot_count() < wanted) {
        // Squared distances from the newest pivot, eight sampled vectors at a time.
        const double* newest = pivots_.data() + (pivot_count() - 1) * dim_;
        for (std::size_t s = 0; s < sample.size(); s += kBatchWidth) {
            const std::size_t lanes = std::min(kBatchWidth, sample.size() - s);
            const double* rows[kBatchWidth];
            for (std::size_t j = 0; j < lanes; ++j) rows[j] = row(sample[s + j]);
            double sums[kBatchWidth] = {};
            batch_->squares(newest, 0, dim_, rows, lanes, kNaN, sums);
            for (std::size_t j = 0; j < lanes; ++j) nearest[s + j] = std::min(nearest[s + j], sums[j]);
        }
        double total = 0.0;
        for (const double d : nearest) total += d;
        if (!(total > 0.0)) break;  // every sampled vector is already a pivot
        double target = rng.uniform() * total;
        std::size_t pick = 0;
        while (pick + 1 < sample.size() && (target -= nearest[pick]) >= 0.0) ++pick;
        pivots_.insert(pivots_.end(), row(sample[pick]), row(sample[pick]) + dim_);
    }

    const std::size_t k_count = pivot_count();
    std::vector<double> sums(k_count * dim_);
    std::vector<std::size_t> members(k_count);
    for (std::size_t round = 0; round < kRefinements; ++round) {
        std::fill(sums.begin(), sums.end(), 0.0);
        std::fill(members.begin(), members.end(), 0);
        for (const std::size_t id : sample) {
            squares_to_pivots(row(id), dim_, squares.data());
            const std::size_t best =
                static_cast<std::size_t>(std::min_element(squares.begin(), squares.begin() + k_count) -
                                         squares.begin());
            ++members[best];
            for (std::size_t i = 0; i < dim_; ++i) sums[best * dim_ + i] += row(id)[i];
        }
        for (std::size_t k = 0; k < k_count; ++k)
            if (members[k] > 0)
                for (std::size_t i = 0; i < dim_; ++i)
                    pivots_[k * dim_ + i] = sums[k * dim_ + i] / static_cast<double>(members[k]);
    }

    assigned_.reserve(std::max(count, expected_));
    for (std::size_t id = 0; id < count; ++id) assigned_.push_back(assign(row(id)));
}

void PivotTable::bound_query(std::span<const double> query, QueryBounds& out) const {
    const std::size_t count = pivot_count();
    // A shorter query measures fewer elements than the node-pivot distances
    // cover, so those no longer bound it from below.
    out.usable = count > 0 && query.size() >= dim_;
    if (!out.usable) return;
    out.lower.resize(count);
    out.upper.resize(count);
    squares_to_pivots(query.data(), dim_, out.lower.data());
    for (std::size_t k = 0; k < count; ++k) {
        const double distance = std::sqrt(out.lower[k]);
        out.lower[k] = lower_bound(distance);
        out.upper[k] = upper_bound(distance);
    }
}

}  // namespace quarix
