// Expected failures of the two index cores. They are returned, never thrown,
// and reach Python as ValueError("<operation prefix><member name>").
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quarix {

enum class HnswError : std::uint8_t {
    InvalidEF = 0,
    InvalidLayer = 1,
    NoSchema = 2,
    EmptySchema = 3,
    AttributeNotFound = 4,
    EmptyVectors = 5,
    InvalidNodeID = 6,
};

// Members 2 to 5 are raised by no operation; they keep their numbering and names.
enum class FlatError : std::uint8_t {
    EmptyIndex = 0,
    EmptyVectors = 1,
    MetadataMismatch = 2,
    NoSchema = 3,
    EmptySchema = 4,
    AttributeNotFound = 5,
};

std::string_view error_name(HnswError error);
std::string_view error_name(FlatError error);

inline constexpr std::string_view kInsertPrefix = "Insert error: ";
inline constexpr std::string_view kSearchPrefix = "Search error: ";
inline constexpr std::string_view kCreatePrefix = "Create error: ";

template <class Error>
std::string error_message(std::string_view prefix, Error error) {
    std::string text(prefix);
    text += error_name(error);
    return text;
}

}  // namespace quarix
