#include "flat/flat_index.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "errors/internal_failure.hpp"
#include "flat/block_scan.hpp"

namespace quarix {
namespace {

double sum_of_squares(const double* v, std::size_t n) {
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) sum += v[i] * v[i];
    return sum;
}

// Codes are judged every window of blocks, an eighth of the blocks within
// these bounds (so that on data where codes prove nothing, the tests before
// they stop cost a few percent of the scan), and are no longer tested when
// fewer than one in kLeastSkipShare of a window was skipped.
constexpr std::size_t kShortestWindow = 32, kLongestWindow = 256;
constexpr std::size_t kLeastSkipShare = 5;
// Blocks measured ahead of the rest of the Euclidean scan on their sums over
// all codes: twice as many as the k best fill, within these bounds.
constexpr std::size_t kFewestSeeds = 8, kMostSeeds = 32;
constexpr double kFiniteMax = std::numeric_limits<double>::max();

std::size_t code_window(std::size_t blocks) { return std::clamp(blocks / 8, kShortestWindow, kLongestWindow); }

// Measures the `wanted` blocks in [from, to) of least `lowest` not yet
// measured nor proven far, in id order, and marks them measured.
void measure_least(BlockScan& scan, std::vector<std::uint64_t>& lowest, std::size_t from, std::size_t to,
                   std::size_t wanted) {
    if (wanted == 0) return;
    std::vector<std::pair<std::uint64_t, std::size_t>> least;  // a max-heap of the least so far
    least.reserve(wanted);
    std::uint64_t bar = kMeasured;  // values from here up are not taken
    for (std::size_t b = from; b < to; ++b) {
        const std::uint64_t value = lowest[b];
        if (value >= bar) continue;
        if (least.size() == wanted) {
            std::pop_heap(least.begin(), least.end());
            least.back() = {value, b};
        } else {
            least.emplace_back(value, b);
        }
        std::push_heap(least.begin(), least.end());
        if (least.size() == wanted) bar = least.front().first;
    }
    std::vector<std::size_t> chosen(least.size());
    for (std::size_t i = 0; i < least.size(); ++i) chosen[i] = least[i].second;
    std::sort(chosen.begin(), chosen.end());
    for (std::size_t i = 0; i < chosen.size(); i += 2) {
        if (i + 1 < chosen.size()) {
            scan.measure_pair(chosen[i], chosen[i + 1]);
        } else {
            scan.measure(chosen[i]);
        }
    }
    for (std::size_t b : chosen) lowest[b] = kMeasured;
}

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
    if (lane == 0) {
        checked_capacity(dim_, kBlockLanes * sizeof(double));
        blocks_.resize(blocks_.size() + dim_ * kBlockLanes, 0.0);
    }
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
    // Every vector is real, so blocks_after * dim_ doubles are less than
    // eight times what the caller holds; only their product is checked.
    const std::size_t blocks_after =
        count_ / kBlockLanes + (count_ % kBlockLanes + vectors.size() + kBlockLanes - 1) / kBlockLanes;
    checked_capacity(dim_, kBlockLanes * sizeof(double));
    checked_capacity(blocks_after, dim_ * kBlockLanes * sizeof(double));
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
    const ScanMetric metric = metric_ == euclidean_distance  ? ScanMetric::euclidean
                              : metric_ == cosine_similarity ? ScanMetric::cosine
                                                             : ScanMetric::inner_product;
    const double query_norm = metric == ScanMetric::cosine ? std::sqrt(sum_of_squares(query.data(), dim_)) : 0.0;
    BlockScan scan({blocks_.data(), dim_, count_, lengths_.data(), kernels_}, metric, query, query_norm, k);
    std::size_t skipped = 0;
    if (metric == ScanMetric::euclidean) {
        CodeBlocks::Query code;
        codes_.encode_query(query, code);
        skipped = code.usable ? scan_by_bounds(scan, code, k) : scan_in_order(scan, nullptr);
    } else {
        CodeBlocks::DotQuery dot;
        codes_.encode_dot_query(query, dot);
        skipped = scan_in_order(scan, dot.usable ? &dot : nullptr);
    }
    if (counts) *counts = {skipped, scan.measured()};
    return std::move(scan).hits();
}

