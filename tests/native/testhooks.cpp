// Test-only extension, never installed: drives the binding's failure paths
// that no user input of quarix reaches (internal failures, fatal errors
// coming back from Python, conversions not yet used by a class), and carries
// its own PyHNSW whose level draws a test can know in advance, and its own
// PyFlat and PyHNSW whose bounds a test can have fitted on small indexes.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "binding/call_signature.hpp"
#include "binding/convert.hpp"
#include "binding/entry.hpp"
#include "binding/error_value.hpp"
#include "binding/result_builders.hpp"
#include "binding/text_form.hpp"
#include "errors/internal_failure.hpp"
#include "flat/flat_index.hpp"
#include "flat/py_flat.hpp"
#include "binding/instance.hpp"
#include "hnsw/coarse_codes.hpp"
#include "hnsw/hnsw_index.hpp"
#include "hnsw/level_draw.hpp"
#include "hnsw/pivot_table.hpp"
#include "metrics/metric_names.hpp"
#include "hnsw/py_hnsw.hpp"
#include "hnsw/thread_rng.hpp"
#include "hnsw/graph_links.hpp"
#include "hnsw/visit_scan.hpp"
#include "metrics/batch_distance.hpp"

namespace quarix::py {
namespace {

Ref new_text(const std::string& text) {
    Ref object = text_object(text);
    if (!object) throw_fetched();
    return object;
}

Ref new_pairs(const std::vector<std::pair<std::string, Ref>>& pairs) {
    return new_list(pairs.size(), [&](std::size_t i) {
        return new_pair(new_text(pairs[i].first), Ref::borrow(pairs[i].second.get()));
    });
}

PyObject* fail(PyObject*, PyObject* message) {
    return entry([&]() -> Ref { InternalFailure::raise(to_text(message)); });
}

PyObject* call(PyObject*, PyObject* callable) {
    return entry([&] {
        Ref result = Ref::steal(PyObject_CallNoArgs(callable));
        if (!result) throw_fetched();
        return result;
    });
}

PyObject* checks(PyObject*, PyObject* args) {
    return entry([&] {
        const char* kind = nullptr;
        unsigned long long a = 0, b = 0, c = 0;
        if (!PyArg_ParseTuple(args, "sKK|K", &kind, &a, &b, &c)) throw_fetched();
        const std::string which(kind);
        if (which == "index") return new_size(checked_index(a, b));
        if (which == "range") {
            checked_range(a, b, c);
            return Ref::borrow(Py_None);
        }
        if (which == "divide") return new_size(checked_divide(a, b));
        if (which == "capacity") {
            checked_capacity(a, b);
            return Ref::borrow(Py_None);
        }
        throw_pending(PyExc_ValueError, "unknown check " + which);
    });
}

PyObject* raise_non_exception(PyObject*, PyObject*) {
    return entry([&]() -> Ref { throw_pending(reinterpret_cast<PyObject*>(&PyLong_Type), "not an exception"); });
}

PyObject* fetch_none(PyObject*, PyObject*) {
    return entry([&]() -> Ref { throw_fetched(); });
}

PyObject* text_form_of(PyObject*, PyObject* object) {
    return entry([&] { return new_text(text_form(object)); });
}

PyObject* type_check(PyObject*, PyObject* args) {
    return entry([&]() -> Ref {
        PyObject* object = nullptr;
        const char* target = nullptr;
        if (!PyArg_ParseTuple(args, "Os", &object, &target)) throw_fetched();
        throw_type_check_failure(object, target);
    });
}

PyObject* failed_result(PyObject*, PyObject*) {
    return entry([&] {
        PyErr_SetString(PyExc_MemoryError, "simulated allocation failure");
        return Ref::steal(checked_new(nullptr));
    });
}

// draw_levels(layers, count): how often each level comes out of the level
// draw with the thread's generator, as {level: count}.
PyObject* draw_levels(PyObject*, PyObject* args) {
    return entry([&] {
        unsigned long long layers = 0, count = 0;
        if (!PyArg_ParseTuple(args, "KK", &layers, &count)) throw_fetched();
        const LevelWeights weights(layers);
        ThreadRng& rng = ThreadRng::current();
        Ref result = Ref::steal(checked_new(PyDict_New()));
        for (unsigned long long i = 0; i < count; ++i) {
            Ref level = new_size(weights.draw(rng.uniform()));
            PyObject* seen = PyDict_GetItemWithError(result.get(), level.get());
            if (!seen && PyErr_Occurred()) throw_fetched();
            Ref total = Ref::steal(checked_new(PyLong_FromLongLong(seen ? PyLong_AsLongLong(seen) + 1 : 1)));
            if (PyDict_SetItem(result.get(), level.get(), total.get()) < 0) throw_fetched();
        }
        return result;
    });
}

// level_for(layers, u): the level drawn for a given uniform u.
PyObject* level_for(PyObject*, PyObject* args) {
    return entry([&] {
        unsigned long long layers = 0;
        double u = 0;
        if (!PyArg_ParseTuple(args, "Kd", &layers, &u)) throw_fetched();
        return new_size(LevelWeights(layers).draw(u));
    });
}

// flat_search(kernels, metric, dim, vectors, query, k): a flat search run with
// the named distance kernels, or None when this CPU cannot run them.
PyObject* flat_search(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&]() -> Ref {
        if (nargs != 6) throw_pending(PyExc_TypeError, "flat_search(kernels, metric, dim, vectors, query, k)");
        const BlockKernels* kernels = block_kernels_named(to_text(args[0]).c_str());
        if (!kernels) return Ref::borrow(Py_None);
        const std::string metric = to_text(args[1]);
        FlatIndex index(to_size(args[2]), flat_metric_from_name(metric), *kernels);
        const VectorList vectors = to_vectors(args[3]);
        if (index.create(vectors)) throw_pending(PyExc_ValueError, "vectors do not fit the dimension");
        auto outcome = index.search(to_vector(args[4]), to_size(args[5]));
        if (std::holds_alternative<FlatError>(outcome)) throw_pending(PyExc_ValueError, "empty index");
        const FlatIndex::Pairs& pairs = std::get<FlatIndex::Pairs>(outcome);
        return new_list(pairs.size(), [&](std::size_t i) {
            return new_pair(new_size(pairs[i].first), new_float(pairs[i].second));
        });
    });
}

