// Distances from one query to several stored vectors at once. Each vector
// keeps its own accumulator, adding its terms in index order exactly as the
// one-pair functions do, so every result is bit for bit the same; computing
// several at once only removes the wait on one accumulator's additions and
// overlaps the vectors' memory reads.
#pragma once

#include <cstddef>

namespace quarix {

inline constexpr std::size_t kBatchWidth = 8;

struct BatchKernels {
    // For j < count (<= kBatchWidth): out[j] = euclidean distance between
    // query and rows[j] over their first n elements. Once every vector's
    // partial sum of squares has reached abandon_at (never, for NaN), the
    // rest is skipped, every out[j] is +infinity and the result is false:
    // callers pass a bound from which no vector can be admitted, and a sum
    // of squares never decreases as terms are added.
    bool (*euclidean)(const double* query, std::size_t n, const double* const* rows, std::size_t count,
                      double abandon_at, double* out);
    // For j < count: out[j] = sum of query[i] * rows[j][i] for i < n.
    void (*dot)(const double* query, std::size_t n, const double* const* rows, std::size_t count, double* out);
    const char* name;
};

// The fastest kernels this CPU runs, chosen when the module loads.
const BatchKernels& batch_kernels();
// By name ("portable", "avx2", "avx512"); null when this CPU cannot run them.
const BatchKernels* batch_kernels_named(const char* name);

// The smallest partial sum of squares whose square root reaches `worst`; NaN
// (abandon nothing) when worst is NaN.
double euclidean_abandon_threshold(double worst);

}  // namespace quarix
