#include "hnsw/result_list.hpp"

#include <algorithm>

#include "metrics/kernel_choice.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace quarix {
namespace {

// The place of a hit at d among `size` sorted distances (at least one).
std::size_t result_insert_position(const double* distances, std::size_t size, double d) {
    std::size_t base = 0;
    while (size > 1) {
        const std::size_t half = size / 2;
        const std::size_t mid = base + half;
        base = distance_less(d, distances[mid]) ? base : mid;
        size -= half;
    }
    return distance_less(distances[base], d) ? base + 1 : base;
}

// Where no listed distance equals d, the binary search's place is the count
// of distances below d. New hits mostly land near the back, so the count
// runs from there, eight at a time.
using CountBelow = std::size_t (*)(const double* distances, std::size_t size, double d);

std::size_t count_below_portable(const double* distances, std::size_t size, double d) {
    std::size_t below = size;
    while (below > 0 && !distance_less(distances[below - 1], d)) --below;
    return below;
}

#if defined(__x86_64__)
__attribute__((target("avx512f"))) std::size_t count_below_avx512(const double* distances, std::size_t size,
                                                                  double d) {
    const __m512d limit = _mm512_set1_pd(d);
    std::size_t below = size;
    while (below >= 8) {
        // Ordered: a NaN in the list (sorted last) is not below d.
        const __mmask8 less = _mm512_cmp_pd_mask(_mm512_loadu_pd(distances + below - 8), limit, _CMP_LT_OQ);
        if (less == 0xff) return below;
        below -= 8;
        if (less != 0) return below + static_cast<std::size_t>(__builtin_popcount(less));
    }
    return count_below_portable(distances, below, d);
}
#endif

CountBelow chosen_count() {
#if defined(__x86_64__)
    if (cpu_supports("avx512")) return count_below_avx512;
#endif
    return count_below_portable;
}

const CountBelow kCountBelow = chosen_count();

}  // namespace

ResultList::ResultList(std::size_t bound) : bound_(std::max<std::size_t>(bound, 1)) {}

void ResultList::insert(double d, std::uint32_t id) {
    const std::size_t size = distances_.size();
    std::size_t at = kCountBelow(distances_.data(), size, d);
    // A listed distance equal to d (a NaN d finds none below it and equals
    // the first): the search's own place among the ties.
    if (at < size && !distance_less(d, distances_[at])) at = result_insert_position(distances_.data(), size, d);
    distances_.insert(distances_.begin() + static_cast<std::ptrdiff_t>(at), d);
    ids_.insert(ids_.begin() + static_cast<std::ptrdiff_t>(at), id);
    expanded_.insert(expanded_.begin() + static_cast<std::ptrdiff_t>(at), 0);
    if (at < frontier_) frontier_ = at;
    if (distances_.size() > bound_) {
        const double dropped = distances_.back();
        if (!expanded_.back() && !distance_less(distances_[distances_.size() - 2], dropped))
            dropped_ties_.push_back({dropped, ids_.back()});
        distances_.pop_back();
        ids_.pop_back();
        expanded_.pop_back();
        frontier_ = std::min(frontier_, distances_.size());
    }
}

std::optional<SearchHit> ResultList::next_to_expand() {
    const std::size_t size = distances_.size();
    std::optional<std::size_t> best;
    if (frontier_ < size) {
        best = frontier_;
        // Equal distances sit in no order of ids.
        for (std::size_t j = frontier_ + 1; j < size && !distance_less(distances_[frontier_], distances_[j]); ++j)
            if (!expanded_[j] && ids_[j] < ids_[*best]) best = j;
    }
    if (!dropped_ties_.empty()) {
        // A dropped hit beyond the farthest kept one is beyond every later
        // farthest too; one still equal to it is expanded in its turn.
        const double worst = distances_.back();
        std::erase_if(dropped_ties_, [&](const SearchHit& h) { return distance_less(worst, h.distance); });
        std::optional<std::size_t> tie;
        for (std::size_t t = 0; t < dropped_ties_.size(); ++t)
            if (!tie || hit_less(dropped_ties_[t], dropped_ties_[*tie])) tie = t;
        if (tie && (!best || hit_less(dropped_ties_[*tie], {distances_[*best], ids_[*best]}))) {
            const SearchHit hit = dropped_ties_[*tie];
            dropped_ties_.erase(dropped_ties_.begin() + static_cast<std::ptrdiff_t>(*tie));
            return hit;
        }
    }
    if (!best) return std::nullopt;
    expanded_[*best] = 1;
    while (frontier_ < size && expanded_[frontier_]) ++frontier_;
    return SearchHit{distances_[*best], ids_[*best]};
}

std::vector<SearchHit> ResultList::hits() const {
    std::vector<SearchHit> out(distances_.size());
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = {distances_[i], ids_[i]};
    return out;
}

}  // namespace quarix
