#include "flat/code_blocks.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "metrics/kernel_choice.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace quarix {
namespace {

constexpr unsigned kAllLanes = (1u << kBlockLanes) - 1;
constexpr std::size_t kGroupBytes = kCodeGroup * kBlockLanes;
// A 32-bit lane holds two squares of differences a group; this many groups
// fit before it is widened (and the lanes tested for an early stop).
constexpr std::size_t kGroupsPerFold = 16;
constexpr std::size_t kPrefetchBlocks = 16, kPrefetchBytes = kGroupsPerFold * kGroupBytes, kCacheLine = 64;
static_assert(kFinePerStep == 16, "the kernels shift codes left by 4");
static_assert(kWidestDifference < (1 << 15));
static_assert(2 * kWidestDifference * kWidestDifference * kGroupsPerFold < (std::int64_t{1} << 31));
static_assert(2 * kLargestQueryCode * 255 * kGroupsPerFold < (std::int64_t{1} << 31));
// Sums stay below 2^52, where a double made from the integer's bits over
// 2^52 is exact: the kernels convert them that way.
constexpr double kTwo52 = 0x1.0p52;
// Vectors encoded since the last fit with an error this many times the
// largest at the fit, more than one in kOutgrownShare of them, show that
// the grid no longer fits the data.
constexpr double kOutgrownError = 1.5;
constexpr std::size_t kOutgrownShare = 64;
// Queries with an element this large (or not finite), or whose largest
// element is this small, get no dot-product bounds: within them no term
// overflows or loses its bound to underflow.
constexpr double kLargestDotElement = 1e15;
constexpr double kSmallestDotElement = 1e-250;

// Fetches the first `bytes` of the codes of block `block` + kPrefetchBlocks
// (of `blocks`, `stride` bytes each), which a scan in block order reaches soon.
inline void fetch_ahead(const std::uint8_t* codes, std::size_t block, std::size_t blocks, std::size_t stride,
                        std::size_t bytes) {
    if (block + kPrefetchBlocks >= blocks) return;
    const std::uint8_t* ahead = codes + (block + kPrefetchBlocks) * stride;
    for (std::size_t at = 0; at < bytes; at += kCacheLine) __builtin_prefetch(ahead + at);
}

unsigned lanes_below(const std::uint64_t* sums, double area, double needed) {
    unsigned near = 0;
    for (std::size_t j = 0; j < kBlockLanes; ++j)
        if (!(static_cast<double>(sums[j]) * area >= needed)) near |= 1u << j;
    return near;
}

unsigned near_lanes_portable(const std::int16_t* fine, const std::uint8_t* block, std::size_t groups, double area,
                             double needed, std::uint64_t* sums) {
    for (std::size_t g = 0; g < groups; ++g) {
        const std::uint8_t* codes = block + g * kGroupBytes;
        for (std::size_t j = 0; j < kBlockLanes; ++j)
            for (std::size_t r = 0; r < kCodeGroup; ++r) {
                const std::int64_t d = std::int64_t{fine[g * kCodeGroup + r]} -
                                       kFinePerStep * std::int64_t{codes[j * kCodeGroup + r]};
                sums[j] += static_cast<std::uint64_t>(d * d);
            }
        if ((g + 1) % kGroupsPerFold == 0 && lanes_below(sums, area, needed) == 0) return 0;
    }
    return lanes_below(sums, area, needed);
}

void dot_lanes_portable(const std::int16_t* q, const std::uint8_t* block, std::size_t groups, std::int64_t* sums) {
    for (std::size_t g = 0; g < groups; ++g) {
        const std::uint8_t* codes = block + g * kGroupBytes;
        for (std::size_t j = 0; j < kBlockLanes; ++j)
            for (std::size_t r = 0; r < kCodeGroup; ++r)
                sums[j] += std::int64_t{q[g * kCodeGroup + r]} * std::int64_t{codes[j * kCodeGroup + r]};
    }
}

// Adds the 32-bit pair sums (two per lane, lane by lane) to the lanes' sums.
void add_pairs(const std::int32_t* pairs, std::int64_t* sums) {
    for (std::size_t j = 0; j < kBlockLanes; ++j) sums[j] += std::int64_t{pairs[2 * j]} + pairs[2 * j + 1];
}

#if defined(__x86_64__)

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

std::int64_t group_of(const std::int16_t* fine) {
    std::int64_t four;
    std::memcpy(&four, fine, sizeof four);
    return four;
}

// One group's codes widened to 16 bits: lanes 0-3, then lanes 4-7.
struct GroupCodes {
    __m256i low, high;
};
__attribute__((target("avx2"))) GroupCodes group_codes_avx2(const std::uint8_t* codes) {
    return {_mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(codes))),
            _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(codes + 16)))};
}

