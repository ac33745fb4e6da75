// Per-node metadata values and the equality filter over them.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace quarix {

// Kinds in tag order: Str, Int, Float. The schema names attributes only; each
// value's kind comes from the object that supplied it.
using MetadataValue = std::variant<std::string, std::int64_t, double>;

// Values of different kinds never match (Int 1 is not Float 1.0); floats use
// IEEE equality, so NaN matches nothing and 0.0 matches -0.0.
inline bool metadata_equal(const MetadataValue& a, const MetadataValue& b) {
    if (a.index() != b.index()) return false;
    if (const auto* x = std::get_if<double>(&a)) return *x == std::get<double>(b);
    return a == b;
}

// A query restricted to nodes whose value for `attribute` equals `value`.
struct MetadataFilter {
    std::string attribute;
    MetadataValue value;

    bool admits(const MetadataValue& stored) const { return metadata_equal(stored, value); }
};

}  // namespace quarix
