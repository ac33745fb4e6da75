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
std::vector<double> to_vector(PyObject* object);
VectorList to_vectors(PyObject* object);
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
