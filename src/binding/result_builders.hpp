// Native results to new Python objects. The interpreter failing to build one
// is an internal failure (see checked_new).
#pragma once

#include <cstddef>
#include <span>

#include "binding/error_value.hpp"

namespace quarix::py {

inline Ref new_float(double value) { return Ref::steal(checked_new(PyFloat_FromDouble(value))); }

inline Ref new_size(std::size_t value) { return Ref::steal(checked_new(PyLong_FromSize_t(value))); }

inline Ref new_pair(const Ref& first, const Ref& second) {
    return Ref::steal(checked_new(PyTuple_Pack(2, first.get(), second.get())));
}

// A list created at its final length and filled in order: item(i) returns
// the Ref for index i.
template <class Item>
Ref new_list(std::size_t size, Item&& item) {
    Ref list = Ref::steal(checked_new(PyList_New(static_cast<Py_ssize_t>(size))));
    for (std::size_t i = 0; i < size; ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item(i).release());
    return list;
}

inline Ref new_float_list(std::span<const double> values) {
    return new_list(values.size(), [&](std::size_t i) { return new_float(values[i]); });
}

}  // namespace quarix::py
