#include "binding/convert.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string_view>

#include "binding/text_form.hpp"

namespace quarix::py {
namespace {

// A sequence's reported length is only a hint: a lying or huge one must not
// make us reserve memory the items never fill.
constexpr std::size_t kUntrustedHintCap = std::size_t{1} << 16;

std::size_t read_unsigned(PyObject* integer) {
    const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_fetched();
    if constexpr (sizeof(std::size_t) < sizeof(unsigned long long)) {
        if (value > SIZE_MAX) throw_pending(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    return static_cast<std::size_t>(value);
}

template <class T, class A>
void reserve_more(std::vector<T, A>& out, std::size_t extra) {
    const std::size_t wanted = out.size() + extra;
    if (wanted > out.capacity()) out.reserve(std::max(wanted, out.capacity() * 2));
}

// Runs each(item) on every item of a sequence, in order, following the
// sequence protocol's observable steps; returns the capacity hint first via
// on_hint. Items are held by a strong reference while they are converted,
// because conversion may run code that mutates the container.
template <class OnHint, class Each>
void for_each_item(PyObject* object, OnHint&& on_hint, Each&& each) {
    if (PyUnicode_Check(object)) throw_pending(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(object)) throw_type_check_failure(object, "Sequence");

    if (PyList_CheckExact(object)) {
        // Same as the list iterator: the length is read afresh at every step.
        on_hint(static_cast<std::size_t>(PyList_GET_SIZE(object)), true);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(object); ++i) each(PyList_GET_ITEM(object, i));
        return;
    }
    if (PyTuple_CheckExact(object)) {
        on_hint(static_cast<std::size_t>(PyTuple_GET_SIZE(object)), true);
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(object); ++i) each(PyTuple_GET_ITEM(object, i));
        return;
    }

    const Py_ssize_t size = PySequence_Size(object);
    if (size < 0) PyErr_Clear();
    on_hint(size < 0 ? 0 : static_cast<std::size_t>(size), false);
    Ref iterator = Ref::steal(PyObject_GetIter(object));
    if (!iterator) throw_fetched();
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) each(item.get());
    if (PyErr_Occurred()) throw_fetched();
}

std::size_t usable_hint(std::size_t hint, bool trusted) {
    return trusted ? hint : std::min(hint, kUntrustedHintCap);
}

// A buffer of native doubles held by a C type whose sequence protocol yields
// exactly those doubles and runs no Python code (numpy arrays, array.array,
// memoryview): reading its memory gives what iterating it would, without
// one Python object per element.
class DoubleBuffer {
public:
    DoubleBuffer(PyObject* object, int ndim) {
        PyTypeObject* type = Py_TYPE(object);
        if (type->tp_flags & Py_TPFLAGS_HEAPTYPE) return;  // a subclass may iterate differently
        const std::string_view name(type->tp_name);
        const bool trusted = name == "numpy.ndarray" || name == "array.array" ||
                             (type == &PyMemoryView_Type && ndim == 1);
        if (!trusted || PyObject_GetBuffer(object, &view_, PyBUF_STRIDES | PyBUF_FORMAT) < 0) {
            PyErr_Clear();
            return;
        }
        held_ = true;
        const std::string_view format(view_.format ? view_.format : "B");
        const bool native_double = format == "d" || format == "=d" ||
                                   (format == "<d" && std::endian::native == std::endian::little);
        usable_ = native_double && view_.itemsize == sizeof(double) && view_.ndim == ndim;
    }
    DoubleBuffer(const DoubleBuffer&) = delete;
    DoubleBuffer& operator=(const DoubleBuffer&) = delete;
    ~DoubleBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }

    explicit operator bool() const { return usable_; }
    std::size_t extent(int axis) const { return static_cast<std::size_t>(view_.shape[axis]); }
    // Appends row `row` (0 for a one-dimensional buffer).
    template <class Out>
    void append_row(std::size_t row, Out& out) const {
        const char* base = static_cast<const char*>(view_.buf);
        const int axis = view_.ndim - 1;
        if (view_.ndim == 2) base += static_cast<Py_ssize_t>(row) * view_.strides[0];
        const std::size_t length = extent(axis);
        const Py_ssize_t stride = view_.strides[axis];
        reserve_more(out, length);
        for (std::size_t i = 0; i < length; ++i) {
            double value;
            std::memcpy(&value, base + static_cast<Py_ssize_t>(i) * stride, sizeof value);
            out.push_back(value);
        }
    }

private:
    Py_buffer view_{};
    bool held_ = false;
    bool usable_ = false;
};

// The common case, a list of floats: while the items are exact floats no
// Python code can run, so they are copied without the per-item protocol; the
// first other item hands the rest to the general path, which reads the
// list's length afresh at every step as the list iterator does.
template <class Out>
void append_float_list(PyObject* list, Out& out) {
    const std::size_t size = static_cast<std::size_t>(PyList_GET_SIZE(list));
    const std::size_t start = out.size();
    out.resize(start + size);
    double* dst = out.data() + start;
    PyObject* const* items = reinterpret_cast<PyListObject*>(list)->ob_item;
    std::size_t i = 0;
    for (; i < size && PyFloat_CheckExact(items[i]); ++i) dst[i] = PyFloat_AS_DOUBLE(items[i]);
    if (i == size) return;
    out.resize(start + i);
    for (; static_cast<Py_ssize_t>(i) < PyList_GET_SIZE(list); ++i) {
        Ref held = Ref::borrow(PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i)));
        out.push_back(to_double(held.get()));
    }
}

