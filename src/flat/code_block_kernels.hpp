// Kernels that sum the flat index's grid codes (code_blocks.hpp) a block of
// kBlockLanes vectors at a time. Within a block the elements come in groups of
// four; group g of lane j holds that vector's elements 4g .. 4g+3 at byte
// g * kGroupBytes + j * 4, so one load brings four elements of eight vectors.
// Every sum is of integers, exact whatever order its terms are added in, so
// the kernels of one family differ in speed only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "flat/block_layout.hpp"

namespace quarix {

inline constexpr std::size_t kCodeGroup = 4;
inline constexpr std::size_t kGroupBytes = kCodeGroup * kBlockLanes;
inline constexpr std::size_t kHeadGroups = 8;
// A query's whole-number form for dot products stays within this magnitude.
inline constexpr std::int64_t kLargestQueryCode = 16384;
static_assert(kBlockLanes == 8, "the code kernels hold eight lanes");
// A lane's sum gains less than 2^26 an element, so a block's least lane sum
// (see CodeBlockKernels) stays far below these values, which mark a block
// the kernels leave alone: measured already, or proven far by its head codes.
inline constexpr std::uint64_t kMeasured = ~std::uint64_t{0} - 1;
inline constexpr std::uint64_t kProvenFar = ~std::uint64_t{0};

// The codes of a run of blocks and one query's place among them (see
// CodeBlockKernels). Head and tail areas of a block are padded to whole pairs
// of groups, so a kernel may read two groups with one load.
struct CodeRun {
    const std::int16_t* fine;       // the query's fine codes
    const std::uint8_t* head;       // every block's head codes, head_stride bytes each
    std::size_t head_groups;        // at most kHeadGroups
    std::size_t head_stride;
    const std::uint8_t* tail;       // every block's other codes, tail_stride bytes each
    std::size_t tail_groups, tail_stride;
    const double* errors;           // per block: its largest error
    double reach;                   // CodeGrid::reach of the limit and the query's error
    double area;                    // CodeGrid::fine_area
    std::size_t count;              // vectors stored: lanes past it are left out
    // For kernels with `split_query`: the query's fine codes split as
    // fine = 128 * high + low (low in 0..127), each group's four spread over
    // the eight lanes of its half of a 64-byte pair, laid out as the head
    // codes and then the tail codes are (without the sums of squares); the
    // sums of the squares of those fine codes in each part of the codes (the
    // head, then part_groups groups of the tail at a time, the last part
    // possibly fewer); and per block and part, every lane's sum of squared
    // codes (kBlockLanes 32-bit sums each): the head's at head_squares +
    // b * head_stride, the tail parts' from code_squares + b * tail_stride on.
    const std::int8_t* high;
    const std::int8_t* low;
    const std::int64_t* fine_squares;
    std::size_t part_groups;
    const std::uint8_t* head_squares;
    const std::uint8_t* code_squares;
};

struct CodeBlockKernels {
    // A lane's sum over some groups of codes is the sum over their elements
    // of (fine[i] - kFinePerStep * code[i])^2.
    // Writes to out[b - from], for each block b in [from, to), the least of
    // its lanes' sums over the head codes (lanes past `count` left out).
    void (*head_lowest)(const CodeRun& run, std::size_t from, std::size_t to, std::uint64_t* out);
    // For each block b in [from, to) whose lowest[b - from] is its least
    // head sum: writes the least of its lanes' sums over all codes, or
    // kProvenFar once its head sums or those prove it at least the run's
    // limit away. Leaves the marks kMeasured and kProvenFar as they are.
    void (*lowest_sums)(const CodeRun& run, std::size_t from, std::size_t to, std::uint64_t* lowest);
    // Adds to each lane's sums[j] the sum over `groups` groups of q[i] * code[i].
    void (*dot_lanes)(const std::int16_t* q, const std::uint8_t* block, std::size_t groups, std::int64_t* sums);
    // Whether the kernels read the split query and the sums of squared codes (see CodeRun).
    bool split_query;
    const char* name;
};

const CodeBlockKernels& code_block_kernels();
// By name ("portable", "avx2", "avx512bw", "avx512vnni"); null when this CPU cannot run them.
const CodeBlockKernels* code_block_kernels_named(const char* name);

}  // namespace quarix
