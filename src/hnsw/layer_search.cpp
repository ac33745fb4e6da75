// The one graph walk: a best-first beam search over one layer.
#include <cmath>
#include <limits>

#include "errors/internal_failure.hpp"
#include "hnsw/hnsw_index.hpp"
#include "hnsw/result_list.hpp"
#include "hnsw/visit_scan.hpp"

namespace quarix {

std::variant<std::size_t, HnswError> HnswIndex::check_search(std::size_t ef, std::size_t layer,
                                                             const MetadataFilter* filter) const {
    if (ef == 0) return HnswError::InvalidEF;
    if (layer >= layers_) return HnswError::InvalidLayer;
    if (!filter) return std::size_t{0};
    if (!schema_) return HnswError::NoSchema;
    if (schema_->empty()) return HnswError::EmptySchema;
    for (std::size_t j = 0; j < schema_->size(); ++j)
        if ((*schema_)[j] == filter->attribute) return j;
    return HnswError::AttributeNotFound;
}

HnswIndex::Hits HnswIndex::walk(std::size_t entry, std::span<const double> query, std::size_t ef,
                                std::size_t layer, const Filter& filter, const Pruning& pruning,
                                DistanceCache* cache) const {
    if (visit_stamps_.size() < count_) visit_stamps_.resize(count_, 0);
    if (++visit_generation_ == 0) {
        std::fill(visit_stamps_.begin(), visit_stamps_.end(), 0);
        visit_generation_ = 1;
    }
    const VisitStamp generation = visit_generation_;
    double query_norm = 0.0;
    if (metric_kind_ == Metric::Angular) {
        for (const double x : query) query_norm += x * x;
        query_norm = std::sqrt(query_norm);
    }

    // Once every node this walk could admit has been visited, every further
    // scan could only skip, so the walk ends there. Without a filter those
    // nodes are the ones whose level reaches the layer.
    const bool filtering = filter.filter != nullptr;
    const std::size_t reachable = filtering ? SIZE_MAX : nodes_at_or_above(layer);
    std::size_t visited = levels_[entry] >= layer ? 1 : 0;

    ResultList results(ef);
    // One more than the bound: a hit is placed before the farthest is dropped.
    results.reserve(std::min(ef, count_) + 1);
    // The entry is admitted whatever its level and whether or not it passes
    // the filter.
    const NodeId entry_id = static_cast<NodeId>(entry);
    double entry_distance = 0.0;
    distances(query, query_norm, &entry_id, 1, std::numeric_limits<double>::quiet_NaN(), cache, &entry_distance);
    results.insert(entry_distance, entry_id);
    visit_stamps_[entry] = generation;

    // Pivots are judged every kPivotJudged tests in this walk, and every
    // kVerdictTests over the walks of its kind (so that one walk's poor start
    // does not stop the next), and kept while they rule out one in
    // kPivotShare; where they were not worth it, one walk in kPivotRetry tests
    // them again.
    constexpr std::size_t kPivotJudged = 512, kVerdictTests = 16 * kPivotJudged, kPivotShare = 8, kPivotRetry = 16;
    PivotVerdict& verdict = pivot_verdict(ef, layer);
    bool use_pivots = pruning.pivots.usable && (verdict.worth || ++verdict.walks_without % kPivotRetry == 0);
    std::size_t pivot_tests = 0, pivot_outs = 0;
    std::vector<NodeId>& pending = pending_;
    // Nearest first, equal distances by the smaller id, until the nearest
    // left is beyond the farthest hit.
    while (visited < reachable) {
        const std::optional<SearchHit> nearest = results.next_to_expand();
        if (!nearest) break;
        const SearchHit current = *nearest;
        // The next node to expand is most often the best one left now: its
        // links are fetched while this node's are scanned.
        if (const std::optional<std::uint32_t> after = results.likely_next()) prefetch_links(*after, layer);

        // The level, filter and visited tests do not depend on distances, so
        // the neighbours that pass them are gathered first and measured
        // together; admission then runs in link order as before.
        pending.clear();
        const std::size_t c = current.id;
        const std::size_t top = split(c);
        // What the walk reads of c: its list for this layer when c has one
        // (see links_), else its highest list, with a level test.
        const bool level_tested = layer > top;
        const std::size_t list = std::min(layer, top);
        const bool merged = list == 0 && links_.streams(c);
        const NodeId* ids;
        std::size_t size;
        if (list == 0) {
            ids = links_.low(c);
            size = links_.size(c);
        } else if (list == 1) {
            ids = links_.high(c);
            size = links_.high_size(c);
        } else {
            ids = upper_.low(upper_first_[c] + list - 2);
            size = upper_.size(upper_first_[c] + list - 2);
        }
        VisitStamp* stamps = visit_stamps_.data();
        if (!level_tested && !filtering && scan_) {
            pending.resize((size + 31) / 32 * 32);
            pending.resize(merged ? scan_->merged(ids, links_.high(c), links_.selector(c), size, stamps, generation,
                                                  pending.data())
                                  : scan_->all(ids, size, stamps, generation, pending.data()));
            visited += pending.size();
        } else {
            bool more = true;
            const auto consider = [&](NodeId neighbor) {
                if (level_tested && levels_[neighbor] < layer) return;
                // Refused nodes stay unvisited: another path tests them again.
                if (filtering && !admits(neighbor, filter)) return;
                if (stamps[neighbor] == generation) return;
                stamps[neighbor] = generation;
                pending.push_back(neighbor);
                more = ++visited != reachable;
            };
            if (merged) {
                const NodeId* highs = links_.high(c);
                const std::uint32_t* selector = links_.selector(c);
                for (std::size_t i = 0; i < size && more; ++i)
                    consider(selector[i / 32] >> (i % 32) & 1 ? *highs++ : *ids++);
            } else {
                for (std::size_t i = 0; i < size && more; ++i) consider(ids[i]);
            }
        }
        // A neighbour that the pivots or the coarse codes place certainly
        // beyond the farthest hit of a full list is rejected unmeasured, as
        // measuring it would. The pivot test reads a few bytes per node, so
        // it runs over the whole list first, with the farthest hit as it is
        // now (later ones are only nearer); where it rules out too few (wide
        // walks of a build), the walk stops making it.
        if (results.full() && use_pivots) {
            const double worst = results.worst();
            std::size_t kept = 0;
            for (const NodeId n : pending)
                if (!pivots_.rules_out(pruning.pivots, n, worst)) pending[kept++] = n;
            pivot_tests += pending.size();
            pivot_outs += pending.size() - kept;
            verdict.tests += pending.size();
            verdict.outs += pending.size() - kept;
            ruled_out_ += pending.size() - kept;
            pending.resize(kept);
            if (pivot_tests >= kPivotJudged) {
                use_pivots = pivot_outs * kPivotShare >= pivot_tests;
                pivot_tests = pivot_outs = 0;
            }
        }
        // The rest are measured eight at a time, each first tested on its
        // coarse code against the farthest hit as it is by then. The codes'
        // sums do not depend on that hit, so they are taken a block ahead.
        constexpr std::size_t kLookAhead = 2 * kBatchWidth;
        std::uint64_t sums[CoarseCodes::kBatch];
        std::size_t summed_from = 0, summed_to = 0;
        std::size_t next = 0;
        while (next < pending.size()) {
            const bool full = results.full();
            // Only a full list has a farthest hit that a newcomer must beat.
            const double worst = full ? results.worst() : std::numeric_limits<double>::quiet_NaN();
            const bool prune = full && pruning.code.usable;
            const double reach = prune ? coarse_.reach(pruning.code, worst) : 0.0;
            NodeId batch[kBatchWidth];
            std::size_t count = 0;
            while (next < pending.size() && count < kBatchWidth) {
                // What the tests ahead will read: the codes while pruning
                // (most nodes stop there), else the vectors.
                if (next + kLookAhead < pending.size()) {
                    const NodeId ahead = pending[next + kLookAhead];
                    if (prune) {
                        coarse_.prefetch(ahead);
                    } else {
                        __builtin_prefetch(vectors_.data() + ahead * dim_);
                    }
                }
                if (prune && next >= summed_to) {
                    summed_from = next;
                    summed_to = std::min(pending.size(), next + CoarseCodes::kBatch);
                    coarse_.squares(pruning.code, pending.data() + next, summed_to - next, sums);
                }
                const NodeId n = pending[next++];
                if (prune && coarse_.rules_out(n, sums[next - 1 - summed_from], reach)) {
                    ++ruled_out_;
                    continue;
                }
                batch[count++] = n;
                // While pruning, the batch fills slowly: its vectors are
                // fetched while the nodes after it are tested.
                if (prune) {
                    const double* row = vectors_.data() + n * dim_;
                    for (std::size_t offset = 0; offset < dim_; offset += 8) __builtin_prefetch(row + offset);
                }
            }
            if (count == 0) break;
            double measured[kBatchWidth];
            distances(query, query_norm, batch, count, worst, cache, measured);
            for (std::size_t j = 0; j < count; ++j) {
                const double d = measured[j];
                // A plain comparison: a NaN on either side admits nothing into a full list.
                if (!results.full() || d < results.worst()) results.insert(d, batch[j]);
            }
        }
    }
    // Judged between walks only, so that it counts whole walks.
    if (verdict.tests >= kVerdictTests) {
        verdict.worth = verdict.outs * kPivotShare >= verdict.tests;
        verdict.tests = verdict.outs = 0;
    }
    return results.hits();
}

}  // namespace quarix
