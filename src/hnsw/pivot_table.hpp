// Reference points for ruling out Euclidean neighbours without measuring
// them. Every stored vector is assigned to its nearest pivot; knowing the
// distances query-pivot and node-pivot, the triangle inequality bounds the
// distance query-node from below. Every bound is widened by the largest
// rounding error a computed distance can carry, so a node is only ruled out
// when its computed distance could not be below the limit either: pivots
// change how fast a walk runs, never what it returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "metrics/rounding_margins.hpp"
#include "metrics/batch_distance.hpp"

namespace quarix {

class PivotTable {
public:
    explicit PivotTable(std::size_t dim);

    // Chooses pivots among vectors[0, count * dim) and assigns every node.
    void choose(std::span<const double> vectors, std::size_t count);
    // Room for the assignments of `nodes` nodes in all, now and at every later choice.
    void expect(std::size_t nodes);
    // Assigns node count - 1 (no-op before the first choice).
    void added(std::span<const double> vectors, std::size_t count);

    // Bounds on the computed distances from one query to every pivot.
    struct QueryBounds {
        std::vector<double> lower, upper;
        bool usable = false;
    };
    void bound_query(std::span<const double> query, QueryBounds& out) const;

    // True when the computed distance from the bounded query to node is
    // certainly not below limit (never for a NaN limit).
    bool rules_out(const QueryBounds& query, std::size_t node, double limit) const {
        if (node >= assigned_.size()) return false;
        const Assignment& a = assigned_[node];
        return below_by_margin(query.lower[a.pivot] - a.upper) >= limit ||
               below_by_margin(a.lower - query.upper[a.pivot]) >= limit;
    }

private:
    struct Assignment {
        double lower, upper;  // bounds on the exact node-pivot distance
        std::uint32_t pivot;
    };

    Assignment assign(const double* vector) const;
    // Squared distances from vector to every pivot.
    void squares_to_pivots(const double* vector, std::size_t length, double* out) const;
    double below_by_margin(double x) const { return margins_.below(x); }
    double lower_bound(double computed) const;
    double upper_bound(double computed) const;

    // Distances up to this size are bounded; larger ones (and non-finite
    // ones) could have overflowed on the way and are never used.
    static constexpr double kLargest = 1e150;

    std::size_t dim_;
    RoundingMargins margins_;
    std::vector<double> pivots_;  // pivot_count() * dim_
    std::vector<Assignment> assigned_;
    std::size_t expected_ = 0;
    const BatchKernels* batch_ = &batch_kernels();
    std::size_t pivot_count() const { return dim_ == 0 ? 0 : pivots_.size() / dim_; }
};

}  // namespace quarix