// The start count of bounds set for one hook call, and restored after it.
class StartCount {
public:
    explicit StartCount(std::size_t count) : previous_(pruning_start_count()) { pruning_start_count() = count; }
    ~StartCount() { pruning_start_count() = previous_; }
    StartCount(const StartCount&) = delete;
    StartCount& operator=(const StartCount&) = delete;

private:
    std::size_t previous_;
};

// flat_bounded(code_kernels, metric, start, dim, batches, queries): a flat
// index fitting its codes from `start` vectors on (0: never), with the named
// code kernels. Each batch of vectors is inserted (one vector) or created
// (several); after each, every (query, k) is searched. Returns per batch, per
// query, (hits or None for an empty index, blocks skipped on their codes);
// None when this CPU cannot run the kernels.
PyObject* flat_bounded(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&]() -> Ref {
        if (nargs != 6)
            throw_pending(PyExc_TypeError, "flat_bounded(code_kernels, metric, start, dim, batches, queries)");
        const CodeBlockKernels* kernels = code_block_kernels_named(to_text(args[0]).c_str());
        if (!kernels) return Ref::borrow(Py_None);
        const StartCount start(to_size(args[2]));
        FlatIndex index(to_size(args[3]), flat_metric_from_name(to_text(args[1])), block_kernels(), *kernels);
        std::vector<std::pair<std::vector<double>, std::size_t>> queries;
        const Ref query_list = Ref::steal(PySequence_List(args[5]));
        if (!query_list) throw_fetched();
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(query_list.get()); ++i) {
            PyObject* item = PyList_GET_ITEM(query_list.get(), i);
            if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) throw_pending(PyExc_TypeError, "(query, k) pairs");
            queries.emplace_back(to_vector(PyTuple_GET_ITEM(item, 0)), to_size(PyTuple_GET_ITEM(item, 1)));
        }
        const Ref batches = Ref::steal(PySequence_List(args[4]));
        if (!batches) throw_fetched();
        return new_list(static_cast<std::size_t>(PyList_GET_SIZE(batches.get())), [&](std::size_t b) {
            const VectorList vectors = to_vectors(PyList_GET_ITEM(batches.get(), static_cast<Py_ssize_t>(b)));
            if (vectors.size() == 1 && vectors.length(0) == index.dim()) {
                index.insert(vectors[0]);
            } else if (index.create(vectors)) {
                throw_pending(PyExc_ValueError, "vectors do not fit the dimension");
            }
            return new_list(queries.size(), [&](std::size_t q) {
                FlatIndex::ScanCounts counts;
                auto outcome = index.search(queries[q].first, queries[q].second, &counts);
                Ref hits = Ref::borrow(Py_None);
                if (const auto* pairs = std::get_if<FlatIndex::Pairs>(&outcome))
                    hits = new_list(pairs->size(), [&](std::size_t i) {
                        return new_pair(new_size((*pairs)[i].first), new_float((*pairs)[i].second));
                    });
                return new_pair(std::move(hits), new_size(counts.skipped));
            });
        });
    });
}

