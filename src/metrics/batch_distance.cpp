#include "metrics/batch_distance.hpp"

#include <cmath>
#include <limits>

namespace quarix {
namespace {

constexpr std::size_t kCheckEvery = 16;

}  // namespace

double euclidean_abandon_threshold(double worst) {
    if (std::isnan(worst)) return std::numeric_limits<double>::quiet_NaN();
    double limit = worst * worst;
    while (std::sqrt(limit) < worst) limit = std::nextafter(limit, std::numeric_limits<double>::infinity());
    while (limit > 0.0 && std::sqrt(std::nextafter(limit, 0.0)) >= worst) limit = std::nextafter(limit, 0.0);
    return limit;
}

bool euclidean_batch(const double* q, std::size_t n, const double* const* rows, std::size_t count,
                     double abandon_at, double* out) {
    double sum[kBatchWidth] = {};
    const double* r[kBatchWidth];
    for (std::size_t j = 0; j < kBatchWidth; ++j) r[j] = rows[j < count ? j : 0];
    for (std::size_t i = 0; i < n; ++i) {
        const double qi = q[i];
        for (std::size_t j = 0; j < kBatchWidth; ++j) {
            const double d = qi - r[j][i];
            sum[j] += d * d;
        }
        if ((i + 1) % kCheckEvery == 0) {
            bool all_far = true;
            for (std::size_t j = 0; j < count; ++j) all_far &= sum[j] >= abandon_at;
            if (all_far) {
                for (std::size_t j = 0; j < count; ++j) out[j] = std::numeric_limits<double>::infinity();
                return false;
            }
        }
    }
    for (std::size_t j = 0; j < count; ++j) out[j] = std::sqrt(sum[j]);
    return true;
}

void dot_batch(const double* q, std::size_t n, const double* const* rows, std::size_t count, double* out) {
    double sum[kBatchWidth] = {};
    const double* r[kBatchWidth];
    for (std::size_t j = 0; j < kBatchWidth; ++j) r[j] = rows[j < count ? j : 0];
    for (std::size_t i = 0; i < n; ++i) {
        const double qi = q[i];
        for (std::size_t j = 0; j < kBatchWidth; ++j) sum[j] += qi * r[j][i];
    }
    for (std::size_t j = 0; j < count; ++j) out[j] = sum[j];
}

}  // namespace quarix
