#include "flat/py_flat.hpp"

#include <string_view>

#include "binding/call_signature.hpp"
#include "binding/convert.hpp"
#include "binding/entry.hpp"
#include "binding/instance.hpp"
#include "binding/result_builders.hpp"
#include "binding/text_form.hpp"
#include "errors/length_messages.hpp"
#include "flat/flat_index.hpp"
#include "metrics/metric_names.hpp"

namespace quarix::py {
namespace {

using FlatObject = Instance<FlatIndex>;

constexpr const char* kNewNames[] = {"dim", "metric"};
constexpr const char* kInsertNames[] = {"vector"};
constexpr const char* kSearchNames[] = {"query", "k"};
constexpr const char* kCreateNames[] = {"vectors"};
const CallSignature kNewSig{"PyFlat", "__new__", kNewNames, 0, 1, {}};
const CallSignature kInsertSig{"PyFlat", "insert", kInsertNames, 0, 1, {}};
const CallSignature kSearchSig{"PyFlat", "search", kSearchNames, 0, 1, {}};
const CallSignature kCreateSig{"PyFlat", "create", kCreateNames, 0, 1, {}};

[[noreturn]] void value_error(std::string message) { throw_pending(PyExc_ValueError, std::move(message)); }

PyObject* flat_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return entry([&] {
        const Slots slots = parse_tuple_dict(kNewSig, args, kwargs);
        const std::size_t dim = argument("dim", slots[0], to_size);
        std::optional<std::string> metric;
        if (!is_absent(slots[1])) metric = argument("metric", slots[1], to_text);
        FlatIndex index(dim, flat_metric_from_name(metric ? std::optional<std::string_view>(*metric)
                                                          : std::nullopt));
        return FlatObject::create(type, std::move(index));
    });
}

PyObject* flat_insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        const Slots slots = parse_fastcall(kInsertSig, args, nargs, kwnames);
        FlatObject* flat = FlatObject::of(self);
        const Access access = Access::exclusive(self, flat_type_cell(), flat->flag);
        const std::size_t dim = flat->index.dim();
        const SizedVector vector = argument("vector", slots[0], [dim](PyObject* o) { return to_vector_of(o, dim); });
        if (vector.length != dim) value_error(expected_length_message("vector", dim, vector.length));
        flat->index.insert(vector.values);
        return Ref::borrow(Py_None);
    });
}

PyObject* flat_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        const Slots slots = parse_fastcall(kSearchSig, args, nargs, kwnames);
        FlatObject* flat = FlatObject::of(self);
        const Access access = Access::shared(self, flat_type_cell(), flat->flag);
        const std::vector<double> query = argument("query", slots[0], to_vector);
        const std::size_t k = is_absent(slots[1]) ? 1 : argument("k", slots[1], to_size);
        if (query.size() != flat->index.dim())
            value_error(expected_length_message("query", flat->index.dim(), query.size()));
        auto outcome = flat->index.search(query, k);
        if (auto* error = std::get_if<FlatError>(&outcome)) value_error(error_message(kSearchPrefix, *error));
        const FlatIndex::Pairs& pairs = std::get<FlatIndex::Pairs>(outcome);
        return new_list(pairs.size(), [&](std::size_t i) {
            return new_pair(new_size(pairs[i].first), new_float(pairs[i].second));
        });
    });
}

PyObject* flat_create(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        const Slots slots = parse_fastcall(kCreateSig, args, nargs, kwnames);
        FlatObject* flat = FlatObject::of(self);
        const Access access = Access::exclusive(self, flat_type_cell(), flat->flag);
        const std::size_t dim = flat->index.dim();
        const VectorList vectors = argument("vectors", slots[0], [dim](PyObject* o) { return to_vectors(o, dim); });
        if (auto failure = flat->index.create(vectors)) {
            if (auto* error = std::get_if<FlatError>(&*failure)) value_error(error_message(kCreatePrefix, *error));
            value_error(length_mismatch_message(std::get<LengthMismatch>(*failure)));
        }
        return Ref::borrow(Py_None);
    });
}

PyMethodDef kMethods[] = {
    {"insert", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(flat_insert)),
     METH_FASTCALL | METH_KEYWORDS,
     "insert($self, vector)\n--\n\nInsert a vector into the index.\n\n"
     "The vector is expected as a list of floats whose length equals the index dimension."},
    {"search", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(flat_search)),
     METH_FASTCALL | METH_KEYWORDS,
     "search($self, query, k=None)\n--\n\nSearch for the k nearest neighbors.\n\n"
     "Returns a list of tuples `(id, distance)`."},
    {"create", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(flat_create)),
     METH_FASTCALL | METH_KEYWORDS, "create($self, vectors)\n--\n\nCreate an index from a list of vectors."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(FlatObject::dealloc)},
    {Py_tp_doc, const_cast<char*>("PyFlat(dim, metric=None)\n--\n\nOur Python-facing Flat index.")},
    {Py_tp_new, reinterpret_cast<void*>(flat_new)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec{"builtins.PyFlat", sizeof(FlatObject), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

TypeCell& flat_type_cell() {
    static TypeCell cell("PyFlat", &kSpec);
    return cell;
}

}  // namespace quarix::py
