#include "binding/error_value.hpp"

#include <cstdio>

#include "binding/panic_exception.hpp"
#include "binding/text_form.hpp"
#include "errors/internal_failure.hpp"

namespace quarix::py {

ErrorValue ErrorValue::pending(PyObject* type, std::string message) {
    ErrorValue value;
    value.pending_type_ = type;
    value.pending_message_ = std::move(message);
    return value;
}

ErrorValue ErrorValue::materialised(Ref exception) {
    ErrorValue value;
    value.exception_ = std::move(exception);
    return value;
}

ErrorValue ErrorValue::fetch() {
    Ref exception = Ref::steal(PyErr_GetRaisedException());
    if (!exception)
        return pending(PyExc_SystemError, "attempted to fetch exception but none was set");
    if (Py_TYPE(exception.get()) != reinterpret_cast<PyTypeObject*>(panic_exception_type()))
        return materialised(std::move(exception));

    // A fatal error raised earlier by native code has travelled through
    // Python code and come back: it keeps its fatal nature.
    std::string message;
    if (auto text = str_utf8(exception.get())) {
        message = *std::move(text);
    } else {
        PyErr_Clear();
        message = "Unwrapped panic from Python code";
    }
    std::fputs("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
               "Python stack trace below:\n",
               stderr);
    std::fflush(stderr);
    PyErr_SetRaisedException(exception.release());
    PyErr_PrintEx(0);
    InternalFailure::raise_quietly(std::move(message));
}

PyObject* ErrorValue::type() const {
    return exception_ ? reinterpret_cast<PyObject*>(Py_TYPE(exception_.get())) : pending_type_;
}

PyObject* ErrorValue::exception() {
    if (!exception_) {
        std::move(*this).raise();
        exception_ = Ref::steal(PyErr_GetRaisedException());
    }
    return exception_.get();
}

void ErrorValue::raise() && {
    if (exception_) {
        PyErr_SetRaisedException(exception_.release());
        return;
    }
    PyObject* type = pending_type_;
    if (!(PyType_Check(type) && PyType_FastSubclass(reinterpret_cast<PyTypeObject*>(type),
                                                    Py_TPFLAGS_BASE_EXC_SUBCLASS))) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        return;
    }
    Ref text = text_object(pending_message_);
    if (text) PyErr_SetObject(type, text.get());
}

void throw_type_check_failure(PyObject* object, const char* target) {
    std::string name;
    Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(object)));
    if (qualname) {
        name = unicode_lossy(qualname.get());
    } else {
        PyErr_Clear();
        name = "<failed to extract type name>";
    }
    throw_pending(PyExc_TypeError, "'" + name + "' object cannot be converted to '" + target + "'");
}

PyObject* checked_new(PyObject* object) {
    if (!object) {
        PyErr_PrintEx(0);
        InternalFailure::raise("Python API call failed");
    }
    return object;
}

}  // namespace quarix::py
