"""PyHNSW under extreme input: sizes near the top of the unsigned range,
sequences that misreport their length, dimension 0, and the level draw behind
the graph's layers."""

import json
import math
import os
import random
import subprocess
import sys
import textwrap

import pytest

import quarix
from reference_metrics import cosine_similarity as angular
from reference_metrics import euclidean_distance as euclidean
from reference_metrics import inner_product

PyHNSW = quarix.PyHNSW
SIZE_MAX = 2**64 - 1


METRICS = {"euclidean": euclidean, "angular": angular, "inner_product": inner_product}


def same_double(x, y):
    return (math.isnan(x) and math.isnan(y)) or x == y


def key(vector):
    """A vector as a set element; NaN compares unequal to itself."""
    return tuple(x.hex() for x in vector)


def check_hits(hits, query, k, ef_search, metric, stored):
    """What every answer must satisfy, however the index was configured;
    stored holds key() of every stored vector."""
    assert type(hits) is list
    assert len(hits) <= min(max(k, 1), ef_search)
    distances = [d for d, _ in hits]
    order = [(math.isnan(d), 0.0 if math.isnan(d) else d) for d in distances]
    assert order == sorted(order)
    vectors = [key(v) for _, v in hits]
    assert len(set(vectors)) == len(vectors)
    for distance, vector in hits:
        assert key(vector) in stored
        assert same_double(distance, METRICS[metric](query, vector))


def exact(query, vectors, metric):
    return sorted(((METRICS[metric](query, v), v) for v in vectors), key=lambda hit: hit[0])


HUGE = [
    {"ef_search": 10**18},
    {"ef_construction": 10**18},
    {"layers": 10**12},
    {"layers": 10**12, "ef_construction": 10**18, "ef_search": 10**18},
    {"layers": SIZE_MAX, "ef_construction": SIZE_MAX, "ef_search": SIZE_MAX, "m": SIZE_MAX},
]


@pytest.mark.parametrize("metric", sorted(METRICS))
@pytest.mark.parametrize("settings", HUGE, ids=lambda s: "-".join(f"{k}={v}" for k, v in s.items()))
def test_huge_settings(settings, metric):
    rng = random.Random(repr(settings) + metric)
    dim = 6
    vectors = [[rng.gauss(0.0, 1.0) for _ in range(dim)] for _ in range(300)]
    hnsw = PyHNSW(dim, metric=metric, schema=["parity"], **settings)
    for i, vector in enumerate(vectors[:150]):
        hnsw.insert(vector, [("parity", i % 2)])
    hnsw.create(vectors[150:], [[("parity", i % 2)] for i in range(150, 300)])

    ef_search = settings.get("ef_search", 50)
    stored = {key(v) for v in vectors}
    parity = {tuple(v): i % 2 for i, v in enumerate(vectors)}
    for _ in range(8):
        query = [rng.gauss(0.0, 1.0) for _ in range(dim)]
        for k in (0, 1, 10, 10**18, SIZE_MAX):
            hits = hnsw.search(query, k=k)
            check_hits(hits, query, k, ef_search, metric, stored)
            # The graph is connected and a list that is not full admits
            # every neighbour, so the walk fills it.
            assert len(hits) == min(max(k, 1), ef_search, len(vectors))
            if ef_search >= len(vectors) and k >= len(vectors):
                assert hits == exact(query, vectors, metric)
            filtered = hnsw.search(query, k=k, filter=("parity", 1))
            check_hits(filtered, query, k, ef_search, metric, stored)
            assert all(parity[tuple(v)] == 1 for _, v in filtered)


@pytest.mark.parametrize("metric", sorted(METRICS))
def test_non_finite_values(metric):
    rng = random.Random(metric)
    vectors = [[rng.gauss(0.0, 1.0) for _ in range(3)] for _ in range(60)]
    vectors[0] = [0.0, 0.0, 0.0]
    vectors[5] = [math.nan, 0.0, 1.0]
    vectors[9] = [math.inf, 0.0, -1.0]
    vectors[12] = [1e308, 1e308, -1e308]
    vectors[20] = [-math.inf, math.inf, 0.5]
    hnsw = PyHNSW(3, ef_search=20, metric=metric)
    hnsw.create(vectors)
    stored = {key(v) for v in vectors}
    queries = ([math.nan] * 3, [math.inf, 0.0, 0.0], [1e308] * 3, [], [0.0] * 3, [-math.inf, math.nan, 1.0], [1.0, 2.0, 3.0])
    for query in queries:
        for k in (0, 5, 100):
            hits = hnsw.search(query, k=k)
            check_hits(hits, query, k, 20, metric, stored)
            assert len(hits) == min(max(k, 1), 20)


