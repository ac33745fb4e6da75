// Per-instance guard against re-entry. Python code can run in the middle of a
// method (a sequence's __iter__, an element's __float__) and call the same
// instance again; queries may overlap each other, an insertion overlaps
// nothing. Everything runs under the interpreter lock: this guards against
// re-entry, not against parallel native work.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "binding/py_ref.hpp"
#include "binding/type_cell.hpp"

namespace quarix::py {

// 0 free, n > 0 shared accesses, -1 one exclusive access.
using AccessFlag = std::atomic<std::intptr_t>;

class Access {
public:
    // Throw PythonError: TypeError when self is not of the cell's class,
    // RuntimeError "Already mutably borrowed" / "Already borrowed" on conflict.
    static Access shared(PyObject* self, TypeCell& cell, AccessFlag& flag);
    static Access exclusive(PyObject* self, TypeCell& cell, AccessFlag& flag);

    Access(Access&& other) noexcept
        : self_(std::move(other.self_)), flag_(std::exchange(other.flag_, nullptr)), exclusive_(other.exclusive_) {}
    Access& operator=(Access&&) = delete;
    ~Access();

private:
    Access(PyObject* self, AccessFlag* flag, bool exclusive)
        : self_(Ref::borrow(self)), flag_(flag), exclusive_(exclusive) {}

    Ref self_;
    AccessFlag* flag_;
    bool exclusive_;
};

}  // namespace quarix::py
