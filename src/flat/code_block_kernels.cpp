#include "flat/code_block_kernels.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

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
// Sums stay below 2^52, where a double made from the integer's bits over
// 2^52 is exact: the kernels convert them that way.
constexpr double kTwo52 = 0x1.0p52;

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

// Lanes whose sum times area is at least needed.
__attribute__((target("avx512f,avx512bw"))) inline unsigned far_lanes(__m512i sums, __m512d area, __m512d needed) {
    const __m512d two52 = _mm512_set1_pd(kTwo52);
    const __m512d value = _mm512_sub_pd(_mm512_castsi512_pd(_mm512_or_si512(sums, _mm512_castpd_si512(two52))), two52);
    return _mm512_cmp_pd_mask(_mm512_mul_pd(value, area), needed, _CMP_GE_OQ);
}

__attribute__((target("avx512f,avx512bw"))) unsigned near_lanes_avx512bw(const std::int16_t* fine,
                                                                         const std::uint8_t* block,
                                                                         std::size_t groups, double area,
                                                                         double needed, std::uint64_t* sums_out) {
    const __m512d area8 = _mm512_set1_pd(area), needed8 = _mm512_set1_pd(needed);
    __m512i sums = _mm512_loadu_si512(sums_out);
    unsigned far = far_lanes(sums, area8, needed8);
    for (std::size_t g = 0; g < groups;) {
        __m512i pairs = _mm512_setzero_si512();
        for (const std::size_t end = std::min(groups, g + kGroupsPerFold); g < end; ++g)
            pairs = _mm512_add_epi32(pairs, squared_differences(_mm512_set1_epi64(group_of(fine + g * kCodeGroup)),
                                                                block + g * kGroupBytes));
        sums = _mm512_add_epi64(sums, fold_avx512(pairs));
        far = far_lanes(sums, area8, needed8);
        if (far == kAllLanes) return 0;
    }
    _mm512_storeu_si512(sums_out, sums);
    return ~far & kAllLanes;
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

// One block's head at a time, like near_lanes, but with the query's groups
// held in registers and no call per block.
__attribute__((target("avx512f,avx512bw"))) std::size_t first_near_head_avx512bw(const CodeRun& run,
                                                                                  std::size_t from, std::size_t to,
                                                                                  unsigned* near,
                                                                                  std::uint64_t* sums_out) {
    const __m512d area8 = _mm512_set1_pd(run.area);
    __m512i query[kHeadGroups];
    for (std::size_t g = 0; g < run.head_groups; ++g) query[g] = _mm512_set1_epi64(group_of(run.fine + g * kCodeGroup));
    for (std::size_t b = from; b < to; ++b) {
        fetch_ahead(run.tail, b, run.blocks, run.tail_stride, std::min(run.tail_stride, kPrefetchBytes));
        const std::size_t lanes = std::min(kBlockLanes, run.count - b * kBlockLanes);
        const unsigned valid = (1u << lanes) - 1;
        const double needed = CodeGrid::needed_area_from(run.reach + run.errors[b]);
        if (!std::isfinite(needed)) {
            std::memset(sums_out, 0, kBlockLanes * sizeof(std::uint64_t));
            *near = valid;
            return b;
        }
        const __m512i sums = head_sums(query, run.head + b * run.head_stride, run.head_groups);
        if (const unsigned left = ~far_lanes(sums, area8, _mm512_set1_pd(needed)) & valid) {
            _mm512_storeu_si512(sums_out, sums);
            *near = left;
            return b;
        }
    }
    return to;
}

// The heads of a run of blocks as first_near_head tests them; their tails
// tested without widening the codes: for each lane
// sum (f - 16 c)^2 = sum f^2 - 32 sum f c + 256 sum c^2, where the query's
// sum of f^2 and each lane's sum of c^2 are known per part of the codes, and
// sum f c = 128 sum high c + sum low c is two byte dot products per pair of
// groups. Every term is an exact integer, so the lanes get the very sums the
// other kernels add up, and the same lanes are left near.
// A 32-bit lane gains at most 4 * 255 * 128 from a pair of groups; this many
// pairs keep the sum of its two halves within 31 bits.
constexpr std::size_t kPairsPerWiden = 2048;
static_assert(2 * 4 * 255 * 128 * kPairsPerWiden < (std::int64_t{1} << 31));
static_assert(kHighestFine < 128 * 128 && kLowestFine >= -128 * 128, "fine codes split into two signed bytes");

// The 8 lanes' sum of f c over `pairs` pairs of groups (64 bytes each at
// codes, high and low), as 64-bit integers.
__attribute__((target("avx512f,avx512bw,avx512vnni"))) inline __m512i code_products(const std::uint8_t* codes,
                                                                              const std::int8_t* high,
                                                                              const std::int8_t* low,
                                                                              std::size_t pairs) {
    __m512i total = _mm512_setzero_si512();
    for (std::size_t p = 0; p < pairs;) {
        // Four sums of each kind, so that the products of four pairs are in
        // flight at once rather than each waiting on the one before.
        __m512i hs[4], ls[4];
        for (std::size_t u = 0; u < 4; ++u) hs[u] = ls[u] = _mm512_setzero_si512();
        const std::size_t end = std::min(pairs, p + kPairsPerWiden);
        for (; p + 4 <= end; p += 4)
            for (std::size_t u = 0; u < 4; ++u) {
                const std::size_t at = (p + u) * 2 * kGroupBytes;
                const __m512i c = _mm512_loadu_si512(codes + at);
                hs[u] = _mm512_dpbusd_epi32(hs[u], c, _mm512_loadu_si512(high + at));
                ls[u] = _mm512_dpbusd_epi32(ls[u], c, _mm512_loadu_si512(low + at));
            }
        for (std::size_t u = 0; p < end; ++p, ++u) {
            const std::size_t at = p * 2 * kGroupBytes;
            const __m512i c = _mm512_loadu_si512(codes + at);
            hs[u] = _mm512_dpbusd_epi32(hs[u], c, _mm512_loadu_si512(high + at));
            ls[u] = _mm512_dpbusd_epi32(ls[u], c, _mm512_loadu_si512(low + at));
        }
        const __m512i h = _mm512_add_epi32(_mm512_add_epi32(hs[0], hs[1]), _mm512_add_epi32(hs[2], hs[3]));
        const __m512i l = _mm512_add_epi32(_mm512_add_epi32(ls[0], ls[1]), _mm512_add_epi32(ls[2], ls[3]));
        // The two halves of a register hold a pair's first and second group.
        const __m256i h8 = _mm256_add_epi32(_mm512_castsi512_si256(h), _mm512_extracti64x4_epi64(h, 1));
        const __m256i l8 = _mm256_add_epi32(_mm512_castsi512_si256(l), _mm512_extracti64x4_epi64(l, 1));
        total = _mm512_add_epi64(total, _mm512_add_epi64(_mm512_slli_epi64(_mm512_cvtepi32_epi64(h8), 7),
                                                         _mm512_cvtepi32_epi64(l8)));
    }
    return total;
}

// sum f^2 - 32 * products + 256 * sum c^2, lane by lane.
__attribute__((target("avx512f,avx512bw,avx512vnni"))) inline __m512i part_squares(__m512i products,
                                                                             std::int64_t fine_squares,
                                                                             const std::uint8_t* code_squares) {
    const __m512i codes = _mm512_cvtepu32_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(code_squares)));
    return _mm512_add_epi64(_mm512_sub_epi64(_mm512_set1_epi64(fine_squares), _mm512_slli_epi64(products, 5)),
                            _mm512_slli_epi64(codes, 8));
}

