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

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Elements this large or larger (or not finite) are not encoded: within it,
// no single-precision square or sum can overflow for any dimension accepted.
constexpr double kLargestElement = 1e15;
constexpr std::size_t kLargestDim = std::size_t{1} << 20;

float grid_point(float low, std::uint8_t code, float step) { return low + static_cast<float>(code) * step; }

float squares_portable(const float* q, const float* low, const float* step, const std::uint8_t* codes,
                       std::size_t dim) {
    float sum = 0.0f;
    for (std::size_t i = 0; i < dim; ++i) {
        const float d = q[i] - grid_point(low[i], codes[i], step[i]);
        sum += d * d;
    }
    return sum;
}

#if defined(__x86_64__)

// GCC 12's AVX-512 intrinsic headers pass an undefined vector as the unused
// merge source of unmasked operations, which its warnings report.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

__attribute__((target("avx2"))) float squares_avx2(const float* q, const float* low, const float* step,
                                                   const std::uint8_t* codes, std::size_t dim) {
    __m256 acc = _mm256_setzero_ps();
    std::size_t i = 0;
    for (; i + 8 <= dim; i += 8) {
        const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(codes + i));
        const __m256 c = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bytes));
        const __m256 x = _mm256_add_ps(_mm256_loadu_ps(low + i), _mm256_mul_ps(c, _mm256_loadu_ps(step + i)));
        const __m256 d = _mm256_sub_ps(_mm256_loadu_ps(q + i), x);
        acc = _mm256_add_ps(acc, _mm256_mul_ps(d, d));
    }
    alignas(32) float lanes[8];
    _mm256_store_ps(lanes, acc);
    float sum = squares_portable(q + i, low + i, step + i, codes + i, dim - i);
    for (const float lane : lanes) sum += lane;
    return sum;
}

// Sixteen squared differences, elements i to i + 15.
__attribute__((target("avx512f"))) inline __m512 square16(const float* q, const float* low, const float* step,
                                                          const std::uint8_t* codes) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(codes));
    const __m512 c = _mm512_cvtepi32_ps(_mm512_cvtepu8_epi32(bytes));
    const __m512 x = _mm512_add_ps(_mm512_loadu_ps(low), _mm512_mul_ps(c, _mm512_loadu_ps(step)));
    const __m512 d = _mm512_sub_ps(_mm512_loadu_ps(q), x);
    return _mm512_mul_ps(d, d);
}

__attribute__((target("avx512f"))) float squares_avx512(const float* q, const float* low, const float* step,
                                                        const std::uint8_t* codes, std::size_t dim) {
    // Two accumulators halve the chain of dependent additions.
    __m512 even = _mm512_setzero_ps(), odd = _mm512_setzero_ps();
    std::size_t i = 0;
    for (; i + 32 <= dim; i += 32) {
        even = _mm512_add_ps(even, square16(q + i, low + i, step + i, codes + i));
        odd = _mm512_add_ps(odd, square16(q + i + 16, low + i + 16, step + i + 16, codes + i + 16));
    }
    if (i + 16 <= dim) {
        even = _mm512_add_ps(even, square16(q + i, low + i, step + i, codes + i));
        i += 16;
    }
    return _mm512_reduce_add_ps(_mm512_add_ps(even, odd)) +
           squares_portable(q + i, low + i, step + i, codes + i, dim - i);
}

#pragma GCC diagnostic pop

constexpr CodeKernels kAvx2{squares_avx2, "avx2"};
constexpr CodeKernels kAvx512{squares_avx512, "avx512"};

#endif

constexpr CodeKernels kPortable{squares_portable, "portable"};

// Fastest first; the portable variant runs everywhere.
constexpr auto kVariants = std::to_array<const CodeKernels*>({
#if defined(__x86_64__)
    &kAvx512, &kAvx2,
#endif
    &kPortable});

const CodeKernels& kChosen = fastest_variant(kVariants);

bool encodable(const double* v, std::size_t dim) {
    for (std::size_t i = 0; i < dim; ++i)
        if (!(std::fabs(v[i]) < kLargestElement)) return false;
    return true;
}

}  // namespace

const CodeKernels& code_kernels() { return kChosen; }

const CodeKernels* code_kernels_named(const char* name) { return named_variant(kVariants, name); }

