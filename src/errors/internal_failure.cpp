#include "errors/internal_failure.hpp"

#include <pthread.h>

#include <cstdio>
#include <cstring>
#include <limits>

namespace quarix {
namespace {

// Source paths arrive absolute from the build; the part from "src/" on is
// what a reader of the report can use.
const char* short_path(const char* path) {
    const char* best = path;
    for (const char* p = std::strstr(path, "src/"); p; p = std::strstr(p + 1, "src/")) best = p;
    return best;
}

void report(const std::string& message, const std::source_location& where) {
    char name[64] = {0};
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0')
        std::strcpy(name, "<unnamed>");
    std::fprintf(stderr, "thread '%s' hit an internal failure at %s:%u:%u:\n%s\n", name,
                 short_path(where.file_name()), static_cast<unsigned>(where.line()),
                 static_cast<unsigned>(where.column()), message.c_str());
    std::fflush(stderr);
}

}  // namespace

void InternalFailure::raise(std::string message, std::source_location where) {
    report(message, where);
    throw InternalFailure(std::move(message));
}

void InternalFailure::raise_quietly(std::string message) { throw InternalFailure(std::move(message)); }

std::size_t checked_index(std::size_t index, std::size_t length, std::source_location where) {
    if (index >= length)
        InternalFailure::raise("index out of bounds: the len is " + std::to_string(length) +
                                   " but the index is " + std::to_string(index),
                               where);
    return index;
}

void checked_range(std::size_t start, std::size_t end, std::size_t length, std::source_location where) {
    if (start > length)
        InternalFailure::raise("range start index " + std::to_string(start) +
                                   " out of range for slice of length " + std::to_string(length),
                               where);
    if (end > length)
        InternalFailure::raise("range end index " + std::to_string(end) +
                                   " out of range for slice of length " + std::to_string(length),
                               where);
    if (start > end)
        InternalFailure::raise("slice index starts at " + std::to_string(start) + " but ends at " +
                                   std::to_string(end),
                               where);
}

std::size_t checked_divide(std::size_t numerator, std::size_t denominator, std::source_location where) {
    if (denominator == 0) InternalFailure::raise("attempt to divide by zero", where);
    return numerator / denominator;
}

void checked_capacity(std::size_t count, std::size_t element_size, std::source_location where) {
    if (element_size != 0 &&
        count > static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()) / element_size)
        InternalFailure::raise("capacity overflow", where);
}

}  // namespace quarix
