// Approximate nearest-neighbour index over a hierarchical graph. Node 0, the
// first vector stored, has the top level and is where every walk starts.
// Each node keeps one list of links for all layers; a walk on layer L passes
// only through nodes whose level is at least L. Nothing is ever pruned.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "errors/index_errors.hpp"
#include "errors/length_messages.hpp"
#include "hnsw/coarse_codes.hpp"
#include "hnsw/graph_links.hpp"
#include "hnsw/level_draw.hpp"
#include "hnsw/metadata_value.hpp"
#include "hnsw/pivot_table.hpp"
#include "hnsw/visit_scan.hpp"
#include "metrics/batch_distance.hpp"
#include "metrics/distance.hpp"
#include "metrics/metric_names.hpp"
#include "metrics/page_allocator.hpp"
#include "metrics/search_hit.hpp"
#include "metrics/vector_list.hpp"

namespace quarix {

class ThreadRng;

struct HnswParams {
    std::size_t dim = 0;
    std::optional<std::size_t> layers, m, ef_construction, ef_search;
};

// A wrong vector length: an insert reports "Expected vector of length ...",
// a create "Vector length ... does not match ...". Nothing has been stored.
struct WrongLength {
    LengthMismatch mismatch;
};

using Row = std::vector<MetadataValue>;

class HnswIndex {
public:
    using Failure = std::variant<HnswError, WrongLength>;
    using Hits = std::vector<SearchHit>;

    // nullopt for an absent or unknown metric name ("Unsupported metric").
    static std::optional<HnswIndex> build(const HnswParams& params, std::optional<std::string_view> metric,
                                          std::optional<std::vector<std::string>> schema);

    // Stores the vector (and its row, when given) and links it into the
    // graph. A failure after the vector is stored keeps what was done.
    std::optional<Failure> insert(std::span<const double> vector, const Row* row, ThreadRng& rng);
    // rows, when given, holds one row per vector.
    std::optional<Failure> create(const VectorList& vectors, const std::vector<Row>* rows, ThreadRng& rng);

    // Up to max(k, 1) hits, nearest first; a filtered query returns only
    // nodes that match the filter.
    std::variant<Hits, HnswError> knn_search(std::span<const double> query, std::size_t k,
                                             const MetadataFilter* filter) const;

    std::size_t dim() const { return dim_; }
    std::size_t size() const { return count_; }
    std::size_t layers() const { return layers_; }
    std::size_t m() const { return m_; }
    std::size_t ef_construction() const { return ef_construction_; }
    std::size_t ef_search() const { return ef_search_; }
    const std::optional<std::vector<std::string>>& schema() const { return schema_; }
    std::span<const double> vector(std::size_t node) const;
    std::size_t level(std::size_t node) const { return levels_[node]; }
    // Neighbours rejected without being measured, over the index's life.
    std::size_t ruled_out() const { return ruled_out_; }

private:
    using NodeId = std::uint32_t;
    static constexpr std::size_t kNoRow = SIZE_MAX;

    HnswIndex(const HnswParams& params, Metric metric, std::optional<std::vector<std::string>> schema);

    // The checks a layer search makes before any distance: ef, layer, filter.
    // On success, the filter's attribute position (0 without a filter).
    std::variant<std::size_t, HnswError> check_search(std::size_t ef, std::size_t layer,
                                                      const MetadataFilter* filter) const;
    struct Filter {
        const MetadataFilter* filter;
        std::size_t attribute;
    };
    // Distances from the vector being inserted, kept for the whole insertion:
    // its walks on successive layers meet many of the same nodes.
    struct DistanceCache {
        std::vector<std::uint32_t> stamps;
        std::vector<double> distances;
        std::uint32_t generation = 0;
        void start(std::size_t nodes);
    };
    // What a walk needs to rule neighbours out without measuring them.
    struct Pruning {
        PivotTable::QueryBounds pivots;
        CoarseCodes::QueryCode code;
    };
    void prepare_pruning(std::span<const double> query) const;
    // Best-first walk of one layer from entry, keeping at most ef hits.
    Hits walk(std::size_t entry, std::span<const double> query, std::size_t ef, std::size_t layer,
              const Filter& filter, const Pruning& pruning, DistanceCache* cache = nullptr) const;
    bool admits(std::size_t node, const Filter& filter) const;
    // Distances from query to nodes[0..count) (count <= kBatchWidth), from
    // the cache where it has them. Euclidean distances of vectors that cannot
    // beat `worst` (the farthest kept hit of a full list) may come back as
    // +infinity without being computed in full; pass NaN to compute all.
    void distances(std::span<const double> query, double query_norm, const NodeId* nodes, std::size_t count,
                   double worst, DistanceCache* cache, double* out) const;

