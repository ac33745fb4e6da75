// One search's pass over a flat index's blocks: the blocks it measures and
// the best hits so far, which set the limit that codes test blocks against.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "flat/block_layout.hpp"
#include "metrics/batch_distance.hpp"
#include "metrics/search_hit.hpp"

namespace quarix {

// The best `keep` hits offered: a max-heap whose top is the hit to evict. A
// later hit that ties the top never displaces it, so hits offered in id
// order keep ties on the smaller id.
class BestHits {
public:
    explicit BestHits(std::size_t keep) : keep_(keep) { heap_.reserve(keep); }
    // True when the worst kept hit changed. Most hits of a scan are no
    // nearer than the worst kept, and are turned away inline.
    bool offer(const SearchHit& hit) {
        if (heap_.size() == keep_ && !hit_less(hit, heap_.front())) return false;
        return admit(hit);
    }
    const SearchHit& worst() const { return heap_.front(); }
    bool full() const { return heap_.size() == keep_; }
    // (id, distance) pairs, nearest first.
    std::vector<std::pair<std::size_t, double>> sorted() &&;

private:
    bool admit(const SearchHit& hit);

    std::size_t keep_;
    std::vector<SearchHit> heap_;
};

// What a scan reads of the index: `count` vectors of `dim` elements in
// blocks (block_layout.hpp) and, for the cosine, their lengths.
struct StoredBlocks {
    const double* data;
    std::size_t dim, count;
    const double* lengths;  // null but for the cosine
    const BlockKernels* kernels;
};

enum class ScanMetric { euclidean, inner_product, cosine };

class BlockScan {
public:
    // `query_norm`: for the cosine, the query's length as the stored lengths are computed.
    BlockScan(const StoredBlocks& store, ScanMetric metric, std::span<const double> query, double query_norm,
              std::size_t k);

    std::size_t blocks() const { return (store_.count + kBlockLanes - 1) / kBlockLanes; }
    void measure(std::size_t block);
    // Two blocks, first < second, measured in one pass.
    void measure_pair(std::size_t first, std::size_t second);
    // From now on blocks may be measured out of id order: the limit then
    // admits a lane at exactly the k-th distance, so that its id decides as
    // the heap orders it.
    void out_of_order() { strict_ = true; }
    bool full() const { return best_.full(); }
    // The k-th best so far (NaN until there are k); a block that codes prove
    // at least this far can be skipped.
    double limit() const { return limit_; }
    std::size_t measured() const { return measured_; }
    double query_norm() const { return query_norm_; }  // for the cosine; 0 otherwise
    std::vector<std::pair<std::size_t, double>> hits() && { return std::move(best_).sorted(); }

private:
    // Offers the lanes of the block whose first vector is `first`, their
    // distances (or dot products, for the cosine still to be divided) at `values`.
    void offer(std::size_t first, double* values);

    StoredBlocks store_;
    ScanMetric metric_;
    std::span<const double> query_;
    double query_norm_;  // for the cosine
    BestHits best_;
    bool strict_ = false;
    double limit_;
    double abandon_at_;  // for Euclidean blocks: partial sums of squares past this prove a lane no nearer
    std::size_t measured_ = 0;
    double distances_[2 * kBlockLanes];
};

// Inline: a scan measures blocks in a loop, most of them without a hit to keep.
inline void BlockScan::offer(std::size_t first, double* values) {
    const std::size_t lanes = std::min(kBlockLanes, store_.count - first);
    if (metric_ == ScanMetric::cosine)
        for (std::size_t j = 0; j < lanes; ++j) values[j] = values[j] / (store_.lengths[first + j] * query_norm_);
    for (std::size_t j = 0; j < lanes; ++j) {
        if (!best_.offer({values[j], first + j})) continue;
        const double worst = best_.worst().distance;
        limit_ = strict_ ? std::nextafter(worst, std::numeric_limits<double>::infinity()) : worst;
        if (metric_ == ScanMetric::euclidean) abandon_at_ = euclidean_abandon_threshold(limit_);
    }
}

inline void BlockScan::measure(std::size_t block) {
    ++measured_;
    const BlockKernels& kernels = *store_.kernels;
    const double* data = store_.data + block * store_.dim * kBlockLanes;
    switch (metric_) {
        case ScanMetric::euclidean:
            if (!kernels.euclidean(query_.data(), store_.dim, data, abandon_at_, distances_)) return;
            break;
        case ScanMetric::cosine: kernels.dot(query_.data(), store_.dim, data, distances_); break;
        case ScanMetric::inner_product: kernels.inner_product(query_.data(), store_.dim, data, distances_); break;
    }
    offer(block * kBlockLanes, distances_);
}

inline void BlockScan::measure_pair(std::size_t first, std::size_t second) {
    measured_ += 2;
    const BlockKernels& kernels = *store_.kernels;
    const double* a = store_.data + first * store_.dim * kBlockLanes;
    const double* b = store_.data + second * store_.dim * kBlockLanes;
    unsigned done = 3;
    if (metric_ == ScanMetric::euclidean) {
        done = kernels.euclidean_pair(query_.data(), store_.dim, a, b, abandon_at_, distances_);
    } else {
        kernels.dot_pair(query_.data(), store_.dim, a, b, distances_);
    }
    if (done & 1) offer(first * kBlockLanes, distances_);
    if (done & 2) offer(second * kBlockLanes, distances_ + kBlockLanes);
}

}  // namespace quarix