// Adds the two 32-bit halves of every 64-bit lane of `pairs` to `sums`.
__attribute__((target("avx2"))) __m256i fold_avx2(__m256i sums, __m256i pairs) {
    const __m256i low = _mm256_and_si256(pairs, _mm256_set1_epi64x(0xFFFFFFFF));
    return _mm256_add_epi64(sums, _mm256_add_epi64(low, _mm256_srli_epi64(pairs, 32)));
}

// Lanes whose sum times area is at least needed, as a 4-bit mask.
__attribute__((target("avx2"))) int far_avx2(__m256i sums, __m256d area, __m256d needed) {
    const __m256d two52 = _mm256_set1_pd(kTwo52);
    const __m256d value = _mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(sums, _mm256_castpd_si256(two52))), two52);
    return _mm256_movemask_pd(_mm256_cmp_pd(_mm256_mul_pd(value, area), needed, _CMP_GE_OQ));
}

__attribute__((target("avx2"))) unsigned near_lanes_avx2(const std::int16_t* fine, const std::uint8_t* block,
                                                         std::size_t groups, double area, double needed,
                                                         std::uint64_t* sums) {
    const __m256d area4 = _mm256_set1_pd(area), needed4 = _mm256_set1_pd(needed);
    __m256i sums_lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(sums));
    __m256i sums_hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(sums + 4));
    int far = far_avx2(sums_lo, area4, needed4) | (far_avx2(sums_hi, area4, needed4) << 4);
    for (std::size_t g = 0; g < groups;) {
        __m256i pairs_lo = _mm256_setzero_si256(), pairs_hi = _mm256_setzero_si256();
        const std::size_t end = std::min(groups, g + kGroupsPerFold);
        for (; g < end; ++g) {
            const __m256i f = _mm256_set1_epi64x(group_of(fine + g * kCodeGroup));
            const auto [c_lo, c_hi] = group_codes_avx2(block + g * kGroupBytes);
            const __m256i d_lo = _mm256_sub_epi16(f, _mm256_slli_epi16(c_lo, 4));
            const __m256i d_hi = _mm256_sub_epi16(f, _mm256_slli_epi16(c_hi, 4));
            pairs_lo = _mm256_add_epi32(pairs_lo, _mm256_madd_epi16(d_lo, d_lo));
            pairs_hi = _mm256_add_epi32(pairs_hi, _mm256_madd_epi16(d_hi, d_hi));
        }
        sums_lo = fold_avx2(sums_lo, pairs_lo);
        sums_hi = fold_avx2(sums_hi, pairs_hi);
        far = far_avx2(sums_lo, area4, needed4) | (far_avx2(sums_hi, area4, needed4) << 4);
        if (far == static_cast<int>(kAllLanes)) return 0;
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums), sums_lo);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums + 4), sums_hi);
    return ~static_cast<unsigned>(far) & kAllLanes;
}

