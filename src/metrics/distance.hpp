// The three distance functions. Every sum starts at 0.0 and adds its terms in
// ascending index order into one accumulator: results are bit-for-bit
// reproducible, and smaller always means nearer (nothing is negated).
#pragma once

#include <cstddef>

namespace quarix {

using DistanceFn = double (*)(const double* a, std::size_t a_len, const double* b, std::size_t b_len);

// Element-wise terms stop at the shorter length.
double euclidean_distance(const double* a, std::size_t a_len, const double* b, std::size_t b_len);
double inner_product(const double* a, std::size_t a_len, const double* b, std::size_t b_len);
// dot / (sqrt(|b|^2) * sqrt(|a|^2)); each norm covers its vector whole. No
// zero-norm guard: an empty or all-zero vector gives NaN.
double cosine_similarity(const double* a, std::size_t a_len, const double* b, std::size_t b_len);

}  // namespace quarix
