#include "metrics/batch_distance.hpp"

#include <cmath>
#include <limits>
#include <array>

#include "metrics/kernel_choice.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace quarix {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Lanes past `count` repeat row 0, so every lane reads valid memory.
struct Rows {
    const double* row[kBatchWidth];
    Rows(const double* const* rows, std::size_t count) {
        for (std::size_t j = 0; j < kBatchWidth; ++j) row[j] = rows[j < count ? j : 0];
    }
};

bool squares_portable(const double* q, std::size_t begin, std::size_t end, const double* const* rows,
                      std::size_t count, double abandon_at, double* sums) {
    const Rows r(rows, count);
    for (std::size_t i = begin; i < end; ++i) {
        const double qi = q[i];
        for (std::size_t j = 0; j < kBatchWidth; ++j) {
            const double d = qi - r.row[j][i];
            sums[j] += d * d;
        }
        if ((i + 1) % kAbandonStride == 0) {
            bool all_far = true;
            for (std::size_t j = 0; j < count; ++j) all_far &= sums[j] >= abandon_at;
            if (all_far) return false;
        }
    }
    return true;
}

void products_portable(const double* q, std::size_t begin, std::size_t end, const double* const* rows,
                       std::size_t count, double* sums) {
    const Rows r(rows, count);
    for (std::size_t i = begin; i < end; ++i) {
        const double qi = q[i];
        for (std::size_t j = 0; j < kBatchWidth; ++j) sums[j] += qi * r.row[j][i];
    }
}

#if defined(__x86_64__)

// GCC 12's AVX-512 intrinsic headers pass an undefined vector as the unused
// merge source of every unmasked shuffle, which -Wmaybe-uninitialized reports.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

// Eight rows, eight elements each: loads them and turns them so that
// column[k] holds element k of every row, lane j being row j.
struct Columns8 {
    __m512d column[8];
};

__attribute__((target("avx512f"))) inline Columns8 transpose8(const double* const* r, std::size_t i,
                                                              __mmask8 mask) {
    __m512d row[8];
    for (int j = 0; j < 8; ++j) row[j] = _mm512_maskz_loadu_pd(mask, r[j] + i);
    const __m512d t0 = _mm512_unpacklo_pd(row[0], row[1]), t1 = _mm512_unpackhi_pd(row[0], row[1]);
    const __m512d t2 = _mm512_unpacklo_pd(row[2], row[3]), t3 = _mm512_unpackhi_pd(row[2], row[3]);
    const __m512d t4 = _mm512_unpacklo_pd(row[4], row[5]), t5 = _mm512_unpackhi_pd(row[4], row[5]);
    const __m512d t6 = _mm512_unpacklo_pd(row[6], row[7]), t7 = _mm512_unpackhi_pd(row[6], row[7]);
    constexpr int kEven = 0x88, kOdd = 0xDD;  // 128-bit lanes 0,2 / 1,3 of each source
    const __m512d u0 = _mm512_shuffle_f64x2(t0, t2, kEven), u1 = _mm512_shuffle_f64x2(t0, t2, kOdd);
    const __m512d u2 = _mm512_shuffle_f64x2(t4, t6, kEven), u3 = _mm512_shuffle_f64x2(t4, t6, kOdd);
    const __m512d u4 = _mm512_shuffle_f64x2(t1, t3, kEven), u5 = _mm512_shuffle_f64x2(t1, t3, kOdd);
    const __m512d u6 = _mm512_shuffle_f64x2(t5, t7, kEven), u7 = _mm512_shuffle_f64x2(t5, t7, kOdd);
    Columns8 out;
    out.column[0] = _mm512_shuffle_f64x2(u0, u2, kEven);
    out.column[4] = _mm512_shuffle_f64x2(u0, u2, kOdd);
    out.column[2] = _mm512_shuffle_f64x2(u1, u3, kEven);
    out.column[6] = _mm512_shuffle_f64x2(u1, u3, kOdd);
    out.column[1] = _mm512_shuffle_f64x2(u4, u6, kEven);
    out.column[5] = _mm512_shuffle_f64x2(u4, u6, kOdd);
    out.column[3] = _mm512_shuffle_f64x2(u5, u7, kEven);
    out.column[7] = _mm512_shuffle_f64x2(u5, u7, kOdd);
    return out;
}

