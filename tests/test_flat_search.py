"""PyFlat answers must equal an exhaustive search done in plain Python.

The reference below repeats the index's arithmetic step for step (sums
start at 0.0, terms are added in index order into one accumulator, cosine
divides by sqrt(|stored|^2) * sqrt(|query|^2)), so results are compared bit
for bit, not within a tolerance.
"""

import math
import random
import struct

import pytest

import quarix
from reference_metrics import cosine_similarity as ref_cosine
from reference_metrics import exact_search as ref_search
from reference_metrics import euclidean_distance as ref_euclidean
from reference_metrics import inner_product as ref_inner_product

INF = math.inf
NAN = math.nan


# --- reference ---------------------------------------------------------------


def assert_same(got, want):
    assert type(got) is list
    assert len(got) == len(want), (got, want)
    for position, (g, w) in enumerate(zip(got, want)):
        assert type(g) is tuple and len(g) == 2
        gid, gdist = g
        wid, wdist = w
        assert type(gid) is int and type(gdist) is float
        assert gid == wid, f"position {position}: got {got}, want {want}"
        if math.isnan(wdist):
            assert math.isnan(gdist), f"position {position}: got {gdist!r}, want nan"
        else:
            assert struct.pack("<d", gdist) == struct.pack("<d", wdist), (
                f"position {position}: got {gdist!r}, want {wdist!r}"
            )


class Name(str):
    pass


# How each metric argument reaches the constructor, and what it must measure.
OMITTED = object()
METRICS = [
    pytest.param(OMITTED, ref_euclidean, id="default"),
    pytest.param(None, ref_euclidean, id="None"),
    pytest.param("euclidean", ref_euclidean, id="euclidean"),
    pytest.param("inner_product", ref_inner_product, id="inner_product"),
    pytest.param("cosine", ref_cosine, id="cosine"),
    pytest.param("angular", ref_euclidean, id="angular-falls-back"),
    pytest.param("Euclidean", ref_euclidean, id="Euclidean-falls-back"),
    pytest.param("cosine ", ref_euclidean, id="cosine-blank-falls-back"),
    pytest.param("", ref_euclidean, id="empty-falls-back"),
    pytest.param("INNER_PRODUCT", ref_euclidean, id="upper-falls-back"),
    # The whole text counts, not a C string prefix of it.
    pytest.param("cosine\x00", ref_euclidean, id="cosine-nul-falls-back"),
    pytest.param("inner_product\x00cosine", ref_euclidean, id="inner-nul-falls-back"),
    pytest.param(Name("inner_product"), ref_inner_product, id="str-subclass"),
]


def make_index(dim, metric, by_keyword=False):
    if metric is OMITTED:
        return quarix.PyFlat(dim)
    if by_keyword:
        return quarix.PyFlat(dim=dim, metric=metric)
    return quarix.PyFlat(dim, metric)


def check(index, stored, query, k, fn):
    got = index.search(query) if k is OMITTED else index.search(query, k)
    assert_same(got, ref_search(stored, query, None if k is OMITTED else k, fn))


def k_values(n):
    return [OMITTED, None, 0, 1, 3, n, n + 5, 10**18]


# --- random data ---------------------------------------------------------------

SPECIALS = [NAN, INF, -INF, -0.0, 0.0, 5e-324, -5e-324, 1e308, -1e308, 1e-160]


def random_vectors(rng, kind, n, dim):
    if kind == "uniform":
        return [[rng.uniform(-10.0, 10.0) for _ in range(dim)] for _ in range(n)]
    if kind == "small-ints":
        # Few distinct values: many equal distances, so ties decide the order.
        return [[float(rng.randint(-1, 1)) for _ in range(dim)] for _ in range(n)]
    if kind == "duplicates":
        pool = [[rng.uniform(-3.0, 3.0) for _ in range(dim)] for _ in range(3)]
        return [list(rng.choice(pool)) for _ in range(n)]
    if kind == "specials":
        out = []
        for _ in range(n):
            vec = [rng.uniform(-5.0, 5.0) for _ in range(dim)]
            for _ in range(rng.randint(0, 2)):
                vec[rng.randrange(dim)] = rng.choice(SPECIALS)
            out.append(vec)
        return out
    if kind == "zeros":
        # Zero vectors give NaN under cosine; -0.0 must count as 0.0.
        return [rng.choice([[0.0] * dim, [-0.0] * dim, [rng.uniform(-1, 1) for _ in range(dim)]])
                for _ in range(n)]
    raise AssertionError(kind)


