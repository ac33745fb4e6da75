#include "errors/index_errors.hpp"

#include <array>

#include "errors/internal_failure.hpp"

namespace quarix {
namespace {

constexpr std::array<std::string_view, 7> kHnswNames = {
    "InvalidEF", "InvalidLayer", "NoSchema", "EmptySchema", "AttributeNotFound", "EmptyVectors", "InvalidNodeID",
};

constexpr std::array<std::string_view, 6> kFlatNames = {
    "EmptyIndex", "EmptyVectors", "MetadataMismatch", "NoSchema", "EmptySchema", "AttributeNotFound",
};

}  // namespace

std::string_view error_name(HnswError error) {
    return kHnswNames[checked_index(static_cast<std::size_t>(error), kHnswNames.size())];
}

std::string_view error_name(FlatError error) {
    return kFlatNames[checked_index(static_cast<std::size_t>(error), kFlatNames.size())];
}

}  // namespace quarix