    void store(std::span<const double> vector, std::size_t level, const Row* row);
    // Room for `more` nodes (and `values` metadata values) beyond those
    // stored, for a create whose vectors are all at hand: arrays then grow
    // once, rather than by doubling, which leaves each smaller copy behind.
    void reserve(std::size_t more, std::size_t values);
    // Links the new node with every hit of one linking layer; false when
    // nothing new was linked.
    std::optional<HnswError> link(std::size_t node, const Hits& hits, bool& changed);
    void add_link(std::size_t from, std::size_t to);
    // Occupied levels, for skipping layers that would repeat the one before
    // and for knowing how many nodes a walk on a layer can reach at most.
    std::size_t lowest_level_at_or_above(std::size_t layer) const;
    std::optional<std::size_t> highest_level_below(std::size_t layer) const;
    std::size_t nodes_at_or_above(std::size_t layer) const;

    std::size_t dim_;
    std::size_t layers_;
    std::size_t m_;  // kept for callers; the graph caps nothing
    std::size_t ef_construction_;
    std::size_t ef_search_;
    DistanceFn metric_;
    Metric metric_kind_;
    LevelWeights level_weights_;
    std::optional<std::vector<std::string>> schema_;

    PagedVector<double> vectors_;
    std::vector<double> norms_;  // sums of squares of the stored vectors, for the angular metric
    // Euclidean indexes only: fitted from pruning_start_count() nodes on.
    PivotTable pivots_;
    CoarseCodes coarse_;
    std::size_t next_fit_ = 0;
    mutable Pruning pruning_;
    mutable std::size_t ruled_out_ = 0;
    // Whether pivots rule out enough to pay for their test in walks of one
    // kind (greedy steps, build walks or others) on one layer (the fourth
    // standing for all above), judged over whole walks: on some data they
    // rule out almost nothing, and then walks skip them.
    struct PivotVerdict {
        std::size_t tests = 0, outs = 0, walks_without = 0;
        bool worth = true;
    };
    static constexpr std::size_t kVerdictLayers = 4;
    mutable std::array<PivotVerdict, 3 * kVerdictLayers> pivot_verdicts_;
    PivotVerdict& pivot_verdict(std::size_t ef, std::size_t layer) const {
        const std::size_t kind = ef == 1 ? 0 : ef == ef_construction_ ? 1 : 2;
        return pivot_verdicts_[kind * kVerdictLayers + std::min(layer, kVerdictLayers - 1)];
    }
    std::size_t count_ = 0;
    std::vector<std::size_t> levels_;
    std::map<std::size_t, std::size_t> level_counts_;  // level -> nodes at it
    // Links in the order they were made; repeats and self-links are left out
    // because a walk skips them anyway. Node n's list j (for j up to
    // split(n)) holds its links to neighbours of level >= j, so a walk on
    // layer j reads only links its level test would pass: list 0 is all of
    // links_'s list n, list 1 its high stream (links to a level >= 1), and
    // lists 2 .. split(n) are upper_'s lists upper_first_[n] onwards, in
    // order. Walks on layers above split(n) (the entry of a higher layer, or
    // past kMaxSplit) test levels one by one.
    static constexpr std::size_t kMaxSplit = 15;
    std::size_t split(std::size_t node) const { return std::min(levels_[node], kMaxSplit); }
    // The first lines of what a walk on `layer` reads of `node`.
    void prefetch_links(std::size_t node, std::size_t layer) const {
        const std::size_t list = std::min(layer, split(node));
        if (list <= 1) {
            links_.prefetch(node, list == 1);
        } else {
            upper_.prefetch(upper_first_[node] + list - 2, false);
        }
    }
    GraphLinks links_;
    GraphLinks upper_;
    std::vector<std::size_t> upper_first_;
    std::size_t linked_nodes_ = 0;  // nodes whose link list was opened (a prefix of the ids)

    std::vector<MetadataValue> metadata_;
    std::vector<std::size_t> row_starts_;  // kNoRow for a node stored without a row

    // Scratch for walks and linking: a node is marked when its stamp equals
    // the current generation, so clearing is one increment.
    mutable std::vector<VisitStamp> visit_stamps_;
    mutable VisitStamp visit_generation_ = 0;
    mutable std::vector<NodeId> pending_;
    // Batch visited-test for walks without a filter; null once ids no longer
    // fit its 31-bit gathers.
    const VisitScan* scan_ = &visit_scan();
    const BatchKernels* batch_ = &batch_kernels();
    std::vector<std::uint32_t> link_stamps_;
    std::uint32_t link_generation_ = 0;
    DistanceCache insert_cache_;
};

}  // namespace quarix