KINDS = ["uniform", "small-ints", "duplicates", "specials", "zeros"]


@pytest.mark.parametrize("metric, fn", METRICS)
@pytest.mark.parametrize("kind", KINDS)
def test_random_data_matches_reference(metric, fn, kind):
    rng = random.Random(f"{kind}-{metric if metric is not OMITTED else 'default'}")
    for trial in range(6):
        dim = rng.randint(1, 6)
        n = rng.randint(1, 40)
        stored = random_vectors(rng, kind, n, dim)
        index = make_index(dim, metric, by_keyword=trial % 2 == 1)
        for vec in stored:
            index.insert(vec)
        queries = random_vectors(rng, kind, 3, dim) + [list(rng.choice(stored))]
        for query in queries:
            for k in k_values(n):
                check(index, stored, query, k, fn)


@pytest.mark.parametrize("metric, fn", METRICS[:5])
def test_interleaved_insert_create_search(metric, fn):
    # Ids are positions in insertion order, whichever method stored the vector.
    rng = random.Random(99)
    dim = 4
    index = make_index(dim, metric)
    stored = []
    for _ in range(60):
        action = rng.random()
        if action < 0.4:
            vec = random_vectors(rng, "specials", 1, dim)[0]
            index.insert(vec)
            stored.append(vec)
        elif action < 0.6:
            batch = random_vectors(rng, "small-ints", rng.randint(1, 5), dim)
            index.create(batch)
            stored.extend(batch)
        elif stored:
            query = random_vectors(rng, "uniform", 1, dim)[0]
            check(index, stored, query, rng.choice(k_values(len(stored))), fn)
    check(index, stored, [0.5] * dim, len(stored), fn)


