// The module's single entry point: creates `quarix` once per process and
// registers its two classes.
#include <atomic>
#include <cstdint>
#include <string>

#include "binding/entry.hpp"
#include "binding/error_value.hpp"
#include "binding/text_form.hpp"
#include "binding/type_cell.hpp"
#include "errors/internal_failure.hpp"
#include "flat/py_flat.hpp"
#include "hnsw/py_hnsw.hpp"

namespace quarix::py {
namespace {

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "quarix", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

// The module object and the types are shared process-wide, so one
// interpreter owns them; a second one is refused rather than handed objects
// that belong to another interpreter.
std::atomic<std::int64_t> owning_interpreter{-1};
PyObject* module_cell = nullptr;

PyObject* all_name() {
    static PyObject* name = PyUnicode_InternFromString("__all__");
    return name;
}

// The module's __all__ list, created when the module has none yet.
Ref all_list(PyObject* module) {
    Ref all = Ref::steal(PyObject_GetAttr(module, all_name()));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_fetched();
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttr(module, all_name(), all.get()) < 0) throw_fetched();
    } else if (!PyList_Check(all.get())) {
        throw_type_check_failure(all.get(), "PyList");
    }
    return all;
}

void register_class(PyObject* module, TypeCell& cell) {
    PyObject* type = reinterpret_cast<PyObject*>(cell.get());
    Ref name = Ref::steal(PyUnicode_FromString(cell.class_name()));
    if (!name) throw_fetched();
    Ref all = all_list(module);
    if (PyList_Append(all.get(), name.get()) < 0) {
        ErrorValue failure = ErrorValue::fetch();
        Ref rendered = Ref::steal(PyObject_Repr(failure.exception()));
        PyErr_Clear();
        InternalFailure::raise("could not append __name__ to __all__: " +
                               (rendered ? unicode_lossy(rendered.get()) : std::string("<unprintable>")));
    }
    if (PyObject_SetAttr(module, name.get(), type) < 0) throw_fetched();
}

Ref init_module() {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interpreter);
    if (id == -1) throw_fetched();
    std::int64_t expected = -1;
    if (!owning_interpreter.compare_exchange_strong(expected, id) && expected != id)
        throw_pending(PyExc_ImportError,
                      "PyO3 modules do not yet support subinterpreters, see "
                      "https://docs.python.org/3/c-api/init.html#sub-interpreter-support");
    if (module_cell) return Ref::borrow(module_cell);

    Ref module = Ref::steal(PyModule_Create2(&kModule, 1013));
    if (!module) throw_fetched();
    register_class(module.get(), flat_type_cell());
    register_class(module.get(), hnsw_type_cell());
    module_cell = Py_NewRef(module.get());
    return module;
}

}  // namespace
}  // namespace quarix::py

PyMODINIT_FUNC PyInit_quarix() {
    return quarix::py::entry(quarix::py::init_module);
}