// code_sums(code_kernels, vectors, query): the flat index's codes fitted to
// the vectors (all of one length) with the named kernels, and per block the
// least of its lanes' sums over all codes to the query; None when this CPU
// cannot run the kernels or the codes cannot place the query.
PyObject* code_sums(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&]() -> Ref {
        if (nargs != 3) throw_pending(PyExc_TypeError, "code_sums(code_kernels, vectors, query)");
        const CodeBlockKernels* kernels = code_block_kernels_named(to_text(args[0]).c_str());
        if (!kernels) return Ref::borrow(Py_None);
        const VectorList rows = to_vectors(args[1]);
        const std::vector<double> query = to_vector(args[2]);
        std::vector<const double*> fresh(rows.size());
        for (std::size_t i = 0; i < rows.size(); ++i) {
            if (rows.length(i) != query.size()) throw_pending(PyExc_ValueError, "vectors of different lengths");
            fresh[i] = rows[i].data();
        }
        const StartCount start(1);
        CodeBlocks codes(query.size(), *kernels);
        codes.update({}, rows.size(), fresh);  // every vector fresh: the interleaved blocks are not read
        CodeBlocks::Query code;
        codes.encode_query(query, code);
        if (!code.usable) return Ref::borrow(Py_None);
        std::vector<std::uint64_t> lowest((rows.size() + kBlockLanes - 1) / kBlockLanes);
        codes.head_lowest(code, rows.size(), lowest.data());
        codes.lowest_sums(code, std::numeric_limits<double>::quiet_NaN(), 0, lowest.size(), rows.size(),
                          lowest.data());
        return new_list(lowest.size(), [&](std::size_t b) { return new_size(lowest[b]); });
    });
}

