// Choosing a distance function by name. Names compare byte for byte, whole and
// case-sensitive. The HNSW index knows three names and refuses the rest; the
// flat index knows two and falls back to Euclidean for anything else.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "metrics/distance.hpp"

namespace quarix {

enum class Metric : std::uint8_t { Euclidean = 0, Angular = 1, InnerProduct = 2 };

// nullopt for every name outside "euclidean", "angular", "inner_product".
std::optional<Metric> hnsw_metric_from_name(std::string_view name);
DistanceFn metric_function(Metric metric);

// An absent name (nullopt) also selects the Euclidean distance.
DistanceFn flat_metric_from_name(std::optional<std::string_view> name);

}  // namespace quarix
