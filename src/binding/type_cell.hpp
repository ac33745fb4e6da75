// A class's type object, made from its PyType_Spec on first need and
// kept for the life of the process.
#pragma once

#include "binding/py_ref.hpp"

namespace quarix::py {

class TypeCell {
public:
    TypeCell(const char* class_name, PyType_Spec* spec) : class_name_(class_name), spec_(spec) {}

    const char* class_name() const { return class_name_; }

    // Borrowed. On failure throws PythonError: RuntimeError "An error occurred
    // while initializing class <name>" whose __cause__ is the failed step's
    // exception.
    PyTypeObject* get();

    // For callers with no way to report a Python error (checking `self`):
    // prints the error and ends the call with an internal failure.
    PyTypeObject* get_or_fail();

private:
    const char* class_name_;
    PyType_Spec* spec_;
    PyObject* type_ = nullptr;
};

}  // namespace quarix::py