// flat_profile(metric, start, dim, vectors, queries, k, inserts[, code_kernels]):
// the core's own costs, conversions left out: nanoseconds of one create of `vectors`,
// of inserting the first `inserts` of them one by one into a new index, and
// of each search of the created index; with codes fitted from `start` vectors
// on (0: never, the plain scan). Returns (create_ns, insert_ns, [search_ns],
// code_bytes, skipped_blocks, convert_ns), the last for converting `vectors`
// from Python objects as create and insert do. With code_kernels named, those
// kernels test the codes; None when this CPU cannot run them.
PyObject* flat_profile(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&]() -> Ref {
        if (nargs != 7 && nargs != 8)
            throw_pending(PyExc_TypeError, "flat_profile(metric, start, dim, vectors, queries, k, inserts[, code_kernels])");
        const CodeBlockKernels* code_kernels =
            nargs == 8 ? code_block_kernels_named(to_text(args[7]).c_str()) : &code_block_kernels();
        if (!code_kernels) return Ref::borrow(Py_None);
        const StartCount start(to_size(args[1]));
        const DistanceFn metric = flat_metric_from_name(to_text(args[0]));
        const std::size_t dim = to_size(args[2]);
        using Clock = std::chrono::steady_clock;
        const auto ns = [](Clock::duration d) { return static_cast<std::size_t>(std::chrono::nanoseconds(d).count()); };
        auto t0 = Clock::now();
        const VectorList vectors = to_vectors(args[3]);
        const std::size_t convert_ns = ns(Clock::now() - t0);
        const VectorList queries = to_vectors(args[4]);
        const std::size_t k = to_size(args[5]), inserts = std::min(to_size(args[6]), vectors.size());
        FlatIndex created(dim, metric, block_kernels(), *code_kernels);
        t0 = Clock::now();
        if (created.create(vectors)) throw_pending(PyExc_ValueError, "vectors do not fit the dimension");
        const std::size_t create_ns = ns(Clock::now() - t0);
        FlatIndex grown(dim, metric, block_kernels(), *code_kernels);
        t0 = Clock::now();
        for (std::size_t i = 0; i < inserts; ++i) grown.insert(vectors[i]);
        const std::size_t insert_ns = ns(Clock::now() - t0);
        std::vector<std::size_t> search_ns(queries.size());
        std::size_t skipped = 0;
        for (std::size_t q = 0; q < queries.size(); ++q) {
            FlatIndex::ScanCounts counts;
            t0 = Clock::now();
            auto outcome = created.search(queries[q], k, &counts);
            search_ns[q] = ns(Clock::now() - t0);
            if (std::holds_alternative<FlatError>(outcome)) throw_pending(PyExc_ValueError, "empty index");
            skipped += counts.skipped;
        }
        Ref searches = new_list(search_ns.size(), [&](std::size_t q) { return new_size(search_ns[q]); });
        Ref result = Ref::steal(PyTuple_Pack(6, new_size(create_ns).get(), new_size(insert_ns).get(), searches.get(),
                                             new_size(created.code_bytes()).get(), new_size(skipped).get(),
                                             new_size(convert_ns).get()));
        if (!result) throw_fetched();
        return result;
    });
}

// batch_distances(kernels, metric, query, rows, abandon_at): distances from the
// query to up to eight rows with the named batch kernels ("euclidean" or
// "dot"), as (completed, [distances]); None when this CPU cannot run them.
PyObject* batch_distances(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&]() -> Ref {
        if (nargs != 5) throw_pending(PyExc_TypeError, "batch_distances(kernels, metric, query, rows, abandon_at)");
        const BatchKernels* kernels = batch_kernels_named(to_text(args[0]).c_str());
        if (!kernels) return Ref::borrow(Py_None);
        const std::string metric = to_text(args[1]);
        const std::vector<double> query = to_vector(args[2]);
        const VectorList rows = to_vectors(args[3]);
        if (rows.empty() || rows.size() > kBatchWidth) throw_pending(PyExc_ValueError, "1 to 8 rows");
        std::size_t n = query.size();
        const double* pointers[kBatchWidth];
        for (std::size_t j = 0; j < rows.size(); ++j) {
            pointers[j] = rows[j].data();
            n = std::min(n, rows[j].size());
        }
        double sums[kBatchWidth] = {};
        bool complete = true;
        if (metric == "euclidean") {
            complete = kernels->squares(query.data(), 0, n, pointers, rows.size(), to_double(args[4]), sums);
            for (double& sum : sums) sum = complete ? std::sqrt(sum) : std::numeric_limits<double>::infinity();
        } else {
            kernels->products(query.data(), 0, n, pointers, rows.size(), sums);
        }
        Ref distances = new_float_list({sums, rows.size()});
        return new_pair(Ref::borrow(complete ? Py_True : Py_False), distances);
    });
}

