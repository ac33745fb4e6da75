// Exact k-nearest-neighbour index: every vector in one contiguous array. A
// query reads the codes of them all and measures the vectors that the codes
// cannot prove too far.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "errors/index_errors.hpp"
#include "errors/length_messages.hpp"
#include "flat/block_layout.hpp"
#include "flat/block_scan.hpp"
#include "flat/code_blocks.hpp"
#include "metrics/distance.hpp"
#include "metrics/page_allocator.hpp"
#include "metrics/search_hit.hpp"
#include "metrics/vector_list.hpp"

namespace quarix {

class FlatIndex {
public:
    using CreateFailure = std::variant<FlatError, LengthMismatch>;
    using Pairs = std::vector<std::pair<std::size_t, double>>;  // (id, distance), nearest first

    FlatIndex(std::size_t dim, DistanceFn metric, const BlockKernels& kernels = block_kernels(),
              const CodeBlockKernels& code_kernels = code_block_kernels())
        : dim_(dim), metric_(metric), kernels_(&kernels), codes_(dim, code_kernels) {}

    std::size_t dim() const { return dim_; }
    std::size_t size() const { return count_; }
    // Bytes held by the codes, beyond the vectors themselves.
    std::size_t code_bytes() const { return codes_.bytes(); }

    // The caller has checked the length; a wrong one is a broken invariant.
    void insert(std::span<const double> vector);

    // Appends every vector in order, or nothing at all: an empty list gives
    // EmptyVectors, and a vector of the wrong length is reported before any
    // vector is stored.
    std::optional<CreateFailure> create(const VectorList& vectors);

    // The first max(k, 1) hits in hit order, capped at the number stored;
    // EmptyIndex when no vector data is stored. The caller has checked the
    // query's length.
    // `counts`, when given, receives how many blocks of vectors the scan
    // skipped on their codes alone and how many it measured.
    struct ScanCounts {
        std::size_t skipped = 0, measured = 0;
    };
    std::variant<Pairs, FlatError> search(std::span<const double> query, std::size_t k,
                                          ScanCounts* counts = nullptr) const;

private:
    void append(std::span<const double> vector);
    // The two kinds of scan; each returns how many blocks it skipped.
    // Euclidean, led by the codes:
    std::size_t scan_by_bounds(BlockScan& scan, const CodeBlocks::Query& code, std::size_t k) const;
    // Every block in id order, each tested on its dot-product bounds first when `dot` is given:
    std::size_t scan_in_order(BlockScan& scan, const CodeBlocks::DotQuery* dot) const;
    // True when the codes prove every lane of the block at a computed inner
    // product or cosine of at least limit.
    bool dot_lanes_far(const CodeBlocks::DotQuery& dot, std::size_t block, std::size_t lanes, double query_norm,
                       double limit) const;

    std::size_t dim_;
    DistanceFn metric_;
    const BlockKernels* kernels_;
    // Blocks of kBlockLanes vectors interleaved element by element (see
    // block_layout.hpp); the last block is padded with zeros.
    PagedVector<double> blocks_;
    // Lengths (square roots of the sums of squares) of the stored vectors, kept for the cosine only.
    std::vector<double> lengths_;
    std::size_t count_ = 0;  // vectors stored; with dim 0 they hold no data
    // Lower bounds from one-byte codes, which let a scan skip most blocks.
    CodeBlocks codes_;
};

}  // namespace quarix