// Appends the object's doubles and returns how many elements it has. A float64
// buffer converts without running Python code, so when its length is not the
// one the call accepts the call's outcome is already fixed: its elements are not
// copied (a zero-stride view may claim far more elements than memory holds).
template <class Out>
std::size_t append_doubles(PyObject* object, Out& out, std::size_t accepted = kAnyLength) {
    const std::size_t start = out.size();
    if (PyList_CheckExact(object)) {
        append_float_list(object, out);
        return out.size() - start;
    }
    if (const DoubleBuffer buffer(object, 1); buffer) {
        const std::size_t length = buffer.extent(0);
        if (accepted == kAnyLength || length == accepted) buffer.append_row(0, out);
        return length;
    }
    for_each_item(
        object, [&](std::size_t hint, bool trusted) { reserve_more(out, usable_hint(hint, trusted)); },
        [&](PyObject* item) {
            if (PyFloat_CheckExact(item)) {
                out.push_back(PyFloat_AS_DOUBLE(item));
            } else {
                Ref held = Ref::borrow(item);
                out.push_back(to_double(held.get()));
            }
        });
    return out.size() - start;
}

template <class T, class Convert>
std::vector<T> to_list(PyObject* object, Convert&& convert) {
    std::vector<T> out;
    for_each_item(
        object, [&](std::size_t hint, bool trusted) { out.reserve(usable_hint(hint, trusted)); },
        [&](PyObject* item) {
            Ref held = Ref::borrow(item);
            out.push_back(convert(held.get()));
        });
    return out;
}

}  // namespace

std::size_t to_size(PyObject* object) {
    if (PyLong_Check(object)) return read_unsigned(object);
    Ref index = Ref::steal(PyNumber_Index(object));
    if (!index) throw_fetched();
    return read_unsigned(index.get());
}

std::int64_t to_i64(PyObject* object) {
    const long long value = PyLong_AsLongLong(object);
    if (value == -1 && PyErr_Occurred()) throw_fetched();
    return value;
}

double to_double(PyObject* object) {
    if (PyFloat_CheckExact(object)) return PyFloat_AS_DOUBLE(object);
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) throw_fetched();
    return value;
}

std::string to_text(PyObject* object) {
    if (!PyUnicode_Check(object)) throw_type_check_failure(object, "PyString");
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
    if (!utf8) throw_fetched();
    return std::string(utf8, static_cast<std::size_t>(size));
}

std::vector<double> to_vector(PyObject* object) {
    std::vector<double> out;
    append_doubles(object, out);
    return out;
}

SizedVector to_vector_of(PyObject* object, std::size_t accepted) {
    SizedVector out;
    out.length = append_doubles(object, out.values, accepted);
    return out;
}

VectorList to_vectors(PyObject* object, std::size_t accepted) {
    VectorList out;
    if (const DoubleBuffer buffer(object, 2); buffer) {
        if (accepted != kAnyLength && buffer.extent(1) != accepted)
            return VectorList::refused(buffer.extent(0), buffer.extent(1));
        out.reserve_vectors(buffer.extent(0));
        out.values().reserve(buffer.extent(0) * buffer.extent(1));
        for (std::size_t row = 0; row < buffer.extent(0); ++row) {
            buffer.append_row(row, out.values());
            out.close_vector();
        }
        return out;
    }
    for_each_item(
        object, [&](std::size_t hint, bool trusted) { out.reserve_vectors(usable_hint(hint, trusted)); },
        [&](PyObject* item) {
            Ref held = Ref::borrow(item);
            const std::size_t before = out.values().size();
            const std::size_t length = append_doubles(held.get(), out.values(), accepted);
            if (out.values().size() - before == length) {
                out.close_vector();
            } else {
                out.close_refused_vector(length);
            }
        });
    return out;
}

std::vector<std::string> to_texts(PyObject* object) { return to_list<std::string>(object, to_text); }

std::pair<std::string, Ref> to_pair(PyObject* object) {
    if (!PyTuple_Check(object)) throw_type_check_failure(object, "PyTuple");
    const Py_ssize_t size = PyTuple_GET_SIZE(object);
    if (size != 2)
        throw_pending(PyExc_ValueError,
                      "expected tuple of length 2, but got tuple of length " + std::to_string(size));
    std::string name = to_text(PyTuple_GET_ITEM(object, 0));
    return {std::move(name), Ref::borrow(PyTuple_GET_ITEM(object, 1))};
}

std::vector<std::pair<std::string, Ref>> to_pairs(PyObject* object) {
    return to_list<std::pair<std::string, Ref>>(object, to_pair);
}

std::vector<std::vector<std::pair<std::string, Ref>>> to_pair_lists(PyObject* object) {
    return to_list<std::vector<std::pair<std::string, Ref>>>(object, to_pairs);
}

ErrorValue wrap_argument_error(const char* name, ErrorValue failure) {
    if (failure.type() != PyExc_TypeError) return failure;
    PyObject* exception = failure.exception();
    if (Py_TYPE(exception) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) return failure;
    Ref text = text_object(std::string("argument '") + name + "': " + text_form(exception));
    if (!text) return ErrorValue::fetch();
    Ref wrapped = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, text.get()));
    if (!wrapped) return ErrorValue::fetch();
    PyException_SetCause(wrapped.get(), PyException_GetCause(exception));
    return ErrorValue::materialised(std::move(wrapped));
}

}  // namespace quarix::py