// visit_scan(kernel, links, stamps, generation, high=None): the fresh ids and
// the stamps after one batch visited-test; with `high` (a bool per link),
// the links are kept as two streams as a graph keeps them. None when this
// CPU cannot run the kernel.
PyObject* visit_scan_with(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&]() -> Ref {
        if (nargs != 4 && nargs != 5) throw_pending(PyExc_TypeError, "visit_scan(kernel, links, stamps, generation, high=None)");
        const VisitScan* scan = visit_scan_named(to_text(args[0]).c_str());
        if (!scan) return Ref::borrow(Py_None);
        std::vector<std::uint32_t> links;
        std::vector<VisitStamp> stamps;
        for (const double x : to_vector(args[1])) links.push_back(static_cast<std::uint32_t>(x));
        for (const double x : to_vector(args[2])) stamps.push_back(static_cast<VisitStamp>(x));
        for (const std::uint32_t id : links)
            if (id >= stamps.size()) throw_pending(PyExc_ValueError, "link beyond the stamps");
        const std::size_t count = links.size();
        std::vector<std::uint32_t> fresh((count + 31) / 32 * 32);
        const VisitStamp generation = static_cast<VisitStamp>(to_size(args[3]));
        if (nargs == 5 && !is_absent(args[4])) {
            const std::vector<double> high = to_vector(args[4]);
            if (high.size() != count) throw_pending(PyExc_ValueError, "one entry of high per link");
            // Each stream with the room past its end that a graph's arena gives it.
            std::vector<std::uint32_t> lows, highs, selector((count + 31) / 32, 0);
            for (std::size_t i = 0; i < count; ++i) {
                if (high[i] != 0.0) {
                    selector[i / 32] |= std::uint32_t{1} << (i % 32);
                    highs.push_back(links[i]);
                } else {
                    lows.push_back(links[i]);
                }
            }
            lows.resize(lows.size() + GraphLinks::kPadding, 0);
            highs.resize(highs.size() + GraphLinks::kPadding, 0);
            fresh.resize(scan->merged(lows.data(), highs.data(), selector.data(), count, stamps.data(), generation,
                                      fresh.data()));
        } else {
            fresh.resize(scan->all(links.data(), count, stamps.data(), generation, fresh.data()));
        }
        const auto as_list = [](const auto& values) {
            return new_list(values.size(), [&](std::size_t i) { return new_size(values[i]); });
        };
        return new_pair(as_list(fresh), as_list(stamps));
    });
}

// graph_links(ops): a GraphLinks after ops, each (0, streams) to open a
// list, (1, list, id, high) to append, (2, list, more, high) to reserve or
// (3,) to trim; per list (every id in order, the high stream, the last id).
PyObject* graph_links(PyObject*, PyObject* arg) {
    return entry([&]() -> Ref {
        GraphLinks links;
        const Ref ops = Ref::steal(checked_new(PySequence_List(arg)));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ops.get()); ++i) {
            const std::vector<double> op = to_vector(PyList_GET_ITEM(ops.get(), i));
            const auto at = [&](std::size_t j) { return static_cast<std::size_t>(op.at(j)); };
            if (at(0) == 0) links.add_list(op.at(1) != 0.0);
            if (at(0) != 0 && at(0) != 3 && at(1) >= links.lists()) throw_pending(PyExc_ValueError, "no such list");
            if (at(0) == 1) links.append(at(1), static_cast<GraphLinks::NodeId>(at(2)), op.at(3) != 0.0);
            if (at(0) == 2) links.reserve(at(1), at(2), op.at(3) != 0.0);
            if (at(0) == 3) links.trim();
        }
        return new_list(links.lists(), [&](std::size_t list) {
            std::vector<std::size_t> all, high(links.high(list), links.high(list) + links.high_size(list));
            const GraphLinks::NodeId* lows = links.low(list);
            const GraphLinks::NodeId* highs = links.high(list);
            for (std::size_t j = 0; j < links.size(list); ++j) {
                const bool is_high = links.streams(list) && (links.selector(list)[j / 32] >> (j % 32) & 1);
                all.push_back(is_high ? *highs++ : *lows++);
            }
            if (!links.streams(list)) high.clear();
            const auto as_list = [](const auto& values) {
                return new_list(values.size(), [&](std::size_t i) { return new_size(values[i]); });
            };
            Ref last = links.size(list) ? new_size(links.last(list)) : Ref::borrow(Py_None);
            return Ref::steal(checked_new(PyTuple_Pack(3, as_list(all).get(), as_list(high).get(), last.get())));
        });
    });
}

