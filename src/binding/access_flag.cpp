#include "binding/access_flag.hpp"

#include <utility>

#include "binding/error_value.hpp"

namespace quarix::py {
namespace {

void check_self(PyObject* self, TypeCell& cell) {
    PyTypeObject* type = cell.get_or_fail();
    if (!PyObject_TypeCheck(self, type)) throw_type_check_failure(self, cell.class_name());
}

}  // namespace

Access Access::shared(PyObject* self, TypeCell& cell, AccessFlag& flag) {
    check_self(self, cell);
    std::intptr_t current = flag.load();
    do {
        if (current == -1) throw_pending(PyExc_RuntimeError, "Already mutably borrowed");
    } while (!flag.compare_exchange_weak(current, current + 1));
    return Access(self, &flag, false);
}

Access Access::exclusive(PyObject* self, TypeCell& cell, AccessFlag& flag) {
    check_self(self, cell);
    std::intptr_t expected = 0;
    if (!flag.compare_exchange_strong(expected, -1)) throw_pending(PyExc_RuntimeError, "Already borrowed");
    return Access(self, &flag, true);
}

Access::~Access() {
    if (!flag_) return;
    if (exclusive_)
        flag_->store(0);
    else
        flag_->fetch_sub(1);
}

}  // namespace quarix::py
