#include "hnsw/py_hnsw.hpp"

#include "binding/call_signature.hpp"
#include "binding/entry.hpp"
#include "binding/instance.hpp"

namespace quarix::py {
namespace {

// The graph index lands with the approximate-search work; until then the
// class carries its documented interface and refuses construction.
struct PendingHnswIndex {};
using HnswObject = Instance<PendingHnswIndex>;

constexpr const char* kNewNames[] = {"dim", "layers", "m", "ef_construction", "ef_search", "metric", "schema"};
constexpr const char* kInsertNames[] = {"vector", "metadata"};
constexpr const char* kSearchNames[] = {"query", "k", "filter"};
constexpr const char* kCreateNames[] = {"vectors", "metadata"};
const CallSignature kNewSig{"PyHNSW", "__new__", kNewNames, 0, 1, {}};
const CallSignature kInsertSig{"PyHNSW", "insert", kInsertNames, 0, 1, {}};
const CallSignature kSearchSig{"PyHNSW", "search", kSearchNames, 0, 1, {}};
const CallSignature kCreateSig{"PyHNSW", "create", kCreateNames, 0, 1, {}};

[[noreturn]] void not_available() {
    throw_pending(PyExc_NotImplementedError, "PyHNSW is not available in this build yet");
}

PyObject* hnsw_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return entry([&]() -> Ref {
        parse_tuple_dict(kNewSig, args, kwargs);
        not_available();
    });
}

template <const CallSignature& Sig>
PyObject* hnsw_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&]() -> Ref {
        parse_fastcall(Sig, args, nargs, kwnames);
        not_available();
    });
}

template <const CallSignature& Sig>
PyCFunction as_cfunction() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hnsw_method<Sig>));
}

PyMethodDef kMethods[] = {
    {"insert", as_cfunction<kInsertSig>(), METH_FASTCALL | METH_KEYWORDS,
     "insert($self, vector, metadata=None)\n--\n\nInsert a vector into the index.\n\n"
     "The vector is expected as a list of floats.\n"
     "Optionally, metadata can be provided as a list of tuples, e.g.:\n"
     "`[(\"color\", \"blue\"), (\"size\", 42)]`"},
    {"search", as_cfunction<kSearchSig>(), METH_FASTCALL | METH_KEYWORDS,
     "search($self, query, k=None, filter=None)\n--\n\nSearch for the k nearest neighbors.\n\n"
     "Returns a list of tuples `(distance, vector)`."},
    {"create", as_cfunction<kCreateSig>(), METH_FASTCALL | METH_KEYWORDS,
     "create($self, vectors, metadata=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(HnswObject::dealloc)},
    {Py_tp_doc, const_cast<char*>("PyHNSW(dim, layers=None, m=None, ef_construction=None, ef_search=None, "
                                  "metric=None, schema=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(hnsw_new)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec{"builtins.PyHNSW", sizeof(HnswObject), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

TypeCell& hnsw_type_cell() {
    static TypeCell cell("PyHNSW", &kSpec);
    return cell;
}

}  // namespace quarix::py
