#include "flat/code_block_kernels.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>

#include "metrics/code_grid.hpp"
#include "metrics/kernel_choice.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace quarix {
namespace {

// A 32-bit lane holds two squares of differences a group; this many groups
// fit before it is widened (and the lanes tested for an early stop).
constexpr std::size_t kGroupsPerFold = 16;
static_assert(kFinePerStep == 16, "the kernels shift codes left by 4");
static_assert(kWidestDifference < (1 << 15));
static_assert(2 * kWidestDifference * kWidestDifference * kGroupsPerFold < (std::int64_t{1} << 31));
static_assert(2 * kLargestQueryCode * 255 * kGroupsPerFold < (std::int64_t{1} << 31));
// A lane's sum gains less than 2^26 an element: for vectors of up to 2^27
// elements it converts to a double exactly, and beyond it rounds by far less
// than the margins of CodeGrid::needed_area_from.
static_assert(kWidestDifference * kWidestDifference < (std::int64_t{1} << 26));

// Whether every lane in `valid` has a sum that times area reaches needed.
bool all_far(const std::uint64_t* sums, double area, double needed, unsigned valid) {
    for (std::size_t j = 0; j < kBlockLanes; ++j)
        if ((valid >> j & 1) && !(static_cast<double>(sums[j]) * area >= needed)) return false;
    return true;
}

std::uint64_t least_of(const std::uint64_t* sums, unsigned valid) {
    std::uint64_t least = kProvenFar;
    for (std::size_t j = 0; j < kBlockLanes; ++j)
        if (valid >> j & 1) least = std::min(least, sums[j]);
    return least;
}

// Lanes of block `block` that hold a vector, as a mask.
unsigned valid_lanes(const CodeRun& run, std::size_t block) {
    return (1u << std::min(kBlockLanes, run.count - block * kBlockLanes)) - 1;
}

// Adds to each lane's sums[j] the sum over `groups` groups of elements of
// (fine[i] - kFinePerStep * code[i])^2; false, the sums left partial, once
// every valid lane is proven at least `needed` (tested every kGroupsPerFold groups).
bool add_sums_portable(const std::int16_t* fine, const std::uint8_t* block, std::size_t groups, double area,
                       double needed, unsigned valid, std::uint64_t* sums) {
    for (std::size_t g = 0; g < groups; ++g) {
        const std::uint8_t* codes = block + g * kGroupBytes;
        for (std::size_t j = 0; j < kBlockLanes; ++j)
            for (std::size_t r = 0; r < kCodeGroup; ++r) {
                const std::int64_t d = std::int64_t{fine[g * kCodeGroup + r]} -
                                       kFinePerStep * std::int64_t{codes[j * kCodeGroup + r]};
                sums[j] += static_cast<std::uint64_t>(d * d);
            }
        if ((g + 1) % kGroupsPerFold == 0 && all_far(sums, area, needed, valid)) return false;
    }
    return true;
}

void head_lowest_portable(const CodeRun& run, std::size_t from, std::size_t to, std::uint64_t* out) {
    for (std::size_t b = from; b < to; ++b) {
        const unsigned valid = valid_lanes(run, b);
        std::uint64_t sums[kBlockLanes] = {};
        add_sums_portable(run.fine, run.head + b * run.head_stride, run.head_groups, run.area,
                          std::numeric_limits<double>::infinity(), valid, sums);
        out[b - from] = least_of(sums, valid);
    }
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

// For lowest_sums: `least`, or kProvenFar when that sum of block `block`
// proves it at least the run's limit away.
std::uint64_t settled(const CodeRun& run, std::size_t block, std::uint64_t least) {
    const double needed = CodeGrid::needed_area_from(run.reach + run.errors[block]);
    return static_cast<double>(least) * run.area >= needed ? kProvenFar : least;
}

// The blocks of [from, to) whose tails are to be summed, in order: first
// the blocks whose head sums prove them far are marked so, and the others
// are left open. Each step fetches the first codes of the block kFetchAhead
// open blocks later: where heads decide, those blocks lie far apart, and
// their codes were waited for.
class OpenBlocks {
public:
    static constexpr std::size_t kFetchAhead = 8, kFetchBytes = 512;

    OpenBlocks(const CodeRun& run, std::size_t from, std::size_t to, std::uint64_t* lowest)
        : run_(run), from_(from), to_(to), lowest_(lowest) {
        for (std::size_t b = from; b < to; ++b)
            if (lowest[b - from] < kMeasured) lowest[b - from] = settled(run, b, lowest[b - from]);
        at_ = ahead_ = skip(from);
        for (std::size_t i = 0; i < kFetchAhead && ahead_ < to_; ++i) ahead_ = skip(fetch(ahead_) + 1);
    }
    // The next open block; `to` when there is none.
    std::size_t next() {
        const std::size_t b = at_;
        if (b < to_) at_ = skip(b + 1);
        if (ahead_ < to_) ahead_ = skip(fetch(ahead_) + 1);
        return b;
    }

private:
    std::size_t skip(std::size_t b) const {
        while (b < to_ && lowest_[b - from_] >= kMeasured) ++b;
        return b;
    }
    std::size_t fetch(std::size_t b) const {
        const std::uint8_t* head = run_.head + b * run_.head_stride;
        const std::uint8_t* tail = run_.tail + b * run_.tail_stride;
        for (std::size_t at = 0; at < run_.head_stride; at += 64) __builtin_prefetch(head + at);
        for (std::size_t at = 0; at < std::min(run_.tail_stride, kFetchBytes); at += 64) __builtin_prefetch(tail + at);
        return b;
    }

    const CodeRun& run_;
    std::size_t from_, to_;
    const std::uint64_t* lowest_;
    std::size_t at_ = 0, ahead_ = 0;
};

void lowest_sums_portable(const CodeRun& run, std::size_t from, std::size_t to, std::uint64_t* lowest) {
    OpenBlocks open(run, from, to, lowest);
    for (std::size_t b = open.next(); b < to; b = open.next()) {
        // Tests partial sums as they go: without SIMD each group costs more than a test.
        const double needed = CodeGrid::needed_area_from(run.reach + run.errors[b]);
        const unsigned valid = valid_lanes(run, b);
        std::uint64_t sums[kBlockLanes] = {};
        const bool near =
            add_sums_portable(run.fine, run.head + b * run.head_stride, run.head_groups, run.area, needed, valid,
                              sums) &&
            add_sums_portable(run.fine + run.head_groups * kCodeGroup, run.tail + b * run.tail_stride,
                              run.tail_groups, run.area, needed, valid, sums);
        lowest[b - from] = near ? settled(run, b, least_of(sums, valid)) : kProvenFar;
    }
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

// Adds to the lanes' sums (lanes 0-3 and 4-7) the sums over `groups` groups
// of codes, a fold every kGroupsPerFold groups.
__attribute__((target("avx2"))) void add_sums_avx2(const std::int16_t* fine, const std::uint8_t* codes,
                                                   std::size_t groups, __m256i& sums_lo, __m256i& sums_hi) {
    for (std::size_t g = 0; g < groups;) {
        __m256i pairs_lo = _mm256_setzero_si256(), pairs_hi = _mm256_setzero_si256();
        for (const std::size_t end = std::min(groups, g + kGroupsPerFold); g < end; ++g) {
            const __m256i f = _mm256_set1_epi64x(group_of(fine + g * kCodeGroup));
            const auto [c_lo, c_hi] = group_codes_avx2(codes + g * kGroupBytes);
            const __m256i d_lo = _mm256_sub_epi16(f, _mm256_slli_epi16(c_lo, 4));
            const __m256i d_hi = _mm256_sub_epi16(f, _mm256_slli_epi16(c_hi, 4));
            pairs_lo = _mm256_add_epi32(pairs_lo, _mm256_madd_epi16(d_lo, d_lo));
            pairs_hi = _mm256_add_epi32(pairs_hi, _mm256_madd_epi16(d_hi, d_hi));
        }
        sums_lo = fold_avx2(sums_lo, pairs_lo);
        sums_hi = fold_avx2(sums_hi, pairs_hi);
    }
}

// The least of the sums of a block's lanes that hold a vector.
__attribute__((target("avx2"))) std::uint64_t least_lane_avx2(const CodeRun& run, std::size_t block, __m256i sums_lo,
                                                              __m256i sums_hi) {
    alignas(32) std::uint64_t sums[kBlockLanes];
    _mm256_store_si256(reinterpret_cast<__m256i*>(sums), sums_lo);
    _mm256_store_si256(reinterpret_cast<__m256i*>(sums + 4), sums_hi);
    return least_of(sums, valid_lanes(run, block));
}

__attribute__((target("avx2"))) void head_lowest_avx2(const CodeRun& run, std::size_t from, std::size_t to,
                                                      std::uint64_t* out) {
    for (std::size_t b = from; b < to; ++b) {
        __m256i lo = _mm256_setzero_si256(), hi = _mm256_setzero_si256();
        add_sums_avx2(run.fine, run.head + b * run.head_stride, run.head_groups, lo, hi);
        out[b - from] = least_lane_avx2(run, b, lo, hi);
    }
}

__attribute__((target("avx2"))) void lowest_sums_avx2(const CodeRun& run, std::size_t from, std::size_t to,
                                                      std::uint64_t* lowest) {
    OpenBlocks open(run, from, to, lowest);
    for (std::size_t b = open.next(); b < to; b = open.next()) {
        __m256i lo = _mm256_setzero_si256(), hi = _mm256_setzero_si256();
        add_sums_avx2(run.fine, run.head + b * run.head_stride, run.head_groups, lo, hi);
        add_sums_avx2(run.fine + run.head_groups * kCodeGroup, run.tail + b * run.tail_stride, run.tail_groups, lo, hi);
        lowest[b - from] = settled(run, b, least_lane_avx2(run, b, lo, hi));
    }
}

// One group's codes of the eight lanes, widened to 16 bits.
__attribute__((target("avx512f,avx512bw"))) inline __m512i group_codes_avx512(const std::uint8_t* codes) {
    return _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(codes)));
}

// (f - 16 c)^2 for one group, summed in pairs into 32-bit lanes (two per vector).
__attribute__((target("avx512f,avx512bw"))) inline __m512i squared_differences(__m512i f, const std::uint8_t* codes) {
    const __m512i d = _mm512_sub_epi16(f, _mm512_slli_epi16(group_codes_avx512(codes), 4));
    return _mm512_madd_epi16(d, d);
}

// The two 32-bit halves of every 64-bit lane of `pairs`, added.
__attribute__((target("avx512f,avx512bw"))) inline __m512i fold_avx512(__m512i pairs) {
    return _mm512_add_epi64(_mm512_and_si512(pairs, _mm512_set1_epi64(0xFFFFFFFF)), _mm512_srli_epi64(pairs, 32));
}

// Each lane's sum over the first `groups` groups of a block's codes, the
// query's groups broadcast in `query`.
__attribute__((target("avx512f,avx512bw"))) inline __m512i head_sums(const __m512i* query, const std::uint8_t* codes,
                                                                     std::size_t groups) {
    __m512i pairs = _mm512_setzero_si512();
    for (std::size_t g = 0; g < groups; ++g)
        pairs = _mm512_add_epi32(pairs, squared_differences(query[g], codes + g * kGroupBytes));
    return fold_avx512(pairs);
}

// The least of the sums of a block's lanes that hold a vector.
__attribute__((target("avx512f,avx512bw"))) inline std::uint64_t least_lane(const CodeRun& run, std::size_t block,
                                                                            __m512i sums) {
    return _mm512_mask_reduce_min_epu64(static_cast<__mmask8>(valid_lanes(run, block)), sums);
}

__attribute__((target("avx512f,avx512bw"))) void head_lowest_avx512bw(const CodeRun& run, std::size_t from,
                                                                      std::size_t to, std::uint64_t* out) {
    __m512i query[kHeadGroups];
    for (std::size_t g = 0; g < run.head_groups; ++g) query[g] = _mm512_set1_epi64(group_of(run.fine + g * kCodeGroup));
    for (std::size_t b = from; b < to; ++b)
        out[b - from] = least_lane(run, b, head_sums(query, run.head + b * run.head_stride, run.head_groups));
}

// Each lane's sum over the tail codes, a fold every kGroupsPerFold groups.
__attribute__((target("avx512f,avx512bw"))) inline __m512i tail_sums(const std::int16_t* fine,
                                                                     const std::uint8_t* codes, std::size_t groups) {
    __m512i sums = _mm512_setzero_si512();
    for (std::size_t g = 0; g < groups;) {
        __m512i pairs = _mm512_setzero_si512();
        for (const std::size_t end = std::min(groups, g + kGroupsPerFold); g < end; ++g)
            pairs = _mm512_add_epi32(pairs, squared_differences(_mm512_set1_epi64(group_of(fine + g * kCodeGroup)),
                                                                codes + g * kGroupBytes));
        sums = _mm512_add_epi64(sums, fold_avx512(pairs));
    }
    return sums;
}

__attribute__((target("avx512f,avx512bw"))) void lowest_sums_avx512bw(const CodeRun& run, std::size_t from,
                                                                      std::size_t to, std::uint64_t* lowest) {
    __m512i query[kHeadGroups];
    for (std::size_t g = 0; g < run.head_groups; ++g) query[g] = _mm512_set1_epi64(group_of(run.fine + g * kCodeGroup));
    const std::int16_t* tail_fine = run.fine + run.head_groups * kCodeGroup;
    OpenBlocks open(run, from, to, lowest);
    for (std::size_t b = open.next(); b < to; b = open.next()) {
        const __m512i sums = _mm512_add_epi64(head_sums(query, run.head + b * run.head_stride, run.head_groups),
                                              tail_sums(tail_fine, run.tail + b * run.tail_stride, run.tail_groups));
        lowest[b - from] = settled(run, b, least_lane(run, b, sums));
    }
}

// Sums of all codes without widening them: for each lane
// sum (f - 16 c)^2 = sum f^2 - 32 sum f c + 256 sum c^2, where the query's
// sum of f^2 and each lane's sum of c^2 are known per part of the codes, and
// sum f c = 128 sum high c + sum low c is two byte dot products per pair of
// groups. Every term is an exact integer, so the lanes get the very sums the
// other kernels add up.
// A 32-bit lane gains at most 4 * 255 * 128 from a pair of groups; this many
// pairs keep the sum of its two halves within 31 bits.
constexpr std::size_t kPairsPerWiden = 2048;
static_assert(2 * 4 * 255 * 128 * kPairsPerWiden < (std::int64_t{1} << 31));
static_assert(kHighestFine < 128 * 128 && kLowestFine >= -128 * 128, "fine codes split into two signed bytes");

// acc + the byte dot products of unsigned `codes` and signed `query`, lane
// by lane. Written out because GCC copies the accumulator of the intrinsic
// to another register and back around every use in a loop.
__attribute__((target("avx512f,avx512vnni"))) inline __m512i dot_bytes(__m512i acc, __m512i codes, __m512i query) {
    asm("vpdpbusd %2, %1, %0" : "+v"(acc) : "v"(codes), "v"(query));
    return acc;
}

// One pair of groups at byte `at` of N blocks' codes, into their sums of high and low products.
template <std::size_t N>
__attribute__((target("avx512f,avx512bw,avx512vnni"))) inline void add_pair(const std::uint8_t* const* codes,
                                                                      const std::int8_t* high,
                                                                      const std::int8_t* low, std::size_t at,
                                                                      __m512i* hs, __m512i* ls) {
    __m512i h = _mm512_loadu_si512(high + at), l = _mm512_loadu_si512(low + at);
    // Held in registers: GCC would load them again for every block.
    asm("" : "+v"(h), "+v"(l));
    for (std::size_t n = 0; n < N; ++n) {
        const __m512i c = _mm512_loadu_si512(codes[n] + at);
        hs[n] = dot_bytes(hs[n], c, h);
        ls[n] = dot_bytes(ls[n], c, l);
    }
}

// Adds to totals[n] the 8 lanes' sums of f c over `pairs` pairs of groups
// (64 bytes each at codes[n] + at, high and low), as 64-bit integers, for N
// blocks at once: each load of the query's bytes serves them all.
template <std::size_t N>
__attribute__((target("avx512f,avx512bw,avx512vnni"))) inline void code_products(
    const std::uint8_t* const* codes, const std::int8_t* high, const std::int8_t* low, std::size_t pairs,
    __m512i* totals) {
    // Two sums of each kind per block, so that more products are in flight
    // than wait on the one before.
    constexpr std::size_t kSums = 2;
    for (std::size_t p = 0; p < pairs;) {
        __m512i hs[kSums][N], ls[kSums][N];
        for (std::size_t u = 0; u < kSums; ++u)
            for (std::size_t n = 0; n < N; ++n) hs[u][n] = ls[u][n] = _mm512_setzero_si512();
        const std::size_t end = std::min(pairs, p + kPairsPerWiden);
        for (; p + kSums <= end; p += kSums)
            for (std::size_t u = 0; u < kSums; ++u) add_pair<N>(codes, high, low, (p + u) * 2 * kGroupBytes, hs[u], ls[u]);
        if (p < end) add_pair<N>(codes, high, low, p++ * 2 * kGroupBytes, hs[0], ls[0]);
        for (std::size_t n = 0; n < N; ++n) {
            const __m512i h = _mm512_add_epi32(hs[0][n], hs[1][n]), l = _mm512_add_epi32(ls[0][n], ls[1][n]);
            // The two halves of a register hold a pair's first and second group.
            const __m256i h8 = _mm256_add_epi32(_mm512_castsi512_si256(h), _mm512_extracti64x4_epi64(h, 1));
            const __m256i l8 = _mm256_add_epi32(_mm512_castsi512_si256(l), _mm512_extracti64x4_epi64(l, 1));
            totals[n] = _mm512_add_epi64(totals[n], _mm512_add_epi64(_mm512_slli_epi64(_mm512_cvtepi32_epi64(h8), 7),
                                                                    _mm512_cvtepi32_epi64(l8)));
        }
    }
}

// sum f^2 - 32 * products + 256 * sum c^2, lane by lane.
__attribute__((target("avx512f,avx512bw,avx512vnni"))) inline __m512i part_squares(__m512i products,
                                                                             std::int64_t fine_squares,
                                                                             const std::uint8_t* code_squares) {
    const __m512i codes = _mm512_cvtepu32_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(code_squares)));
    return _mm512_add_epi64(_mm512_sub_epi64(_mm512_set1_epi64(fine_squares), _mm512_slli_epi64(products, 5)),
                            _mm512_slli_epi64(codes, 8));
}

