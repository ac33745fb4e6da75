// One byte per element of every stored node, row by row, on the grid of
// code_grid.hpp: a walk tests a node's code before reading its vector. Like
// the pivots, the codes change how fast a walk runs, never what it returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "metrics/code_grid.hpp"

namespace quarix {

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
    bool fitted() const { return grid_.fitted(); }

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
    CodeGrid grid_;
    std::vector<std::uint8_t> codes_;  // dim_ per encoded node
    std::vector<double> errors_;       // per node: at least |vector - grid point|; NaN: never used
};

}  // namespace quarix