CoarseCodes::CoarseCodes(std::size_t dim, const CodeKernels& kernels)
    : dim_(dim), kernels_(&kernels), margins_(dim) {}

void CoarseCodes::fit(const std::vector<double>& vectors, std::size_t count) {
    low_.clear();
    step_.clear();
    codes_.clear();
    errors_.clear();
    if (dim_ == 0 || dim_ > kLargestDim) return;
    std::vector<double> lowest(dim_, std::numeric_limits<double>::infinity());
    std::vector<double> highest(dim_, -std::numeric_limits<double>::infinity());
    bool any = false;
    for (std::size_t id = 0; id < count; ++id) {
        const double* v = vectors.data() + id * dim_;
        if (!encodable(v, dim_)) continue;
        any = true;
        for (std::size_t i = 0; i < dim_; ++i) {
            lowest[i] = std::min(lowest[i], v[i]);
            highest[i] = std::max(highest[i], v[i]);
        }
    }
    if (!any) return;
    low_.resize(dim_);
    step_.resize(dim_);
    for (std::size_t i = 0; i < dim_; ++i) {
        low_[i] = static_cast<float>(lowest[i]);
        const float step = static_cast<float>((highest[i] - lowest[i]) / 255.0);
        step_[i] = step > 0.0f && std::isfinite(step) ? step : 1.0f;
    }
    codes_.reserve(count * dim_);
    errors_.reserve(count);
    for (std::size_t id = 0; id < count; ++id) encode(vectors.data() + id * dim_);
}

void CoarseCodes::added(const std::vector<double>& vectors, std::size_t count) {
    if (fitted()) encode(vectors.data() + (count - 1) * dim_);
}

void CoarseCodes::encode(const double* vector) {
    if (!encodable(vector, dim_)) {
        codes_.insert(codes_.end(), dim_, 0);
        errors_.push_back(kNaN);
        return;
    }
    double squares = 0.0;
    for (std::size_t i = 0; i < dim_; ++i) {
        const double position = std::round((vector[i] - low_[i]) / step_[i]);
        const auto code = static_cast<std::uint8_t>(std::clamp(position, 0.0, 255.0));
        codes_.push_back(code);
        const double d = vector[i] - static_cast<double>(grid_point(low_[i], code, step_[i]));
        squares += d * d;
    }
    errors_.push_back(margins_.above(std::sqrt(squares)));
}

void CoarseCodes::encode_query(std::span<const double> query, QueryCode& out) const {
    out.usable = fitted() && query.size() >= dim_ && encodable(query.data(), dim_);
    if (!out.usable) return;
    out.rounded.resize(dim_);
    double squares = 0.0;
    for (std::size_t i = 0; i < dim_; ++i) {
        out.rounded[i] = static_cast<float>(query[i]);
        const double d = query[i] - static_cast<double>(out.rounded[i]);
        squares += d * d;
    }
    out.error = margins_.above(std::sqrt(squares));
}

// With S the exact squared distance between the rounded query and the grid
// point, the single-precision sum lies within a relative (dim + 2) * 2^-24
// of S plus dim * 2^-150 of underflow: this is a lower bound on S.
double CoarseCodes::grid_squares_below(const QueryCode& query, std::size_t node) const {
    const double n = static_cast<double>(dim_);
    const double single = kernels_->squares(query.rounded.data(), low_.data(), step_.data(),
                                            codes_.data() + node * dim_, dim_);
    return (single - 2.0 * n * 0x1.0p-150) * (1.0 - 2.0 * (n + 4.0) * 0x1.0p-24);
}

// The query and the vector lie within query.error and errors_[node] of the
// two grid points, and the computed distance within a relative
// rounding margins of the exact one; so if the grid points
// are `needed` apart, the computed distance is at least limit. Every step
// rounds the threshold up, and the comparison is made on squares.
bool CoarseCodes::rules_out(const QueryCode& query, std::size_t node, double limit) const {
    if (node >= errors_.size()) return false;
    const double needed = (margins_.above(limit) + query.error + errors_[node]) * (1.0 + 0x1.0p-50);
    if (!(needed > 0.0)) return false;
    return grid_squares_below(query, node) >= needed * needed * (1.0 + 0x1.0p-50);
}

}  // namespace quarix