// Adds to sums[n] each lane's sum over the head codes of block blocks[n].
template <std::size_t N>
__attribute__((target("avx512f,avx512bw,avx512vnni"))) inline void add_head_sums(const CodeRun& run,
                                                                           const std::size_t* blocks,
                                                                           __m512i* sums) {
    const std::uint8_t* heads[N];
    __m512i products[N];
    for (std::size_t n = 0; n < N; ++n) {
        heads[n] = run.head + blocks[n] * run.head_stride;
        products[n] = _mm512_setzero_si512();
    }
    code_products<N>(heads, run.high, run.low, (run.head_groups + 1) / 2, products);
    for (std::size_t n = 0; n < N; ++n)
        sums[n] = _mm512_add_epi64(sums[n], part_squares(products[n], run.fine_squares[0],
                                                        run.head_squares + blocks[n] * run.head_stride));
}

// Writes the least lane sum over all codes of each of the N blocks.
template <std::size_t N>
__attribute__((target("avx512f,avx512bw,avx512vnni"))) inline void full_lowest(const CodeRun& run,
                                                                         const std::size_t* blocks,
                                                                         std::uint64_t* out) {
    const std::size_t head_bytes = (run.head_groups + 1) / 2 * 2 * kGroupBytes;
    const std::size_t tail_pairs = (run.tail_groups + 1) / 2, part_pairs = run.part_groups / 2;
    __m512i sums[N];
    for (std::size_t n = 0; n < N; ++n) sums[n] = _mm512_setzero_si512();
    add_head_sums<N>(run, blocks, sums);
    for (std::size_t part = 1, p = 0; p < tail_pairs; ++part, p += part_pairs) {
        const std::size_t at = p * 2 * kGroupBytes;
        const std::uint8_t* codes[N];
        __m512i products[N];
        for (std::size_t n = 0; n < N; ++n) {
            codes[n] = run.tail + blocks[n] * run.tail_stride + at;
            products[n] = _mm512_setzero_si512();
        }
        code_products<N>(codes, run.high + head_bytes + at, run.low + head_bytes + at,
                         std::min(part_pairs, tail_pairs - p), products);
        for (std::size_t n = 0; n < N; ++n)
            sums[n] = _mm512_add_epi64(sums[n], part_squares(products[n], run.fine_squares[part],
                                                            run.code_squares + blocks[n] * run.tail_stride +
                                                                (part - 1) * kBlockLanes * 4));
    }
    for (std::size_t n = 0; n < N; ++n) out[n] = settled(run, blocks[n], least_lane(run, blocks[n], sums[n]));
}

