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

std::uint64_t sum_portable(const std::int16_t* fine, const std::uint8_t* codes, std::size_t dim) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < dim; ++i) {
        const std::int64_t d = std::int64_t{fine[i]} - kFinePerStep * std::int64_t{codes[i]};
        sum += static_cast<std::uint64_t>(d * d);
    }
    return sum;
}

template <std::uint64_t (*one)(const FineQuery&, const std::uint8_t*, std::uint32_t)>
void many_by_one(const FineQuery& query, const std::uint8_t* const* rows, const std::uint32_t* code_squares,
                 std::size_t count, std::uint64_t* out) {
    for (std::size_t j = 0; j < count; ++j) out[j] = one(query, rows[j], code_squares[j]);
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
__attribute__((target("avx2"))) std::uint64_t sum_avx2(const std::int16_t* fine, const std::uint8_t* codes,
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
    return total + sum_portable(fine + i, codes + i, dim - i);
}

// Thirty-two elements a step.
__attribute__((target("avx512f,avx512bw"))) std::uint64_t sum_avx512bw(const std::int16_t* fine,
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
    return total + sum_portable(fine + i, codes + i, dim - i);
}

// With the query split as fine = 128 * high + low, the sum is
// sum fine^2 - 32 sum fine * code + 256 sum code^2, and sum fine * code =
// 128 sum high * code + sum low * code: byte dot products, 64 a step. A
// 32-bit lane gains under 4 * 255 * 63 (high) and 4 * 255 * 127 (low) a step.
__attribute__((target("avx512f,avx512bw,avx512vnni"))) std::uint64_t squares_vnni(const FineQuery& query,
                                                                                 const std::uint8_t* codes,
                                                                                 std::uint32_t code_squares) {
    // Every kFoldSteps steps the lanes are folded into 128 * high + low, which
    // then fits a lane, and all sixteen lanes a 32-bit total, with room to spare.
    constexpr std::size_t kFoldSteps = 8;
    std::int64_t products = 0;
    for (std::size_t begin = 0; begin < query.dim; begin += kFoldSteps * kSplitStep) {
        __m512i high = _mm512_setzero_si512(), low = _mm512_setzero_si512();
        const std::size_t end = std::min(query.dim, begin + kFoldSteps * kSplitStep);
        for (std::size_t i = begin; i < end; i += kSplitStep) {
            const std::size_t left = end - i;
            const __mmask64 lanes = left >= kSplitStep ? ~__mmask64{0} : (__mmask64{1} << left) - 1;
            const __m512i code = _mm512_maskz_loadu_epi8(lanes, codes + i);
            high = _mm512_dpbusd_epi32(high, code, _mm512_loadu_si512(query.high + i));
            low = _mm512_dpbusd_epi32(low, code, _mm512_loadu_si512(query.low + i));
        }
        products += _mm512_reduce_add_epi32(_mm512_add_epi32(_mm512_slli_epi32(high, 7), low));
    }
    return static_cast<std::uint64_t>(query.fine_squares - 32 * products + 256 * std::int64_t{code_squares});
}

// squares_vnni over many rows, for dims of one fold: the loop per row is
// then straight, and rows overlap in the pipeline.
__attribute__((target("avx512f,avx512bw,avx512vnni"))) void many_vnni(const FineQuery& query,
                                                                       const std::uint8_t* const* rows,
                                                                       const std::uint32_t* code_squares,
                                                                       std::size_t count, std::uint64_t* out) {
    constexpr std::size_t kOneFold = 8 * kSplitStep;
    if (query.dim > kOneFold) {
        for (std::size_t j = 0; j < count; ++j) out[j] = squares_vnni(query, rows[j], code_squares[j]);
        return;
    }
    const std::size_t whole = query.dim / kSplitStep * kSplitStep;
    const __mmask64 tail = (__mmask64{1} << (query.dim - whole)) - 1;
    for (std::size_t j = 0; j < count; ++j) {
        const std::uint8_t* codes = rows[j];
        __m512i high = _mm512_setzero_si512(), low = _mm512_setzero_si512();
        for (std::size_t i = 0; i < whole; i += kSplitStep) {
            const __m512i code = _mm512_loadu_si512(codes + i);
            high = _mm512_dpbusd_epi32(high, code, _mm512_loadu_si512(query.high + i));
            low = _mm512_dpbusd_epi32(low, code, _mm512_loadu_si512(query.low + i));
        }
        if (tail) {
            const __m512i code = _mm512_maskz_loadu_epi8(tail, codes + whole);
            high = _mm512_dpbusd_epi32(high, code, _mm512_loadu_si512(query.high + whole));
            low = _mm512_dpbusd_epi32(low, code, _mm512_loadu_si512(query.low + whole));
        }
        const std::int64_t products = _mm512_reduce_add_epi32(_mm512_add_epi32(_mm512_slli_epi32(high, 7), low));
        out[j] = static_cast<std::uint64_t>(query.fine_squares - 32 * products + 256 * std::int64_t{code_squares[j]});
    }
}

std::uint64_t squares_avx2(const FineQuery& query, const std::uint8_t* codes, std::uint32_t) {
    return sum_avx2(query.fine, codes, query.dim);
}

std::uint64_t squares_avx512bw(const FineQuery& query, const std::uint8_t* codes, std::uint32_t) {
    return sum_avx512bw(query.fine, codes, query.dim);
}

#pragma GCC diagnostic pop

constexpr CodeKernels kAvx2{squares_avx2, many_by_one<squares_avx2>, false, "avx2"};
constexpr CodeKernels kAvx512bw{squares_avx512bw, many_by_one<squares_avx512bw>, false, "avx512bw"};
constexpr CodeKernels kAvx512vnni{squares_vnni, many_vnni, true, "avx512vnni"};

#endif

std::uint64_t squares_portable(const FineQuery& query, const std::uint8_t* codes, std::uint32_t) {
    return sum_portable(query.fine, codes, query.dim);
}

constexpr CodeKernels kPortable{squares_portable, many_by_one<squares_portable>, false, "portable"};

// Fastest first; the portable variant runs everywhere.
constexpr auto kVariants = std::to_array<const CodeKernels*>({
#if defined(__x86_64__)
    &kAvx512vnni, &kAvx512bw, &kAvx2,
#endif
    &kPortable});

const CodeKernels& kChosen = fastest_variant(kVariants);

}  // namespace