// plan_levels(layers, count): the levels that the thread's generator will
// give for its next count draws, as a list, leaving the generator as it was.
// This module's PyHNSW draws one level per insertion into a non-empty index
// from that same generator, so a test can replay an index level for level.
PyObject* plan_levels(PyObject*, PyObject* args) {
    return entry([&] {
        unsigned long long layers = 0, count = 0;
        if (!PyArg_ParseTuple(args, "KK", &layers, &count)) throw_fetched();
        // Room for the retry below to land between two re-seeds.
        if (count > 2048) throw_pending(PyExc_ValueError, "plan at most 2048 levels");
        static_assert(std::is_trivially_copyable_v<ThreadRng>, "the generator is saved and restored as bytes");
        ThreadRng& rng = ThreadRng::current();
        unsigned char saved[sizeof(ThreadRng)];
        std::vector<double> first(count), second(count);
        for (;;) {
            std::memcpy(saved, &rng, sizeof saved);
            for (double& u : first) u = rng.uniform();
            std::memcpy(&rng, saved, sizeof saved);
            for (double& u : second) u = rng.uniform();
            std::memcpy(&rng, saved, sizeof saved);
            if (first == second) break;
            // A re-seed from the operating system falls inside the window and
            // gives new values on every pass: step past it.
            for (double& u : first) u = rng.uniform();
        }
        const LevelWeights weights(layers);
        Ref result = Ref::steal(checked_new(PyList_New(static_cast<Py_ssize_t>(count))));
        for (std::size_t i = 0; i < first.size(); ++i)
            PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), new_size(weights.draw(first[i])).release());
        return result;
    });
}

// fix_generator(seed): puts the thread's generator into a state derived from
// seed and stops its re-seeding, so that large indexes can be rebuilt level
// for level (plan_levels is limited to 2048 draws).
PyObject* fix_generator(PyObject*, PyObject* arg) {
    return entry([&] {
        std::uint64_t x = to_size(arg);
        struct Layout {
            std::uint64_t state[4];
            std::uint32_t until_reseed;
        } fixed{};
        static_assert(sizeof(Layout) == sizeof(ThreadRng), "generator layout");
        for (std::uint64_t& word : fixed.state) {  // splitmix64
            x += 0x9E3779B97F4A7C15ull;
            std::uint64_t z = x;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            word = z ^ (z >> 31);
        }
        fixed.until_reseed = UINT32_MAX;
        std::memcpy(static_cast<void*>(&ThreadRng::current()), &fixed, sizeof fixed);
        return Ref::borrow(Py_None);
    });
}

// pivots_from(count): the count at which this module's indexes choose pivots
// and fit codes (0: never): its PyFlat indexes created from now on, and its
// PyHNSW indexes when they next store a node; returns the previous value.
PyObject* pivots_from(PyObject*, PyObject* arg) {
    return entry([&] {
        const std::size_t previous = pruning_start_count();
        pruning_start_count() = to_size(arg);
        return new_size(previous);
    });
}

// ruled_out(index): how many neighbours this module's PyHNSW index has
// rejected without measuring them.
PyObject* ruled_out(PyObject*, PyObject* arg) {
    return entry([&] {
        if (!PyObject_TypeCheck(arg, hnsw_type_cell().get())) throw_pending(PyExc_TypeError, "expected PyHNSW");
        return new_size(Instance<HnswIndex>::of(arg)->index.ruled_out());
    });
}