__attribute__((target("avx512f,avx512bw"))) unsigned near_lanes_avx512bw(const std::int16_t* fine,
                                                                         const std::uint8_t* block,
                                                                         std::size_t groups, double area,
                                                                         double needed, std::uint64_t* sums_out) {
    const __m512d area8 = _mm512_set1_pd(area), needed8 = _mm512_set1_pd(needed), two52 = _mm512_set1_pd(kTwo52);
    const __m512i low_half = _mm512_set1_epi64(0xFFFFFFFF);
    __m512i sums = _mm512_loadu_si512(sums_out);
    __mmask8 far = _mm512_cmp_pd_mask(
        _mm512_mul_pd(_mm512_sub_pd(_mm512_castsi512_pd(_mm512_or_si512(sums, _mm512_castpd_si512(two52))), two52), area8),
        needed8, _CMP_GE_OQ);
    for (std::size_t g = 0; g < groups;) {
        __m512i pairs = _mm512_setzero_si512();
        const std::size_t end = std::min(groups, g + kGroupsPerFold);
        for (; g < end; ++g) {
            const __m512i f = _mm512_set1_epi64(group_of(fine + g * kCodeGroup));
            const __m512i c =
                _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + g * kGroupBytes)));
            const __m512i d = _mm512_sub_epi16(f, _mm512_slli_epi16(c, 4));
            pairs = _mm512_add_epi32(pairs, _mm512_madd_epi16(d, d));
        }
        sums = _mm512_add_epi64(sums, _mm512_add_epi64(_mm512_and_si512(pairs, low_half), _mm512_srli_epi64(pairs, 32)));
        const __m512d value =
            _mm512_sub_pd(_mm512_castsi512_pd(_mm512_or_si512(sums, _mm512_castpd_si512(two52))), two52);
        far = _mm512_cmp_pd_mask(_mm512_mul_pd(value, area8), needed8, _CMP_GE_OQ);
        if (far == kAllLanes) return 0;
    }
    _mm512_storeu_si512(sums_out, sums);
    return ~static_cast<unsigned>(far) & kAllLanes;
}

// One block's head at a time, like near_lanes, but with the query's groups
// held in registers and no call per block.
__attribute__((target("avx512f,avx512bw"))) std::size_t first_near_head_avx512bw(const HeadRun& run,
                                                                                  std::size_t from, std::size_t to,
                                                                                  unsigned* near,
                                                                                  std::uint64_t* sums_out) {
    const __m512d area8 = _mm512_set1_pd(run.area), two52 = _mm512_set1_pd(kTwo52);
    const __m512i low_half = _mm512_set1_epi64(0xFFFFFFFF);
    __m512i query[kHeadGroups];
    for (std::size_t g = 0; g < run.head_groups; ++g) query[g] = _mm512_set1_epi64(group_of(run.fine + g * kCodeGroup));
    const std::size_t head_bytes = run.head_groups * kGroupBytes;
    for (std::size_t b = from; b < to; ++b) {
        fetch_ahead(run.prefetch, b, run.blocks, run.prefetch_stride, run.prefetch_bytes);
        const std::size_t lanes = std::min(kBlockLanes, run.count - b * kBlockLanes);
        const unsigned valid = (1u << lanes) - 1;
        const double needed = CodeGrid::needed_area_from(run.reach + run.errors[b]);
        if (!std::isfinite(needed)) {
            std::memset(sums_out, 0, kBlockLanes * sizeof(std::uint64_t));
            *near = valid;
            return b;
        }
        const std::uint8_t* codes = run.head + b * head_bytes;
        __m512i pairs = _mm512_setzero_si512();
        for (std::size_t g = 0; g < run.head_groups; ++g) {
            const __m512i c =
                _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(codes + g * kGroupBytes)));
            const __m512i d = _mm512_sub_epi16(query[g], _mm512_slli_epi16(c, 4));
            pairs = _mm512_add_epi32(pairs, _mm512_madd_epi16(d, d));
        }
        const __m512i sums = _mm512_add_epi64(_mm512_and_si512(pairs, low_half), _mm512_srli_epi64(pairs, 32));
        const __m512d value =
            _mm512_sub_pd(_mm512_castsi512_pd(_mm512_or_si512(sums, _mm512_castpd_si512(two52))), two52);
        const unsigned far = _mm512_cmp_pd_mask(_mm512_mul_pd(value, area8), _mm512_set1_pd(needed), _CMP_GE_OQ);
        if (const unsigned left = ~far & valid) {
            _mm512_storeu_si512(sums_out, sums);
            *near = left;
            return b;
        }
    }
    return to;
}

