// One byte per element of every stored node, row by row, on the grid of
// code_grid.hpp: a walk tests a node's code before reading its vector. Like
// the pivots, the codes change how fast a walk runs, never what it returns.
#pragma once

#include <cstddef>
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "metrics/code_grid.hpp"
#include "metrics/page_allocator.hpp"

namespace quarix {

// A query on the fine grid, as the kernels read it.
struct FineQuery {
    const std::int16_t* fine;  // dim positions
    // The same split as fine = 128 * high + low (low in 0..127), padded with
    // zeros to whole vectors of kSplitStep, and the sum of the fine squares,
    // for kernels that take `split`.
    const std::int8_t* high;
    const std::int8_t* low;
    std::int64_t fine_squares;
    std::size_t dim;
};

// Sum over the elements of (fine[i] - kFinePerStep * codes[i])^2, exactly;
// `code_squares` is the sum of the codes' squares.
struct CodeKernels {
    std::uint64_t (*squares)(const FineQuery& query, const std::uint8_t* codes, std::uint32_t code_squares);
    // squares() of rows[j] with code_squares[j], for j < count.
    void (*many)(const FineQuery& query, const std::uint8_t* const* rows, const std::uint32_t* code_squares,
                 std::size_t count, std::uint64_t* out);
    // Whether the kernel reads the split query and the codes' squares (then
    // for at most kSplitLargestDim elements, where the squares fit 32 bits).
    bool split;
    const char* name;
};
inline constexpr std::size_t kSplitStep = 64;

inline constexpr std::size_t kSplitLargestDim = 66051;
const CodeKernels& code_kernels();
// By name ("portable", "avx2", "avx512bw", "avx512vnni"); null when this CPU cannot run them.
const CodeKernels* code_kernels_named(const char* name);

class CoarseCodes {
public:
    explicit CoarseCodes(std::size_t dim, const CodeKernels& kernels = code_kernels());

    // Fits the grid to vectors[0, count * dim) and encodes every node.
    void fit(std::span<const double> vectors, std::size_t count);
    // Room for the codes of `nodes` nodes in all, now and at every later fit.
    void expect(std::size_t nodes);
    // Encodes node count - 1 on the current grid (no-op before the first fit).
    void added(std::span<const double> vectors, std::size_t count);
    bool fitted() const { return grid_.fitted(); }

    struct QueryCode {
        std::vector<std::int16_t> fine;
        std::vector<std::int8_t> high, low;  // for kernels that split the query
        std::int64_t fine_squares = 0;
        double error = 0.0;  // at least the distance from the query to its fine grid point
        bool usable = false;
        FineQuery view(std::size_t dim) const { return {fine.data(), high.data(), low.data(), fine_squares, dim}; }
    };
    void encode_query(std::span<const double> query, QueryCode& out) const;

    // Whether the computed Euclidean distance from the encoded query to a
    // node is certainly not below a limit (never for a NaN limit), in steps
    // for a walk that tests many nodes against one limit: squares() of up to
    // kBatch nodes at once, reach() once per limit, then rules_out() of each
    // node with its sum.
    static constexpr std::size_t kBatch = 16;
    void squares(const QueryCode& query, const std::uint32_t* nodes, std::size_t count, std::uint64_t* out) const;
    double reach(const QueryCode& query, double limit) const { return grid_.reach(limit, query.error); }
    bool rules_out(std::size_t node, std::uint64_t sum, double reach) const {
        if (node >= meta_.size()) return false;
        const double needed = CodeGrid::needed_area_from(reach + meta_[node].error);
        if (!std::isfinite(needed)) return false;
        return static_cast<double>(sum) * grid_.fine_area() >= needed;
    }
    void prefetch(std::size_t node) const {
        if (node >= meta_.size()) return;
        const std::uint8_t* row = codes_.data() + node * dim_;
        for (std::size_t offset = 0; offset < dim_; offset += 64) __builtin_prefetch(row + offset);
        if (dim_ != 0) __builtin_prefetch(row + dim_ - 1);
    }

private:
    void encode(const double* vector);

    std::size_t dim_;
    const CodeKernels* kernels_;
    CodeGrid grid_;
    PagedVector<std::uint8_t> codes_;  // dim_ per encoded node
    // Per encoded node, read before its codes, in an array small enough to
    // stay in cache: at least |vector - grid point| (NaN when the node has no
    // code), and the sum of its codes' squares (for kernels that split the query).
    struct Meta {
        float error;
        std::uint32_t squares;
    };
    std::vector<Meta> meta_;
    std::size_t expected_ = 0;
};

}  // namespace quarix