@pytest.mark.parametrize("size", ["dim", "layers", "m", "ef_construction", "ef_search"])
def test_largest_sizes_are_accepted(size):
    arguments = {"dim": 3, "metric": "euclidean", size: SIZE_MAX}
    hnsw = PyHNSW(**arguments)
    if size == "dim":
        with pytest.raises(ValueError) as info:
            hnsw.insert([1.0, 2.0, 3.0])
        assert str(info.value) == f"Expected vector of length {SIZE_MAX}, got 3"
        with pytest.raises(ValueError) as info:
            hnsw.create([[1.0, 2.0, 3.0]])
        assert str(info.value) == f"Vector length 3 does not match index dimension {SIZE_MAX}"
        assert hnsw.search([1.0, 2.0, 3.0], k=SIZE_MAX) == []
        return
    hnsw.create([[float(i), 0.0, 1.0] for i in range(30)])
    hits = hnsw.search([4.2, 0.0, 1.0], k=SIZE_MAX)
    check_hits(hits, [4.2, 0.0, 1.0], SIZE_MAX, SIZE_MAX if size == "ef_search" else 50, "euclidean",
               {key([float(i), 0.0, 1.0]) for i in range(30)})
    assert hits[0] == (euclidean([4.2, 0.0, 1.0], [4.0, 0.0, 1.0]), [4.0, 0.0, 1.0])


# --------------------------------------------------------------------------
# Sequences whose reported length is wrong


class Reported:
    """A sequence that yields its items but reports `length` (or raises it,
    when it is an exception) as its length."""

    def __init__(self, items, length):
        self.items = list(items)
        self.length = length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        return iter(self.items)


LENGTHS = [10**15, sys.maxsize, 2**64, -1, 0, 1, ValueError("no length"), OverflowError("too long"), TypeError("odd")]


@pytest.mark.parametrize("length", LENGTHS, ids=repr)
def test_misreported_lengths_still_convert_exactly(length):
    def wrap(items):
        return Reported(items, length)

    hnsw = PyHNSW(3, ef_search=100, metric="euclidean", schema=wrap(["color", "size"]))
    hnsw.insert(wrap([1.0, 2.0, 3.0]), wrap([("color", "red"), ("size", 1)]))
    hnsw.create(
        wrap([wrap([4.0, 5.0, 6.0]), [7.0, 8.0, 9.0], wrap([-1.0, -2.0, -3.0])]),
        wrap([wrap([("color", "blue"), ("size", 2)]), [("size", 3), ("color", "red")], wrap([("color", "x"), ("size", 4)])]),
    )
    query = wrap([0.0, 0.0, 0.0])
    assert sorted(v for _, v in hnsw.search(query, k=10)) == [
        [-1.0, -2.0, -3.0], [1.0, 2.0, 3.0], [4.0, 5.0, 6.0], [7.0, 8.0, 9.0]]
    assert [v for _, v in hnsw.search(query, k=10, filter=("color", "red"))] == [[1.0, 2.0, 3.0], [7.0, 8.0, 9.0]]
    assert [v for _, v in hnsw.search(query, k=10, filter=("size", 2))] == [[4.0, 5.0, 6.0]]
    assert [v for _, v in hnsw.search(query, k=10, filter=("size", 4))] == [[-1.0, -2.0, -3.0]]
    with pytest.raises(ValueError) as info:
        hnsw.insert(wrap([1.0] * 5))
    assert str(info.value) == "Expected vector of length 3, got 5"
    with pytest.raises(ValueError) as info:
        hnsw.create(wrap([]))
    assert str(info.value) == "Create error: EmptyVectors"


