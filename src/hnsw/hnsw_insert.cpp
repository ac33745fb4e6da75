// Adding nodes: each new node draws a level, is walked to from node 0 layer
// by layer (from layer 0 upward), and is linked both ways with what the walk
// finds on every layer at or above its level.
#include <limits>

#include "errors/internal_failure.hpp"
#include "hnsw/hnsw_index.hpp"
#include "hnsw/thread_rng.hpp"

namespace quarix {

void HnswIndex::store(std::span<const double> vector, std::size_t level, const Row* row) {
    if (count_ >= std::numeric_limits<NodeId>::max()) InternalFailure::raise("capacity overflow");
    if (count_ >= (std::size_t{1} << 31)) scan_ = nullptr;
    vectors_.insert(vectors_.end(), vector.begin(), vector.end());
    if (metric_kind_ == Metric::Angular) {
        double sum = 0.0;
        for (const double x : vector) sum += x * x;
        norms_.push_back(sum);
    }
    ++count_;
    if (metric_kind_ == Metric::Euclidean) {
        if (next_fit_ == 0) next_fit_ = pruning_start_count();
        if (next_fit_ != 0 && count_ >= next_fit_) {
            pivots_.choose(vectors_, count_);
            coarse_.fit(vectors_, count_);
            next_fit_ = count_ * 2;
        } else {
            pivots_.added(vectors_, count_);
            coarse_.added(vectors_, count_);
        }
    }
    levels_.push_back(level);
    ++level_counts_[level];
    links_.add_list(split(count_ - 1) >= 1);
    upper_first_.push_back(upper_.lists());
    for (std::size_t j = 2; j <= split(count_ - 1); ++j) upper_.add_list(false);
    if (row) {
        row_starts_.push_back(metadata_.size());
        metadata_.insert(metadata_.end(), row->begin(), row->end());
    } else {
        row_starts_.push_back(kNoRow);
    }
}

void HnswIndex::reserve(std::size_t more, std::size_t values) {
    vectors_.reserve(vectors_.size() + more * dim_);
    if (metric_kind_ == Metric::Angular) norms_.reserve(norms_.size() + more);
    levels_.reserve(levels_.size() + more);
    row_starts_.reserve(row_starts_.size() + more);
    metadata_.reserve(metadata_.size() + values);
    links_.reserve_lists(more);
    upper_first_.reserve(upper_first_.size() + more);
    pivots_.expect(count_ + more);
    coarse_.expect(count_ + more);
    visit_stamps_.reserve(count_ + more);
    link_stamps_.reserve(count_ + more);
    insert_cache_.stamps.reserve(count_ + more);
    insert_cache_.distances.reserve(count_ + more);
}

std::optional<HnswError> HnswIndex::link(std::size_t node, const Hits& hits, bool& changed) {
    if (link_stamps_.size() < count_) link_stamps_.resize(count_, 0);
    std::vector<NodeId> additions;
    // Each back-link writes at the end of another node's links, far apart in
    // memory: their headers and ends are fetched a few hits ahead.
    constexpr std::size_t kHeadAhead = 16, kTailAhead = 8;
    for (std::size_t i = 0; i < hits.size(); ++i) {
        if (i + kHeadAhead < hits.size() && hits[i + kHeadAhead].id < linked_nodes_)
            links_.prefetch_head(hits[i + kHeadAhead].id);
        if (i + kTailAhead < hits.size() && hits[i + kTailAhead].id < linked_nodes_)
            links_.prefetch_ends(hits[i + kTailAhead].id);
        const std::size_t n = hits[i].id;
        if (n != node && link_stamps_[n] != link_generation_) additions.push_back(static_cast<NodeId>(n));
        if (n >= linked_nodes_) return HnswError::InvalidNodeID;
        // Back-link. The new node is the newest id, so if n already links to
        // it, that link is the last one n got.
        if (n != node && (links_.size(n) == 0 || links_.last(n) != node)) {
            add_link(n, node);
            changed = true;
        }
        if (n != node) link_stamps_[n] = link_generation_;
    }
    if (node >= linked_nodes_) linked_nodes_ = node + 1;
    if (!additions.empty()) changed = true;
    std::size_t high = 0;
    for (const NodeId n : additions) high += levels_[n] >= 1;
    links_.reserve(node, additions.size() - high, false);
    links_.reserve(node, high, true);
    for (const NodeId n : additions) add_link(node, n);
    return std::nullopt;
}

std::optional<HnswIndex::Failure> HnswIndex::insert(std::span<const double> vector, const Row* row,
                                                    ThreadRng& rng) {
    if (vector.size() != dim_) return WrongLength{{vector.size(), dim_}};
    if (vectors_.empty()) {
        // The first node (and, with dim 0, every node) takes the top level
        // without a draw and is linked to nothing.
        store(vector, layers_ - 1, row);
        linked_nodes_ = count_;
        return std::nullopt;
    }
    const std::size_t level = level_weights_.draw(rng.uniform());
    store(vector, level, row);
    const std::size_t node = count_ - 1;
    insert_cache_.start(count_);
    prepare_pruning(vector);
    if (++link_generation_ == 0) {
        std::fill(link_stamps_.begin(), link_stamps_.end(), 0);
        link_generation_ = 1;
    }

    std::size_t entry = 0;
    bool linked_before = false;
    for (std::size_t layer = 0; layer < layers_;) {
        if (layer < level) {
            const auto checked = check_search(1, layer, nullptr);
            if (auto* error = std::get_if<HnswError>(&checked)) return *error;
            const std::size_t next = walk(entry, vector, 1, layer, {nullptr, 0}, pruning_, &insert_cache_).front().id;
            if (next == entry) {
                // Until the next occupied level the walk sees the same nodes
                // from the same entry: those layers would change nothing.
                const std::size_t boundary = lowest_level_at_or_above(layer);
                layer = boundary >= level ? level : boundary + 1;
                continue;
            }
            entry = next;
            ++layer;
            continue;
        }
        const auto checked = check_search(ef_construction_, layer, nullptr);
        if (auto* error = std::get_if<HnswError>(&checked)) return *error;
        const Hits hits = walk(entry, vector, ef_construction_, layer, {nullptr, 0}, pruning_, &insert_cache_);
        bool changed = false;
        if (auto error = link(node, hits, changed)) return *error;
        const bool same_entry = linked_before;  // from the second linking layer on, the walk starts here
        linked_before = true;
        entry = node;
        if (!changed && same_entry) {
            // Same entry, same graph, same eligible nodes: every layer up to
            // the next occupied level repeats this one and links nothing new.
            const std::size_t boundary = lowest_level_at_or_above(layer);
            if (boundary >= layers_ - 1) break;
            layer = boundary + 1;
            continue;
        }
        ++layer;
    }
    return std::nullopt;
}

std::optional<HnswIndex::Failure> HnswIndex::create(const VectorList& vectors, const std::vector<Row>* rows,
                                                    ThreadRng& rng) {
    if (vectors.empty()) return HnswError::EmptyVectors;
    if (rows && !schema_) rows = nullptr;  // metadata without a schema is ignored
    if (rows && rows->size() != vectors.size()) return HnswError::AttributeNotFound;
    for (std::size_t i = 0; i < vectors.size(); ++i)
        if (vectors.length(i) != dim_) return WrongLength{{vectors.length(i), dim_}};
    std::size_t values = 0;
    if (rows)
        for (const Row& row : *rows) values += row.size();
    reserve(vectors.size(), values);
    const std::size_t links_before = links_.ids();
    for (std::size_t i = 0; i < vectors.size(); ++i)
        if (auto failure = insert(vectors[i], rows ? &(*rows)[i] : nullptr, rng)) return failure;
    // A create that made an eighth of the links or more leaves the lists
    // without spare room; the cost is then at most eight times its own.
    if ((links_.ids() - links_before) * 8 >= links_.ids()) {
        links_.trim();
        upper_.trim();
    }
    return std::nullopt;
}

}  // namespace quarix
