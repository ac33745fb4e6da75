"""Arrays read through the buffer protocol give exactly what iterating them gives."""
import array
import math
import random
import struct

import numpy as np
import pytest

import quarix


def bits(hits):
    return [(i, "nan" if math.isnan(d) else struct.pack("<d", d)) for i, d in hits]


def outcome(call):
    try:
        return ("ok", call())
    except Exception as error:  # the comparison is of the exception itself
        return (type(error), str(error))


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(3)
    base = rng.normal(size=(40, 6))
    base[3, 2] = np.nan
    base[5, 1] = -0.0
    base[7, 0] = np.inf
    return base


def vector_forms(row):
    """The same vector as a list, and as the array kinds that may skip iteration."""
    return {
        "ndarray": row.copy(),
        "strided": np.repeat(row, 2)[::2],
        "reversed": row[::-1].copy()[::-1],
        "array": array.array("d", row.tolist()),
        "memoryview": memoryview(array.array("d", row.tolist())),
        "float32": row.astype(np.float32),
        "int64": np.arange(row.size, dtype=np.int64),
        "big-endian": row.astype(">f8"),
    }


@pytest.mark.parametrize("metric", [None, "inner_product", "cosine"])
def test_vectors_and_queries_as_arrays(data, metric):
    for name, form in vector_forms(data[0]).items():
        as_list = list(form)  # what iteration yields, element by element
        by_list, by_array = quarix.PyFlat(6, metric), quarix.PyFlat(6, metric)
        by_list.create(data.tolist())
        by_array.create(data.tolist())
        by_list.insert(as_list)
        by_array.insert(form)
        for query in vector_forms(data[1]).values():
            assert bits(by_array.search(query, 50)) == bits(by_list.search(list(query), 50)), name


@pytest.mark.parametrize("layout", ["C", "F", "sliced", "rows-reversed"])
def test_create_from_two_dimensional_arrays(data, layout):
    arrays = {
        "C": np.ascontiguousarray(data),
        "F": np.asfortranarray(data),
        "sliced": np.repeat(data, 2, axis=1)[:, ::2],
        "rows-reversed": data[::-1][::-1],
    }
    matrix = arrays[layout]
    by_list, by_array = quarix.PyFlat(6), quarix.PyFlat(6)
    by_list.create([list(row) for row in matrix])
    by_array.create(matrix)
    assert bits(by_array.search(data[2], 40)) == bits(by_list.search(data[2].tolist(), 40))
    hnsw = quarix.PyHNSW(6, layers=1, metric="euclidean")
    hnsw.create(matrix)
    assert [v for _, v in hnsw.search(data[2], 40)] != []


@pytest.mark.parametrize("make", [
    lambda d: d[:, :0],                      # rows of length 0
    lambda d: d[:0],                         # no rows at all
    lambda d: d[0],                          # one dimension where two are needed
    lambda d: d.reshape(40, 2, 3),           # three dimensions
    lambda d: np.float64(1.5),               # a scalar
    lambda d: d.astype(np.float32),          # another item type
    lambda d: memoryview(np.ascontiguousarray(d)),  # a two-dimensional memoryview
    lambda d: np.array(1.0),                 # zero dimensions
], ids=["no-columns", "no-rows", "1-d", "3-d", "scalar", "float32", "memoryview-2d", "0-d"])
def test_create_errors_and_results_match_iteration(data, make):
    value = make(data)
    iterated = outcome(lambda: [list(row) for row in value])
    by_array = quarix.PyFlat(6)
    got = outcome(lambda: by_array.create(value))
    if iterated[0] != "ok":
        # Iterating fails in Python itself: the module fails the same way.
        assert got[0] is iterated[0]
        return
    by_list = quarix.PyFlat(6)
    assert got == outcome(lambda: by_list.create(iterated[1]))


def test_subclasses_are_iterated_like_any_sequence():
    class Doubled(np.ndarray):
        def __iter__(self):
            return iter([2 * x for x in np.asarray(self)])

    index = quarix.PyFlat(2)
    index.insert(np.array([1.0, 2.0]).view(Doubled))
    assert index.search([2.0, 4.0]) == [(0, 0.0)]


def test_access_flag_still_guards_after_array_calls():
    index = quarix.PyFlat(2)
    index.insert(np.array([0.0, 0.0]))

    class Sneaky:
        def __float__(self):
            index.insert([1.0, 1.0])
            return 0.0

    with pytest.raises(RuntimeError, match="Already borrowed"):
        index.search([Sneaky(), 0.0])
    assert index.search(np.array([0.0, 0.0]), 5) == [(0, 0.0)]


def test_float64_buffers_of_a_refused_length_are_not_copied():
    # 2**36 elements claimed by a zero-stride view: a copy would need 512 GiB. Where nothing can
    # change the outcome, the length is refused before any element is read.
    huge = np.lib.stride_tricks.as_strided(np.zeros(1), shape=(2**36,), strides=(0,))
    rows = np.lib.stride_tricks.as_strided(np.zeros(1), shape=(2**34, 4), strides=(0, 0))
    flat, graph = quarix.PyFlat(3), quarix.PyHNSW(3, metric="euclidean", schema=["c"])
    length = "Expected vector of length 3, got 68719476736"
    assert outcome(lambda: flat.insert(huge)) == (ValueError, length)
    assert outcome(lambda: graph.insert(huge)) == (ValueError, length)
    for index in (flat, graph):
        assert outcome(lambda: index.create(rows)) == (ValueError, "Vector length 4 does not match index dimension 3")
        assert outcome(lambda: index.create([[1.0, 2.0, 3.0], huge, [1.0]])) == (
            ValueError, "Vector length 68719476736 does not match index dimension 3")
        # A conversion failure later in the call still comes first, as it would for any vector.
        assert outcome(lambda: index.create([huge, [1.0, "x", 2.0]])) == (
            TypeError, "argument 'vectors': must be real number, not str")
    # So do the metadata checks of PyHNSW, which come before the length is looked at.
    assert outcome(lambda: graph.insert(huge, [("d", 1)])) == (ValueError, "Missing metadata for attribute 'c'")
    assert outcome(lambda: graph.create(rows, [])) == (
        ValueError, "Length of metadata list must match number of vectors")
    assert outcome(lambda: graph.create([huge], [[("c", None)]])) == (
        ValueError, "Unsupported metadata type for attribute 'c'")
    flat.insert([1.0, 2.0, 3.0])
    assert flat.search([1.0, 2.0, 3.0], 5) == [(0, 0.0)]
