// Python objects to native values. Each conversion returns the value or
// throws PythonError; argument() adds the parameter name to a TypeError.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "binding/error_value.hpp"
#include "metrics/vector_list.hpp"

namespace quarix::py {

std::size_t to_size(PyObject* object);
std::int64_t to_i64(PyObject* object);
double to_double(PyObject* object);
std::string to_text(PyObject* object);
// What a call accepts when any length will do.
inline constexpr std::size_t kAnyLength = static_cast<std::size_t>(-1);

std::vector<double> to_vector(PyObject* object);
// A vector the call accepts only with `accepted` elements; `length` is its element
// count, and `values` is left empty when a float64 buffer of another length was
// refused without copying it.
struct SizedVector {
    std::vector<double> values;
    std::size_t length = 0;
};
SizedVector to_vector_of(PyObject* object, std::size_t accepted);
// Rows of `accepted` elements, refused (not copied) as to_vector_of does.
VectorList to_vectors(PyObject* object, std::size_t accepted = kAnyLength);
std::vector<std::string> to_texts(PyObject* object);
// (text, object): the object is kept as a new reference.
std::pair<std::string, Ref> to_pair(PyObject* object);
std::vector<std::pair<std::string, Ref>> to_pairs(PyObject* object);
std::vector<std::vector<std::pair<std::string, Ref>>> to_pair_lists(PyObject* object);

// A conversion failure as the caller of a parameter sees it: an exact
// TypeError gets "argument '<name>': " in front and keeps its cause; any
// other exception passes unchanged.
ErrorValue wrap_argument_error(const char* name, ErrorValue failure);

template <class Convert>
auto argument(const char* name, PyObject* object, Convert&& convert) {
    try {
        return convert(object);
    } catch (PythonError& error) {
        throw PythonError{wrap_argument_error(name, std::move(error.value))};
    }
}

}  // namespace quarix::py
