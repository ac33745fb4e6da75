#include "metrics/metric_names.hpp"

#include <array>

#include "errors/internal_failure.hpp"

namespace quarix {
namespace {

constexpr std::array<DistanceFn, 3> kMetricFunctions = {euclidean_distance, cosine_similarity, inner_product};

}  // namespace

std::optional<Metric> hnsw_metric_from_name(std::string_view name) {
    if (name == "euclidean") return Metric::Euclidean;
    if (name == "angular") return Metric::Angular;
    if (name == "inner_product") return Metric::InnerProduct;
    return std::nullopt;
}

DistanceFn metric_function(Metric metric) {
    return kMetricFunctions[checked_index(static_cast<std::size_t>(metric), kMetricFunctions.size())];
}

DistanceFn flat_metric_from_name(std::optional<std::string_view> name) {
    if (name == "inner_product") return inner_product;
    if (name == "cosine") return cosine_similarity;
    return euclidean_distance;
}

}  // namespace quarix
