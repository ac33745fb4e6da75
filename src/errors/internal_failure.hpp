// A condition that ends the current call without a regular error kind: a
// broken invariant, an index out of range. Only the binding's entry wrapper
// catches it and turns it into the fatal-error exception.
#pragma once

#include <cstddef>
#include <exception>
#include <source_location>
#include <string>

namespace quarix {

class InternalFailure : public std::exception {
public:
    // Writes the failure report to standard error at the throw site, so the
    // position survives even if the exception is later swallowed.
    [[noreturn]] static void raise(std::string message,
                                   std::source_location where = std::source_location::current());
    // For a failure already reported elsewhere (a fatal error fetched back
    // from Python prints its own banner instead).
    [[noreturn]] static void raise_quietly(std::string message);

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    explicit InternalFailure(std::string message) : message_(std::move(message)) {}
    std::string message_;
};

// Operand tests for indexing and division in places where the operands come
// from data rather than from a loop bound.
std::size_t checked_index(std::size_t index, std::size_t length,
                          std::source_location where = std::source_location::current());
void checked_range(std::size_t start, std::size_t end, std::size_t length,
                   std::source_location where = std::source_location::current());
std::size_t checked_divide(std::size_t numerator, std::size_t denominator,
                           std::source_location where = std::source_location::current());
// A reservation of count elements of the given size that cannot be represented.
void checked_capacity(std::size_t count, std::size_t element_size,
                      std::source_location where = std::source_location::current());

}  // namespace quarix