def test_lists_changed_during_conversion_are_read_as_iteration_sees_them():
    vector = [1.0, None, 3.0]

    class Shrink:
        def __float__(self):
            del vector[1:]
            return 2.0

    vector[1] = Shrink()
    hnsw = PyHNSW(3, metric="euclidean")
    with pytest.raises(ValueError) as info:
        hnsw.insert(vector)
    assert str(info.value) == "Expected vector of length 3, got 2"

    growing = [1.0, None]

    class Grow:
        def __float__(self):
            growing.append(3.0)
            return 2.0

    growing[1] = Grow()
    hnsw.insert(growing)
    assert hnsw.search([0.0, 0.0, 0.0]) == [(euclidean([0.0] * 3, [1.0, 2.0, 3.0]), [1.0, 2.0, 3.0])]

    batch = [[4.0, 4.0, 4.0], [5.0, 5.0, 5.0]]

    class Clear:
        def __float__(self):
            batch.clear()
            return 0.0

    batch.insert(0, [Clear(), 0.0, 0.0])
    hnsw.create(batch)
    assert sorted(v for _, v in hnsw.search([0.0, 0.0, 0.0], k=10)) == [[0.0, 0.0, 0.0], [1.0, 2.0, 3.0]]


def test_memory_does_not_follow_settings_or_reported_lengths():
    # tracemalloc sees only the interpreter's allocations, not the index's,
    # so the process's peak virtual size is read instead: a reservation made
    # from ef or from a reported length would show there even if it were
    # never touched. Run apart, so that the peak starts low.
    script = textwrap.dedent(
        """
        import json, quarix

        def peak():
            with open("/proc/self/status") as status:
                for line in status:
                    if line.startswith("VmPeak:"):
                        return int(line.split()[1]) * 1024

        class Reported:
            def __init__(self, items, length):
                self.items, self.length = list(items), length
            def __len__(self):
                return self.length
            def __getitem__(self, i):
                return self.items[i]
            def __iter__(self):
                return iter(self.items)

        start = peak()
        big = 2**27
        hnsw = quarix.PyHNSW(4, ef_construction=big, ef_search=big, metric="euclidean", schema=["a"])
        for i in range(40):
            hnsw.insert(Reported([float(i), 1.0, 2.0, 3.0], big), Reported([("a", i)], big))
        hnsw.create(Reported([Reported([1.0, 1.0, 1.0, 1.0], big)], big), Reported([Reported([("a", -1)], big)], big))
        hits = 0
        for i in range(40):
            hits += len(hnsw.search(Reported([float(i), 0.0, 0.0, 0.0], big), k=big))
            hnsw.search([float(i), 0.0, 0.0, 0.0], k=big, filter=("a", i))
        huge = quarix.PyHNSW(4, ef_construction=10**18, ef_search=10**18, metric="euclidean")
        huge.create([[float(i), 0.0, 0.0, 0.0] for i in range(40)])
        hits += len(huge.search([0.0, 0.0, 0.0, 0.0], k=10**18))
        print(json.dumps({"growth": peak() - start, "hits": hits}))
        """
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    result = json.loads(done.stdout)
    assert result["hits"] == 40 * 41 + 40
    # One reservation by any of those settings would be gigabytes.
    assert result["growth"] < 256 * 2**20, result


# --------------------------------------------------------------------------
# Dimension 0


def test_dimension_zero():
    hnsw = PyHNSW(0, metric="euclidean", schema=["a"])
    assert hnsw.search([]) == []
    hnsw.insert([])
    hnsw.insert([], [("a", 1)])
    hnsw.create([[], [], ()])
    hnsw.create([[]], [[("a", 1)]])
    for vector, call in (([1.0], hnsw.insert), ([[], [1.0]], hnsw.create)):
        with pytest.raises(ValueError) as info:
            call(vector)
        assert str(info.value) in ("Expected vector of length 0, got 1", "Vector length 1 does not match index dimension 0")
    # Every search comes back empty, whatever it asks.
    for query in ([], [1.0], [1.0, 2.0, 3.0]):
        for k in (None, 0, 1, 10**18):
            assert hnsw.search(query, k=k) == []
            assert hnsw.search(query, k=k, filter=("a", 1)) == []
            assert hnsw.search(query, k=k, filter=("missing", 1)) == []
    with pytest.raises(ValueError) as info:
        hnsw.search([], filter=("a", None))
    assert str(info.value) == "Unsupported type for metadata filter"
    for settings in ({"layers": 0}, {"ef_search": 0}, {"ef_construction": 0}, {"layers": 10**12}):
        other = PyHNSW(0, metric="angular", **settings)
        other.create([[]] * 5)
        other.insert([])
        assert other.search([], k=5) == []
    with pytest.raises(ValueError) as info:
        PyHNSW(0, metric="euclidean").search([], filter=("a", 1))
    assert str(info.value) == "No schema provided in HNSW instance; cannot use metadata filtering"


def test_dimension_zero_messages():
    hnsw = PyHNSW(0, metric="inner_product")
    with pytest.raises(ValueError) as info:
        hnsw.insert([1.0])
    assert str(info.value) == "Expected vector of length 0, got 1"
    with pytest.raises(ValueError) as info:
        hnsw.create([[], [], [1.0, 2.0]])
    assert str(info.value) == "Vector length 2 does not match index dimension 0"
    with pytest.raises(ValueError) as info:
        hnsw.create([])
    assert str(info.value) == "Create error: EmptyVectors"


# --------------------------------------------------------------------------
# Level draw


def weights(layers):
    return [math.exp(-j) for j in range(layers)]


def chi_square(histogram, probabilities, bins):
    """Pearson's statistic over levels 0 .. bins-1 and one bin for the rest."""
    draws = sum(histogram.values())
    observed = [histogram.get(j, 0) for j in range(bins)]
    observed.append(draws - sum(observed))
    expected = [draws * p for p in probabilities[:bins]]
    expected.append(draws - sum(expected))
    return sum((o - e) ** 2 / e for o, e in zip(observed, expected))


DRAWS = 200_000


def test_level_frequencies_with_five_layers(hooks):
    histogram = hooks.draw_levels(5, DRAWS)
    assert sum(histogram.values()) == DRAWS
    assert set(histogram) == {0, 1, 2, 3, 4}
    w = weights(5)
    probabilities = [x / sum(w) for x in w]
    # 4 degrees of freedom: 60 has a chance of about 3e-12 of being exceeded.
    assert chi_square(histogram, probabilities, 4) < 60
    assert 0.62 < histogram[0] / DRAWS < 0.65


def test_level_frequencies_with_a_trillion_layers(hooks):
    histogram = hooks.draw_levels(10**12, DRAWS)
    assert sum(histogram.values()) == DRAWS
    # e^-40 per draw: no level that high comes out.
    assert max(histogram) < 40
    w = weights(60)
    probabilities = [x / sum(w) for x in w]
    # 8 degrees of freedom: 70 has a chance of about 5e-12 of being exceeded.
    assert chi_square(histogram, probabilities, 8) < 70


def test_one_layer_and_zero_layers(hooks):
    assert hooks.draw_levels(1, 10_000) == {0: 10_000}
    # With no layer at all the top layer's number wraps around.
    assert hooks.draw_levels(0, 10_000) == {SIZE_MAX: 10_000}


@pytest.mark.parametrize("layers", [2, 5, 12])
def test_level_boundaries(hooks, layers):
    w = weights(layers)
    total = 0.0
    for x in w:
        total += x
    running = 0.0
    for j, x in enumerate(w[:-1]):
        running += x
        edge = running / total
        assert hooks.level_for(layers, edge * (1 - 1e-9)) == j
        assert hooks.level_for(layers, min(edge * (1 + 1e-9), 1 - 2**-53)) == j + 1
    assert hooks.level_for(layers, 0.0) == 0
    assert hooks.level_for(layers, 1 - 2**-53) == layers - 1
    assert hooks.level_for(0, 0.5) == SIZE_MAX


def test_huge_layer_counts_draw_like_short_ones(hooks):
    for u in (0.0, 0.3, 0.9, 0.999999, 1 - 2**-40):
        assert hooks.level_for(10**12, u) == hooks.level_for(60, u) == hooks.level_for(SIZE_MAX, u)


def test_each_process_draws_its_own_levels(hooks):
    # A generator seeded from a constant would repeat itself in every new
    # process; 20000 draws over five levels practically never coincide.
    script = textwrap.dedent(
        f"""
        import json, sys
        sys.path.insert(0, {os.path.dirname(hooks.__file__)!r})
        import _quarix_testhooks
        print(json.dumps(sorted(_quarix_testhooks.draw_levels(5, 20000).items())))
        """
    )
    runs = []
    for _ in range(2):
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
        runs.append(json.loads(done.stdout))
    assert runs[0] != runs[1]
    assert [level for level, _ in runs[0]] == [0, 1, 2, 3, 4]
