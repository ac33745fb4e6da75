#include "flat/block_scan.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "metrics/batch_distance.hpp"

namespace quarix {

bool BestHits::admit(const SearchHit& hit) {
    if (heap_.size() < keep_) {
        heap_.push_back(hit);
        std::push_heap(heap_.begin(), heap_.end(), hit_less);
        return heap_.size() == keep_;
    }
    std::pop_heap(heap_.begin(), heap_.end(), hit_less);
    heap_.back() = hit;
    std::push_heap(heap_.begin(), heap_.end(), hit_less);
    return true;
}

std::vector<std::pair<std::size_t, double>> BestHits::sorted() && {
    std::sort_heap(heap_.begin(), heap_.end(), hit_less);
    std::vector<std::pair<std::size_t, double>> pairs;
    pairs.reserve(heap_.size());
    for (const SearchHit& hit : heap_) pairs.emplace_back(hit.id, hit.distance);
    return pairs;
}

BlockScan::BlockScan(const StoredBlocks& store, ScanMetric metric, std::span<const double> query, std::size_t k)
    : store_(store),
      metric_(metric),
      query_(query),
      best_(std::min(std::max<std::size_t>(k, 1), store.count)),
      limit_(std::numeric_limits<double>::quiet_NaN()),
      abandon_at_(std::numeric_limits<double>::quiet_NaN()) {
    if (metric == ScanMetric::cosine) {
        double squares = 0.0;
        for (double x : query) squares += x * x;
        query_norm_ = std::sqrt(squares);
    }
}

void BlockScan::offer(std::size_t first, double* values) {
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

void BlockScan::measure(std::size_t block) {
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

void BlockScan::measure_pair(std::size_t first, std::size_t second) {
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
