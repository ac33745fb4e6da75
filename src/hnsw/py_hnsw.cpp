#include "hnsw/py_hnsw.hpp"

#include "binding/call_signature.hpp"
#include "binding/convert.hpp"
#include "binding/entry.hpp"
#include "binding/instance.hpp"
#include "binding/result_builders.hpp"
#include "errors/length_messages.hpp"
#include "hnsw/hnsw_index.hpp"
#include "hnsw/metadata_convert.hpp"
#include "hnsw/thread_rng.hpp"

namespace quarix::py {
namespace {

using HnswObject = Instance<HnswIndex>;

constexpr const char* kNewNames[] = {"dim", "layers", "m", "ef_construction", "ef_search", "metric", "schema"};
constexpr const char* kInsertNames[] = {"vector", "metadata"};
constexpr const char* kSearchNames[] = {"query", "k", "filter"};
constexpr const char* kCreateNames[] = {"vectors", "metadata"};
const CallSignature kNewSig{"PyHNSW", "__new__", kNewNames, 0, 1, {}};
const CallSignature kInsertSig{"PyHNSW", "insert", kInsertNames, 0, 1, {}};
const CallSignature kSearchSig{"PyHNSW", "search", kSearchNames, 0, 1, {}};
const CallSignature kCreateSig{"PyHNSW", "create", kCreateNames, 0, 1, {}};

constexpr const char* kNoSchemaForMetadata = "No schema provided in HNSW instance; cannot use metadata";
constexpr const char* kNoSchemaForFilter = "No schema provided in HNSW instance; cannot use metadata filtering";

[[noreturn]] void value_error(std::string message) { throw_pending(PyExc_ValueError, std::move(message)); }

template <class Convert>
auto optional_argument(const char* name, PyObject* slot, Convert&& convert)
    -> std::optional<decltype(convert(slot))> {
    if (is_absent(slot)) return std::nullopt;
    return argument(name, slot, convert);
}

// Core failures as the caller sees them: a kind after the operation's
// prefix, or the length text of the operation.
[[noreturn]] void raise_failure(const HnswIndex::Failure& failure, std::string_view prefix, bool single) {
    if (const auto* kind = std::get_if<HnswError>(&failure)) value_error(error_message(prefix, *kind));
    const LengthMismatch& mismatch = std::get<WrongLength>(failure).mismatch;
    value_error(single ? expected_length_message("vector", mismatch.dim, mismatch.length)
                       : length_mismatch_message(mismatch));
}

PyObject* hnsw_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return entry([&] {
        const Slots slots = parse_tuple_dict(kNewSig, args, kwargs);
        HnswParams params;
        params.dim = argument("dim", slots[0], to_size);
        params.layers = optional_argument("layers", slots[1], to_size);
        params.m = optional_argument("m", slots[2], to_size);
        params.ef_construction = optional_argument("ef_construction", slots[3], to_size);
        params.ef_search = optional_argument("ef_search", slots[4], to_size);
        const std::optional<std::string> metric = optional_argument("metric", slots[5], to_text);
        std::optional<std::vector<std::string>> schema = optional_argument("schema", slots[6], to_texts);
        std::optional<HnswIndex> index =
            HnswIndex::build(params, metric ? std::optional<std::string_view>(*metric) : std::nullopt,
                             std::move(schema));
        if (!index) value_error("Unsupported metric");
        return HnswObject::create(type, *std::move(index));
    });
}

PyObject* hnsw_insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        const Slots slots = parse_fastcall(kInsertSig, args, nargs, kwnames);
        HnswObject* hnsw = HnswObject::of(self);
        const Access access = Access::exclusive(self, hnsw_type_cell(), hnsw->flag);
        HnswIndex& index = hnsw->index;
        const std::size_t dim = index.dim();
        const SizedVector vector = argument("vector", slots[0], [dim](PyObject* o) { return to_vector_of(o, dim); });
        const std::optional<Pairs> metadata = optional_argument("metadata", slots[1], to_pairs);
        std::optional<Row> row;
        if (metadata) {
            if (!index.schema()) value_error(kNoSchemaForMetadata);
            row = assemble_row(*index.schema(), *metadata);
        }
        // The length is the insertion's first check: a refused buffer fails where the core would.
        if (vector.length != dim) raise_failure(WrongLength{{vector.length, dim}}, kInsertPrefix, true);
        if (auto failure = index.insert(vector.values, row ? &*row : nullptr, ThreadRng::current()))
            raise_failure(*failure, kInsertPrefix, true);
        return Ref::borrow(Py_None);
    });
}

