// A query: greedy descent from node 0 through the upper layers, one wide
// walk on layer 0, then the cut to k hits.
#include "hnsw/hnsw_index.hpp"

namespace quarix {

std::variant<HnswIndex::Hits, HnswError> HnswIndex::knn_search(std::span<const double> query, std::size_t k,
                                                               const MetadataFilter* filter) const {
    if (vectors_.empty()) return Hits{};

    // Every descent call makes the same checks (beam 1, a layer below the
    // top), so they are made once; with zero layers the top wraps around
    // and the first descent call refuses it.
    const std::size_t top = layers_ - 1;
    std::size_t attribute = 0;
    if (top >= 1) {
        const auto checked = check_search(1, top, filter);
        if (const auto* error = std::get_if<HnswError>(&checked)) return *error;
        attribute = std::get<std::size_t>(checked);
    }
    const Filter resolved_for_descent{filter, attribute};
    prepare_pruning(query);

    std::size_t entry = 0;
    for (std::size_t layer = top; layer >= 1 && top >= 1;) {
        const std::size_t next = walk(entry, query, 1, layer, resolved_for_descent, pruning_).front().id;
        if (next != entry) {
            entry = next;
            --layer;
            continue;
        }
        // Down to the next occupied level the walk meets the same nodes from
        // the same entry, so those layers would not move it either.
        const std::optional<std::size_t> below = highest_level_below(layer);
        if (!below || *below < 1) break;
        layer = *below;
    }

    const auto checked = check_search(ef_search_, 0, filter);
    if (const auto* error = std::get_if<HnswError>(&checked)) return *error;
    const Filter resolved{filter, std::get<std::size_t>(checked)};
    const Hits found = walk(entry, query, ef_search_, 0, resolved, pruning_);

    // Node 0 starts every walk untested, so the cut also drops every hit
    // that the filter refuses. k = 0 still yields one hit.
    Hits out;
    for (const SearchHit& hit : found) {
        if (!admits(hit.id, resolved)) continue;
        out.push_back(hit);
        if (out.size() >= k) break;
    }
    return out;
}

}  // namespace quarix
