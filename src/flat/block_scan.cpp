#include "flat/block_scan.hpp"

#include <algorithm>
#include <limits>


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

BlockScan::BlockScan(const StoredBlocks& store, ScanMetric metric, std::span<const double> query, double query_norm,
                     std::size_t k)
    : store_(store),
      metric_(metric),
      query_(query),
      query_norm_(query_norm),
      best_(std::min(std::max<std::size_t>(k, 1), store.count)),
      limit_(std::numeric_limits<double>::quiet_NaN()),
      abandon_at_(std::numeric_limits<double>::quiet_NaN()) {}

}  // namespace quarix