__attribute__((target("avx2"))) void dot_lanes_avx2(const std::int16_t* q, const std::uint8_t* block,
                                                    std::size_t groups, std::int64_t* sums) {
    for (std::size_t g = 0; g < groups;) {
        __m256i pairs_lo = _mm256_setzero_si256(), pairs_hi = _mm256_setzero_si256();
        const std::size_t end = std::min(groups, g + kGroupsPerFold);
        for (; g < end; ++g) {
            const __m256i f = _mm256_set1_epi64x(group_of(q + g * kCodeGroup));
            const auto [c_lo, c_hi] = group_codes_avx2(block + g * kGroupBytes);
            pairs_lo = _mm256_add_epi32(pairs_lo, _mm256_madd_epi16(f, c_lo));
            pairs_hi = _mm256_add_epi32(pairs_hi, _mm256_madd_epi16(f, c_hi));
        }
        alignas(32) std::int32_t pairs[2 * kBlockLanes];
        _mm256_store_si256(reinterpret_cast<__m256i*>(pairs), pairs_lo);
        _mm256_store_si256(reinterpret_cast<__m256i*>(pairs + 8), pairs_hi);
        add_pairs(pairs, sums);
    }
}

__attribute__((target("avx512f,avx512bw"))) void dot_lanes_avx512bw(const std::int16_t* q,
                                                                    const std::uint8_t* block, std::size_t groups,
                                                                    std::int64_t* sums) {
    for (std::size_t g = 0; g < groups;) {
        __m512i pairs = _mm512_setzero_si512();
        const std::size_t end = std::min(groups, g + kGroupsPerFold);
        for (; g < end; ++g) {
            const __m512i f = _mm512_set1_epi64(group_of(q + g * kCodeGroup));
            const __m512i c =
                _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + g * kGroupBytes)));
            pairs = _mm512_add_epi32(pairs, _mm512_madd_epi16(f, c));
        }
        alignas(64) std::int32_t lanes[2 * kBlockLanes];
        _mm512_store_si512(lanes, pairs);
        add_pairs(lanes, sums);
    }
}

#pragma GCC diagnostic pop

constexpr CodeBlockKernels kAvx2{near_lanes_avx2, nullptr, dot_lanes_avx2, "avx2"};
constexpr CodeBlockKernels kAvx512bw{near_lanes_avx512bw, first_near_head_avx512bw, dot_lanes_avx512bw, "avx512bw"};

#endif

constexpr CodeBlockKernels kPortable{near_lanes_portable, nullptr, dot_lanes_portable, "portable"};

constexpr auto kVariants = std::to_array<const CodeBlockKernels*>({
#if defined(__x86_64__)
    &kAvx512bw, &kAvx2,
#endif
    &kPortable});

const CodeBlockKernels& kChosen = fastest_variant(kVariants);

double widest_error(double a, double b) {
    return std::isnan(a) || std::isnan(b) ? std::numeric_limits<double>::quiet_NaN() : std::max(a, b);
}

}  // namespace

const CodeBlockKernels& code_block_kernels() { return kChosen; }

const CodeBlockKernels* code_block_kernels_named(const char* name) { return named_variant(kVariants, name); }