PyObject* hnsw_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        const Slots slots = parse_fastcall(kSearchSig, args, nargs, kwnames);
        HnswObject* hnsw = HnswObject::of(self);
        const Access access = Access::shared(self, hnsw_type_cell(), hnsw->flag);
        const std::vector<double> query = argument("query", slots[0], to_vector);
        const std::size_t k = optional_argument("k", slots[1], to_size).value_or(1);
        const auto filter_pair = optional_argument("filter", slots[2], to_pair);
        const HnswIndex& index = hnsw->index;
        std::optional<MetadataFilter> filter;
        if (filter_pair) {
            if (!index.schema()) value_error(kNoSchemaForFilter);
            filter = build_filter(*filter_pair);
        }
        auto outcome = index.knn_search(query, k, filter ? &*filter : nullptr);
        if (const auto* kind = std::get_if<HnswError>(&outcome)) value_error(error_message(kSearchPrefix, *kind));
        const HnswIndex::Hits& hits = std::get<HnswIndex::Hits>(outcome);
        return new_list(hits.size(), [&](std::size_t i) {
            return new_pair(new_float(hits[i].distance), new_float_list(index.vector(hits[i].id)));
        });
    });
}

PyObject* hnsw_create(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        const Slots slots = parse_fastcall(kCreateSig, args, nargs, kwnames);
        HnswObject* hnsw = HnswObject::of(self);
        const Access access = Access::exclusive(self, hnsw_type_cell(), hnsw->flag);
        HnswIndex& index = hnsw->index;
        const std::size_t dim = index.dim();
        const VectorList vectors = argument("vectors", slots[0], [dim](PyObject* o) { return to_vectors(o, dim); });
        const auto metadata = optional_argument("metadata", slots[1], to_pair_lists);
        std::optional<std::vector<Row>> rows;
        if (metadata) {
            if (metadata->size() != vectors.size()) value_error("Length of metadata list must match number of vectors");
            if (!index.schema()) value_error(kNoSchemaForMetadata);
            rows.emplace();
            rows->reserve(metadata->size());
            for (const Pairs& pairs : *metadata) rows->push_back(assemble_row(*index.schema(), pairs));
        }
        if (auto failure = index.create(vectors, rows ? &*rows : nullptr, ThreadRng::current()))
            raise_failure(*failure, kCreatePrefix, false);
        return Ref::borrow(Py_None);
    });
}

template <auto Function>
PyCFunction as_cfunction() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Function));
}

PyMethodDef kMethods[] = {
    {"insert", as_cfunction<hnsw_insert>(), METH_FASTCALL | METH_KEYWORDS,
     "insert($self, vector, metadata=None)\n--\n\nInsert a vector into the index.\n\n"
     "The vector is expected as a list of floats.\n"
     "Optionally, metadata can be provided as a list of tuples, e.g.:\n"
     "`[(\"color\", \"blue\"), (\"size\", 42)]`"},
    {"search", as_cfunction<hnsw_search>(), METH_FASTCALL | METH_KEYWORDS,
     "search($self, query, k=None, filter=None)\n--\n\nSearch for the k nearest neighbors.\n\n"
     "Returns a list of tuples `(distance, vector)`."},
    {"create", as_cfunction<hnsw_create>(), METH_FASTCALL | METH_KEYWORDS,
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
