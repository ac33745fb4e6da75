// What every instance of both classes shares: the object header, the native
// index it owns, and its access flag. The index is built completely before
// the instance is allocated, and destroyed with it.
#pragma once

#include <new>
#include <utility>

#include "binding/access_flag.hpp"
#include "binding/entry.hpp"
#include "binding/error_value.hpp"
#include "errors/internal_failure.hpp"

namespace quarix::py {

template <class Index>
struct Instance {
    PyObject_HEAD
    Index index;
    AccessFlag flag;

    static Instance* of(PyObject* self) { return reinterpret_cast<Instance*>(self); }

    // Moves the index into a new instance of type. When allocation fails the
    // index is dropped by its owner and the interpreter's error propagates.
    static Ref create(PyTypeObject* type, Index&& index) {
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        if (!alloc) alloc = PyType_GenericAlloc;
        Ref object = Ref::steal(alloc(type, 0));
        if (!object) throw_fetched();
        Instance* instance = of(object.get());
        new (&instance->index) Index(std::move(index));
        new (&instance->flag) AccessFlag(0);
        return object;
    }

    static void dealloc(PyObject* self) {
        PyTypeObject* type = Py_TYPE(self);
        entry_dealloc([&] {
            Instance* instance = of(self);
            instance->index.~Index();
            instance->flag.~AccessFlag();
            auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
            if (!free_fn) InternalFailure::raise("PyBaseObject_Type should have tp_free");
            free_fn(self);
        });
        // The instance held a reference to its heap type since allocation.
        Py_DECREF(type);
    }
};

}  // namespace quarix::py
