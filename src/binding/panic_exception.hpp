// The fatal-error exception: what an internal failure becomes in Python. It
// derives from BaseException so that `except Exception` does not swallow it.
#pragma once

#include <string>

#include "binding/py_ref.hpp"

namespace quarix::py {

// Borrowed; created on first need and kept for the life of the process.
PyObject* panic_exception_type();

// Sets a new fatal-error exception carrying message as the current exception.
void raise_panic(const std::string& message);

}  // namespace quarix::py
