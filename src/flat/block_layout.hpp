// Flat storage interleaves vectors in blocks of kBlockLanes: within a block,
// element i of lane j sits at i * kBlockLanes + j. A scan then loads one
// element of eight different vectors with one instruction, and each lane
// still adds its own terms in index order, so every distance is bit for bit
// what the scalar loop gives.
#pragma once

#include <cstddef>

namespace quarix {

inline constexpr std::size_t kBlockLanes = 8;

// Per-block distance kernels. `out` receives kBlockLanes values; lanes past
// the last stored vector hold whatever the zero padding gives and are
// ignored by the caller.
struct BlockKernels {
    // Returns false, leaving `out` unspecified, once every lane's partial
    // sum of squares is at least `abandon_at`: a sum of squares never
    // decreases as terms are added, so none of those vectors can come nearer.
    bool (*euclidean)(const double* query, std::size_t dim, const double* block, double abandon_at, double* out);
    void (*inner_product)(const double* query, std::size_t dim, const double* block, double* out);
    // Dot products only; the caller divides by the norms.
    void (*dot)(const double* query, std::size_t dim, const double* block, double* out);
    // The same for two blocks at once, `out` receiving 2 * kBlockLanes values:
    // each lane's sum still waits on its own previous term, and two blocks
    // keep twice as many sums in flight. euclidean_pair returns which blocks
    // it measured (bit 0 the first, bit 1 the second); it may measure a block
    // whose lanes all reached abandon_at.
    unsigned (*euclidean_pair)(const double* query, std::size_t dim, const double* first, const double* second,
                           double abandon_at, double* out);
    void (*dot_pair)(const double* query, std::size_t dim, const double* first, const double* second, double* out);
    const char* name;
};

// The best kernels this CPU runs, chosen once when the module loads.
const BlockKernels& block_kernels();
// Kernels by name ("portable", "avx2", "avx512"), for comparing them; null
// when this CPU cannot run them.
const BlockKernels* block_kernels_named(const char* name);

}  // namespace quarix