CodeBlocks::CodeBlocks(std::size_t dim, const CodeBlockKernels& kernels)
    : dim_(dim),
      groups_((dim + kCodeGroup - 1) / kCodeGroup),
      head_groups_(std::min(groups_, kHeadGroups)),
      kernels_(&kernels),
      grid_(dim),
      margins_(dim),
      next_fit_(pruning_start_count()),
      vector_(dim),
      row_(groups_ * kCodeGroup, 0) {}

void CodeBlocks::update(const std::vector<double>& blocks, std::size_t count, std::span<const double* const> fresh) {
    // A refit that is due is skipped while the grid still fits what came
    // since: stationary data then costs one encoding per vector.
    if (next_fit_ != 0 && count >= next_fit_ && (!grid_.fitted() || outgrown_ * kOutgrownShare > since_fit_)) {
        ElementRanges ranges(dim_);
        const std::size_t first_fresh = count - fresh.size();
        for (std::size_t id = 0; id < first_fresh; ++id)
            ranges.add(blocks.data() + (id / kBlockLanes) * dim_ * kBlockLanes + id % kBlockLanes, kBlockLanes);
        for (const double* row : fresh) ranges.add(row, 1);
        grid_.fit(ranges);
        head_.clear();
        tail_.clear();
        errors_.clear();
        lengths_.clear();
        encoded_ = 0;
        fitted_error_ = 0.0;
        if (grid_.fitted()) {
            const std::size_t block_count = (count + kBlockLanes - 1) / kBlockLanes;
            head_.reserve(block_count * head_groups_ * kGroupBytes);
            tail_.reserve(block_count * (groups_ - head_groups_) * kGroupBytes);
            errors_.reserve(block_count);
            lengths_.reserve(block_count);
        }
    }
    if (next_fit_ != 0 && count >= next_fit_) next_fit_ = count * 2;
    if (!grid_.fitted()) return;
    const bool fitting = encoded_ == 0;
    if (fitting) outgrown_ = since_fit_ = 0;
    const std::size_t first_fresh = count - fresh.size();
    for (; encoded_ < count; ++encoded_) {
        const double* vector = encoded_ >= first_fresh ? fresh[encoded_ - first_fresh] : gathered(blocks, encoded_);
        const double error = encode(vector, encoded_);
        if (fitting) {
            fitted_error_ = std::max(fitted_error_, error);  // NaN errors leave it as it is
        } else {
            ++since_fit_;
            outgrown_ += error > kOutgrownError * fitted_error_;
        }
    }
}

const double* CodeBlocks::gathered(const std::vector<double>& blocks, std::size_t id) {
    const double* strided = blocks.data() + (id / kBlockLanes) * dim_ * kBlockLanes + id % kBlockLanes;
    for (std::size_t i = 0; i < dim_; ++i) vector_[i] = strided[i * kBlockLanes];
    return vector_.data();
}

double CodeBlocks::encode(const double* vector, std::size_t id) {
    const std::size_t block = id / kBlockLanes, lane = id % kBlockLanes;
    const std::size_t tail_groups = groups_ - head_groups_;
    if (lane == 0) {
        head_.resize(head_.size() + head_groups_ * kGroupBytes, 0);
        tail_.resize(tail_.size() + tail_groups * kGroupBytes, 0);
        errors_.push_back(0.0);
        lengths_.push_back(0.0);
    }
    double length = 0.0;
    const double error = grid_.encode(vector, row_.data(), &length);
    errors_[block] = widest_error(errors_[block], error);
    lengths_[block] = widest_error(lengths_[block], length);
    std::uint8_t* head = head_.data() + block * head_groups_ * kGroupBytes + lane * kCodeGroup;
    for (std::size_t g = 0; g < head_groups_; ++g)
        std::memcpy(head + g * kGroupBytes, row_.data() + g * kCodeGroup, kCodeGroup);
    std::uint8_t* tail = tail_.data() + block * tail_groups * kGroupBytes + lane * kCodeGroup;
    for (std::size_t g = 0; g < tail_groups; ++g)
        std::memcpy(tail + g * kGroupBytes, row_.data() + (head_groups_ + g) * kCodeGroup, kCodeGroup);
    return error;
}

