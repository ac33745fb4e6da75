#include <array>
#include <cmath>

#include "metrics/kernel_choice.hpp"

#include "flat/block_layout.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace quarix {
namespace {

// Abandonment is tested every kCheckEvery elements: often enough to skip
// most of a far block, rarely enough to cost nothing on a near one.
constexpr std::size_t kCheckEvery = 16;

// Portable: plain per-lane loops, which the compiler may vectorise across
// lanes without changing any lane's order of operations.
bool euclidean_portable(const double* q, std::size_t dim, const double* block, double abandon_at, double* out) {
    double sum[kBlockLanes] = {};
    for (std::size_t i = 0; i < dim; ++i) {
        const double* v = block + i * kBlockLanes;
        for (std::size_t j = 0; j < kBlockLanes; ++j) {
            const double d = q[i] - v[j];
            sum[j] += d * d;
        }
        if ((i + 1) % kCheckEvery == 0) {
            bool all_far = true;
            for (std::size_t j = 0; j < kBlockLanes; ++j) all_far &= sum[j] >= abandon_at;
            if (all_far) return false;
        }
    }
    for (std::size_t j = 0; j < kBlockLanes; ++j) out[j] = std::sqrt(sum[j]);
    return true;
}

void inner_product_portable(const double* q, std::size_t dim, const double* block, double* out) {
    double sum[kBlockLanes] = {};
    for (std::size_t i = 0; i < dim; ++i) {
        const double* v = block + i * kBlockLanes;
        for (std::size_t j = 0; j < kBlockLanes; ++j) sum[j] += q[i] * v[j];
    }
    for (std::size_t j = 0; j < kBlockLanes; ++j) out[j] = sum[j];
}

// Pairs from single blocks, where the single kernel already keeps enough
// sums in flight or where there is no faster form.
template <bool (*Euclidean)(const double*, std::size_t, const double*, double, double*)>
unsigned euclidean_pair_of(const double* q, std::size_t dim, const double* first, const double* second,
                           double abandon_at, double* out) {
    return unsigned{Euclidean(q, dim, first, abandon_at, out)} |
           unsigned{Euclidean(q, dim, second, abandon_at, out + kBlockLanes)} << 1;
}

template <void (*Dot)(const double*, std::size_t, const double*, double*)>
void dot_pair_of(const double* q, std::size_t dim, const double* first, const double* second, double* out) {
    Dot(q, dim, first, out);
    Dot(q, dim, second, out + kBlockLanes);
}

#if defined(__x86_64__)

__attribute__((target("avx2"))) bool euclidean_avx2(const double* q, std::size_t dim, const double* block,
                                                    double abandon_at, double* out) {
    __m256d lo = _mm256_setzero_pd(), hi = _mm256_setzero_pd();
    const __m256d limit = _mm256_set1_pd(abandon_at);
    for (std::size_t i = 0; i < dim; ++i) {
        const __m256d qi = _mm256_broadcast_sd(q + i);
        const __m256d dlo = _mm256_sub_pd(qi, _mm256_loadu_pd(block + i * kBlockLanes));
        const __m256d dhi = _mm256_sub_pd(qi, _mm256_loadu_pd(block + i * kBlockLanes + 4));
        lo = _mm256_add_pd(lo, _mm256_mul_pd(dlo, dlo));
        hi = _mm256_add_pd(hi, _mm256_mul_pd(dhi, dhi));
        if ((i + 1) % kCheckEvery == 0) {
            const __m256d far = _mm256_and_pd(_mm256_cmp_pd(lo, limit, _CMP_GE_OQ), _mm256_cmp_pd(hi, limit, _CMP_GE_OQ));
            if (_mm256_movemask_pd(far) == 0xF) return false;
        }
    }
    _mm256_storeu_pd(out, _mm256_sqrt_pd(lo));
    _mm256_storeu_pd(out + 4, _mm256_sqrt_pd(hi));
    return true;
}

__attribute__((target("avx2"))) void inner_product_avx2(const double* q, std::size_t dim, const double* block,
                                                        double* out) {
    __m256d lo = _mm256_setzero_pd(), hi = _mm256_setzero_pd();
    for (std::size_t i = 0; i < dim; ++i) {
        const __m256d qi = _mm256_broadcast_sd(q + i);
        lo = _mm256_add_pd(lo, _mm256_mul_pd(qi, _mm256_loadu_pd(block + i * kBlockLanes)));
        hi = _mm256_add_pd(hi, _mm256_mul_pd(qi, _mm256_loadu_pd(block + i * kBlockLanes + 4)));
    }
    _mm256_storeu_pd(out, lo);
    _mm256_storeu_pd(out + 4, hi);
}

__attribute__((target("avx512f"))) bool euclidean_avx512(const double* q, std::size_t dim, const double* block,
                                                         double abandon_at, double* out) {
    __m512d sum = _mm512_setzero_pd();
    const __m512d limit = _mm512_set1_pd(abandon_at);
    for (std::size_t i = 0; i < dim; ++i) {
        const __m512d d = _mm512_sub_pd(_mm512_set1_pd(q[i]), _mm512_loadu_pd(block + i * kBlockLanes));
        sum = _mm512_add_pd(sum, _mm512_mul_pd(d, d));
        if ((i + 1) % kCheckEvery == 0 && _mm512_cmp_pd_mask(sum, limit, _CMP_GE_OQ) == 0xFF) return false;
    }
    _mm512_storeu_pd(out, _mm512_maskz_sqrt_pd(0xFF, sum));
    return true;
}

__attribute__((target("avx512f"))) void inner_product_avx512(const double* q, std::size_t dim, const double* block,
                                                             double* out) {
    __m512d sum = _mm512_setzero_pd();
    for (std::size_t i = 0; i < dim; ++i)
        sum = _mm512_add_pd(sum, _mm512_mul_pd(_mm512_set1_pd(q[i]), _mm512_loadu_pd(block + i * kBlockLanes)));
    _mm512_storeu_pd(out, sum);
}

__attribute__((target("avx512f"))) unsigned euclidean_pair_avx512(const double* q, std::size_t dim, const double* first,
                                                              const double* second, double abandon_at, double* out) {
    __m512d a = _mm512_setzero_pd(), b = _mm512_setzero_pd();
    const __m512d limit = _mm512_set1_pd(abandon_at);
    for (std::size_t i = 0; i < dim; ++i) {
        const __m512d qi = _mm512_set1_pd(q[i]);
        const __m512d da = _mm512_sub_pd(qi, _mm512_loadu_pd(first + i * kBlockLanes));
        const __m512d db = _mm512_sub_pd(qi, _mm512_loadu_pd(second + i * kBlockLanes));
        a = _mm512_add_pd(a, _mm512_mul_pd(da, da));
        b = _mm512_add_pd(b, _mm512_mul_pd(db, db));
        if ((i + 1) % kCheckEvery == 0 &&
            (_mm512_cmp_pd_mask(a, limit, _CMP_GE_OQ) & _mm512_cmp_pd_mask(b, limit, _CMP_GE_OQ)) == 0xFF)
            return 0;
    }
    _mm512_storeu_pd(out, _mm512_maskz_sqrt_pd(0xFF, a));
    _mm512_storeu_pd(out + kBlockLanes, _mm512_maskz_sqrt_pd(0xFF, b));
    return 3;
}

__attribute__((target("avx512f"))) void inner_product_pair_avx512(const double* q, std::size_t dim,
                                                                  const double* first, const double* second,
                                                                  double* out) {
    __m512d a = _mm512_setzero_pd(), b = _mm512_setzero_pd();
    for (std::size_t i = 0; i < dim; ++i) {
        const __m512d qi = _mm512_set1_pd(q[i]);
        a = _mm512_add_pd(a, _mm512_mul_pd(qi, _mm512_loadu_pd(first + i * kBlockLanes)));
        b = _mm512_add_pd(b, _mm512_mul_pd(qi, _mm512_loadu_pd(second + i * kBlockLanes)));
    }
    _mm512_storeu_pd(out, a);
    _mm512_storeu_pd(out + kBlockLanes, b);
}

#endif

constexpr BlockKernels kPortable{euclidean_portable, inner_product_portable, inner_product_portable,
                                 euclidean_pair_of<euclidean_portable>, dot_pair_of<inner_product_portable>,
                                 "portable"};

#if defined(__x86_64__)
constexpr BlockKernels kAvx2{euclidean_avx2, inner_product_avx2, inner_product_avx2, euclidean_pair_of<euclidean_avx2>,
                             dot_pair_of<inner_product_avx2>, "avx2"};
constexpr BlockKernels kAvx512{euclidean_avx512, inner_product_avx512, inner_product_avx512, euclidean_pair_avx512,
                               inner_product_pair_avx512, "avx512"};
#endif

// Fastest first; the portable variant runs everywhere.
constexpr auto kVariants = std::to_array<const BlockKernels*>({
#if defined(__x86_64__)
    &kAvx512, &kAvx2,
#endif
    &kPortable});

// Chosen while the shared library loads, before any index exists.
const BlockKernels& kChosen = fastest_variant(kVariants);

}  // namespace

const BlockKernels& block_kernels() { return kChosen; }

const BlockKernels* block_kernels_named(const char* name) { return named_variant(kVariants, name); }

}  // namespace quarix
