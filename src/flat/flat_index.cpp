#include "flat/flat_index.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "errors/internal_failure.hpp"
#include "metrics/batch_distance.hpp"

namespace quarix {
namespace {

double sum_of_squares(const double* v, std::size_t n) {
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) sum += v[i] * v[i];
    return sum;
}

// The best `keep` hits of a scan in ascending id order: a max-heap whose top
// is the hit to evict. A later hit with the top's distance never displaces
// it, which keeps ties on the smaller id.
class BestHits {
public:
    explicit BestHits(std::size_t keep) : keep_(keep) { heap_.reserve(keep); }

    // True when the worst kept hit changed.
    bool offer(const SearchHit& hit) {
        if (heap_.size() < keep_) {
            heap_.push_back(hit);
            std::push_heap(heap_.begin(), heap_.end(), hit_less);
            return heap_.size() == keep_;
        }
        if (!hit_less(hit, heap_.front())) return false;
        std::pop_heap(heap_.begin(), heap_.end(), hit_less);
        heap_.back() = hit;
        std::push_heap(heap_.begin(), heap_.end(), hit_less);
        return true;
    }
    const SearchHit& worst() const { return heap_.front(); }

    FlatIndex::Pairs sorted() && {
        std::sort_heap(heap_.begin(), heap_.end(), hit_less);
        FlatIndex::Pairs pairs;
        pairs.reserve(heap_.size());
        for (const SearchHit& hit : heap_) pairs.emplace_back(hit.id, hit.distance);
        return pairs;
    }

private:
    std::size_t keep_;
    std::vector<SearchHit> heap_;
};

}  // namespace

void FlatIndex::append(std::span<const double> vector) {
    if (vector.size() != dim_) InternalFailure::raise(length_mismatch_message({vector.size(), dim_}));
    const std::size_t lane = count_ % kBlockLanes;
    if (lane == 0) blocks_.resize(blocks_.size() + dim_ * kBlockLanes, 0.0);
    double* block = blocks_.data() + (count_ / kBlockLanes) * dim_ * kBlockLanes;
    for (std::size_t i = 0; i < dim_; ++i) block[i * kBlockLanes + lane] = vector[i];
    if (metric_ == cosine_similarity) norms_.push_back(sum_of_squares(vector.data(), dim_));
    ++count_;
}

void FlatIndex::insert(std::span<const double> vector) { append(vector); }

std::optional<FlatIndex::CreateFailure> FlatIndex::create(const VectorList& vectors) {
    if (vectors.empty()) return FlatError::EmptyVectors;
    for (std::size_t i = 0; i < vectors.size(); ++i)
        if (vectors.length(i) != dim_) return LengthMismatch{vectors.length(i), dim_};
    const std::size_t blocks_after = (count_ + vectors.size() + kBlockLanes - 1) / kBlockLanes;
    blocks_.reserve(blocks_after * dim_ * kBlockLanes);
    for (std::size_t i = 0; i < vectors.size(); ++i) append(vectors[i]);
    return std::nullopt;
}

std::variant<FlatIndex::Pairs, FlatError> FlatIndex::search(std::span<const double> query,
                                                             std::size_t k) const {
    if (blocks_.empty()) return FlatError::EmptyIndex;
    if (query.size() != dim_) InternalFailure::raise(length_mismatch_message({query.size(), dim_}));

    const std::size_t n = count_;
    BestHits best(std::min(std::max<std::size_t>(k, 1), n));
    const bool euclidean = metric_ == euclidean_distance;
    const bool cosine = metric_ == cosine_similarity;
    const double query_norm = cosine ? std::sqrt(sum_of_squares(query.data(), dim_)) : 0.0;
    double abandon_at = std::numeric_limits<double>::quiet_NaN();  // nothing is abandoned yet
    double distances[kBlockLanes];

    const std::size_t block_size = dim_ * kBlockLanes;
    for (std::size_t first = 0; first < n; first += kBlockLanes) {
        const double* block = blocks_.data() + (first / kBlockLanes) * block_size;
        if (euclidean) {
            if (!kernels_->euclidean(query.data(), dim_, block, abandon_at, distances)) continue;
        } else if (cosine) {
            kernels_->dot(query.data(), dim_, block, distances);
            for (std::size_t j = 0; j < kBlockLanes && first + j < n; ++j)
                distances[j] = distances[j] / (std::sqrt(norms_[first + j]) * query_norm);
        } else {
            kernels_->inner_product(query.data(), dim_, block, distances);
        }
        const std::size_t lanes = std::min(kBlockLanes, n - first);
        for (std::size_t j = 0; j < lanes; ++j) {
            if (best.offer({distances[j], first + j}) && euclidean) abandon_at = euclidean_abandon_threshold(best.worst().distance);
        }
    }
    return std::move(best).sorted();
}

}  // namespace quarix
