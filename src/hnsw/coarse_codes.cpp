#include "hnsw/coarse_codes.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "metrics/kernel_choice.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace quarix {
namespace {

// The query's fine position minus a code's fits 16 bits, and 32 of its
// squares fit a signed 32-bit lane.
constexpr std::size_t kSquaresPerLane = 32;
static_assert(kFinePerStep == 16, "the kernels shift codes left by 4");
static_assert(kWidestDifference < (1 << 15));
static_assert(kWidestDifference * kWidestDifference * kSquaresPerLane < (std::int64_t{1} << 31));

std::uint64_t squares_portable(const std::int16_t* fine, const std::uint8_t* codes, std::size_t dim) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < dim; ++i) {
        const std::int64_t d = std::int64_t{fine[i]} - kFinePerStep * std::int64_t{codes[i]};
        sum += static_cast<std::uint64_t>(d * d);
    }
    return sum;
}

#if defined(__x86_64__)

// GCC 12's AVX-512 intrinsic headers pass an undefined vector as the unused
// merge source of unmasked operations, which its warnings report.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

__attribute__((target("avx2"))) std::uint64_t lanes_total(__m256i lanes) {
    alignas(32) std::int32_t parts[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(parts), lanes);
    std::uint64_t total = 0;
    for (const std::int32_t part : parts) total += static_cast<std::uint32_t>(part);
    return total;
}

// Sixteen elements a step; each 32-bit lane takes two squares a step.
__attribute__((target("avx2"))) std::uint64_t squares_avx2(const std::int16_t* fine, const std::uint8_t* codes,
                                                           std::size_t dim) {
    constexpr std::size_t kSteps = kSquaresPerLane / 2;
    std::uint64_t total = 0;
    std::size_t i = 0;
    while (i + 16 <= dim) {
        __m256i lanes = _mm256_setzero_si256();
        for (std::size_t step = 0; step < kSteps && i + 16 <= dim; ++step, i += 16) {
            const __m256i code = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(codes + i)));
            const __m256i d = _mm256_sub_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(fine + i)),
                                               _mm256_slli_epi16(code, 4));
            lanes = _mm256_add_epi32(lanes, _mm256_madd_epi16(d, d));
        }
        total += lanes_total(lanes);
    }
    return total + squares_portable(fine + i, codes + i, dim - i);
}

// Thirty-two elements a step.
__attribute__((target("avx512f,avx512bw"))) std::uint64_t squares_avx512bw(const std::int16_t* fine,
                                                                           const std::uint8_t* codes,
                                                                           std::size_t dim) {
    constexpr std::size_t kSteps = kSquaresPerLane / 2;
    std::uint64_t total = 0;
    std::size_t i = 0;
    while (i + 32 <= dim) {
        __m512i lanes = _mm512_setzero_si512();
        for (std::size_t step = 0; step < kSteps && i + 32 <= dim; ++step, i += 32) {
            const __m512i code =
                _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(codes + i)));
            const __m512i d = _mm512_sub_epi16(_mm512_loadu_si512(fine + i), _mm512_slli_epi16(code, 4));
            lanes = _mm512_add_epi32(lanes, _mm512_madd_epi16(d, d));
        }
        // Each lane is below 2^31: widened to 64 bits before they are added.
        const __m512i low = _mm512_cvtepu32_epi64(_mm512_castsi512_si256(lanes));
        const __m512i high = _mm512_cvtepu32_epi64(_mm512_extracti64x4_epi64(lanes, 1));
        total += static_cast<std::uint64_t>(_mm512_reduce_add_epi64(_mm512_add_epi64(low, high)));
    }
    return total + squares_portable(fine + i, codes + i, dim - i);
}

#pragma GCC diagnostic pop

constexpr CodeKernels kAvx2{squares_avx2, "avx2"};
constexpr CodeKernels kAvx512bw{squares_avx512bw, "avx512bw"};

#endif

constexpr CodeKernels kPortable{squares_portable, "portable"};

// Fastest first; the portable variant runs everywhere.
constexpr auto kVariants = std::to_array<const CodeKernels*>({
#if defined(__x86_64__)
    &kAvx512bw, &kAvx2,
#endif
    &kPortable});

const CodeKernels& kChosen = fastest_variant(kVariants);

}  // namespace

const CodeKernels& code_kernels() { return kChosen; }

const CodeKernels* code_kernels_named(const char* name) { return named_variant(kVariants, name); }

CoarseCodes::CoarseCodes(std::size_t dim, const CodeKernels& kernels)
    : dim_(dim), kernels_(&kernels), grid_(dim) {}

void CoarseCodes::fit(const std::vector<double>& vectors, std::size_t count) {
    codes_.clear();
    errors_.clear();
    ElementRanges ranges(dim_);
    for (std::size_t id = 0; id < count; ++id) ranges.add(vectors.data() + id * dim_, 1);
    grid_.fit(ranges);
    if (!fitted()) return;
    codes_.reserve(count * dim_);
    errors_.reserve(count);
    for (std::size_t id = 0; id < count; ++id) encode(vectors.data() + id * dim_);
}

void CoarseCodes::added(const std::vector<double>& vectors, std::size_t count) {
    if (fitted()) encode(vectors.data() + (count - 1) * dim_);
}

void CoarseCodes::encode(const double* vector) {
    codes_.resize(codes_.size() + dim_);
    errors_.push_back(grid_.encode(vector, codes_.data() + codes_.size() - dim_));
}

void CoarseCodes::encode_query(std::span<const double> query, QueryCode& out) const {
    out.fine.resize(dim_);
    out.error = grid_.encode_query(query, out.fine.data());
    out.usable = !std::isnan(out.error);
}

bool CoarseCodes::rules_out(const QueryCode& query, std::size_t node, double limit) const {
    if (node >= errors_.size()) return false;
    const double needed = grid_.needed_area(limit, query.error, errors_[node]);
    if (!std::isfinite(needed)) return false;
    const std::uint64_t sum = kernels_->squares(query.fine.data(), codes_.data() + node * dim_, dim_);
    return static_cast<double>(sum) * grid_.fine_area() >= needed;
}

}  // namespace quarix
