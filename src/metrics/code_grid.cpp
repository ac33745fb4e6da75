#include "metrics/code_grid.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>

#include "metrics/kernel_choice.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace quarix {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
// Within this magnitude every offset and error term stays finite.
constexpr double kLargestElement = 1e15;
static_assert(kWidestDifference * kWidestDifference * static_cast<std::int64_t>(CodeGrid::kLargestDim) <
              (std::int64_t{1} << 53));

// x - low - position, where position (a grid point's offset from low) is
// exact in double. Returned: a bound on the exact difference's magnitude,
// covering the two roundings of the computation.
double offset_bound(double x, float low, double position) {
    const double from_low = x - static_cast<double>(low);
    return (std::fabs(from_low - position) + std::fabs(from_low) * 0x1.0p-51) * (1.0 + 0x1.0p-50);
}

// Any code is sound, since the error is measured from the code chosen:
// rounding by adding a half and truncating, and a multiplication in place of
// the division, only make a code one step off now and then, and keep
// encoding cheap next to the insert it follows. Each kernel returns the sum
// of the squared offset bounds, in any order (the margins cover any order of
// a sum of dim terms), or NaN when an element cannot be encoded.
double encode_portable(const double* v, std::size_t dim, const float* low, double step, std::uint8_t* codes,
                       double* length_squares) {
    const double per_step = 1.0 / step;
    double squares[4] = {}, lengths[4] = {};
    for (std::size_t i = 0; i < dim; ++i) {
        const double x = v[i];
        if (!(std::fabs(x) < kLargestElement)) return kNaN;
        const double position = (x - static_cast<double>(low[i])) * per_step + 0.5;
        const double kept = position < 0.0 ? 0.0 : (position > 255.0 ? 255.0 : position);
        const auto code = static_cast<std::uint8_t>(kept);
        codes[i] = code;
        const double bound = offset_bound(x, low[i], code * step);
        squares[i % 4] += bound * bound;
        lengths[i % 4] += x * x;
    }
    *length_squares = (lengths[0] + lengths[1]) + (lengths[2] + lengths[3]);
    return (squares[0] + squares[1]) + (squares[2] + squares[3]);
}

#if defined(__x86_64__)

// Four elements a step, as offset_bound does them one by one.
__attribute__((target("avx2"))) double encode_avx2(const double* v, std::size_t dim, const float* low, double step,
                                                   std::uint8_t* codes, double* length_squares) {
    const __m256d per_step = _mm256_set1_pd(1.0 / step), step4 = _mm256_set1_pd(step);
    const __m256d half = _mm256_set1_pd(0.5), zero = _mm256_setzero_pd(), top = _mm256_set1_pd(255.0);
    const __m256d largest = _mm256_set1_pd(kLargestElement), sign = _mm256_set1_pd(-0.0);
    const __m256d relative = _mm256_set1_pd(0x1.0p-51), widen = _mm256_set1_pd(1.0 + 0x1.0p-50);
    __m256d squares = _mm256_setzero_pd(), lengths = _mm256_setzero_pd(), fits = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
    std::size_t i = 0;
    for (; i + 4 <= dim; i += 4) {
        const __m256d x = _mm256_loadu_pd(v + i);
        fits = _mm256_and_pd(fits, _mm256_cmp_pd(_mm256_andnot_pd(sign, x), largest, _CMP_LT_OQ));
        const __m256d from_low = _mm256_sub_pd(x, _mm256_cvtps_pd(_mm_loadu_ps(low + i)));
        const __m256d position = _mm256_add_pd(_mm256_mul_pd(from_low, per_step), half);
        const __m128i code = _mm256_cvttpd_epi32(_mm256_min_pd(_mm256_max_pd(position, zero), top));
        const int packed = _mm_cvtsi128_si32(_mm_packus_epi16(_mm_packus_epi32(code, code), code));
        std::memcpy(codes + i, &packed, 4);
        const __m256d offset = _mm256_andnot_pd(sign, _mm256_sub_pd(from_low, _mm256_mul_pd(_mm256_cvtepi32_pd(code), step4)));
        const __m256d bound =
            _mm256_mul_pd(_mm256_add_pd(offset, _mm256_mul_pd(_mm256_andnot_pd(sign, from_low), relative)), widen);
        squares = _mm256_add_pd(squares, _mm256_mul_pd(bound, bound));
        lengths = _mm256_add_pd(lengths, _mm256_mul_pd(x, x));
    }
    if (_mm256_movemask_pd(fits) != 0xF) return kNaN;
    alignas(32) double parts[4], length_parts[4];
    _mm256_store_pd(parts, squares);
    _mm256_store_pd(length_parts, lengths);
    double tail_length = 0.0;
    const double tail = encode_portable(v + i, dim - i, low + i, step, codes + i, &tail_length);
    *length_squares = ((length_parts[0] + length_parts[1]) + (length_parts[2] + length_parts[3])) + tail_length;
    return ((parts[0] + parts[1]) + (parts[2] + parts[3])) + tail;
}

