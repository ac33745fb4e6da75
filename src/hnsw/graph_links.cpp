#include "hnsw/graph_links.hpp"

#include <algorithm>
#include <limits>

#include "errors/internal_failure.hpp"

namespace quarix {
namespace {

// A stream that moves gets room for an eighth more ids (at least one word's
// worth), and block classes lie an eighth apart: lists grow by back-links
// all through a build, and this keeps both the spare room and the number of
// moves small.
constexpr std::size_t kGrowthShare = 8;
constexpr std::size_t kLargestRoom =
    (std::numeric_limits<std::uint32_t>::max() - 1) / GraphLinks::kWordBits * GraphLinks::kWordBits;

std::size_t whole_words(std::size_t wanted) {
    if (wanted > kLargestRoom) InternalFailure::raise("capacity overflow");
    return (wanted + GraphLinks::kWordBits - 1) / GraphLinks::kWordBits * GraphLinks::kWordBits;
}

std::size_t room_for(std::size_t size) {
    return whole_words(size + std::max(size / kGrowthShare, GraphLinks::kWordBits));
}

// Block words of every class, ascending, each an eighth (at least a word's
// worth of ids) above the one before, up to past any block a list can need.
const std::vector<std::uint64_t>& block_classes() {
    static const std::vector<std::uint64_t> classes = [] {
        std::vector<std::uint64_t> out{GraphLinks::kWordBits};
        while (out.back() < (std::uint64_t{1} << 40))
            out.push_back((out.back() + std::max<std::uint64_t>(out.back() / kGrowthShare, GraphLinks::kWordBits) +
                           GraphLinks::kWordBits - 1) / GraphLinks::kWordBits * GraphLinks::kWordBits);
        return out;
    }();
    return classes;
}

}  // namespace

GraphLinks::GraphLinks() : arena_(kPadding, 0), kept_(block_classes().size()) {}

void GraphLinks::add_list(bool streams) {
    heads_.push_back({arena_.size() - kPadding, 0, 0, 0, 0, streams ? 0 : kNoStreams});
}

void GraphLinks::reserve_lists(std::size_t more) { heads_.reserve(heads_.size() + more); }

void GraphLinks::reserve(std::size_t list, std::size_t more, bool high) {
    const Head& head = heads_[list];
    high = high && streams(list);
    const std::size_t have = high ? head.high : head.low;
    if (more > kLargestRoom - have) InternalFailure::raise("capacity overflow");
    if (have + more <= (high ? head.high_room : head.low_room)) return;
    if (high) {
        move(list, head.low_room, whole_words(have + more));
    } else {
        move(list, whole_words(have + more), head.high_room);
    }
}

void GraphLinks::append(std::size_t list, NodeId id, bool high) {
    high = high && streams(list);
    {
        const Head& head = heads_[list];
        if (high && head.high == head.high_room) move(list, head.low_room, room_for(head.high));
        if (!high && head.low == head.low_room) move(list, room_for(head.low), head.high_room);
    }
    Head& head = heads_[list];
    NodeId* block = arena_.data() + head.start;
    if (high) {
        const std::size_t at = std::size_t{head.low} + head.high;
        block[head.low_room + head.high_room + at / kWordBits] |= std::uint32_t{1} << (at % kWordBits);
        block[head.low_room + head.high++] = id;
    } else {
        block[head.low++] = id;
    }
    ++ids_;
}

GraphLinks::NodeId GraphLinks::last(std::size_t list) const {
    const Head& head = heads_[list];
    const std::size_t at = size(list) - 1;
    if (streams(list) && (selector(list)[at / kWordBits] >> (at % kWordBits) & 1)) return high(list)[head.high - 1];
    return low(list)[head.low - 1];
}

void GraphLinks::prefetch_ends(std::size_t list) const {
    const Head& head = heads_[list];
    const NodeId* block = arena_.data() + head.start;
    __builtin_prefetch(block + head.low, 1);
    if (streams(list)) __builtin_prefetch(block + head.low_room + head.high, 1);
}

void GraphLinks::prefetch(std::size_t list, bool high_only) const {
    // The first lines: the hardware streams the rest in once the scan reads them in order.
    constexpr std::size_t kLineIds = 64 / sizeof(NodeId), kLines = 16;
    const Head& head = heads_[list];
    const auto lines = [](const NodeId* ids, std::size_t count) {
        for (std::size_t i = 0; i < std::min(count, kLines * kLineIds); i += kLineIds) __builtin_prefetch(ids + i);
    };
    if (!high_only || !streams(list)) lines(low(list), head.low);
    if (streams(list)) {
        lines(high(list), head.high);
        if (!high_only) __builtin_prefetch(selector(list));
    }
}

void GraphLinks::copy_list(std::size_t list, NodeId* to, std::size_t low_room, std::size_t high_room) const {
    const Head& head = heads_[list];
    const NodeId* from = arena_.data() + head.start;
    std::copy(from, from + head.low, to);
    if (!streams(list)) return;
    std::copy(from + head.low_room, from + head.low_room + head.high, to + low_room);
    const std::uint32_t* selector = from + head.low_room + head.high_room;
    std::copy(selector, selector + (size(list) + kWordBits - 1) / kWordBits, to + low_room + high_room);
}

std::pair<std::uint64_t, std::uint64_t> GraphLinks::take_block(std::size_t words) {
    const std::vector<std::uint64_t>& classes = block_classes();
    const auto wanted =
        static_cast<std::size_t>(std::lower_bound(classes.begin(), classes.end(), words) - classes.begin());
    if (!kept_[wanted].empty()) {
        const auto block = kept_[wanted].back();
        kept_[wanted].pop_back();
        return block;
    }
    // A new block takes the place of the padding, and the zeros after it become the padding.
    const std::uint64_t start = arena_.size() - kPadding, size = classes[wanted];
    arena_.resize(arena_.size() + size, 0);
    return {start, size};
}

void GraphLinks::move(std::size_t list, std::size_t low_room, std::size_t high_room) {
    const Head old = heads_[list];
    const bool split = streams(list);
    const std::size_t needed = block_words(low_room, high_room, split);
    const auto [start, words] = take_block(needed);
    // The block's words past what was asked for go to the stream that grew.
    const std::size_t spare = words - needed;
    if (!split) {
        low_room += spare / kWordBits * kWordBits;
    } else if (high_room > old.high_room) {
        high_room = std::min(kLargestRoom, high_room + spare / (kWordBits + 1) * kWordBits);
    } else {
        low_room = std::min(kLargestRoom, low_room + spare / (kWordBits + 1) * kWordBits);
    }
    NodeId* to = arena_.data() + start;
    // A kept block holds an old list: the selector must start clear.
    std::fill(to, to + words, 0);
    copy_list(list, to, low_room, high_room);
    const std::vector<std::uint64_t>& classes = block_classes();
    if (old.block >= classes.front()) {
        const auto held =
            static_cast<std::size_t>(std::upper_bound(classes.begin(), classes.end(), old.block) - classes.begin()) - 1;
        kept_[held].push_back({old.start, old.block});
    }
    heads_[list] = {start, words, old.low, old.high, static_cast<std::uint32_t>(low_room),
                    split ? static_cast<std::uint32_t>(high_room) : kNoStreams};
}

void GraphLinks::trim() {
    std::size_t total = kPadding;
    for (std::size_t list = 0; list < heads_.size(); ++list)
        total += block_words(whole_words(heads_[list].low), whole_words(heads_[list].high), streams(list));
    PagedVector<NodeId> rewritten(total, 0);
    std::size_t start = 0;
    for (std::size_t list = 0; list < heads_.size(); ++list) {
        const bool split = streams(list);
        const std::size_t low_room = whole_words(heads_[list].low), high_room = whole_words(heads_[list].high);
        const std::size_t words = block_words(low_room, high_room, split);
        copy_list(list, rewritten.data() + start, low_room, high_room);
        Head& head = heads_[list];
        head = {start, words, head.low, head.high, static_cast<std::uint32_t>(low_room),
                split ? static_cast<std::uint32_t>(high_room) : kNoStreams};
        start += words;
    }
    arena_.swap(rewritten);
    for (auto& blocks : kept_) blocks.clear();
}

}  // namespace quarix
