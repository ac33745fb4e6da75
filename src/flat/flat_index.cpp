#include "flat/flat_index.hpp"

#include <algorithm>

#include "errors/internal_failure.hpp"

namespace quarix {

void FlatIndex::append(std::span<const double> vector) {
    if (vector.size() != dim_) InternalFailure::raise(length_mismatch_message({vector.size(), dim_}));
    data_.insert(data_.end(), vector.begin(), vector.end());
    ++count_;
}

void FlatIndex::insert(std::span<const double> vector) { append(vector); }

std::optional<FlatIndex::CreateFailure> FlatIndex::create(const VectorList& vectors) {
    if (vectors.empty()) return FlatError::EmptyVectors;
    for (std::size_t i = 0; i < vectors.size(); ++i)
        if (vectors[i].size() != dim_) return LengthMismatch{vectors[i].size(), dim_};
    data_.reserve(data_.size() + vectors.values().size());
    for (std::size_t i = 0; i < vectors.size(); ++i) append(vectors[i]);
    return std::nullopt;
}

std::variant<FlatIndex::Pairs, FlatError> FlatIndex::search(std::span<const double> query,
                                                             std::size_t k) const {
    if (data_.empty()) return FlatError::EmptyIndex;
    if (query.size() != dim_) InternalFailure::raise(length_mismatch_message({query.size(), dim_}));

    // A max-heap of the best `keep` hits seen so far: its top is the hit to
    // evict. Ids rise during the scan, so a later hit with the top's distance
    // never displaces it, which keeps ties on the smaller id.
    const std::size_t n = count_;
    const std::size_t keep = std::min(std::max<std::size_t>(k, 1), n);
    std::vector<SearchHit> heap;
    heap.reserve(keep);
    const double* vec = data_.data();
    for (std::size_t i = 0; i < n; ++i, vec += dim_) {
        const SearchHit hit{metric_(query.data(), query.size(), vec, dim_), i};
        if (heap.size() < keep) {
            heap.push_back(hit);
            std::push_heap(heap.begin(), heap.end(), hit_less);
        } else if (hit_less(hit, heap.front())) {
            std::pop_heap(heap.begin(), heap.end(), hit_less);
            heap.back() = hit;
            std::push_heap(heap.begin(), heap.end(), hit_less);
        }
    }
    std::sort_heap(heap.begin(), heap.end(), hit_less);

    Pairs result;
    result.reserve(heap.size());
    for (const SearchHit& hit : heap) result.emplace_back(hit.id, hit.distance);
    return result;
}

}  // namespace quarix
