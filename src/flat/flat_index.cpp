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
    bool full() const { return heap_.size() == keep_; }

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

// The scan judges its codes every window of tested blocks, an eighth of the
// blocks within these bounds (so that on data where codes prove nothing, the
// tests before they stop cost a few percent of the scan), and stops
// testing them when fewer than one in kLeastSkipShare was skipped.
constexpr std::size_t kShortestWindow = 32, kLongestWindow = 256;
constexpr std::size_t kLeastSkipShare = 5;
// Seed blocks measured before the Euclidean scan: twice as many as the k
// best fill, at least kFewestSeeds, at most kMostSeeds and a quarter of the
// first window they are chosen from.
constexpr std::size_t kFewestSeeds = 8, kMostSeeds = 32;
constexpr double kFiniteMax = std::numeric_limits<double>::max();
constexpr double kInf = std::numeric_limits<double>::infinity();

}  // namespace

// Dot products are bounded by their code sums; a cosine's bound is divided
// by the same positive divisor the scan uses, which keeps the order of the
// dividends.
bool FlatIndex::dot_lanes_far(const CodeBlocks::DotQuery& dot, std::size_t block, std::size_t lanes,
                              double query_norm, double limit) const {
    double lowest[kBlockLanes];
    if (!codes_.dot_lower_bounds(dot, block, lowest)) return false;
    const bool cosine = metric_ == cosine_similarity;
    for (std::size_t j = 0; j < lanes; ++j) {
        double value = lowest[j];
        if (cosine) {
            const double divisor = lengths_[block * kBlockLanes + j] * query_norm;
            if (!(divisor > 0.0 && divisor <= kFiniteMax)) return false;
            value = value / divisor;
        }
        if (!(value >= limit)) return false;
    }
    return true;
}

void FlatIndex::append(std::span<const double> vector) {
    if (vector.size() != dim_) InternalFailure::raise(length_mismatch_message({vector.size(), dim_}));
    const std::size_t lane = count_ % kBlockLanes;
    if (lane == 0) blocks_.resize(blocks_.size() + dim_ * kBlockLanes, 0.0);
    double* block = blocks_.data() + (count_ / kBlockLanes) * dim_ * kBlockLanes;
    for (std::size_t i = 0; i < dim_; ++i) block[i * kBlockLanes + lane] = vector[i];
    if (metric_ == cosine_similarity) lengths_.push_back(std::sqrt(sum_of_squares(vector.data(), dim_)));
    ++count_;
}

void FlatIndex::insert(std::span<const double> vector) {
    append(vector);
    const double* row = vector.data();
    codes_.update(blocks_, count_, {&row, 1});
}

std::optional<FlatIndex::CreateFailure> FlatIndex::create(const VectorList& vectors) {
    if (vectors.empty()) return FlatError::EmptyVectors;
    for (std::size_t i = 0; i < vectors.size(); ++i)
        if (vectors.length(i) != dim_) return LengthMismatch{vectors.length(i), dim_};
    const std::size_t blocks_after = (count_ + vectors.size() + kBlockLanes - 1) / kBlockLanes;
    blocks_.reserve(blocks_after * dim_ * kBlockLanes);
    for (std::size_t i = 0; i < vectors.size(); ++i) append(vectors[i]);
    std::vector<const double*> rows(vectors.size());
    for (std::size_t i = 0; i < vectors.size(); ++i) rows[i] = vectors[i].data();
    codes_.update(blocks_, count_, rows);
    return std::nullopt;
}

