// Every function the interpreter calls runs inside one of these wrappers. A
// body returns a new reference, throws PythonError for an ordinary exception,
// or throws InternalFailure, which becomes the fatal-error exception. Nothing
// else may cross back into the interpreter.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <new>

#include "binding/error_value.hpp"
#include "binding/panic_exception.hpp"
#include "errors/internal_failure.hpp"

namespace quarix::py {

[[noreturn]] inline void abort_at_boundary(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::fflush(stderr);
    std::abort();
}

// Object-returning entry points: module init, constructors, methods.
template <class Body>
PyObject* entry(Body&& body) noexcept {
    try {
        try {
            return body().release();
        } catch (PythonError& error) {
            std::move(error.value).raise();
        } catch (const InternalFailure& failure) {
            raise_panic(failure.message());
        }
    } catch (const std::bad_alloc&) {
        abort_at_boundary("memory allocation failed");
    } catch (...) {
        abort_at_boundary("uncaught panic at ffi boundary");
    }
    return nullptr;
}

// Deallocation cannot return an error: whatever goes wrong is handed to the
// unraisable-exception hook and the object is freed all the same.
template <class Body>
void entry_dealloc(Body&& body) noexcept {
    try {
        try {
            body();
            return;
        } catch (PythonError& error) {
            std::move(error.value).raise();
        } catch (const InternalFailure& failure) {
            raise_panic(failure.message());
        }
        PyErr_WriteUnraisable(nullptr);
    } catch (const std::bad_alloc&) {
        abort_at_boundary("memory allocation failed");
    } catch (...) {
        abort_at_boundary("uncaught panic at ffi boundary");
    }
}

}  // namespace quarix::py
