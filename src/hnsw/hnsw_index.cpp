#include "hnsw/hnsw_index.hpp"

#include <cmath>
#include <limits>

#include "errors/internal_failure.hpp"

namespace quarix {

HnswIndex::HnswIndex(const HnswParams& params, Metric metric, std::optional<std::vector<std::string>> schema)
    : dim_(params.dim),
      layers_(params.layers.value_or(5)),
      m_(params.m.value_or(16)),
      ef_construction_(params.ef_construction.value_or(200)),
      ef_search_(params.ef_search.value_or(50)),
      metric_(metric_function(metric)),
      metric_kind_(metric),
      level_weights_(layers_),
      schema_(std::move(schema)),
      pivots_(dim_),
      coarse_(dim_) {}

std::optional<HnswIndex> HnswIndex::build(const HnswParams& params, std::optional<std::string_view> metric,
                                          std::optional<std::vector<std::string>> schema) {
    const std::optional<Metric> chosen = metric ? hnsw_metric_from_name(*metric) : std::nullopt;
    if (!chosen) return std::nullopt;
    return HnswIndex(params, *chosen, std::move(schema));
}

std::span<const double> HnswIndex::vector(std::size_t node) const {
    checked_index(node, count_);
    return {vectors_.data() + node * dim_, dim_};
}

void HnswIndex::distances(std::span<const double> query, double query_norm, const NodeId* nodes,
                          std::size_t count, double worst, DistanceCache* cache, double* out) const {
    const double* rows[kBatchWidth];
    std::size_t slot[kBatchWidth];
    std::size_t missing = 0;
    for (std::size_t j = 0; j < count; ++j) {
        if (cache && cache->stamps[nodes[j]] == cache->generation) {
            out[j] = cache->distances[nodes[j]];
        } else {
            rows[missing] = vectors_.data() + nodes[j] * dim_;
            slot[missing++] = j;
        }
    }
    if (missing == 0) return;
    const std::size_t n = std::min(query.size(), dim_);
    double sums[kBatchWidth] = {};
    bool complete = true;
    if (metric_kind_ == Metric::Euclidean) {
        const double abandon_at = euclidean_abandon_threshold(worst);
        complete = batch_->squares(query.data(), 0, n, rows, missing, abandon_at, sums);
        for (std::size_t j = 0; j < missing; ++j)
            sums[j] = complete ? std::sqrt(sums[j]) : std::numeric_limits<double>::infinity();
    } else {
        batch_->products(query.data(), 0, n, rows, missing, sums);
        if (metric_kind_ == Metric::Angular)
            for (std::size_t j = 0; j < missing; ++j)
                sums[j] = sums[j] / (std::sqrt(norms_[nodes[slot[j]]]) * query_norm);
    }
    for (std::size_t j = 0; j < missing; ++j) {
        out[slot[j]] = sums[j];
        if (cache && complete) {
            cache->stamps[nodes[slot[j]]] = cache->generation;
            cache->distances[nodes[slot[j]]] = sums[j];
        }
    }
}

void HnswIndex::prepare_pruning(std::span<const double> query) const {
    pivots_.bound_query(query, pruning_.pivots);
    coarse_.encode_query(query, pruning_.code);
}

bool HnswIndex::admits(std::size_t node, const Filter& filter) const {
    if (!filter.filter) return true;
    const std::size_t start = row_starts_[node];
    if (start == kNoRow) return false;
    return filter.filter->admits(metadata_[start + filter.attribute]);
}

std::size_t HnswIndex::lowest_level_at_or_above(std::size_t layer) const {
    const auto it = level_counts_.lower_bound(layer);
    return it == level_counts_.end() ? std::numeric_limits<std::size_t>::max() : it->first;
}

std::optional<std::size_t> HnswIndex::highest_level_below(std::size_t layer) const {
    auto it = level_counts_.lower_bound(layer);
    if (it == level_counts_.begin()) return std::nullopt;
    return std::prev(it)->first;
}

std::size_t HnswIndex::nodes_at_or_above(std::size_t layer) const {
    std::size_t total = 0;
    for (auto it = level_counts_.lower_bound(layer); it != level_counts_.end(); ++it) total += it->second;
    return total;
}

void HnswIndex::add_link(std::size_t from, std::size_t to) {
    const std::size_t level = levels_[to], top = std::min(level, split(from));
    links_.append(from, static_cast<NodeId>(to), level >= 1);
    for (std::size_t j = 2; j <= top; ++j) upper_.append(upper_first_[from] + j - 2, static_cast<NodeId>(to), false);
}

void HnswIndex::DistanceCache::start(std::size_t nodes) {
    if (stamps.size() < nodes) {
        stamps.resize(nodes, 0);
        distances.resize(nodes);
    }
    if (++generation == 0) {
        std::fill(stamps.begin(), stamps.end(), 0);
        generation = 1;
    }
}

}  // namespace quarix
