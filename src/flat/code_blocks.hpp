// Grid codes of the flat index's vectors (code_grid.hpp), laid out like the
// vectors themselves: one block per kBlockLanes vectors, in groups of four
// elements (code_block_kernels.hpp).
//
// The first kHeadGroups groups of every block are kept apart from the rest:
// where they decide (clustered data), most far blocks are proven far by them
// alone and their other codes are never read. A scan sums a block's codes
// before it reads its vectors: a block whose every lane certainly lies at
// least the current k-th distance away is skipped. The codes follow inserts
// and creates, and are refitted each time the count doubles, as the graph
// index's are.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "flat/block_layout.hpp"
#include "flat/code_block_kernels.hpp"
#include "metrics/code_grid.hpp"
#include "metrics/page_allocator.hpp"
#include "metrics/rounding_margins.hpp"

namespace quarix {

class CodeBlocks {
public:
    // Tail groups of a part of the codes (even): at most this many, so that
    // its sums of squared codes fit 32 bits.
    static constexpr std::size_t kPartGroups = 16000;

    explicit CodeBlocks(std::size_t dim, const CodeBlockKernels& kernels = code_block_kernels());

    // Brings the codes up to the first `count` vectors of `blocks` (the flat
    // index's interleaved storage): encodes the new ones, or refits the grid
    // and encodes them all when the count has doubled since the last fit
    // and the vectors since then no longer fit the grid well.
    // `fresh` points to the last fresh.size() of them as contiguous rows.
    void update(std::span<const double> blocks, std::size_t count, std::span<const double* const> fresh);

    struct Query {
        std::vector<std::int16_t> fine;  // groups * kCodeGroup, the padding zero
        double error = 0.0;
        bool usable = false;
        // For kernels with a split query: see CodeRun.
        std::vector<std::int8_t> high, low;
        std::vector<std::int64_t> fine_squares;
    };
    void encode_query(std::span<const double> query, Query& out) const;

    // Writes to out[b], for every block b holding some of the first `count`
    // vectors, the least of its lanes' sums over its head codes.
    void head_lowest(const Query& query, std::size_t count, std::uint64_t* out) const;
    // For blocks [from, to), lowest[b] holding the least head sum of block b
    // or a mark (kMeasured, kProvenFar; left as they are): marks kProvenFar
    // the blocks whose codes prove them at a computed distance of at least
    // `limit`, and writes the least of all its lanes' sums over every code
    // for the others (see far).
    void lowest_sums(const Query& query, double limit, std::size_t from, std::size_t to, std::size_t count,
                     std::uint64_t* lowest) const;
    // The reach of a limit (see far), computed once for many blocks.
    double reach(const Query& query, double limit) const { return grid_.reach(limit, query.error); }
    // Whether a block whose least lane sum is `lowest` certainly lies at a
    // computed distance of at least the limit of `reach` (never for a block
    // with a vector that has no code, nor for a NaN limit).
    bool far(std::size_t block, std::uint64_t lowest, double reach) const {
        return static_cast<double>(lowest) * grid_.fine_area() >= CodeGrid::needed_area_from(reach + errors_[block]);
    }

    // A query for dot products: q[i] ~ q_code[i] * unit, with unit a power of
    // two, so that the code part of q . v is a sum of integer products.
    struct DotQuery {
        std::vector<std::int16_t> q_code;  // groups * kCodeGroup, the padding zero
        double scale = 0.0;   // unit * step: a code sum times it is the code part of q . v
        double base = 0.0;    // at most the computed sum of q[i] * low[i]
        double spread = 0.0;  // at least |sum of (q[i] - q_code[i] * unit) * code[i]| * step
        double norm = 0.0;    // at least |q|
        bool usable = false;
    };
    void encode_dot_query(std::span<const double> query, DotQuery& out) const;
    // Writes, per lane of `block`, a value at most the dot product a scan
    // computes (in index order) for that lane's vector; false when the block
    // has a vector the codes cannot bound.
    bool dot_lower_bounds(const DotQuery& query, std::size_t block, double* out) const;

    std::size_t bytes() const {
        return head_.capacity() + tail_.capacity() + (errors_.capacity() + lengths_.capacity()) * sizeof(double);
    }

private:
    // Encodes vector `id`; returns its error (NaN when it has no code).
    double encode(const double* vector, std::size_t id);
    // Vector `id` copied out of its block.
    const double* gathered(std::span<const double> blocks, std::size_t id);
    CodeRun run(const Query& query, double limit, std::size_t count) const;
    // Block b's head and tail codes start at head_codes() + b * head_stride_ and tail_codes() + b * tail_stride_.
    const std::uint8_t* head_codes() const { return head_.data() + head_squares_bytes_; }
    const std::uint8_t* tail_codes() const { return tail_.data() + tail_squares_bytes_; }
    // The groups of part `part` of the codes, each with its own sums of
    // squares: the head, then the tail kPartGroups at a time.
    std::size_t part_begin(std::size_t part) const {
        return part == 0 ? 0 : std::min(groups_, head_groups_ + (part - 1) * kPartGroups);
    }
    std::size_t part_end(std::size_t part) const { return part_begin(part + 1); }

    // Works out the layout below and sizes the scratch of one vector. Done
    // at the first fit, not when the index is made: only a dimension that
    // stored vectors prove real, and that the grid takes (at most
    // CodeGrid::kLargestDim), ever has codes.
    void lay_out();

    std::size_t dim_;
    // The layout: all 0 until the first fit.
    std::size_t groups_ = 0;
    std::size_t head_groups_ = 0, tail_groups_ = 0;
    std::size_t parts_ = 0;  // of a block's codes, the head one of them
    const CodeBlockKernels* kernels_;
    // Bytes of one block's head, and of its tail: for kernels with a split
    // query, each starts with every lane's sum of squared codes in each of
    // its parts (kBlockLanes 32-bit sums a part), read with the codes that
    // follow; then the codes, in whole pairs of groups.
    std::size_t head_squares_bytes_ = 0, tail_squares_bytes_ = 0;
    std::size_t head_stride_ = 0, tail_stride_ = 0;
    CodeGrid grid_;
    // Per block: head_stride_ bytes of the head, and tail_stride_ bytes of the rest.
    PagedVector<std::uint8_t> head_, tail_;
    std::vector<double> errors_;       // per block: the largest error of its lanes; NaN if one has none
    std::vector<double> lengths_;      // per block: at least the largest |v| of its lanes; NaN if one has no code
    RoundingMargins margins_;
    std::size_t encoded_ = 0;
    std::size_t next_fit_;  // from the start count when the index was made; 0: never
    double fitted_error_ = 0.0;   // the largest error of the vectors encoded at the last fit
    std::size_t since_fit_ = 0;   // vectors encoded since then
    std::size_t outgrown_ = 0;    // of which had a far larger error
    std::vector<double> vector_;       // one vector, gathered from its block
    std::vector<std::uint8_t> row_;    // one vector's codes (padded to whole groups), before they are spread into the block
};

}  // namespace quarix
