// One byte per element of every stored vector, on a per-element grid, for
// proving a Euclidean neighbour far without reading its full vector. The
// distance between the query (rounded to single precision) and a node's grid
// point is computed in single precision; widened by how far each of them can
// lie from the true vector and by every rounding error, it bounds the exact
// computed distance from below. Like the pivots, the codes change how fast a
// walk runs, never what it returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "hnsw/rounding_margins.hpp"

namespace quarix {

// Sum of squared differences between q and the grid points of `count`
// vectors in single precision, any order of addition: grid point element i
// is low[i] + code[i] * step[i], computed as written (product, then sum).
struct CodeKernels {
    float (*squares)(const float* q, const float* low, const float* step, const std::uint8_t* codes,
                     std::size_t dim);
    const char* name;
};
const CodeKernels& code_kernels();
// By name ("portable", "avx2", "avx512"); null when this CPU cannot run them.
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
        std::vector<float> rounded;
        double error = 0.0;  // at least the distance from the query to `rounded`
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
    double grid_squares_below(const QueryCode& query, std::size_t node) const;

    std::size_t dim_;
    const CodeKernels* kernels_;
    RoundingMargins margins_;
    std::vector<float> low_, step_;
    std::vector<std::uint8_t> codes_;  // dim_ per encoded node
    std::vector<double> errors_;       // per node: at least |vector - grid point|; NaN: never used
};

}  // namespace quarix
