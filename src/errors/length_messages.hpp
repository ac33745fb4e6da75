// Texts of the vector-length checks shared by both indexes.
#pragma once

#include <cstddef>
#include <string>

namespace quarix {

// A vector of a bulk call does not have the index dimension; nothing of the
// call has been stored.
struct LengthMismatch {
    std::size_t length;
    std::size_t dim;
};

// "Vector length 3 does not match index dimension 4"
std::string length_mismatch_message(const LengthMismatch& mismatch);

// "Expected vector of length 3, got 2"; noun is "vector" or "query".
std::string expected_length_message(const char* noun, std::size_t dim, std::size_t length);

}  // namespace quarix
