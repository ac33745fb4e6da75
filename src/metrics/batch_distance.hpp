// Distances from one query to several stored vectors at once. Each vector
// keeps its own accumulator, adding its terms in index order exactly as the
// one-pair functions do, so every result is bit for bit the same; computing
// several at once only removes the wait on one accumulator's additions and
// overlaps the vectors' memory reads.
#pragma once

#include <cstddef>

namespace quarix {

inline constexpr std::size_t kBatchWidth = 8;

// For j < count: out[j] = euclidean distance between query and rows[j] over
// their first n elements. Once every vector's partial sum of squares has
// reached abandon_at (never, for NaN), the rest is skipped and every out[j]
// is +infinity: callers pass a bound from which no vector can be admitted,
// and a sum of squares never decreases as terms are added. Returns false
// when it abandoned the batch.
bool euclidean_batch(const double* query, std::size_t n, const double* const* rows, std::size_t count,
                     double abandon_at, double* out);

// For j < count: out[j] = sum of query[i] * rows[j][i] for i < n.
void dot_batch(const double* query, std::size_t n, const double* const* rows, std::size_t count, double* out);

// The smallest partial sum of squares whose square root reaches `worst`; NaN
// (abandon nothing) when worst is NaN.
double euclidean_abandon_threshold(double worst);

}  // namespace quarix
