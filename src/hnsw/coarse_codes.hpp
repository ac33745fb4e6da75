// One byte per element of every stored vector, for proving a Euclidean
// neighbour far without reading its full vector. Element i of a node lies
// near the grid point low[i] + code * step, with one step for every element,
// and the query is placed on a grid sixteen times finer. The squared distance
// between the two grid points is then a sum of integer squares, computed
// exactly; widened by how far the query and the node lie from their grid
// points and by the rounding of the exact distance, it bounds that distance
// from below. Like the pivots, the codes change how fast a walk runs, never
// what it returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "hnsw/rounding_margins.hpp"

namespace quarix {

// The query's position on the fine grid, in sixteenths of a step, is kept
// within these bounds: every difference from a code then fits 16 bits, and
// 32 of its squares fit a 32-bit sum.
inline constexpr std::int32_t kFinePerStep = 16;
inline constexpr std::int32_t kLowestFine = -4000;
inline constexpr std::int32_t kHighestFine = 8000;

// Sum over the elements of (fine[i] - kFinePerStep * codes[i])^2, exactly.
struct CodeKernels {
    std::uint64_t (*squares)(const std::int16_t* fine, const std::uint8_t* codes, std::size_t dim);
    const char* name;
};
const CodeKernels& code_kernels();
// By name ("portable", "avx2", "avx512bw"); null when this CPU cannot run them.
const CodeKernels* code_kernels_named(const char* name);

class CoarseCodes {
public:
    explicit CoarseCodes(std::size_t dim, const CodeKernels& kernels = code_kernels());

    // Fits the grid to vectors[0, count * dim) and encodes every node.
    void fit(const std::vector<double>& vectors, std::size_t count);
    // Encodes node count - 1 on the current grid (no-op before the first fit).
    void added(const std::vector<double>& vectors, std::size_t count);
    bool fitted() const { return !low_.empty(); }

    struct QueryCode {
        std::vector<std::int16_t> fine;
        double error = 0.0;  // at least the distance from the query to its fine grid point
        bool usable = false;
    };
    void encode_query(std::span<const double> query, QueryCode& out) const;

    // True when the computed Euclidean distance from the encoded query to
    // node is certainly not below limit (never for a NaN limit).
    bool rules_out(const QueryCode& query, std::size_t node, double limit) const;
    void prefetch(std::size_t node) const {
        if (node >= errors_.size()) return;
        const std::uint8_t* row = codes_.data() + node * dim_;
        for (std::size_t offset = 0; offset < dim_; offset += 64) __builtin_prefetch(row + offset);
    }

private:
    void encode(const double* vector);

    std::size_t dim_;
    const CodeKernels* kernels_;
    RoundingMargins margins_;
    std::vector<float> low_;
    float step_ = 1.0f;
    // A sixteenth of the step (exact; times a fine position of at most 14
    // bits, still exact) and its square, which every test scales by.
    double fine_step_ = 1.0 / kFinePerStep;
    double fine_area_ = fine_step_ * fine_step_;
    std::vector<std::uint8_t> codes_;  // dim_ per encoded node
    std::vector<double> errors_;       // per node: at least |vector - grid point|; NaN: never used
};

}  // namespace quarix
