// Distances from one query to several stored vectors at once. Each vector
// keeps its own accumulator, adding its terms in index order exactly as the
// one-pair functions do, so every result is bit for bit the same; computing
// several at once only removes the wait on one accumulator's additions and
// overlaps the vectors' memory reads.
#pragma once

#include <cstddef>

namespace quarix {

inline constexpr std::size_t kBatchWidth = 8;
// Euclidean partial sums are compared with the abandon bound after every
// element i with (i + 1) a multiple of this.
inline constexpr std::size_t kAbandonStride = 8;

struct BatchKernels {
    // Adds (query[i] - rows[j][i])^2 to sums[j] for i in [begin, end), in
    // index order, for every lane j < kBatchWidth (lanes at or past count
    // repeat row 0 and are ignored). begin is a multiple of kAbandonStride.
    // Returns false, with sums partly added, as soon as every lane below
    // count has reached abandon_at (never, for NaN): callers pass a bound
    // from which no vector can be admitted, and a sum of squares never
    // decreases as terms are added.
    bool (*squares)(const double* query, std::size_t begin, std::size_t end, const double* const* rows,
                    std::size_t count, double abandon_at, double* sums);
    // Adds query[i] * rows[j][i] to sums[j] for i in [begin, end).
    void (*products)(const double* query, std::size_t begin, std::size_t end, const double* const* rows,
                     std::size_t count, double* sums);
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
