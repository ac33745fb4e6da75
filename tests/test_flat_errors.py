"""Every failure PyFlat reports itself: its type, exact text, which check
wins when several apply, and that a failed call leaves the index as it was."""

import pytest

import quarix

EMPTY_INDEX = "Search error: EmptyIndex"
EMPTY_VECTORS = "Create error: EmptyVectors"


def raises_exactly(exc_type, message, call, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        call(*args, **kwargs)
    assert type(info.value) is exc_type, repr(info.value)
    assert str(info.value) == message
    assert info.value.args == (message,)
    return info.value


def contents(index, dim):
    """Every stored (id, distance) from the origin, or the search error."""
    try:
        return index.search([0.0] * dim, 2**64 - 1)
    except ValueError as error:
        return str(error)


def filled(dim, count, metric=None):
    index = quarix.PyFlat(dim, metric)
    for i in range(count):
        index.insert([float(i + 1)] * dim)
    return index


def assert_still_usable(index, dim, before):
    """The failed call changed nothing and the next call still gets access."""
    assert contents(index, dim) == before
    index.insert([0.0] * dim)
    got = contents(index, dim)
    if dim == 0:
        assert got == EMPTY_INDEX
    else:
        count = 0 if isinstance(before, str) else len(before)
        assert (count, 0.0) in got
        assert len(got) == count + 1


# --- insert --------------------------------------------------------------------


@pytest.mark.parametrize(
    "dim, vector",
    [(3, [1.0, 2.0]), (3, [1.0, 2.0, 3.0, 4.0]), (3, []), (0, [1.0]), (1, [1.0, 2.0]), (2, (1,)), (2, b"abc")],
)
@pytest.mark.parametrize("count", [0, 2])
def test_insert_wrong_length(dim, vector, count):
    index = filled(dim, count)
    before = contents(index, dim)
    raises_exactly(ValueError, f"Expected vector of length {dim}, got {len(vector)}", index.insert, vector)
    raises_exactly(ValueError, f"Expected vector of length {dim}, got {len(vector)}", index.insert, vector=vector)
    assert_still_usable(index, dim, before)


def test_insert_conversion_error_comes_before_length():
    index = quarix.PyFlat(3)
    raises_exactly(TypeError, "argument 'vector': Can't extract `str` to `Vec`", index.insert, "ab")
    with pytest.raises(TypeError) as info:
        index.insert([1.0, "x"])
    assert str(info.value).startswith("argument 'vector': ")
    assert_still_usable(index, 3, EMPTY_INDEX)


# --- search --------------------------------------------------------------------


@pytest.mark.parametrize("k", [None, 0, 1, 7, 10**18])
@pytest.mark.parametrize("dim", [0, 1, 4])
def test_search_on_new_index(dim, k):
    index = quarix.PyFlat(dim)
    raises_exactly(ValueError, EMPTY_INDEX, index.search, [0.5] * dim, k)
    raises_exactly(ValueError, EMPTY_INDEX, index.search, query=[0.5] * dim, k=k)


@pytest.mark.parametrize("dim, query", [(2, [0.0, 0.0, 0.0]), (2, [0.0]), (2, []), (0, [1.0]), (3, (1, 2))])
@pytest.mark.parametrize("count", [0, 3])
def test_search_wrong_query_length(dim, query, count):
    # On a new index the length check wins over EmptyIndex.
    index = filled(dim, count)
    before = contents(index, dim)
    message = f"Expected query of length {dim}, got {len(query)}"
    for k in (None, 0, 2):
        raises_exactly(ValueError, message, index.search, query, k)
    assert_still_usable(index, dim, before)


@pytest.mark.parametrize("count", [0, 3])
@pytest.mark.parametrize(
    "k, exc_type, message",
    [
        ("2", TypeError, "argument 'k': 'str' object cannot be interpreted as an integer"),
        (2.0, TypeError, "argument 'k': 'float' object cannot be interpreted as an integer"),
        ([1], TypeError, "argument 'k': 'list' object cannot be interpreted as an integer"),
        (-1, OverflowError, None),
        (2**64, OverflowError, None),
    ],
)
def test_bad_k_is_reported_before_query_length(count, k, exc_type, message):
    index = filled(2, count)
    before = contents(index, 2)
    for query in ([1.0, 2.0, 3.0], [1.0, 2.0]):
        with pytest.raises(BaseException) as info:
            index.search(query, k)
        assert type(info.value) is exc_type
        if message is not None:
            assert str(info.value) == message
        else:
            assert not str(info.value).startswith("argument")
    assert_still_usable(index, 2, before)


def test_query_is_converted_before_k():
    index = filled(2, 1)
    raises_exactly(TypeError, "argument 'query': Can't extract `str` to `Vec`", index.search, "ab", "k")
    with pytest.raises(TypeError) as info:
        index.search({1: 2}, -1)
    assert str(info.value) == "argument 'query': 'dict' object cannot be converted to 'Sequence'"


def test_dimension_zero_empty_index_after_inserts():
    index = quarix.PyFlat(0)
    index.insert([])
    index.create([[]])
    raises_exactly(ValueError, EMPTY_INDEX, index.search, [])
    raises_exactly(ValueError, "Expected query of length 0, got 1", index.search, [1.0])


# --- create --------------------------------------------------------------------


@pytest.mark.parametrize("empty", [[], (), b"", range(0)])
@pytest.mark.parametrize("dim, count", [(2, 0), (2, 3), (0, 0)])
def test_create_empty(empty, dim, count):
    index = filled(dim, count)
    before = contents(index, dim)
    raises_exactly(ValueError, EMPTY_VECTORS, index.create, empty)
    raises_exactly(ValueError, EMPTY_VECTORS, index.create, vectors=empty)
    assert_still_usable(index, dim, before)


@pytest.mark.parametrize(
    "dim, vectors, bad_length",
    [
        (2, [[1, 2], [3]], 1),
        (2, [[3], [1, 2]], 1),
        (2, [[1, 2], [3, 4], [5, 6, 7]], 3),
        (2, [[1, 2], []], 0),
        (2, [[1, 2], [3], [4, 5, 6]], 1),
        (2, [[1, 2, 3], [4]], 3),
        (0, [[], [1.0]], 1),
        (1, [(1,), b"ab"], 2),
    ],
)
@pytest.mark.parametrize("count", [0, 5])
def test_create_wrong_length_stores_nothing(dim, vectors, bad_length, count):
    index = filled(dim, count)
    before = contents(index, dim)
    message = f"Vector length {bad_length} does not match index dimension {dim}"
    raises_exactly(ValueError, message, index.create, vectors)
    assert contents(index, dim) == before
    # The refused vectors consumed no ids: the next ones continue the count.
    index.create([[9.0] * dim, [0.0] * dim])
    got = contents(index, dim)
    if dim:
        assert len(got) == count + 2
        assert got[0] == (count + 1, 0.0)
    assert_still_usable(index, dim, contents(index, dim))


def test_create_error_is_an_ordinary_exception():
    index = quarix.PyFlat(2)
    with pytest.raises(Exception) as info:
        index.create([[1.0, 2.0], [3.0]])
    assert type(info.value) is ValueError
    assert str(info.value) == "Vector length 1 does not match index dimension 2"


def test_create_conversion_error_stores_nothing():
    index = filled(2, 2)
    before = contents(index, 2)
    raises_exactly(TypeError, "argument 'vectors': Can't extract `str` to `Vec`", index.create, [[1.0, 2.0], "ab"])
    raises_exactly(TypeError, "argument 'vectors': Can't extract `str` to `Vec`", index.create, "ab")
    with pytest.raises(TypeError) as info:
        index.create([[1.0, 2.0], [3.0, None]])
    assert str(info.value).startswith("argument 'vectors': ")
    # Conversion runs before the length check, so a bad element further on
    # wins over a wrong length earlier in the list.
    with pytest.raises(TypeError):
        index.create([[1.0], [3.0, object()]])
    assert_still_usable(index, 2, before)


def test_create_checks_emptiness_of_the_list_not_its_vectors():
    index = quarix.PyFlat(2)
    raises_exactly(ValueError, "Vector length 0 does not match index dimension 2", index.create, [[]])
    raises_exactly(ValueError, EMPTY_INDEX, index.search, [0.0, 0.0])


# --- one session through every message ---------------------------------------


def test_messages_in_one_session():
    index = quarix.PyFlat(2)
    raises_exactly(ValueError, EMPTY_INDEX, index.search, [0.0, 0.0])
    raises_exactly(ValueError, EMPTY_VECTORS, index.create, [])
    raises_exactly(ValueError, "Vector length 1 does not match index dimension 2", index.create, [[1, 2], [3]])
    raises_exactly(ValueError, EMPTY_INDEX, index.search, [0.0, 0.0])
    raises_exactly(ValueError, "Expected vector of length 3, got 2", quarix.PyFlat(3).insert, [1.0, 2.0])
    raises_exactly(TypeError, "argument 'vector': Can't extract `str` to `Vec`", index.insert, "abc")
    index.create([[1, 2]])
    assert index.search([1, 2], 5) == [(0, 0.0)]
