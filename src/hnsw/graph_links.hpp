// Link lists of the graph, in one arena.
//
// A list holds ids in the order they were appended. A list may instead be
// kept as two streams: the ids appended as "low" and those appended as
// "high", each in order, with a selector bit per id saying which stream
// holds it, so that a reader can take the whole list (merging the streams
// by the selector) or the high stream alone at the cost of its own bytes.
// The graph keeps every node's links this way, a link being high when its
// neighbour's level is at least 1 (see hnsw_index.hpp).
//
// Each list's block of the arena holds its streams' room, then the selector,
// in whole 32-bit words. Block sizes come in classes an eighth apart; a list
// that outgrows its block moves to one of the next class, and the block it
// leaves is kept for the next list that grows into its class. Lists grow
// through the same classes all through a build, so the blocks left are
// taken again; trim() rewrites the arena with no spare room at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "metrics/page_allocator.hpp"

namespace quarix {

class GraphLinks {
public:
    using NodeId = std::uint32_t;
    // Bits per selector word; room comes in whole words.
    static constexpr std::size_t kWordBits = 32;
    // Words readable past the end of any stream (kernels load whole vectors).
    static constexpr std::size_t kPadding = 32;

    GraphLinks();

    // Opens the next list, of two streams when `streams` is set.
    void add_list(bool streams);
    std::size_t lists() const { return heads_.size(); }
    // Headers for `more` lists beyond those held.
    void reserve_lists(std::size_t more);

    // Room for `more` ids beyond those of one stream of `list` (the high one
    // when `high` is set and the list has streams), so that appending them
    // does not move it.
    void reserve(std::size_t list, std::size_t more, bool high);
    // Appends `id` to `list`, in its high stream when `high` is set and it has streams.
    void append(std::size_t list, NodeId id, bool high);
    // Rewrites the arena with every list in a block just large enough (the
    // next id a list gets moves it again). For the end of a bulk load.
    void trim();

    bool streams(std::size_t list) const { return heads_[list].high_room != kNoStreams; }
    std::size_t size(std::size_t list) const { return std::size_t{heads_[list].low} + heads_[list].high; }
    // Every id of a list without streams, in order; else the low stream.
    const NodeId* low(std::size_t list) const { return arena_.data() + heads_[list].start; }
    std::size_t low_size(std::size_t list) const { return heads_[list].low; }
    const NodeId* high(std::size_t list) const {
        const Head& head = heads_[list];
        return arena_.data() + head.start + head.low_room;
    }
    std::size_t high_size(std::size_t list) const { return heads_[list].high; }
    // Bit i % 32 of word i / 32: whether id i (in list order) is in the high stream.
    const std::uint32_t* selector(std::size_t list) const {
        const Head& head = heads_[list];
        return arena_.data() + head.start + head.low_room + head.high_room;
    }
    // The id appended last (the list must not be empty).
    NodeId last(std::size_t list) const;

    // Brings the header of `list` nearer, ahead of an append; the ends of its streams after it.
    void prefetch_head(std::size_t list) const { __builtin_prefetch(&heads_[list]); }
    void prefetch_ends(std::size_t list) const;
    // The first lines of the list (merged) or of its high stream.
    void prefetch(std::size_t list, bool high_only) const;

    std::size_t ids() const { return ids_; }
    std::size_t bytes() const {
        return arena_.capacity() * sizeof(NodeId) + heads_.capacity() * sizeof(Head);
    }

private:
    static constexpr std::uint32_t kNoStreams = ~std::uint32_t{0};
    struct Head {
        std::uint64_t start = 0;  // of the block, in words
        std::uint64_t block = 0;  // its words
        std::uint32_t low = 0, high = 0;
        // Multiples of kWordBits; high_room is kNoStreams for a list without streams.
        std::uint32_t low_room = 0, high_room = kNoStreams;
    };
    static std::size_t block_words(std::size_t low_room, std::size_t high_room, bool streams) {
        return streams ? low_room + high_room + (low_room + high_room) / kWordBits : low_room;
    }
    // Moves `list` to a block with at least the given room.
    void move(std::size_t list, std::size_t low_room, std::size_t high_room);
    // A block of at least `words` words: a kept one of its class, or a new one at the arena's end.
    std::pair<std::uint64_t, std::uint64_t> take_block(std::size_t words);
    // Copies `list` into a block of the given room at `to` (zeroed).
    void copy_list(std::size_t list, NodeId* to, std::size_t low_room, std::size_t high_room) const;

    // Every block, then kPadding words that kernels may read past the last.
    PagedVector<NodeId> arena_;
    std::vector<Head> heads_;
    std::size_t ids_ = 0;
    // Blocks left by moves (start, words), by the largest class they hold.
    std::vector<std::vector<std::pair<std::uint64_t, std::uint64_t>>> kept_;
};

}  // namespace quarix
