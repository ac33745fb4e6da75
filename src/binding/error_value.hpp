// A Python exception on its way out of the module. Binding code throws
// PythonError; the entry wrapper catches it and sets it as the interpreter's
// current exception.
#pragma once

#include <string>

#include "binding/py_ref.hpp"

namespace quarix::py {

class ErrorValue {
public:
    // An exception type and its message, created without touching Python
    // objects; type is a borrowed, process-lived exception class.
    static ErrorValue pending(PyObject* type, std::string message);
    // An exception object already made (owned).
    static ErrorValue materialised(Ref exception);
    // Takes the interpreter's current exception after a failed call. A fatal
    // error coming back from Python code is not an ordinary error: it prints
    // its banner and throws InternalFailure with the same message.
    static ErrorValue fetch();

    // The exception's type without materialising a pending value.
    PyObject* type() const;
    // The exception object, made at most once.
    PyObject* exception();
    // Sets this as the current exception; consumes the value.
    void raise() &&;

private:
    ErrorValue() = default;
    PyObject* pending_type_ = nullptr;
    std::string pending_message_;
    Ref exception_;
};

struct PythonError {
    ErrorValue value;
};

[[noreturn]] inline void throw_pending(PyObject* type, std::string message) {
    throw PythonError{ErrorValue::pending(type, std::move(message))};
}
// After an interpreter call signalled failure.
[[noreturn]] inline void throw_fetched() { throw PythonError{ErrorValue::fetch()}; }

// TypeError "'<type qualname>' object cannot be converted to '<target>'".
[[noreturn]] void throw_type_check_failure(PyObject* object, const char* target);

// A result the interpreter failed to build: its error is printed and the call
// ends with the internal failure "Python API call failed".
PyObject* checked_new(PyObject* object);

}  // namespace quarix::py