// Heads as dot products too, two blocks at a time.
__attribute__((target("avx512f,avx512bw,avx512vnni"))) void head_lowest_avx512vnni(const CodeRun& run,
                                                                                   std::size_t from, std::size_t to,
                                                                                   std::uint64_t* out) {
    std::size_t b = from;
    for (; b + 2 <= to; b += 2) {
        const std::size_t two[2] = {b, b + 1};
        __m512i sums[2] = {_mm512_setzero_si512(), _mm512_setzero_si512()};
        add_head_sums<2>(run, two, sums);
        out[b - from] = least_lane(run, b, sums[0]);
        out[b + 1 - from] = least_lane(run, b + 1, sums[1]);
    }
    if (b < to) {
        __m512i sums = _mm512_setzero_si512();
        add_head_sums<1>(run, &b, &sums);
        out[b - from] = least_lane(run, b, sums);
    }
}

// Blocks whose tails are to be summed go two at a time.
__attribute__((target("avx512f,avx512bw,avx512vnni"))) void lowest_sums_avx512vnni(const CodeRun& run,
                                                                                   std::size_t from, std::size_t to,
                                                                                   std::uint64_t* lowest) {
    OpenBlocks open(run, from, to, lowest);
    for (std::size_t a = open.next(); a < to; a = open.next()) {
        const std::size_t b = open.next();
        if (b == to) {
            full_lowest<1>(run, &a, &lowest[a - from]);
            break;
        }
        const std::size_t two[2] = {a, b};
        std::uint64_t out[2];
        full_lowest<2>(run, two, out);
        lowest[a - from] = out[0];
        lowest[b - from] = out[1];
    }
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
            pairs = _mm512_add_epi32(pairs, _mm512_madd_epi16(f, group_codes_avx512(block + g * kGroupBytes)));
        }
        alignas(64) std::int32_t lanes[2 * kBlockLanes];
        _mm512_store_si512(lanes, pairs);
        add_pairs(lanes, sums);
    }
}

#pragma GCC diagnostic pop

constexpr CodeBlockKernels kAvx2{head_lowest_avx2, lowest_sums_avx2, dot_lanes_avx2, false, "avx2"};
constexpr CodeBlockKernels kAvx512bw{head_lowest_avx512bw, lowest_sums_avx512bw,
                                     dot_lanes_avx512bw, false, "avx512bw"};
constexpr CodeBlockKernels kAvx512vnni{head_lowest_avx512vnni, lowest_sums_avx512vnni,
                                       dot_lanes_avx512bw, true, "avx512vnni"};

#endif

constexpr CodeBlockKernels kPortable{head_lowest_portable, lowest_sums_portable, dot_lanes_portable, false,
                                     "portable"};

constexpr auto kVariants = std::to_array<const CodeBlockKernels*>({
#if defined(__x86_64__)
    &kAvx512vnni, &kAvx512bw, &kAvx2,
#endif
    &kPortable});

const CodeBlockKernels& kChosen = fastest_variant(kVariants);

}  // namespace

const CodeBlockKernels& code_block_kernels() { return kChosen; }

const CodeBlockKernels* code_block_kernels_named(const char* name) { return named_variant(kVariants, name); }

}  // namespace quarix