__attribute__((target("avx512f"))) bool squares_avx512(const double* q, std::size_t begin, std::size_t end,
                                                       const double* const* rows, std::size_t count,
                                                       double abandon_at, double* sums) {
    const Rows r(rows, count);
    const __mmask8 live = static_cast<__mmask8>((1u << count) - 1);
    const __m512d limit = _mm512_set1_pd(abandon_at);
    __m512d sum = _mm512_loadu_pd(sums);
    bool complete = true;
    for (std::size_t i = begin; i < end; i += 8) {
        const std::size_t width = end - i < 8 ? end - i : 8;
        const Columns8 c = transpose8(r.row, i, static_cast<__mmask8>((1u << width) - 1));
        for (std::size_t k = 0; k < width; ++k) {
            const __m512d d = _mm512_sub_pd(_mm512_set1_pd(q[i + k]), c.column[k]);
            sum = _mm512_add_pd(sum, _mm512_mul_pd(d, d));
        }
        if (width == 8 && (_mm512_cmp_pd_mask(sum, limit, _CMP_GE_OQ) & live) == live) {
            complete = false;
            break;
        }
    }
    _mm512_storeu_pd(sums, sum);
    return complete;
}

__attribute__((target("avx512f"))) void products_avx512(const double* q, std::size_t begin, std::size_t end,
                                                        const double* const* rows, std::size_t count,
                                                        double* sums) {
    const Rows r(rows, count);
    __m512d sum = _mm512_loadu_pd(sums);
    for (std::size_t i = begin; i < end; i += 8) {
        const std::size_t width = end - i < 8 ? end - i : 8;
        const Columns8 c = transpose8(r.row, i, static_cast<__mmask8>((1u << width) - 1));
        for (std::size_t k = 0; k < width; ++k)
            sum = _mm512_add_pd(sum, _mm512_mul_pd(_mm512_set1_pd(q[i + k]), c.column[k]));
    }
    _mm512_storeu_pd(sums, sum);
}

#pragma GCC diagnostic pop

// Four rows, four elements each, turned the same way.
struct Columns4 {
    __m256d column[4];
};

__attribute__((target("avx2"))) inline Columns4 transpose4(const double* const* r, std::size_t i) {
    const __m256d r0 = _mm256_loadu_pd(r[0] + i), r1 = _mm256_loadu_pd(r[1] + i);
    const __m256d r2 = _mm256_loadu_pd(r[2] + i), r3 = _mm256_loadu_pd(r[3] + i);
    const __m256d t0 = _mm256_unpacklo_pd(r0, r1), t1 = _mm256_unpackhi_pd(r0, r1);
    const __m256d t2 = _mm256_unpacklo_pd(r2, r3), t3 = _mm256_unpackhi_pd(r2, r3);
    return {{_mm256_permute2f128_pd(t0, t2, 0x20), _mm256_permute2f128_pd(t1, t3, 0x20),
             _mm256_permute2f128_pd(t0, t2, 0x31), _mm256_permute2f128_pd(t1, t3, 0x31)}};
}

// Elements past the last multiple of four are gathered one by one.
__attribute__((target("avx2"))) inline __m256d column_at(const double* const* r, std::size_t i) {
    return _mm256_set_pd(r[3][i], r[2][i], r[1][i], r[0][i]);
}

__attribute__((target("avx2"))) inline __m256d add_square(__m256d sum, __m256d qk, __m256d column) {
    const __m256d d = _mm256_sub_pd(qk, column);
    return _mm256_add_pd(sum, _mm256_mul_pd(d, d));
}