// The heads of the codes are summed for every block first, and the blocks
// they put nearest are measured, so that the limit is near its final value
// from the start. Then all codes of the blocks the heads leave near are
// summed, window by window, and again the nearest are measured. Last, every
// block left is measured unless its codes prove it far. Blocks are measured
// out of id order throughout.
std::size_t FlatIndex::scan_by_bounds(BlockScan& scan, const CodeBlocks::Query& code, std::size_t k) const {
    const std::size_t blocks = scan.blocks(), window = code_window(blocks);
    // Measured on their head sums: just enough blocks to fill the k best, as
    // each costs more than the heads save on data where they decide little.
    const std::size_t filling = std::clamp<std::size_t>((k + kBlockLanes - 1) / kBlockLanes, 1, kMostSeeds);
    const std::size_t seeds = std::clamp(2 * filling, kFewestSeeds, kMostSeeds);
    std::vector<std::uint64_t> lowest(blocks);
    scan.out_of_order();
    codes_.head_lowest(code, count_, lowest.data());
    measure_least(scan, lowest, 0, blocks, filling);
    // Whether the codes prove enough of blocks [from, to) far to be worth
    // summing: the blocks marked so, and with `retest` those the limit has
    // since come to rule out (lowest_sums marks all it rules out itself).
    auto worth = [&](std::size_t from, std::size_t to, bool retest) {
        const bool full = retest && scan.full();
        const double reach = codes_.reach(code, scan.limit());
        std::size_t open = 0, far = 0;
        for (std::size_t b = from; b < to; ++b) {
            if (lowest[b] == kMeasured) continue;
            ++open;
            far += lowest[b] == kProvenFar || (full && codes_.far(b, lowest[b], reach));
        }
        return far * kLeastSkipShare >= open;
    };
    for (std::size_t from = 0; from < blocks; from += window) {
        const std::size_t to = std::min(blocks, from + window);
        codes_.lowest_sums(code, scan.limit(), from, to, count_, lowest.data());
        // Bounds that rarely skip a block cost more than they save. Judged
        // against a limit from far blocks they may look so: the window's
        // nearest are measured first (as they would be anyway). The head
        // sums left in the other blocks still bound them.
        if (!worth(from, to, false)) {
            measure_least(scan, lowest, from, to, seeds);
            if (!worth(from, to, true)) break;
        }
    }
    measure_least(scan, lowest, 0, blocks, seeds);
    auto next_near = [&](std::size_t b) {
        const bool full = scan.full();
        const double reach = codes_.reach(code, scan.limit());
        for (; b < blocks; ++b)
            if (lowest[b] < kMeasured && !(full && codes_.far(b, lowest[b], reach))) return b;
        return blocks;
    };
    for (std::size_t b = next_near(0); b < blocks;) {
        // The next block the same limit leaves near is measured with it (a
        // limit that may since have shrunk only admits more).
        const std::size_t second = next_near(b + 1);
        if (second == blocks) {
            scan.measure(b);
            break;
        }
        scan.measure_pair(b, second);
        b = next_near(second + 1);
    }
    return blocks - scan.measured();
}

std::size_t FlatIndex::scan_in_order(BlockScan& scan, const CodeBlocks::DotQuery* dot) const {
    const std::size_t blocks = scan.blocks(), window = code_window(blocks);
    const double query_norm = scan.query_norm();
    std::size_t skipped = 0, tested = 0, window_skipped = 0;
    bool use_codes = dot != nullptr;
    for (std::size_t b = 0; b < blocks;) {
        if (use_codes && scan.full()) {
            const bool far = dot_lanes_far(*dot, b, std::min(kBlockLanes, count_ - b * kBlockLanes), query_norm,
                                           scan.limit());
            window_skipped += far;
            if (++tested == window) {
                // Bounds that rarely skip a block cost more than they save.
                use_codes = window_skipped * kLeastSkipShare >= window;
                skipped += window_skipped;
                tested = window_skipped = 0;
            }
            if (!far) scan.measure(b);
            ++b;
        } else if (b + 1 < blocks) {
            scan.measure_pair(b, b + 1);
            b += 2;
        } else {
            scan.measure(b++);
        }
    }
    return skipped + window_skipped;
}


}  // namespace quarix