void CodeBlocks::encode_query(std::span<const double> query, Query& out) const {
    out.usable = false;
    if (!grid_.fitted()) return;
    out.fine.assign(groups_ * kCodeGroup, 0);
    out.error = grid_.encode_query(query, out.fine.data());
    out.usable = !std::isnan(out.error);
}

unsigned CodeBlocks::near_lanes(const Query& query, std::size_t block, double limit) const {
    if (!query.usable || block >= errors_.size()) return kAllLanes;
    const double needed = grid_.needed_area(limit, query.error, errors_[block]);
    if (!std::isfinite(needed)) return kAllLanes;
    // A scan tests blocks in order, and the head codes stream in well; a
    // block's tail is read only when its head proves too little, which
    // waited on the cache until the first groups of a tail a few blocks ahead
    // were fetched meanwhile (the rest is seldom read).
    const std::size_t head_bytes = head_groups_ * kGroupBytes;
    const std::size_t tail_bytes = (groups_ - head_groups_) * kGroupBytes;
    fetch_ahead(tail_.data(), block, errors_.size(), tail_bytes, std::min(tail_bytes, kPrefetchBytes));
    std::uint64_t sums[kBlockLanes] = {};
    const unsigned near = kernels_->near_lanes(query.fine.data(), head_.data() + block * head_bytes,
                                               head_groups_, grid_.fine_area(), needed, sums);
    const std::size_t tail_groups = groups_ - head_groups_;
    if (near == 0 || tail_groups == 0) return near;
    return kernels_->near_lanes(query.fine.data() + head_groups_ * kCodeGroup, tail_.data() + block * tail_bytes,
                                tail_groups, grid_.fine_area(), needed, sums);
}

std::size_t CodeBlocks::first_near(const Query& query, std::size_t from, std::size_t to, double limit,
                                   std::size_t count) const {
    if (!kernels_->first_near_head || !query.usable || to > errors_.size()) {
        for (std::size_t b = from; b < to; ++b) {
            const std::size_t lanes = std::min(kBlockLanes, count - b * kBlockLanes);
            if (near_lanes(query, b, limit) & ((1u << lanes) - 1)) return b;
        }
        return to;
    }
    const std::size_t tail_groups = groups_ - head_groups_, tail_bytes = tail_groups * kGroupBytes;
    const HeadRun run{query.fine.data(), head_.data(), head_groups_, errors_.data(),
                      grid_.reach(limit, query.error), grid_.fine_area(), count,
                      tail_.data(), tail_bytes, std::min(tail_bytes, kPrefetchBytes), errors_.size()};
    for (std::size_t b = from; b < to; ++b) {
        unsigned near = 0;
        std::uint64_t sums[kBlockLanes];
        b = kernels_->first_near_head(run, b, to, &near, sums);
        if (b == to) return to;
        const double needed = CodeGrid::needed_area_from(run.reach + errors_[b]);
        if (tail_groups == 0 || !std::isfinite(needed)) return b;
        if (kernels_->near_lanes(query.fine.data() + head_groups_ * kCodeGroup, tail_.data() + b * tail_bytes,
                                 tail_groups, grid_.fine_area(), needed, sums) & near)
            return b;
    }
    return to;
}