const CodeKernels& code_kernels() { return kChosen; }

const CodeKernels* code_kernels_named(const char* name) { return named_variant(kVariants, name); }

CoarseCodes::CoarseCodes(std::size_t dim, const CodeKernels& kernels)
    : dim_(dim), kernels_(&kernels), grid_(dim) {
    // Past this the squares outgrow a split kernel's 32 bits.
    if (kernels_->split && dim_ > kSplitLargestDim) kernels_ = &kPortable;
}

void CoarseCodes::fit(std::span<const double> vectors, std::size_t count) {
    codes_.clear();
    meta_.clear();
    ElementRanges ranges(dim_);
    for (std::size_t id = 0; id < count; ++id) ranges.add(vectors.data() + id * dim_, 1);
    grid_.fit(ranges);
    if (!fitted()) return;
    codes_.reserve(std::max(count, expected_) * dim_);
    meta_.reserve(std::max(count, expected_));
    for (std::size_t id = 0; id < count; ++id) encode(vectors.data() + id * dim_);
}

void CoarseCodes::expect(std::size_t nodes) {
    expected_ = std::max(expected_, nodes);
    if (!fitted()) return;
    codes_.reserve(expected_ * dim_);
    meta_.reserve(expected_);
}

void CoarseCodes::added(std::span<const double> vectors, std::size_t count) {
    if (fitted()) encode(vectors.data() + (count - 1) * dim_);
}

void CoarseCodes::squares(const QueryCode& query, const std::uint32_t* nodes, std::size_t count,
                          std::uint64_t* out) const {
    if (meta_.empty()) {  // nothing encoded: no row to stand in
        std::fill(out, out + count, 0);
        return;
    }
    const std::uint8_t* rows[kBatch];
    std::uint32_t code_squares[kBatch];
    for (std::size_t j = 0; j < count; ++j) {
        // A node without a code is never ruled out; row 0 stands in for it.
        const bool coded = nodes[j] < meta_.size();
        rows[j] = codes_.data() + (coded ? std::size_t{nodes[j]} * dim_ : 0);
        code_squares[j] = coded ? meta_[nodes[j]].squares : 0;
    }
    kernels_->many(query.view(dim_), rows, code_squares, count, out);
}

void CoarseCodes::encode(const double* vector) {
    codes_.resize(codes_.size() + dim_);
    std::uint8_t* codes = codes_.data() + codes_.size() - dim_;
    const double error = grid_.encode(vector, codes);
    // Rounded up, so that it still bounds the error (NaN stays NaN).
    float kept = static_cast<float>(error);
    if (kept < error) kept = std::nextafter(kept, std::numeric_limits<float>::infinity());
    // Read only by split kernels, which take at most kSplitLargestDim elements, where it cannot wrap.
    std::uint32_t squares = 0;
    for (std::size_t i = 0; i < dim_; ++i) squares += std::uint32_t{codes[i]} * codes[i];
    meta_.push_back({kept, squares});
}

void CoarseCodes::encode_query(std::span<const double> query, QueryCode& out) const {
    out.fine.resize(dim_);
    out.error = grid_.encode_query(query, out.fine.data());
    out.usable = !std::isnan(out.error);
    if (!out.usable || !kernels_->split) return;
    const std::size_t padded = (dim_ + kSplitStep - 1) / kSplitStep * kSplitStep;
    out.high.assign(padded, 0);
    out.low.assign(padded, 0);
    out.fine_squares = 0;
    for (std::size_t i = 0; i < dim_; ++i) {
        const std::int32_t fine = out.fine[i];
        split_fine(fine, out.high[i], out.low[i]);
        out.fine_squares += std::int64_t{fine} * fine;
    }
}

}  // namespace quarix