// coarse_rules_out(kernel, vectors, query, limits): fits coarse codes to the
// vectors (all of one length) with the named kernels and tells for each
// vector whether they rule out its distance to the query reaching below
// limits[i]; None when this CPU cannot run the kernels.
PyObject* coarse_rules_out(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&]() -> Ref {
        if (nargs != 4) throw_pending(PyExc_TypeError, "coarse_rules_out(kernel, vectors, query, limits)");
        const CodeKernels* kernels = code_kernels_named(to_text(args[0]).c_str());
        if (!kernels) return Ref::borrow(Py_None);
        const VectorList rows = to_vectors(args[1]);
        const std::vector<double> query = to_vector(args[2]);
        const std::vector<double> limits = to_vector(args[3]);
        const std::size_t dim = rows.empty() ? 0 : rows[0].size();
        for (std::size_t i = 0; i < rows.size(); ++i)
            if (rows[i].size() != dim) throw_pending(PyExc_ValueError, "vectors of different lengths");
        if (limits.size() != rows.size()) throw_pending(PyExc_ValueError, "one limit per vector");
        CoarseCodes codes(dim, *kernels);
        codes.fit(rows.values(), rows.size());  // equal lengths: the values are the rows back to back
        CoarseCodes::QueryCode code;
        codes.encode_query(query, code);
        // In batches, as walks test them.
        std::vector<std::uint64_t> sums(rows.size());
        std::vector<std::uint32_t> ids(rows.size());
        for (std::size_t i = 0; i < rows.size(); ++i) ids[i] = static_cast<std::uint32_t>(i);
        for (std::size_t i = 0; code.usable && i < rows.size(); i += CoarseCodes::kBatch)
            codes.squares(code, ids.data() + i, std::min(CoarseCodes::kBatch, rows.size() - i), sums.data() + i);
        return new_list(rows.size(), [&](std::size_t i) {
            const bool ruled = code.usable && codes.rules_out(i, sums[i], codes.reach(code, limits[i]));
            return Ref::borrow(ruled ? Py_True : Py_False);
        });
    });
}

// probe(a, /, b, c=None, *, d, e=None): reaches the parse paths that the
// classes' own signatures (one required positional) never take.
constexpr const char* kProbeNames[] = {"a", "b", "c"};
constexpr KeywordOnly kProbeKeywords[] = {{"d", true}, {"e", false}};
const CallSignature kProbeSig{nullptr, "probe", kProbeNames, 1, 2, kProbeKeywords};
constexpr const char* kProbeAll[] = {"a", "b", "c", "d", "e"};

PyObject* probe(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        const Slots slots = parse_fastcall(kProbeSig, args, nargs, kwnames);
        Ref result = Ref::steal(checked_new(PyDict_New()));
        for (std::size_t i = 0; i < kProbeSig.slot_count(); ++i)
            if (slots[i] && PyDict_SetItemString(result.get(), kProbeAll[i], slots[i]) < 0) throw_fetched();
        return result;
    });
}

// convert(kind, value): one conversion under the parameter name "value".
PyObject* convert(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&]() -> Ref {
        if (nargs != 2) throw_pending(PyExc_TypeError, "convert(kind, value)");
        const std::string kind = to_text(args[0]);
        PyObject* value = args[1];
        if (kind == "size") return new_size(argument("value", value, to_size));
        if (kind == "i64") return Ref::steal(checked_new(PyLong_FromLongLong(argument("value", value, to_i64))));
        if (kind == "double") return Ref::steal(checked_new(PyFloat_FromDouble(argument("value", value, to_double))));
        if (kind == "text") return new_text(argument("value", value, to_text));
        if (kind == "vector") return new_float_list(argument("value", value, to_vector));
        if (kind == "vectors") {
            const VectorList list = argument("value", value, [](PyObject* o) { return to_vectors(o); });
            return new_list(list.size(), [&](std::size_t i) { return new_float_list(list[i]); });
        }
        if (kind == "texts") {
            const auto texts = argument("value", value, to_texts);
            return new_list(texts.size(), [&](std::size_t i) { return new_text(texts[i]); });
        }
        if (kind == "pairs") return new_pairs(argument("value", value, to_pairs));
        if (kind == "pair_lists") {
            const auto lists = argument("value", value, to_pair_lists);
            return new_list(lists.size(), [&](std::size_t i) { return new_pairs(lists[i]); });
        }
        throw_pending(PyExc_ValueError, "unknown conversion " + kind);
    });
}

// An object whose deallocation hits an internal failure: the failure must go
// to the unraisable hook and the object must still be freed.
struct Doomed {
    PyObject_HEAD
};

