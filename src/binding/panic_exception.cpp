#include "binding/panic_exception.hpp"

#include <cstdio>
#include <cstdlib>

#include "binding/text_form.hpp"

namespace quarix::py {
namespace {

constexpr const char* kDoc =
    "\n"
    "The exception raised when the module's native code fails fatally while it\n"
    "is called from Python: a broken invariant rather than a bad argument.\n"
    "\n"
    "Like SystemExit, this exception derives from BaseException, so that it\n"
    "typically propagates through the whole stack and makes the interpreter exit.\n";

PyObject* cell = nullptr;

}  // namespace

PyObject* panic_exception_type() {
    if (!cell) {
        cell = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kDoc, PyExc_BaseException, nullptr);
        if (!cell) {
            PyErr_PrintEx(0);
            std::fputs("failed to create the fatal-error exception type\n", stderr);
            std::abort();
        }
    }
    return cell;
}

void raise_panic(const std::string& message) {
    PyObject* type = panic_exception_type();
    Ref text = text_object(message);
    if (!text) return;  // MemoryError is already pending
    PyErr_SetObject(type, text.get());
}

}  // namespace quarix::py
