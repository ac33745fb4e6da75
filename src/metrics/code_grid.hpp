// A grid of one byte per element for proving a Euclidean distance large
// without reading the full vector. Element i of a vector lies near the grid
// point low[i] + code * step, with one step for every element, and a query is
// placed on a grid sixteen times finer. The squared distance between the two
// grid points is then a sum of integer squares, computed exactly; widened by
// how far the query and the vector lie from their grid points and by the
// rounding of the computed distance, it bounds that distance from below.
// The same codes bound dot products (see the flat index's code blocks).
// Both indexes lay the codes out in their own way; the grid, the encoding
// and the test are the same for both, so every bound rests on one analysis.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "metrics/rounding_margins.hpp"

namespace quarix {

// The query's position on the fine grid, in sixteenths of a step, is kept
// within these bounds: every difference from a code then fits 16 bits, and
// 32 of its squares fit a 32-bit sum.
inline constexpr std::int32_t kFinePerStep = 16;
inline constexpr std::int32_t kLowestFine = -4000;
inline constexpr std::int32_t kHighestFine = 8000;
inline constexpr std::int64_t kWidestDifference = kFinePerStep * 255 - kLowestFine;
static_assert(kWidestDifference >= kHighestFine);

// A fine position as 128 * high + low with low in 0..127, for kernels that
// take byte dot products of codes (unsigned) with the query (signed bytes).
inline void split_fine(std::int32_t fine, std::int8_t& high, std::int8_t& low) {
    high = static_cast<std::int8_t>(fine >> 7);
    low = static_cast<std::int8_t>(fine & 127);
}
static_assert((kHighestFine >> 7) <= 127 && (kLowestFine >> 7) >= -128);

// The count at which a Euclidean index first fits its bounds (0: never); it
// fits them again each time its count doubles. Tests lower it to exercise
// pruning on small indexes.
std::size_t& pruning_start_count();

// The smallest and largest value of every element over the vectors that can be encoded.
struct ElementRanges {
    explicit ElementRanges(std::size_t dim);
    // Element i of the vector at v[i * stride].
    void add(const double* v, std::size_t stride);
    std::vector<double> lowest, highest;
    bool any = false;
};

class CodeGrid {
public:
    // Beyond this many elements a sum of squared fine differences could
    // exceed the 2^53 a double holds exactly: such vectors get no grid.
    static constexpr std::size_t kLargestDim = std::size_t{1} << 20;

    explicit CodeGrid(std::size_t dim) : dim_(dim), margins_(dim) {}

    // Vectors with an element this large or not finite get no code.
    static bool encodable(const double* v, std::size_t dim, std::size_t stride = 1);

    void fit(const ElementRanges& ranges);
    void clear() { low_.clear(); }
    bool fitted() const { return !low_.empty(); }

    // Writes the dim codes of vector v and returns at least the distance from
    // it to its grid point; NaN (codes all zero) when it cannot be encoded.
    // `length`, when given, receives at least |v| (NaN likewise).
    double encode(const double* v, std::uint8_t* codes, double* length = nullptr) const;

    // The query's fine positions; returns at least its distance from that
    // fine grid point, or NaN when it cannot be placed.
    double encode_query(std::span<const double> query, std::int16_t* fine) const;

    // A vector whose grid point lies `sum` fine squares from the query's is
    // certainly at a computed distance of at least `limit` when
    // sum * fine_area() >= the returned value. Never true for NaN inputs:
    // the value is then NaN or infinite.
    // (The grid points lie sqrt(sum) fine steps apart, exactly; the query and
    // the vector lie within their errors of them, and the computed distance
    // within rounding margins of the exact one. Every step rounds up.)
    double needed_area(double limit, double query_error, double vector_error) const {
        return needed_area_from(reach(limit, query_error) + vector_error);
    }
    // needed_area in two steps, for scans that test many vectors against
    // one limit: reach() once, then needed_area_from(reach + vector_error).
    double reach(double limit, double query_error) const { return margins_.above(limit) + query_error; }
    static double needed_area_from(double reach_and_error) {
        const double needed = reach_and_error * (1.0 + 0x1.0p-50);
        if (!(needed > 0.0)) return std::numeric_limits<double>::infinity();
        return needed * needed * (1.0 + 0x1.0p-48);
    }
    double fine_area() const { return fine_area_; }
    // Element i of a vector with code c lies near low()[i] + c * step().
    const std::vector<float>& low() const { return low_; }
    double step() const { return step_; }

private:
    std::size_t dim_;
    RoundingMargins margins_;
    std::vector<float> low_;
    float step_ = 1.0f;
    // A sixteenth of the step (exact; times a fine position of at most 14
    // bits, still exact) and its square, which every test scales by.
    double fine_step_ = 1.0 / kFinePerStep;
    double fine_area_ = fine_step_ * fine_step_;
};

}  // namespace quarix
