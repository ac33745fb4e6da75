#include "flat/code_blocks.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "errors/internal_failure.hpp"

namespace quarix {
namespace {

// Vectors encoded since the last fit with an error this many times the
// largest at the fit, more than one in kOutgrownShare of them, show that
// the grid no longer fits the data.
constexpr double kOutgrownError = 1.5;
constexpr std::size_t kOutgrownShare = 64;
// Queries with an element this large (or not finite), or whose largest
// element is this small, get no dot-product bounds: within them no term
// overflows or loses its bound to underflow.
constexpr double kLargestDotElement = 1e15;
constexpr double kSmallestDotElement = 1e-250;

// Head and tail areas hold whole pairs of groups.
std::size_t pair_bytes(std::size_t groups) { return (groups + 1) / 2 * 2 * kGroupBytes; }

// A lane's 32-bit sum of squared codes over a part cannot overflow.
static_assert(CodeBlocks::kPartGroups % 2 == 0 &&
              CodeBlocks::kPartGroups * kCodeGroup * 255 * 255 < (std::uint64_t{1} << 32));
constexpr std::size_t kSquaresBytes = kBlockLanes * sizeof(std::uint32_t);  // one part's sums, of a block's lanes

double widest_error(double a, double b) {
    return std::isnan(a) || std::isnan(b) ? std::numeric_limits<double>::quiet_NaN() : std::max(a, b);
}

}  // namespace

CodeBlocks::CodeBlocks(std::size_t dim, const CodeBlockKernels& kernels)
    : dim_(dim), kernels_(&kernels), grid_(dim), margins_(dim), next_fit_(pruning_start_count()) {}

void CodeBlocks::lay_out() {
    if (dim_ > CodeGrid::kLargestDim) InternalFailure::raise("codes fitted for a dimension the grid refuses");
    groups_ = dim_ / kCodeGroup + (dim_ % kCodeGroup != 0);
    head_groups_ = std::min(groups_, kHeadGroups);
    tail_groups_ = groups_ - head_groups_;
    parts_ = 1 + tail_groups_ / kPartGroups + (tail_groups_ % kPartGroups != 0);
    head_squares_bytes_ = kernels_->split_query ? kSquaresBytes : 0;
    tail_squares_bytes_ = kernels_->split_query ? (parts_ - 1) * kSquaresBytes : 0;
    head_stride_ = head_squares_bytes_ + pair_bytes(head_groups_);
    tail_stride_ = tail_squares_bytes_ + pair_bytes(tail_groups_);
    vector_.resize(dim_);
    row_.assign(groups_ * kCodeGroup, 0);
}

void CodeBlocks::update(std::span<const double> blocks, std::size_t count, std::span<const double* const> fresh) {
    // A refit that is due is skipped while the grid still fits what came
    // since: stationary data then costs one encoding per vector.
    if (next_fit_ != 0 && count >= next_fit_ && (!grid_.fitted() || outgrown_ * kOutgrownShare > since_fit_)) {
        ElementRanges ranges(dim_);
        const std::size_t first_fresh = count - fresh.size();
        for (std::size_t id = 0; id < first_fresh; ++id)
            ranges.add(blocks.data() + (id / kBlockLanes) * dim_ * kBlockLanes + id % kBlockLanes, kBlockLanes);
        for (const double* row : fresh) ranges.add(row, 1);
        grid_.fit(ranges);
        if (grid_.fitted() && groups_ == 0) lay_out();
        head_.clear();
        tail_.clear();
        errors_.clear();
        lengths_.clear();
        encoded_ = 0;
        fitted_error_ = 0.0;
        if (grid_.fitted()) {
            const std::size_t block_count = (count + kBlockLanes - 1) / kBlockLanes;
            head_.reserve(block_count * head_stride_);
            tail_.reserve(block_count * tail_stride_);
            errors_.reserve(block_count);
            lengths_.reserve(block_count);
        }
    }
    if (next_fit_ != 0 && count >= next_fit_) next_fit_ = count * 2;
    if (!grid_.fitted()) return;
    const bool fitting = encoded_ == 0;
    if (fitting) outgrown_ = since_fit_ = 0;
    const std::size_t first_fresh = count - fresh.size();
    for (; encoded_ < count; ++encoded_) {
        const double* vector = encoded_ >= first_fresh ? fresh[encoded_ - first_fresh] : gathered(blocks, encoded_);
        const double error = encode(vector, encoded_);
        if (fitting) {
            fitted_error_ = std::max(fitted_error_, error);  // NaN errors leave it as it is
        } else {
            ++since_fit_;
            outgrown_ += error > kOutgrownError * fitted_error_;
        }
    }
}

const double* CodeBlocks::gathered(std::span<const double> blocks, std::size_t id) {
    const double* strided = blocks.data() + (id / kBlockLanes) * dim_ * kBlockLanes + id % kBlockLanes;
    for (std::size_t i = 0; i < dim_; ++i) vector_[i] = strided[i * kBlockLanes];
    return vector_.data();
}

double CodeBlocks::encode(const double* vector, std::size_t id) {
    const std::size_t block = id / kBlockLanes, lane = id % kBlockLanes;
    if (lane == 0) {
        head_.resize(head_.size() + head_stride_, 0);
        tail_.resize(tail_.size() + tail_stride_, 0);
        errors_.push_back(0.0);
        lengths_.push_back(0.0);
    }
    double length = 0.0;
    const double error = grid_.encode(vector, row_.data(), &length);
    errors_[block] = widest_error(errors_[block], error);
    lengths_[block] = widest_error(lengths_[block], length);
    std::uint8_t* head = head_.data() + block * head_stride_ + head_squares_bytes_ + lane * kCodeGroup;
    for (std::size_t g = 0; g < head_groups_; ++g)
        std::memcpy(head + g * kGroupBytes, row_.data() + g * kCodeGroup, kCodeGroup);
    std::uint8_t* tail = tail_.data() + block * tail_stride_ + tail_squares_bytes_ + lane * kCodeGroup;
    for (std::size_t g = 0; g < tail_groups_; ++g)
        std::memcpy(tail + g * kGroupBytes, row_.data() + (head_groups_ + g) * kCodeGroup, kCodeGroup);
    if (kernels_->split_query) {
        for (std::size_t part = 0; part < parts_; ++part) {
            std::uint32_t squares = 0;
            for (std::size_t i = part_begin(part) * kCodeGroup; i < part_end(part) * kCodeGroup; ++i)
                squares += std::uint32_t{row_[i]} * row_[i];
            std::uint8_t* at = part == 0 ? head_.data() + block * head_stride_
                                         : tail_.data() + block * tail_stride_ + (part - 1) * kSquaresBytes;
            std::memcpy(at + lane * sizeof squares, &squares, sizeof squares);
        }
    }
    return error;
}

void CodeBlocks::encode_query(std::span<const double> query, Query& out) const {
    out.usable = false;
    if (!grid_.fitted()) return;
    out.fine.assign(groups_ * kCodeGroup, 0);
    out.error = grid_.encode_query(query, out.fine.data());
    out.usable = !std::isnan(out.error);
    if (!out.usable || !kernels_->split_query) return;
    // Group g fills its half of pair g / 2 in every lane, the head's first,
    // then the tail's as the tail codes are laid out.
    const std::size_t head_bytes = head_stride_ - head_squares_bytes_;
    out.high.assign(head_bytes + tail_stride_ - tail_squares_bytes_, 0);
    out.low.assign(out.high.size(), 0);
    for (std::size_t g = 0; g < groups_; ++g) {
        std::int8_t high[kCodeGroup], low[kCodeGroup];
        for (std::size_t r = 0; r < kCodeGroup; ++r) {
            split_fine(out.fine[g * kCodeGroup + r], high[r], low[r]);
        }
        const std::size_t at = g < head_groups_ ? g * kGroupBytes : head_bytes + (g - head_groups_) * kGroupBytes;
        for (std::size_t j = 0; j < kBlockLanes; ++j) {
            std::memcpy(out.high.data() + at + j * kCodeGroup, high, kCodeGroup);
            std::memcpy(out.low.data() + at + j * kCodeGroup, low, kCodeGroup);
        }
    }
    out.fine_squares.assign(parts_, 0);
    for (std::size_t part = 0; part < parts_; ++part)
        for (std::size_t i = part_begin(part) * kCodeGroup; i < part_end(part) * kCodeGroup; ++i)
            out.fine_squares[part] += std::int64_t{out.fine[i]} * out.fine[i];
}

CodeRun CodeBlocks::run(const Query& query, double limit, std::size_t count) const {
    return {query.fine.data(), head_codes(), head_groups_, head_stride_, tail_codes(), tail_groups_, tail_stride_,
            errors_.data(), grid_.reach(limit, query.error), grid_.fine_area(), count, query.high.data(),
            query.low.data(), query.fine_squares.data(), kPartGroups, head_.data(), tail_.data()};
}

void CodeBlocks::head_lowest(const Query& query, std::size_t count, std::uint64_t* out) const {
    kernels_->head_lowest(run(query, 0.0, count), 0, (count + kBlockLanes - 1) / kBlockLanes, out);
}

void CodeBlocks::lowest_sums(const Query& query, double limit, std::size_t from, std::size_t to, std::size_t count,
                             std::uint64_t* lowest) const {
    kernels_->lowest_sums(run(query, limit, count), from, to, lowest + from);
}

// The scan's dot product c of q and v (a sum in index order) lies within
// rel * |q| * |v| of the exact q . v, where rel is the margins' relative
// factor; and q . v = sum q[i] low[i] + step * sum q[i] code[i] + q . e,
// with |q . e| <= |q| * error. Writing q[i] = q_code[i] * unit + r[i],
// |r[i]| <= unit / 2, the code part is scale * (a sum of integer products)
// within spread. Each bound below is rounded outward with room to spare.
void CodeBlocks::encode_dot_query(std::span<const double> query, DotQuery& out) const {
    out.usable = false;
    if (!grid_.fitted() || query.size() < dim_) return;
    double largest = 0.0;
    for (std::size_t i = 0; i < dim_; ++i) {
        if (!(std::fabs(query[i]) < kLargestDotElement)) return;
        largest = std::max(largest, std::fabs(query[i]));
    }
    if (largest != 0.0 && largest < kSmallestDotElement) return;
    const double unit = largest == 0.0 ? 1.0 : std::ldexp(1.0, std::ilogb(largest) + 1 - 14);
    out.q_code.assign(groups_ * kCodeGroup, 0);
    double sum = 0.0, magnitude = 0.0, squares = 0.0;
    const std::vector<float>& low = grid_.low();
    for (std::size_t i = 0; i < dim_; ++i) {
        out.q_code[i] = static_cast<std::int16_t>(std::round(query[i] / unit));
        const double term = query[i] * static_cast<double>(low[i]);
        sum += term;
        magnitude += std::fabs(term);
        squares += query[i] * query[i];
    }
    const double rel = margins_.grow - 1.0;
    out.scale = unit * grid_.step();
    out.base = sum - magnitude * rel - RoundingMargins::kTiny;
    out.spread = out.scale * 127.5 * static_cast<double>(dim_) * (1.0 + 0x1.0p-48);
    out.norm = margins_.above(std::sqrt(squares));
    out.usable = true;
}

bool CodeBlocks::dot_lower_bounds(const DotQuery& query, std::size_t block, double* out) const {
    if (!query.usable || block >= errors_.size()) return false;
    const double error = errors_[block], length = lengths_[block];
    if (std::isnan(error) || std::isnan(length)) return false;
    const double rel = margins_.grow - 1.0;
    const double slack =
        (query.spread + query.norm * error + rel * query.norm * length + RoundingMargins::kTiny) * (1.0 + 0x1.0p-48);
    std::int64_t sums[kBlockLanes] = {};
    kernels_->dot_lanes(query.q_code.data(), head_codes() + block * head_stride_, head_groups_, sums);
    kernels_->dot_lanes(query.q_code.data() + head_groups_ * kCodeGroup, tail_codes() + block * tail_stride_,
                        tail_groups_, sums);
    for (std::size_t j = 0; j < kBlockLanes; ++j) {
        const double code_part = static_cast<double>(sums[j]) * query.scale;
        const double size = std::fabs(query.base) + std::fabs(code_part) + slack;
        out[j] = (query.base + code_part - slack) - size * 0x1.0p-48;
    }
    return true;
}

}  // namespace quarix