std::variant<FlatIndex::Pairs, FlatError> FlatIndex::search(std::span<const double> query, std::size_t k,
                                                             ScanCounts* counts) const {
    if (blocks_.empty()) return FlatError::EmptyIndex;
    if (query.size() != dim_) InternalFailure::raise(length_mismatch_message({query.size(), dim_}));

    const std::size_t n = count_;
    BestHits best(std::min(std::max<std::size_t>(k, 1), n));
    const bool euclidean = metric_ == euclidean_distance;
    const bool cosine = metric_ == cosine_similarity;
    const double query_norm = cosine ? std::sqrt(sum_of_squares(query.data(), dim_)) : 0.0;
    double abandon_at = std::numeric_limits<double>::quiet_NaN();  // nothing is abandoned yet
    double distances[2 * kBlockLanes];

    CodeBlocks::Query code;
    CodeBlocks::DotQuery dot;
    if (euclidean) {
        codes_.encode_query(query, code);
    } else {
        codes_.encode_dot_query(query, dot);
    }
    bool use_codes = euclidean ? code.usable : dot.usable;
    struct {
        std::size_t tested = 0, skipped = 0;
    } window;
    std::size_t skipped = 0, measured = 0;
    const std::size_t code_window = std::clamp(n / kBlockLanes / 8, kShortestWindow, kLongestWindow);

    const std::size_t block_size = dim_ * kBlockLanes;
    const std::size_t block_count = (n + kBlockLanes - 1) / kBlockLanes;
    // Every test admits a lane at exactly the k-th distance when blocks are
    // measured out of id order, so that its id decides as the heap orders it.
    bool strict = false;
    double limit = std::numeric_limits<double>::quiet_NaN();
    // Offers the lanes of the block whose first vector is `first`, their
    // distances (or dot products, for the cosine still to be divided) at `values`.
    auto offer = [&](std::size_t first, double* values) {
        const std::size_t lanes = std::min(kBlockLanes, n - first);
        if (cosine)
            for (std::size_t j = 0; j < lanes; ++j) values[j] = values[j] / (lengths_[first + j] * query_norm);
        for (std::size_t j = 0; j < lanes; ++j) {
            if (!best.offer({values[j], first + j})) continue;
            limit = strict ? std::nextafter(best.worst().distance, kInf) : best.worst().distance;
            if (euclidean) abandon_at = euclidean_abandon_threshold(limit);
        }
    };
    auto measure = [&](std::size_t block) {
        ++measured;
        const double* data = blocks_.data() + block * block_size;
        if (euclidean) {
            if (!kernels_->euclidean(query.data(), dim_, data, abandon_at, distances)) return;
        } else if (cosine) {
            kernels_->dot(query.data(), dim_, data, distances);
        } else {
            kernels_->inner_product(query.data(), dim_, data, distances);
        }
        offer(block * kBlockLanes, distances);
    };
    // Two blocks, first < second, in one pass; their lanes offered in id order.
    auto measure_pair = [&](std::size_t first, std::size_t second) {
        measured += 2;
        const double* a = blocks_.data() + first * block_size;
        const double* b = blocks_.data() + second * block_size;
        unsigned done = 3;
        if (euclidean) {
            done = kernels_->euclidean_pair(query.data(), dim_, a, b, abandon_at, distances);
        } else {
            kernels_->dot_pair(query.data(), dim_, a, b, distances);
        }
        if (done & 1) offer(first * kBlockLanes, distances);
        if (done & 2) offer(second * kBlockLanes, distances + kBlockLanes);
    };

    // The k-th best of the first blocks in id order is far from the final
    // one, and blocks tested against it are measured in vain: the blocks
    // whose codes look nearest in the first window are measured first.
    std::size_t seeds[kMostSeeds];
    std::size_t seed_count = 0, next_seed = 0;
    if (euclidean && use_codes) {
        const std::size_t window_blocks = std::min(code_window, block_count);
        const std::size_t wanted =
            std::min({kMostSeeds, std::max(kFewestSeeds, 2 * ((k + kBlockLanes - 1) / kBlockLanes)), window_blocks / 4});
        seed_count = codes_.nearest_blocks(code, window_blocks, {seeds, wanted});
        strict = seed_count > 0;
        for (std::size_t s = 0; s < seed_count; ++s) measure(seeds[s]);
    }

    auto is_seed = [&](std::size_t block) { return next_seed < seed_count && seeds[next_seed] == block; };
    // Tested blocks, `near` of them not skipped: every window of them
    // decides whether the codes go on being tested.
    auto account = [&](std::size_t tested, std::size_t near) {
        window.tested += tested;
        window.skipped += tested - near;
        if (window.tested == code_window) {
            // Bounds that rarely skip a block cost more than they save.
            use_codes = window.skipped * kLeastSkipShare >= code_window;
            skipped += window.skipped;
            window = {};
        }
    };
    std::size_t block_id = 0;
    while (block_id < block_count) {
        if (is_seed(block_id)) {
            ++next_seed;
            ++block_id;
            continue;
        }
        if (use_codes && best.full()) {
            // Codes are tested against the k-th best so far; in id order a
            // lane at exactly that distance could not displace it anyway.
            // Euclidean blocks are tested in runs, up to the next seed or the
            // end of the window, since the limit holds until one is measured.
            if (euclidean) {
                std::size_t stop = std::min(block_count, block_id + (code_window - window.tested));
                if (next_seed < seed_count) stop = std::min(stop, seeds[next_seed]);
                const std::size_t near = codes_.first_near(code, block_id, stop, limit, n);
                account(near - block_id + (near < stop), near < stop);
                if (near == stop) {
                    block_id = stop;
                    continue;
                }
                // The next block of the run that the same limit leaves near
                // is measured with it (a limit that may since have shrunk
                // only admits more).
                const std::size_t second = codes_.first_near(code, near + 1, stop, limit, n);
                account(second - (near + 1) + (second < stop), second < stop);
                if (second < stop) {
                    measure_pair(near, second);
                    block_id = second + 1;
                } else {
                    measure(near);
                    block_id = stop;
                }
                continue;
            }
            const bool far = dot_lanes_far(dot, block_id, std::min(kBlockLanes, n - block_id * kBlockLanes),
                                           query_norm, limit);
            account(1, !far);
            if (far) {
                ++block_id;
                continue;
            }
        } else if (block_id + 1 < block_count && !is_seed(block_id + 1)) {
            measure_pair(block_id, block_id + 1);
            block_id += 2;
            continue;
        }
        measure(block_id);
        ++block_id;
    }
    if (counts) *counts = {skipped + window.skipped, measured};
    return std::move(best).sorted();
}

}  // namespace quarix