__attribute__((target("avx2"))) bool squares_avx2(const double* q, std::size_t begin, std::size_t end,
                                                  const double* const* rows, std::size_t count, double abandon_at,
                                                  double* sums) {
    const Rows r(rows, count);
    const __m256d limit = _mm256_set1_pd(abandon_at);
    const int live = static_cast<int>((1u << count) - 1);
    __m256d lo = _mm256_loadu_pd(sums), hi = _mm256_loadu_pd(sums + 4);
    bool complete = true;
    std::size_t i = begin;
    for (; i + 4 <= end; i += 4) {
        const Columns4 a = transpose4(r.row, i), b = transpose4(r.row + 4, i);
        for (std::size_t k = 0; k < 4; ++k) {
            const __m256d qk = _mm256_set1_pd(q[i + k]);
            lo = add_square(lo, qk, a.column[k]);
            hi = add_square(hi, qk, b.column[k]);
        }
        if ((i + 4) % kAbandonStride == 0) {
            const int far = _mm256_movemask_pd(_mm256_cmp_pd(lo, limit, _CMP_GE_OQ)) |
                            (_mm256_movemask_pd(_mm256_cmp_pd(hi, limit, _CMP_GE_OQ)) << 4);
            if ((far & live) == live) {
                complete = false;
                break;
            }
        }
    }
    if (complete) {
        for (; i < end; ++i) {
            const __m256d qk = _mm256_set1_pd(q[i]);
            lo = add_square(lo, qk, column_at(r.row, i));
            hi = add_square(hi, qk, column_at(r.row + 4, i));
        }
    }
    _mm256_storeu_pd(sums, lo);
    _mm256_storeu_pd(sums + 4, hi);
    return complete;
}

__attribute__((target("avx2"))) void products_avx2(const double* q, std::size_t begin, std::size_t end,
                                                   const double* const* rows, std::size_t count,
                                                   double* sums) {
    const Rows r(rows, count);
    __m256d lo = _mm256_loadu_pd(sums), hi = _mm256_loadu_pd(sums + 4);
    std::size_t i = begin;
    for (; i + 4 <= end; i += 4) {
        const Columns4 a = transpose4(r.row, i), b = transpose4(r.row + 4, i);
        for (std::size_t k = 0; k < 4; ++k) {
            const __m256d qk = _mm256_set1_pd(q[i + k]);
            lo = _mm256_add_pd(lo, _mm256_mul_pd(qk, a.column[k]));
            hi = _mm256_add_pd(hi, _mm256_mul_pd(qk, b.column[k]));
        }
    }
    for (; i < end; ++i) {
        const __m256d qk = _mm256_set1_pd(q[i]);
        lo = _mm256_add_pd(lo, _mm256_mul_pd(qk, column_at(r.row, i)));
        hi = _mm256_add_pd(hi, _mm256_mul_pd(qk, column_at(r.row + 4, i)));
    }
    _mm256_storeu_pd(sums, lo);
    _mm256_storeu_pd(sums + 4, hi);
}

constexpr BatchKernels kAvx2{squares_avx2, products_avx2, "avx2"};
constexpr BatchKernels kAvx512{squares_avx512, products_avx512, "avx512"};

#endif

constexpr BatchKernels kPortable{squares_portable, products_portable, "portable"};

// Fastest first; the portable variant runs everywhere.
constexpr auto kVariants = std::to_array<const BatchKernels*>({
#if defined(__x86_64__)
    &kAvx512, &kAvx2,
#endif
    &kPortable});

const BatchKernels& kChosen = fastest_variant(kVariants);

}  // namespace

const BatchKernels& batch_kernels() { return kChosen; }

const BatchKernels* batch_kernels_named(const char* name) { return named_variant(kVariants, name); }

double euclidean_abandon_threshold(double worst) {
    if (std::isnan(worst)) return std::numeric_limits<double>::quiet_NaN();
    double limit = worst * worst;
    while (std::sqrt(limit) < worst) limit = std::nextafter(limit, kInf);
    while (limit > 0.0 && std::sqrt(std::nextafter(limit, 0.0)) >= worst) limit = std::nextafter(limit, 0.0);
    return limit;
}

}  // namespace quarix
