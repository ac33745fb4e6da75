#include "binding/type_cell.hpp"

#include <string>

#include "binding/error_value.hpp"
#include "binding/text_form.hpp"
#include "errors/internal_failure.hpp"

namespace quarix::py {

PyTypeObject* TypeCell::get() {
    if (!type_) {
        PyObject* type = PyType_FromSpec(spec_);
        if (!type) {
            ErrorValue cause = ErrorValue::fetch();
            Ref text = text_object(std::string("An error occurred while initializing class ") + class_name_);
            Ref error = text ? Ref::steal(PyObject_CallOneArg(PyExc_RuntimeError, text.get())) : Ref();
            if (!error) throw_fetched();
            PyException_SetCause(error.get(), Py_NewRef(cause.exception()));
            throw PythonError{ErrorValue::materialised(std::move(error))};
        }
        type_ = type;
    }
    return reinterpret_cast<PyTypeObject*>(type_);
}

PyTypeObject* TypeCell::get_or_fail() {
    try {
        return get();
    } catch (PythonError& error) {
        std::move(error.value).raise();
        PyErr_PrintEx(0);
        InternalFailure::raise(std::string("failed to create type object for ") + class_name_);
    }
}

}  // namespace quarix::py