__attribute__((target("avx512f,avx512bw,avx512vnni"))) std::size_t first_near_avx512vnni(const CodeRun& run,
                                                                                        std::size_t from,
                                                                                        std::size_t to) {
    const __m512d area8 = _mm512_set1_pd(run.area);
    const std::size_t tail_pairs = (run.tail_groups + 1) / 2, part_pairs = run.part_groups / 2;
    __m512i query[kHeadGroups];
    for (std::size_t g = 0; g < run.head_groups; ++g) query[g] = _mm512_set1_epi64(group_of(run.fine + g * kCodeGroup));
    for (std::size_t b = from; b < to; ++b) {
        fetch_ahead(run.tail, b, run.blocks, run.tail_stride, std::min(run.tail_stride, kPrefetchBytes));
        const std::size_t lanes = std::min(kBlockLanes, run.count - b * kBlockLanes);
        const unsigned valid = (1u << lanes) - 1;
        const double needed_area = CodeGrid::needed_area_from(run.reach + run.errors[b]);
        if (!std::isfinite(needed_area)) return b;
        const __m512d needed = _mm512_set1_pd(needed_area);
        __m512i sums = head_sums(query, run.head + b * run.head_stride, run.head_groups);
        unsigned near = ~far_lanes(sums, area8, needed) & valid;
        const std::uint8_t* code_squares = run.code_squares + b * run.tail_stride;
        const std::uint8_t* tail = run.tail + b * run.tail_stride;
        for (std::size_t part = 0, p = 0; near && p < tail_pairs; ++part, p += part_pairs) {
            const std::size_t pairs = std::min(part_pairs, tail_pairs - p);
            const std::size_t at = p * 2 * kGroupBytes;
            sums = _mm512_add_epi64(sums, part_squares(code_products(tail + at, run.high + at, run.low + at, pairs),
                                                       run.fine_squares[part], code_squares + part * kBlockLanes * 4));
            near = ~far_lanes(sums, area8, needed) & valid;
        }
        if (near) return b;
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
            pairs = _mm512_add_epi32(pairs, _mm512_madd_epi16(f, group_codes_avx512(block + g * kGroupBytes)));
        }
        alignas(64) std::int32_t lanes[2 * kBlockLanes];
        _mm512_store_si512(lanes, pairs);
        add_pairs(lanes, sums);
    }
}

#pragma GCC diagnostic pop

constexpr CodeBlockKernels kAvx2{near_lanes_avx2, nullptr, nullptr, dot_lanes_avx2, "avx2"};
constexpr CodeBlockKernels kAvx512bw{near_lanes_avx512bw, first_near_head_avx512bw, nullptr, dot_lanes_avx512bw,
                                     "avx512bw"};
constexpr CodeBlockKernels kAvx512vnni{near_lanes_avx512bw, first_near_head_avx512bw, first_near_avx512vnni,
                                       dot_lanes_avx512bw, "avx512vnni"};

#endif

constexpr CodeBlockKernels kPortable{near_lanes_portable, nullptr, nullptr, dot_lanes_portable, "portable"};

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