std::size_t CodeBlocks::nearest_blocks(const Query& query, std::size_t blocks, std::span<std::size_t> out) const {
    if (!query.usable) return 0;
    blocks = std::min(blocks, errors_.size());
    const std::size_t count = std::min(out.size(), blocks);
    if (count == 0) return 0;
    std::vector<std::pair<std::uint64_t, std::size_t>> nearest(blocks);
    for (std::size_t b = 0; b < blocks; ++b) {
        std::uint64_t sums[kBlockLanes] = {};
        kernels_->near_lanes(query.fine.data(), head_.data() + b * head_groups_ * kGroupBytes, head_groups_,
                             grid_.fine_area(), std::numeric_limits<double>::infinity(), sums);
        nearest[b] = {*std::min_element(sums, sums + kBlockLanes), b};
    }
    std::partial_sort(nearest.begin(), nearest.begin() + static_cast<std::ptrdiff_t>(count), nearest.end());
    for (std::size_t i = 0; i < count; ++i) out[i] = nearest[i].second;
    std::sort(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(count));
    return count;
}

// The scan's dot product c of q and v (a sum in index order) lies within
// rel * |q| * |v| of the exact q . v, where rel is the margins' relative
// factor; and q . v = sum q[i] low[i] + step * sum q[i] code[i] + q . e,
// with |q . e| <= |q| * error. Writing q[i] = q_code[i] * unit + r[i],
// |r[i]| <= unit / 2, the code part is scale * (a sum of integer products)
// within spread. Each bound below is rounded outward with room to spare.
void CodeBlocks::encode_dot_query(std::span<const double> query, DotQuery& out) const {
    out.usable = false;
    if (!grid_.fitted() || query.size() < dim_) return;
    double largest = 0.0;
    for (std::size_t i = 0; i < dim_; ++i) {
        if (!(std::fabs(query[i]) < kLargestDotElement)) return;
        largest = std::max(largest, std::fabs(query[i]));
    }
    if (largest != 0.0 && largest < kSmallestDotElement) return;
    const double unit = largest == 0.0 ? 1.0 : std::ldexp(1.0, std::ilogb(largest) + 1 - 14);
    out.q_code.assign(groups_ * kCodeGroup, 0);
    double sum = 0.0, magnitude = 0.0, squares = 0.0;
    const std::vector<float>& low = grid_.low();
    for (std::size_t i = 0; i < dim_; ++i) {
        out.q_code[i] = static_cast<std::int16_t>(std::round(query[i] / unit));
        const double term = query[i] * static_cast<double>(low[i]);
        sum += term;
        magnitude += std::fabs(term);
        squares += query[i] * query[i];
    }
    const double rel = margins_.grow - 1.0;
    out.scale = unit * grid_.step();
    out.base = sum - magnitude * rel - RoundingMargins::kTiny;
    out.spread = out.scale * 127.5 * static_cast<double>(dim_) * (1.0 + 0x1.0p-48);
    out.norm = margins_.above(std::sqrt(squares));
    out.usable = true;
}

bool CodeBlocks::dot_lower_bounds(const DotQuery& query, std::size_t block, double* out) const {
    if (!query.usable || block >= errors_.size()) return false;
    const double error = errors_[block], length = lengths_[block];
    if (std::isnan(error) || std::isnan(length)) return false;
    const double rel = margins_.grow - 1.0;
    const double slack =
        (query.spread + query.norm * error + rel * query.norm * length + RoundingMargins::kTiny) * (1.0 + 0x1.0p-48);
    std::int64_t sums[kBlockLanes] = {};
    const std::size_t tail_groups = groups_ - head_groups_;
    kernels_->dot_lanes(query.q_code.data(), head_.data() + block * head_groups_ * kGroupBytes, head_groups_, sums);
    kernels_->dot_lanes(query.q_code.data() + head_groups_ * kCodeGroup,
                        tail_.data() + block * tail_groups * kGroupBytes, tail_groups, sums);
    for (std::size_t j = 0; j < kBlockLanes; ++j) {
        const double code_part = static_cast<double>(sums[j]) * query.scale;
        const double size = std::fabs(query.base) + std::fabs(code_part) + slack;
        out[j] = (query.base + code_part - slack) - size * 0x1.0p-48;
    }
    return true;
}

}  // namespace quarix