void doomed_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    entry_dealloc([] { InternalFailure::raise("failure during deallocation"); });
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot kDoomedSlots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(doomed_dealloc)}, {0, nullptr}};
PyType_Spec kDoomedSpec{"_quarix_testhooks.Doomed", sizeof(Doomed), 0, Py_TPFLAGS_DEFAULT, kDoomedSlots};

PyMethodDef kMethods[] = {
    {"fail", fail, METH_O, "Raise an internal failure with the given message."},
    {"call", call, METH_O, "Call a function inside the entry wrapper."},
    {"checks", checks, METH_VARARGS, "Run an operand check: index, range, divide or capacity."},
    {"raise_non_exception", raise_non_exception, METH_NOARGS, "Raise a pending error whose type is not an exception."},
    {"fetch_none", fetch_none, METH_NOARGS, "Fetch when no exception is set."},
    {"text_form", text_form_of, METH_O, "The text form used in messages."},
    {"type_check", type_check, METH_VARARGS, "Raise the type-check failure for (object, target)."},
    {"failed_result", failed_result, METH_NOARGS, "A result object the interpreter could not build."},
    {"draw_levels", draw_levels, METH_VARARGS, "Histogram of count level draws for an index of the given layers."},
    {"level_for", level_for, METH_VARARGS, "The level drawn for (layers, u)."},
    {"flat_search", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(flat_search)), METH_FASTCALL,
     "A flat search with the named distance kernels."},
    {"flat_bounded", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(flat_bounded)), METH_FASTCALL,
     "Flat searches with codes fitted from a start count, with the named code kernels."},
    {"flat_profile", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(flat_profile)), METH_FASTCALL,
     "The core's create, insert and search costs of a flat index, conversions left out."},
    {"code_sums", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(code_sums)), METH_FASTCALL,
     "Per block, the least lane sum over all codes to the query, with the named code kernels."},
    {"batch_distances", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(batch_distances)),
     METH_FASTCALL, "Distances from a query to up to eight rows with the named batch kernels."},
    {"graph_links", graph_links, METH_O, "The lists of a GraphLinks after the given appends, reserves and trims."},
    {"visit_scan", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(visit_scan_with)), METH_FASTCALL,
     "One batch visited-test with the named kernel."},
    {"plan_levels", plan_levels, METH_VARARGS, "The next count levels of the thread's generator, not consumed."},
    {"fix_generator", fix_generator, METH_O, "Fix the thread's generator to a state derived from seed."},
    {"pivots_from", pivots_from, METH_O, "Set the node count at which new indexes choose pivots."},
    {"ruled_out", ruled_out, METH_O, "Neighbours an index rejected without measuring them."},
    {"coarse_rules_out", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coarse_rules_out)),
     METH_FASTCALL, "Whether coarse codes fitted to the vectors rule out each query distance below a limit."},
    {"probe", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(probe)), METH_FASTCALL | METH_KEYWORDS,
     "Parse against probe(a, /, b, c=None, *, d, e=None)."},
    {"convert", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(convert)), METH_FASTCALL,
     "Run one conversion on a value."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_quarix_testhooks", "", -1, kMethods, nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace quarix::py

PyMODINIT_FUNC PyInit__quarix_testhooks() {
    using namespace quarix::py;
    return entry([] {
        Ref module = Ref::steal(PyModule_Create(&kModule));
        if (!module) throw_fetched();
        Ref doomed = Ref::steal(PyType_FromSpec(&kDoomedSpec));
        if (!doomed || PyModule_AddObjectRef(module.get(), "Doomed", doomed.get()) < 0) throw_fetched();
        PyObject* hnsw = reinterpret_cast<PyObject*>(hnsw_type_cell().get());
        if (PyModule_AddObjectRef(module.get(), "PyHNSW", hnsw) < 0) throw_fetched();
        PyObject* flat = reinterpret_cast<PyObject*>(flat_type_cell().get());
        if (PyModule_AddObjectRef(module.get(), "PyFlat", flat) < 0) throw_fetched();
        return module;
    });
}
