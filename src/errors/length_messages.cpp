#include "errors/length_messages.hpp"

namespace quarix {

std::string length_mismatch_message(const LengthMismatch& mismatch) {
    return "Vector length " + std::to_string(mismatch.length) + " does not match index dimension " +
           std::to_string(mismatch.dim);
}

std::string expected_length_message(const char* noun, std::size_t dim, std::size_t length) {
    return std::string("Expected ") + noun + " of length " + std::to_string(dim) + ", got " +
           std::to_string(length);
}

}  // namespace quarix