#endif

struct GridKernels {
    double (*encode)(const double* v, std::size_t dim, const float* low, double step, std::uint8_t* codes,
                     double* length_squares);
    const char* name;
};

constexpr GridKernels kPortable{encode_portable, "portable"};
#if defined(__x86_64__)
constexpr GridKernels kAvx2{encode_avx2, "avx2"};
#endif
constexpr auto kVariants = std::to_array<const GridKernels*>({
#if defined(__x86_64__)
    &kAvx2,
#endif
    &kPortable});
const GridKernels& kChosen = fastest_variant(kVariants);

}  // namespace

std::size_t& pruning_start_count() {
    static std::size_t start = 1024;
    return start;
}

ElementRanges::ElementRanges(std::size_t dim) : lowest(dim, kInf), highest(dim, -kInf) {}

void ElementRanges::add(const double* v, std::size_t stride) {
    if (!CodeGrid::encodable(v, lowest.size(), stride)) return;
    any = true;
    double* low = lowest.data();
    double* high = highest.data();
    if (stride == 1) {  // a loop the compiler vectorises
        for (std::size_t i = 0; i < lowest.size(); ++i) {
            low[i] = v[i] < low[i] ? v[i] : low[i];
            high[i] = v[i] > high[i] ? v[i] : high[i];
        }
        return;
    }
    for (std::size_t i = 0; i < lowest.size(); ++i) {
        low[i] = std::min(low[i], v[i * stride]);
        high[i] = std::max(high[i], v[i * stride]);
    }
}

bool CodeGrid::encodable(const double* v, std::size_t dim, std::size_t stride) {
    // No early exit: the loop vectorises, and vectors almost always pass.
    bool fits = true;
    for (std::size_t i = 0; i < dim; ++i) fits &= std::fabs(v[i * stride]) < kLargestElement;
    return fits;
}

void CodeGrid::fit(const ElementRanges& ranges) {
    low_.clear();
    if (dim_ == 0 || dim_ > kLargestDim || !ranges.any) return;
    // One step for all elements, so that the distance between grid points
    // is a plain sum of integer squares: the widest element sets it.
    double widest = 0.0;
    low_.resize(dim_);
    for (std::size_t i = 0; i < dim_; ++i) {
        low_[i] = static_cast<float>(ranges.lowest[i]);
        widest = std::max(widest, ranges.highest[i] - ranges.lowest[i]);
    }
    const float step = static_cast<float>(widest / 255.0);
    step_ = step > 0.0f && std::isfinite(step) ? step : 1.0f;
    fine_step_ = static_cast<double>(step_) / kFinePerStep;
    fine_area_ = fine_step_ * fine_step_;
}

double CodeGrid::encode(const double* v, std::uint8_t* codes, double* length) const {
    double length_squares = 0.0;
    const double squares = kChosen.encode(v, dim_, low_.data(), static_cast<double>(step_), codes, &length_squares);
    if (std::isnan(squares)) {
        std::fill(codes, codes + dim_, 0);
        if (length) *length = kNaN;
        return kNaN;
    }
    if (length) *length = margins_.above(std::sqrt(length_squares));
    return margins_.above(std::sqrt(squares));
}

double CodeGrid::encode_query(std::span<const double> query, std::int16_t* fine) const {
    if (!fitted() || query.size() < dim_ || !encodable(query.data(), dim_)) return kNaN;
    double squares = 0.0;
    for (std::size_t i = 0; i < dim_; ++i) {
        const double position = std::round((query[i] - low_[i]) / fine_step_);
        const double kept = std::clamp(position, double{kLowestFine}, double{kHighestFine});
        fine[i] = static_cast<std::int16_t>(kept);
        const double bound = offset_bound(query[i], low_[i], kept * fine_step_);
        squares += bound * bound;
    }
    return margins_.above(std::sqrt(squares));
}

}  // namespace quarix
