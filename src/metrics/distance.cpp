#include "metrics/distance.hpp"

#include <algorithm>
#include <cmath>

namespace quarix {

double euclidean_distance(const double* a, std::size_t a_len, const double* b, std::size_t b_len) {
    const std::size_t n = std::min(a_len, b_len);
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double d = a[i] - b[i];
        sum += d * d;
    }
    return std::sqrt(sum);
}

double inner_product(const double* a, std::size_t a_len, const double* b, std::size_t b_len) {
    const std::size_t n = std::min(a_len, b_len);
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) sum += a[i] * b[i];
    return sum;
}

double cosine_similarity(const double* a, std::size_t a_len, const double* b, std::size_t b_len) {
    const double dot = inner_product(a, a_len, b, b_len);
    double norm_a = 0.0;
    for (std::size_t i = 0; i < a_len; ++i) norm_a += a[i] * a[i];
    double norm_b = 0.0;
    for (std::size_t i = 0; i < b_len; ++i) norm_b += b[i] * b[i];
    return dot / (std::sqrt(norm_b) * std::sqrt(norm_a));
}

}  // namespace quarix