@pytest.mark.parametrize("metric, fn", METRICS[:5])
@pytest.mark.parametrize("kind", ["small-ints", "specials", "zeros"])
def test_many_vectors_with_small_k(metric, fn, kind):
    # A k far below n makes the index keep only the best few hits while it
    # scans; ties and NaN at the cut-off are where that can go wrong.
    rng = random.Random(f"large-{kind}")
    n, dim = 5000, 16
    stored = random_vectors(rng, kind, n, dim)
    index = make_index(dim, metric)
    index.create(stored)
    queries = [random_vectors(rng, kind, 1, dim)[0], list(stored[n // 2])]
    for query in queries:
        want_all = ref_search(stored, query, n, fn)
        for k in (0, 1, 2, 10, 100, 1000, n - 1, n, n + 1):
            assert_same(index.search(query, k), want_all[: max(k, 1)])


# --- hand-made cases ------------------------------------------------------------


def test_ties_go_to_the_smaller_id():
    index = quarix.PyFlat(2)
    for vec in ([0, 0], [1, 0], [0, 1]):
        index.insert(vec)
    assert_same(index.search([0, 0], 3), [(0, 0.0), (1, 1.0), (2, 1.0)])


def test_tie_order_does_not_depend_on_insertion_position():
    # The same distance appears first at a high id and later at low ids.
    index = quarix.PyFlat(1)
    index.create([[5.0], [2.0], [9.0], [2.0], [-2.0], [2.0]])
    assert_same(index.search([0.0], 4), [(1, 2.0), (3, 2.0), (4, 2.0), (5, 2.0)])
    assert_same(index.search([0.0], 2), [(1, 2.0), (3, 2.0)])


@pytest.mark.parametrize("by_keyword", [False, True])
def test_inner_product_smallest_value_is_nearest(by_keyword):
    index = make_index(2, "inner_product", by_keyword)
    index.insert([2, 0])
    index.insert([-3, 0])
    assert_same(index.search([1, 0], 2), [(1, -3.0), (0, 2.0)])


def test_cosine_is_not_turned_into_a_distance():
    index = quarix.PyFlat(2, "cosine")
    index.create([[1.0, 0.0], [-1.0, 0.0], [0.0, 1.0]])
    assert_same(index.search([2.0, 0.0], 3), [(1, -1.0), (2, 0.0), (0, 1.0)])


def test_cosine_zero_vectors_come_last_in_id_order():
    index = quarix.PyFlat(2, "cosine")
    index.create([[0.0, 0.0], [1e300, 1e300], [0.0, -0.0], [-1.0, 0.0], [-0.0, -0.0]])
    got = index.search([1.0, 0.0], 10)
    assert [i for i, _ in got] == [3, 1, 0, 2, 4]
    assert got[0][1] == -1.0
    assert all(math.isnan(d) for _, d in got[2:])
    assert_same(got, ref_search([[0.0, 0.0], [1e300, 1e300], [0.0, -0.0], [-1.0, 0.0], [-0.0, -0.0]],
                                [1.0, 0.0], 10, ref_cosine))


def test_negative_zero_distance_ties_with_positive_zero():
    # The dot product underflows to -5e-324 and the division to -0.0: it must
    # tie with the +0.0 of the other vectors and be ordered by id.
    stored = [[5e-324, 1e150], [0.0, 1.0], [-5e-324, 1e150], [0.0, -1.0], [-1.0, 0.0]]
    index = quarix.PyFlat(2, "cosine")
    index.create(stored)
    got = index.search([1.0, 0.0], 5)
    assert [i for i, _ in got] == [4, 0, 1, 2, 3]
    assert struct.pack("<d", got[3][1]) == struct.pack("<d", -0.0)
    assert_same(got, ref_search(stored, [1.0, 0.0], 5, ref_cosine))


def test_infinite_distances_come_before_nan():
    stored = [[INF, 0.0], [NAN, 0.0], [1.0, 0.0], [-INF, 0.0], [INF, 0.0]]
    index = quarix.PyFlat(2)
    index.create(stored)
    got = index.search([0.0, 0.0], 5)
    assert [i for i, _ in got] == [2, 0, 3, 4, 1]
    assert [d for _, d in got[:4]] == [1.0, INF, INF, INF]
    assert math.isnan(got[4][1])


@pytest.mark.parametrize("metric", ["euclidean", "inner_product", "cosine"])
def test_nan_query_lists_everything_by_id(metric):
    index = quarix.PyFlat(3, metric)
    index.create([[3.0, 2.0, 1.0], [0.0, 0.0, 0.0], [-1.0, 5.0, 2.0], [1.0, 1.0, 1.0]])
    got = index.search([1.0, NAN, 0.0], 4)
    assert [i for i, _ in got] == [0, 1, 2, 3]
    assert all(math.isnan(d) for _, d in got)


@pytest.mark.parametrize("k", [OMITTED, None, 0, 1])
def test_k_absent_none_or_zero_gives_one_hit(k):
    index = quarix.PyFlat(1)
    index.create([[4.0], [1.0], [3.0]])
    got = index.search([0.0]) if k is OMITTED else index.search([0.0], k=k)
    assert got == [(1, 1.0)]


@pytest.mark.parametrize("k", [2, 3, 5, 10**18, 2**64 - 1])
def test_k_beyond_the_count_gives_everything(k):
    index = quarix.PyFlat(2)
    index.insert([0.0, 0.0])
    index.insert([3.0, 4.0])
    got = index.search([0.0, 0.0], k)
    assert got == [(0, 0.0), (1, 5.0)][:k]


@pytest.mark.parametrize("k", [True, False])
def test_bool_k_is_an_integer(k):
    index = quarix.PyFlat(1)
    index.create([[0.0], [1.0], [2.0]])
    assert len(index.search([0.0], k)) == 1


def test_k_via_index_protocol():
    class Two:
        def __index__(self):
            return 2

    index = quarix.PyFlat(1)
    index.create([[0.0], [1.0], [2.0]])
    assert index.search([0.0], Two()) == [(0, 0.0), (1, 1.0)]


def test_create_continues_ids():
    index = quarix.PyFlat(1)
    for value in range(5):
        index.insert([float(value)])
    index.create([[10.0], [20.0]])
    index.create([[30.0]])
    assert index.search([20.0], 1) == [(6, 0.0)]
    assert index.search([30.0], 1) == [(7, 0.0)]
    assert [i for i, _ in index.search([0.0], 100)] == [0, 1, 2, 3, 4, 5, 6, 7]


@pytest.mark.parametrize(
    "vector, doubles",
    [
        pytest.param([1, 2, 3], [1.0, 2.0, 3.0], id="ints"),
        pytest.param((1.5, -2, 0), [1.5, -2.0, 0.0], id="tuple"),
        pytest.param(b"a\x00\xff", [97.0, 0.0, 255.0], id="bytes"),
        pytest.param(bytearray(b"\x01\x02\x03"), [1.0, 2.0, 3.0], id="bytearray"),
        pytest.param(range(3), [0.0, 1.0, 2.0], id="range"),
        pytest.param([True, False, 2**53 + 1], [1.0, 0.0, float(2**53 + 1)], id="bool-and-big-int"),
    ],
)
def test_sequences_and_numbers_become_doubles(vector, doubles):
    # Stored through insert and through create, and used as a query: each
    # must act exactly like the list of floats it converts to.
    for store in ("insert", "create"):
        index = quarix.PyFlat(3, "inner_product")
        if store == "insert":
            index.insert(vector)
        else:
            index.create([vector])
        index.insert([1.0, 10.0, 100.0])
        assert_same(index.search([1.0, 10.0, 100.0], 2),
                    ref_search([doubles, [1.0, 10.0, 100.0]], [1.0, 10.0, 100.0], 2, ref_inner_product))
        assert_same(index.search(vector, 2),
                    ref_search([doubles, [1.0, 10.0, 100.0]], doubles, 2, ref_inner_product))


def test_float_subclass_and_dunder_float_elements():
    class Half:
        def __float__(self):
            return 0.5

    class MyFloat(float):
        pass

    index = quarix.PyFlat(2)
    index.create([(Half(), MyFloat(2.0))])
    assert index.search([0.5, 2.0]) == [(0, 0.0)]


def test_results_are_fresh_objects():
    index = quarix.PyFlat(1)
    index.create([[1.0], [2.0]])
    first = index.search([0.0], 2)
    first.append("junk")
    first[0] = None
    assert index.search([0.0], 2) == [(0, 1.0), (1, 2.0)]


def test_dimension_zero_stores_nothing_searchable():
    index = quarix.PyFlat(0)
    for _ in range(3):
        index.insert([])
    index.create([[], ()])
    for k in (None, 0, 5):
        with pytest.raises(ValueError) as info:
            index.search([], k)
        assert str(info.value) == "Search error: EmptyIndex"


def test_true_dimension_is_one():
    index = quarix.PyFlat(True)
    index.insert([4.0])
    assert index.search([1.0]) == [(0, 3.0)]


def test_indexes_are_independent():
    a = quarix.PyFlat(1)
    b = quarix.PyFlat(1, "inner_product")
    a.insert([1.0])
    b.create([[2.0], [-2.0]])
    assert a.search([0.0], 5) == [(0, 1.0)]
    assert b.search([1.0], 5) == [(1, -2.0), (0, 2.0)]


def test_searching_does_not_change_the_index():
    rng = random.Random(7)
    stored = random_vectors(rng, "specials", 30, 3)
    index = quarix.PyFlat(3, "cosine")
    index.create(stored)
    query = [0.3, -0.2, 0.9]
    first = index.search(query, 30)
    for _ in range(5):
        index.search(random_vectors(rng, "specials", 1, 3)[0], 7)
    assert_same(index.search(query, 30), first)
    assert_same(first, ref_search(stored, query, 30, ref_cosine))


def test_high_dimension_sums_in_index_order():
    # With huge and tiny terms mixed, any reordering or fused multiply-add in
    # the sums changes the last bits; the reference adds strictly in order.
    rng = random.Random(3)
    dim = 257
    stored = [[rng.choice([1e16, -1e16, 1.0, 1e-8, 3.3]) * rng.random() for _ in range(dim)] for _ in range(20)]
    query = [rng.uniform(-1e8, 1e8) for _ in range(dim)]
    for metric, fn in (("euclidean", ref_euclidean), ("inner_product", ref_inner_product), ("cosine", ref_cosine)):
        index = quarix.PyFlat(dim, metric)
        index.create(stored)
        assert_same(index.search(query, 20), ref_search(stored, query, 20, fn))
