// Grid codes of the flat index's vectors (code_grid.hpp), laid out like the
// vectors themselves: one block per kBlockLanes vectors. Within a block the
// elements come in groups of four; group g of lane j holds that vector's
// elements 4g .. 4g+3 at byte g * 32 + j * 4. One load then brings four
// elements of eight vectors, and each lane's sum of squares is exact
// whatever order the integer terms are added in.
//
// The first kHeadGroups groups of every block are kept apart from the rest:
// most far blocks are already proven far by them, so a scan reads a quarter
// of the codes for those. A scan tests a block's codes before its vectors:
// a block whose every lane certainly lies at least the current k-th
// distance away is skipped. The
// codes follow inserts and creates, and are refitted each time the count
// doubles, as the graph index's are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "flat/block_layout.hpp"
#include "metrics/code_grid.hpp"
#include "metrics/rounding_margins.hpp"

namespace quarix {

inline constexpr std::size_t kCodeGroup = 4;
inline constexpr std::size_t kHeadGroups = 8;
// A query's whole-number form for dot products stays within this magnitude.
inline constexpr std::int64_t kLargestQueryCode = 16384;
static_assert(kBlockLanes == 8, "the code kernels hold eight lanes");

// Adds to each lane's sums[j] the sum over `groups` groups of elements of
// (fine[i] - kFinePerStep * code[i])^2 and returns the lanes (bit j for lane
// j) whose sum times `area` is still below `needed`. May stop early, leaving
// sums unspecified: the sums only grow, so once every lane has reached it,
// no lane is left.
// A run of blocks tested on their head codes against one limit: see
// CodeBlockKernels::first_near_head.
struct HeadRun {
    const std::int16_t* fine;      // the query's fine codes
    const std::uint8_t* head;      // every block's head codes
    std::size_t head_groups;       // at most kHeadGroups
    const double* errors;          // per block: its largest error
    double reach;                  // CodeGrid::reach of the limit and the query's error
    double area;                   // CodeGrid::fine_area
    std::size_t count;             // vectors stored: lanes past it are not tested
    const std::uint8_t* prefetch;  // the tails, whose first bytes are fetched ahead
    std::size_t prefetch_stride, prefetch_bytes, blocks;
};

struct CodeBlockKernels {
    unsigned (*near_lanes)(const std::int16_t* fine, const std::uint8_t* block, std::size_t groups, double area,
                           double needed, std::uint64_t* sums);
    // The first block b in [from, to) that the head codes (or a needed area
    // that is not finite) leave with a lane near, as near_lanes would,
    // writing those lanes to `near` and the head sums to `sums`; `to` when
    // there is none. Null where the scan calls near_lanes block by block.
    std::size_t (*first_near_head)(const HeadRun& run, std::size_t from, std::size_t to, unsigned* near,
                                   std::uint64_t* sums);
    // Adds to each lane's sums[j] the sum over `groups` groups of q[i] * code[i].
    void (*dot_lanes)(const std::int16_t* q, const std::uint8_t* block, std::size_t groups, std::int64_t* sums);
    const char* name;
};
const CodeBlockKernels& code_block_kernels();
// By name ("portable", "avx2", "avx512bw"); null when this CPU cannot run them.
const CodeBlockKernels* code_block_kernels_named(const char* name);

class CodeBlocks {
public:
    explicit CodeBlocks(std::size_t dim, const CodeBlockKernels& kernels = code_block_kernels());

    // Brings the codes up to the first `count` vectors of `blocks` (the flat
    // index's interleaved storage): encodes the new ones, or refits the grid
    // and encodes them all when the count has doubled since the last fit
    // and the vectors since then no longer fit the grid well.
    // `fresh` points to the last fresh.size() of them as contiguous rows.
    void update(const std::vector<double>& blocks, std::size_t count, std::span<const double* const> fresh);

    struct Query {
        std::vector<std::int16_t> fine;  // groups * kCodeGroup, the padding zero
        double error = 0.0;
        bool usable = false;
    };
    void encode_query(std::span<const double> query, Query& out) const;

    // Lanes of block `block` that the codes do not prove at a computed
    // distance of at least `limit` (every lane for a NaN limit).
    unsigned near_lanes(const Query& query, std::size_t block, double limit) const;
    // The first block in [from, to) with a lane among the first `count`
    // vectors that near_lanes leaves; `to` when there is none.
    std::size_t first_near(const Query& query, std::size_t from, std::size_t to, double limit,
                           std::size_t count) const;
    // Writes to `out` (ascending) the out.size() blocks among the first
    // `blocks` whose nearest lane is nearest by its first kHeadGroups groups
    // of codes, a cheap guess at where the nearest vectors are; returns how
    // many it wrote (none when the query has no usable code).
    std::size_t nearest_blocks(const Query& query, std::size_t blocks, std::span<std::size_t> out) const;

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
    const double* gathered(const std::vector<double>& blocks, std::size_t id);

    std::size_t dim_;
    std::size_t groups_;
    std::size_t head_groups_;
    const CodeBlockKernels* kernels_;
    CodeGrid grid_;
    // Per block: head_groups_, then the remaining groups, of kCodeGroup * kBlockLanes bytes each.
    std::vector<std::uint8_t> head_, tail_;
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
