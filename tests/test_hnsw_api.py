"""PyHNSW from Python: argument conversion and its messages, the order in which
each method makes its checks, the shape of results, and the access flag that
guards an instance against re-entrant calls."""

import math

import pytest

import quarix
from number_likes import Index, Real

PyHNSW = quarix.PyHNSW

NO_SCHEMA = "No schema provided in HNSW instance; cannot use metadata"
NO_SCHEMA_FILTER = "No schema provided in HNSW instance; cannot use metadata filtering"
LENGTHS_DIFFER = "Length of metadata list must match number of vectors"
BAD_FILTER_VALUE = "Unsupported type for metadata filter"
CANT_EXTRACT_STR = "Can't extract `str` to `Vec`"


def failure(exc_type, call):
    """The exception that call() raises; its type must be exactly exc_type."""
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value) is exc_type, repr(info.value)
    return info.value


def check(exc_type, message, call):
    error = failure(exc_type, call)
    assert str(error) == message
    if exc_type is not UnicodeEncodeError:
        assert error.args == (message,)
    return error


def index(dim=3, **kwargs):
    kwargs.setdefault("metric", "euclidean")
    kwargs.setdefault("ef_search", 1000)
    return PyHNSW(dim, **kwargs)


def everything(hnsw, dim=3):
    """All reachable stored vectors; exhaustive because the indexes built by
    index() search layer 0 with a list far longer than they are."""
    return sorted(vector for _, vector in hnsw.search([0.0] * dim, k=10**6))


# --------------------------------------------------------------------------
# Constructor


@pytest.mark.parametrize(
    "kwargs",
    [
        {},
        {"metric": None},
        {"metric": "Euclidean"},
        {"metric": "EUCLIDEAN"},
        {"metric": "cosine"},
        {"metric": ""},
        {"metric": "cosine "},
        {"metric": " euclidean"},
        {"metric": "euclidean\0"},
        {"metric": "Angular"},
        {"metric": "inner-product"},
        {"metric": "dot"},
        {"schema": ["color"]},
    ],
)
def test_constructor_refuses_metric(kwargs):
    check(ValueError, "Unsupported metric", lambda: PyHNSW(4, **kwargs))


@pytest.mark.parametrize(
    "metric, expected",
    [
        # Query [1, 0] against [2, 0], [-3, 0] and [0, 5]; smaller is nearer
        # for every metric, values used as they stand.
        ("euclidean", [(1.0, [2.0, 0.0]), (4.0, [-3.0, 0.0]), (math.sqrt(26.0), [0.0, 5.0])]),
        ("inner_product", [(-3.0, [-3.0, 0.0]), (0.0, [0.0, 5.0]), (2.0, [2.0, 0.0])]),
        ("angular", [(-1.0, [-3.0, 0.0]), (0.0, [0.0, 5.0]), (1.0, [2.0, 0.0])]),
    ],
)
def test_metric_names_choose_their_function(metric, expected):
    hnsw = PyHNSW(2, layers=1, metric=metric)
    hnsw.create([[2.0, 0.0], [-3.0, 0.0], [0.0, 5.0]])
    assert hnsw.search([1.0, 0.0], k=10) == expected


def test_omitted_and_none_parameters_take_the_defaults():
    vectors = [[float(i), float(i % 7)] for i in range(80)]
    for hnsw in (
        PyHNSW(2, metric="euclidean"),
        PyHNSW(2, None, None, None, None, "euclidean", None),
        PyHNSW(dim=2, layers=None, m=None, ef_construction=None, ef_search=None, metric="euclidean", schema=None),
    ):
        hnsw.create(vectors)
        # The default ef_search (50) bounds every answer.
        assert len(hnsw.search([0.0, 0.0], k=1000)) == 50
        # No schema was given.
        check(ValueError, NO_SCHEMA_FILTER, lambda: hnsw.search([0.0, 0.0], filter=("a", 1)))


@pytest.mark.parametrize("metric", ["euclidean", "angular", "inner_product"])
@pytest.mark.parametrize("size", ["dim", "layers", "m", "ef_construction", "ef_search"])
def test_zero_is_accepted_for_every_size(size, metric):
    arguments = {"dim": 2, "metric": metric, size: 0}
    assert type(PyHNSW(**arguments)) is PyHNSW
    assert type(PyHNSW(0, layers=0, m=0, ef_construction=0, ef_search=0, metric=metric)) is PyHNSW


SIZE_FAILURES = [
    ("x", TypeError, "'str' object cannot be interpreted as an integer", True),
    (2.0, TypeError, "'float' object cannot be interpreted as an integer", True),
    ([3], TypeError, "'list' object cannot be interpreted as an integer", True),
    (b"3", TypeError, "'bytes' object cannot be interpreted as an integer", True),
    (-1, OverflowError, "can't convert negative int to unsigned", False),
    (-(2**70), OverflowError, "can't convert negative int to unsigned", False),
    (2**64, OverflowError, "int too big to convert", False),
    (Index(-5), OverflowError, "can't convert negative int to unsigned", False),
]


@pytest.mark.parametrize("with_metric", [True, False])
@pytest.mark.parametrize("value, exc_type, message, wrapped", SIZE_FAILURES)
@pytest.mark.parametrize("size", ["dim", "layers", "m", "ef_construction", "ef_search"])
def test_size_conversion_failures(size, value, exc_type, message, wrapped, with_metric):
    arguments = {"dim": 3, size: value}
    if with_metric:
        arguments["metric"] = "euclidean"
    # Conversions come before the metric test, so the outcome is the same
    # whether the metric is valid or missing.
    expected = f"argument '{size}': {message}" if wrapped else message
    check(exc_type, expected, lambda: PyHNSW(**arguments))


def test_dim_given_as_none_is_converted_and_refused():
    check(TypeError, "argument 'dim': 'NoneType' object cannot be interpreted as an integer",
          lambda: PyHNSW(None, metric="euclidean"))


@pytest.mark.parametrize("dim, length", [(True, 1), (Index(2), 2), (2**64 - 1, 2**64 - 1)])
def test_dim_accepts_integers_and_index_objects(dim, length):
    hnsw = PyHNSW(dim, layers=Index(3), ef_search=Index(7), metric="euclidean")
    check(ValueError, f"Expected vector of length {length}, got 5", lambda: hnsw.insert([1.0] * 5))
    assert hnsw.search([1.0]) == []


def test_type_error_from_index_is_wrapped_and_keeps_its_cause():
    cause = KeyError("inner")

    class Broken:
        def __index__(self):
            raise TypeError("no index today") from cause

    error = check(TypeError, "argument 'ef_search': no index today",
                  lambda: PyHNSW(2, ef_search=Broken(), metric="euclidean"))
    assert error.__cause__ is cause


@pytest.mark.parametrize("raised", [ValueError("odd"), ZeroDivisionError("zero"), type("Sub", (TypeError,), {})("sub")])
def test_other_exceptions_from_index_pass_unchanged(raised):
    class Broken:
        def __index__(self):
            raise raised

    error = failure(type(raised), lambda: PyHNSW(2, m=Broken(), metric="euclidean"))
    assert error is raised


@pytest.mark.parametrize(
    "metric, exc_type, message",
    [
        (5, TypeError, "argument 'metric': 'int' object cannot be converted to 'PyString'"),
        (b"euclidean", TypeError, "argument 'metric': 'bytes' object cannot be converted to 'PyString'"),
        (["euclidean"], TypeError, "argument 'metric': 'list' object cannot be converted to 'PyString'"),
        ("\ud800", UnicodeEncodeError,
         "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
    ],
)
def test_metric_conversion_failures(metric, exc_type, message):
    check(exc_type, message, lambda: PyHNSW(3, metric=metric))


@pytest.mark.parametrize(
    "schema, exc_type, message",
    [
        ("color", TypeError, f"argument 'schema': {CANT_EXTRACT_STR}"),
        ("", TypeError, f"argument 'schema': {CANT_EXTRACT_STR}"),
        (["color", 1], TypeError, "argument 'schema': 'int' object cannot be converted to 'PyString'"),
        ([b"color"], TypeError, "argument 'schema': 'bytes' object cannot be converted to 'PyString'"),
        ({"color"}, TypeError, "argument 'schema': 'set' object cannot be converted to 'Sequence'"),
        ({"color": 1}, TypeError, "argument 'schema': 'dict' object cannot be converted to 'Sequence'"),
        ((n for n in ["color"]), TypeError, "argument 'schema': 'generator' object cannot be converted to 'Sequence'"),
        (5, TypeError, "argument 'schema': 'int' object cannot be converted to 'Sequence'"),
        (["color", "\udfff"], UnicodeEncodeError,
         "'utf-8' codec can't encode character '\\udfff' in position 0: surrogates not allowed"),
    ],
)
@pytest.mark.parametrize("metric", ["euclidean", "cosine"])
def test_schema_conversion_failures(schema, exc_type, message, metric):
    # The schema is converted before the metric is tested.
    check(exc_type, message, lambda: PyHNSW(3, metric=metric, schema=schema))


@pytest.mark.parametrize("schema", [["color"], ("color",), ["color", "color"]])
def test_schema_given_as_sequence_of_texts(schema):
    hnsw = index(2, schema=schema)
    hnsw.insert([1.0, 2.0], [("color", "blue")])
    assert hnsw.search([0.0, 0.0], filter=("color", "blue")) == [(math.sqrt(5.0), [1.0, 2.0])]


@pytest.mark.parametrize(
    "args, kwargs, exc_type, message",
    [
        (("x",), {"layers": -1, "metric": 5, "schema": "a"}, TypeError,
         "argument 'dim': 'str' object cannot be interpreted as an integer"),
        ((3,), {"layers": -1, "m": "x", "metric": 5}, OverflowError, "can't convert negative int to unsigned"),
        ((3,), {"m": "x", "ef_construction": -1}, TypeError,
         "argument 'm': 'str' object cannot be interpreted as an integer"),
        ((3,), {"ef_construction": 1.5, "ef_search": -1}, TypeError,
         "argument 'ef_construction': 'float' object cannot be interpreted as an integer"),
        ((3,), {"ef_search": [], "metric": 5}, TypeError,
         "argument 'ef_search': 'list' object cannot be interpreted as an integer"),
        ((3,), {"metric": 5, "schema": "a"}, TypeError,
         "argument 'metric': 'int' object cannot be converted to 'PyString'"),
        ((3,), {"metric": "bad", "schema": "a"}, TypeError, f"argument 'schema': {CANT_EXTRACT_STR}"),
    ],
)
def test_constructor_converts_in_declaration_order(args, kwargs, exc_type, message):
    check(exc_type, message, lambda: PyHNSW(*args, **kwargs))


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: PyHNSW(), "PyHNSW.__new__() missing 1 required positional argument: 'dim'"),
        (lambda: PyHNSW(1, 2, 3, 4, 5, 6, 7, 8),
         "PyHNSW.__new__() takes from 1 to 7 positional arguments but 8 were given"),
        (lambda: PyHNSW(3, dim=3, metric="euclidean"), "PyHNSW.__new__() got multiple values for argument 'dim'"),
        (lambda: PyHNSW(3, metric="euclidean", metrics="x"),
         "PyHNSW.__new__() got an unexpected keyword argument 'metrics'"),
        (lambda: index().insert(), "PyHNSW.insert() missing 1 required positional argument: 'vector'"),
        (lambda: index().insert([1, 2, 3], None, None),
         "PyHNSW.insert() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: index().insert([1, 2, 3], vector=[1, 2, 3]),
         "PyHNSW.insert() got multiple values for argument 'vector'"),
        (lambda: index().search(), "PyHNSW.search() missing 1 required positional argument: 'query'"),
        (lambda: index().search([0], 1, None, None),
         "PyHNSW.search() takes from 1 to 3 positional arguments but 4 were given"),
        (lambda: index().search([0], K=1), "PyHNSW.search() got an unexpected keyword argument 'K'"),
        (lambda: index().create(), "PyHNSW.create() missing 1 required positional argument: 'vectors'"),
        (lambda: index().create([], None, None),
         "PyHNSW.create() takes from 1 to 2 positional arguments but 3 were given"),
    ],
)
def test_argument_matching_messages(call, message):
    check(TypeError, message, call)


def test_keywords_reach_their_parameters():
    hnsw = index(2, schema=["color"])
    hnsw.insert(metadata=[("color", "red")], vector=[3.0, 4.0])
    hnsw.create(metadata=[[("color", "blue")]], vectors=[[6.0, 8.0]])
    assert hnsw.search(filter=("color", "blue"), k=5, query=[0.0, 0.0]) == [(10.0, [6.0, 8.0])]


# --------------------------------------------------------------------------
# insert


@pytest.mark.parametrize("vector", [[1.0, 2.0], [1.0, 2.0, 3.0, 4.0], []])
def test_insert_refuses_wrong_length_and_stores_nothing(vector):
    hnsw = index(3)
    check(ValueError, f"Expected vector of length 3, got {len(vector)}", lambda: hnsw.insert(vector))
    assert hnsw.search([0.0, 0.0, 0.0]) == []
    hnsw.insert([1.0, 1.0, 1.0])
    check(ValueError, f"Expected vector of length 3, got {len(vector)}", lambda: hnsw.insert(vector))
    assert everything(hnsw) == [[1.0, 1.0, 1.0]]


@pytest.mark.parametrize(
    "schema, args, exc_type, message",
    [
        # Conversions first, in declaration order.
        (None, ("abc", "x"), TypeError, f"argument 'vector': {CANT_EXTRACT_STR}"),
        (None, ([1.0], "x"), TypeError, f"argument 'metadata': {CANT_EXTRACT_STR}"),
        (None, ([1.0], [("a",)]), ValueError, "expected tuple of length 2, but got tuple of length 1"),
        (["color"], ([1.0], [("color", "x", 1)]), ValueError, "expected tuple of length 2, but got tuple of length 3"),
        # Then the schema test, then the row, then the vector's length.
        (None, ([1.0], [("color", "blue")]), ValueError, NO_SCHEMA),
        (None, ([1.0], []), ValueError, NO_SCHEMA),
        (None, ([1.0, 2.0, 3.0], []), ValueError, NO_SCHEMA),
        (["color", "size"], ([1.0], [("color", "blue")]), ValueError, "Missing metadata for attribute 'size'"),
        (["color", "size"], ([1.0], []), ValueError, "Missing metadata for attribute 'color'"),
        (["color", "size"], ([1.0], [("size", 1), ("color", None)]), ValueError,
         "Unsupported metadata type for attribute 'color'"),
        (["color", "size"], ([1.0], [("size", 1), ("color", "x")]), ValueError, "Expected vector of length 3, got 1"),
        (["color", "size"], ([1.0],), ValueError, "Expected vector of length 3, got 1"),
        (["color", "size"], ([1.0], None), ValueError, "Expected vector of length 3, got 1"),
        ([], ([1.0], [("anything", None)]), ValueError, "Expected vector of length 3, got 1"),
    ],
)
def test_insert_check_order(schema, args, exc_type, message):
    hnsw = index(3, schema=schema)
    hnsw.insert([9.0, 9.0, 9.0], None if schema is None else [(name, 1) for name in schema])
    check(exc_type, message, lambda: hnsw.insert(*args))
    assert everything(hnsw) == [[9.0, 9.0, 9.0]]


@pytest.mark.parametrize(
    "vector, message",
    [
        ("abc", CANT_EXTRACT_STR),
        ("", CANT_EXTRACT_STR),
        (5, "'int' object cannot be converted to 'Sequence'"),
        (None, "'NoneType' object cannot be converted to 'Sequence'"),
        ({1: 2}, "'dict' object cannot be converted to 'Sequence'"),
        ({1.0, 2.0, 3.0}, "'set' object cannot be converted to 'Sequence'"),
        ((x for x in [1.0, 2.0, 3.0]), "'generator' object cannot be converted to 'Sequence'"),
        ([1.0, "x", 3.0], "must be real number, not str"),
        ([1.0, None, 3.0], "must be real number, not NoneType"),
        ([1.0, [2.0], 3.0], "must be real number, not list"),
    ],
)
def test_insert_vector_conversion_failures(vector, message):
    hnsw = index(3)
    check(TypeError, f"argument 'vector': {message}", lambda: hnsw.insert(vector))
    assert hnsw.search([0.0, 0.0, 0.0]) == []


@pytest.mark.parametrize(
    "vector, stored",
    [
        ((1, 2, 3), [1.0, 2.0, 3.0]),
        (b"abc", [97.0, 98.0, 99.0]),
        (range(3), [0.0, 1.0, 2.0]),
        ([True, Real(2.5), Index(-4)], [1.0, 2.5, -4.0]),
        ([2**70, -0.0, float("inf")], [float(2**70), -0.0, float("inf")]),
    ],
)
def test_insert_vector_conversions(vector, stored):
    hnsw = index(3)
    hnsw.insert(vector)
    hits = hnsw.search([0.0, 0.0, 0.0])
    assert [hit[1] for hit in hits] == [stored]
    assert math.copysign(1.0, hits[0][1][1]) == math.copysign(1.0, stored[1])


@pytest.mark.parametrize(
    "metadata, exc_type, message",
    [
        ("color", TypeError, f"argument 'metadata': {CANT_EXTRACT_STR}"),
        (["color"], TypeError, "argument 'metadata': 'str' object cannot be converted to 'PyTuple'"),
        ([1], TypeError, "argument 'metadata': 'int' object cannot be converted to 'PyTuple'"),
        ([["color", 1]], TypeError, "argument 'metadata': 'list' object cannot be converted to 'PyTuple'"),
        ([(1, "color")], TypeError, "argument 'metadata': 'int' object cannot be converted to 'PyString'"),
        ({"color": 1}, TypeError, "argument 'metadata': 'dict' object cannot be converted to 'Sequence'"),
        (5, TypeError, "argument 'metadata': 'int' object cannot be converted to 'Sequence'"),
        ([("color",)], ValueError, "expected tuple of length 2, but got tuple of length 1"),
        ([()], ValueError, "expected tuple of length 2, but got tuple of length 0"),
        ([("color", 1, 2)], ValueError, "expected tuple of length 2, but got tuple of length 3"),
        ([("\ud800", 1)], UnicodeEncodeError,
         "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
    ],
)
@pytest.mark.parametrize("schema", [None, ["color"]])
def test_insert_metadata_conversion_failures(metadata, exc_type, message, schema):
    # Even without a schema the conversion fails before the schema test.
    hnsw = index(1, schema=schema)
    check(exc_type, message, lambda: hnsw.insert([1.0], metadata))
    assert hnsw.search([0.0]) == []


def test_insert_with_empty_metadata_list():
    check(ValueError, NO_SCHEMA, lambda: index(2).insert([1.0, 2.0], []))
    hnsw = index(2, schema=[])
    hnsw.insert([1.0, 2.0], [])
    assert everything(hnsw, 2) == [[1.0, 2.0]]
    check(ValueError, "Missing metadata for attribute 'color'", lambda: index(2, schema=["color"]).insert([1.0, 2.0], []))


def test_insert_without_schema_stores_nothing_when_metadata_is_refused():
    hnsw = index(3)
    check(ValueError, NO_SCHEMA, lambda: hnsw.insert([1.0, 2.0, 3.0], [("color", "blue")]))
    assert hnsw.search([0.0, 0.0, 0.0]) == []


# --------------------------------------------------------------------------
# search


@pytest.fixture
def filled():
    """Dimension 2, schema ["color"], twenty nodes on a line."""
    hnsw = index(2, schema=["color"])
    hnsw.create([[float(i), 0.0] for i in range(20)], [[("color", "red" if i % 2 else "blue")] for i in range(20)])
    return hnsw


@pytest.mark.parametrize(
    "query, message",
    [
        ("ab", CANT_EXTRACT_STR),
        (5, "'int' object cannot be converted to 'Sequence'"),
        (None, "'NoneType' object cannot be converted to 'Sequence'"),
        ([0.0, "x"], "must be real number, not str"),
    ],
)
def test_search_query_conversion_failures(filled, query, message):
    check(TypeError, f"argument 'query': {message}", lambda: filled.search(query, k=-1, filter=5))


@pytest.mark.parametrize(
    "k, exc_type, message",
    [
        (-1, OverflowError, "can't convert negative int to unsigned"),
        (2**64, OverflowError, "int too big to convert"),
        (1.5, TypeError, "argument 'k': 'float' object cannot be interpreted as an integer"),
        ("1", TypeError, "argument 'k': 'str' object cannot be interpreted as an integer"),
    ],
)
def test_search_k_conversion_failures(filled, k, exc_type, message):
    check(exc_type, message, lambda: filled.search([0.0, 0.0], k=k, filter=5))


FILTER_FAILURES = [
    (["color", "red"], TypeError, "argument 'filter': 'list' object cannot be converted to 'PyTuple'"),
    ("color", TypeError, "argument 'filter': 'str' object cannot be converted to 'PyTuple'"),
    (5, TypeError, "argument 'filter': 'int' object cannot be converted to 'PyTuple'"),
    ({"color": "red"}, TypeError, "argument 'filter': 'dict' object cannot be converted to 'PyTuple'"),
    ((1, "red"), TypeError, "argument 'filter': 'int' object cannot be converted to 'PyString'"),
    ((b"color", "red"), TypeError, "argument 'filter': 'bytes' object cannot be converted to 'PyString'"),
    (("color",), ValueError, "expected tuple of length 2, but got tuple of length 1"),
    ((), ValueError, "expected tuple of length 2, but got tuple of length 0"),
    (("color", "red", "blue"), ValueError, "expected tuple of length 2, but got tuple of length 3"),
    (("\ud800", "red"), UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
]


@pytest.mark.parametrize("schema", [None, [], ["color"]])
@pytest.mark.parametrize("filled_index", [False, True])
@pytest.mark.parametrize("value, exc_type, message", FILTER_FAILURES)
def test_search_filter_conversion_failures(value, exc_type, message, schema, filled_index):
    # The conversion comes before the schema test and before the index is
    # looked at.
    hnsw = index(2, schema=schema)
    if filled_index:
        hnsw.insert([1.0, 1.0])
    check(exc_type, message, lambda: hnsw.search([0.0, 0.0], filter=value))


@pytest.mark.parametrize("value", ["blue", None, [1], 1.5])
@pytest.mark.parametrize("filled_index", [False, True])
def test_search_filter_without_schema(value, filled_index):
    hnsw = index(2)
    if filled_index:
        hnsw.insert([1.0, 1.0])
    check(ValueError, NO_SCHEMA_FILTER, lambda: hnsw.search([0.0, 0.0], filter=("color", value)))


@pytest.mark.parametrize("value", [None, [1], (1,), b"blue", bytearray(b"x"), {}, object(), "\ud800", 1j])
@pytest.mark.parametrize("schema", [[], ["color"]])
@pytest.mark.parametrize("filled_index", [False, True])
def test_search_filter_value_of_no_kind(value, schema, filled_index):
    # Refused by the binding, before the core could answer [] for an empty
    # index or report a missing attribute.
    hnsw = index(2, schema=schema, layers=0, ef_search=0)
    if filled_index:
        hnsw.insert([1.0, 1.0], [(name, 1) for name in schema])
    check(ValueError, BAD_FILTER_VALUE, lambda: hnsw.search([0.0, 0.0], filter=("nowhere", value)))


def test_search_filter_errors_from_the_index():
    empty_schema = index(2, schema=[])
    assert empty_schema.search([0.0, 0.0], filter=("color", "blue")) == []
    empty_schema.insert([1.0, 1.0], [("color", "ignored")])
    check(ValueError, "Search error: EmptySchema", lambda: empty_schema.search([0.0, 0.0], filter=("color", "blue")))
    assert empty_schema.search([0.0, 0.0]) == [(math.sqrt(2.0), [1.0, 1.0])]

    with_schema = index(2, schema=["color"])
    assert with_schema.search([0.0, 0.0], k=3, filter=("size", 1)) == []
    with_schema.insert([1.0, 1.0], [("color", "blue")])
    check(ValueError, "Search error: AttributeNotFound", lambda: with_schema.search([0.0, 0.0], filter=("size", 1)))
    check(ValueError, "Search error: AttributeNotFound", lambda: with_schema.search([0.0, 0.0], filter=("Color", 1)))


@pytest.mark.parametrize(
    "layers, ef_search, schema, filter, expected",
    [
        (0, 50, ["color"], None, "InvalidLayer"),
        (0, 0, ["color"], None, "InvalidLayer"),
        (0, 50, ["color"], ("size", 1), "InvalidLayer"),
        (0, 50, [], ("color", 1), "InvalidLayer"),
        (5, 0, ["color"], None, "InvalidEF"),
        (1, 0, ["color"], None, "InvalidEF"),
        # With one layer there is no descent: ef_search is tested first.
        (1, 0, ["color"], ("size", 1), "InvalidEF"),
        (1, 0, [], ("color", 1), "InvalidEF"),
        # With more layers the descent tests the filter first.
        (2, 0, ["color"], ("size", 1), "AttributeNotFound"),
        (2, 0, [], ("color", 1), "EmptySchema"),
        (5, 0, ["color"], ("color", 1), "InvalidEF"),
        (1, 5, ["color"], ("size", 1), "AttributeNotFound"),
    ],
)
def test_search_error_order(layers, ef_search, schema, filter, expected):
    hnsw = PyHNSW(2, layers=layers, ef_search=ef_search, metric="euclidean", schema=schema)
    metadata = [(name, 1) for name in schema]
    # Nothing is checked on an empty index.
    assert hnsw.search([0.0, 0.0], k=4, filter=filter) == []
    hnsw.create([[1.0, 1.0], [2.0, 2.0], [3.0, 3.0]], [metadata] * 3)
    check(ValueError, f"Search error: {expected}", lambda: hnsw.search([0.0, 0.0], k=4, filter=filter))


def test_search_result_shape(filled):
    for k, expected_count in [(None, 1), (0, 1), (1, 1), (5, 5), (19, 19), (20, 20), (21, 20), (10**6, 20)]:
        hits = filled.search([0.25, 0.5], k=k) if k is not None else filled.search([0.25, 0.5])
        assert type(hits) is list and len(hits) == expected_count
        for hit in hits:
            assert type(hit) is tuple and len(hit) == 2
            distance, vector = hit
            assert type(distance) is float
            assert type(vector) is list and len(vector) == 2 and all(type(x) is float for x in vector)
            d0, d1 = 0.25 - vector[0], 0.5 - vector[1]
            assert distance == math.sqrt(d0 * d0 + d1 * d1)
        assert [hit[0] for hit in hits] == sorted(hit[0] for hit in hits)
        assert len({tuple(hit[1]) for hit in hits}) == len(hits)


def test_search_returns_fresh_copies(filled):
    first = filled.search([3.0, 0.0], k=3)
    assert first == [(0.0, [3.0, 0.0]), (1.0, [2.0, 0.0]), (1.0, [4.0, 0.0])] or first == [
        (0.0, [3.0, 0.0]), (1.0, [4.0, 0.0]), (1.0, [2.0, 0.0])]
    snapshot = [(d, list(v)) for d, v in first]
    first[0][1][0] = 99.0
    first[1][1].append(5.0)
    assert filled.search([3.0, 0.0], k=3) == snapshot
    assert first[0][1] is not filled.search([3.0, 0.0], k=3)[0][1]


def test_ef_search_bounds_the_answer():
    hnsw = PyHNSW(2, ef_search=3, metric="euclidean")
    hnsw.create([[float(i), float(-i)] for i in range(100)])
    assert len(hnsw.search([0.0, 0.0], k=10)) == 3


@pytest.mark.parametrize(
    "query, expected",
    [
        # Only the leading elements pair up.
        ([1.0], [(0.0, [1.0, 5.0]), (2.0, [3.0, -7.0])]),
        ([3.0, -7.0, 100.0, 4.0], [(0.0, [3.0, -7.0]), (math.sqrt(4.0 + 144.0), [1.0, 5.0])]),
    ],
)
def test_search_accepts_queries_of_any_length(query, expected):
    hnsw = PyHNSW(2, layers=1, metric="euclidean")
    hnsw.create([[1.0, 5.0], [3.0, -7.0]])
    assert hnsw.search(query, k=2) == expected
    assert [hit[0] for hit in hnsw.search([], k=2)] == [0.0, 0.0]


def test_identical_queries_give_identical_answers(filled):
    assert filled.search([7.3, 1.0], k=6) == filled.search([7.3, 1.0], k=6)
    assert filled.search([7.3, 1.0], k=6, filter=("color", "red")) == filled.search(
        [7.3, 1.0], k=6, filter=("color", "red"))


# --------------------------------------------------------------------------
# create


@pytest.mark.parametrize(
    "schema, args, exc_type, message",
    [
        # Conversions first, in declaration order.
        (None, ("ab", "cd"), TypeError, f"argument 'vectors': {CANT_EXTRACT_STR}"),
        (None, ([[1.0, 2.0, 3.0]], [[("a",)], []]), ValueError, "expected tuple of length 2, but got tuple of length 1"),
        # The lengths are compared before the schema test.
        (None, ([[1.0, 2.0, 3.0]], []), ValueError, LENGTHS_DIFFER),
        (None, ([], [[]]), ValueError, LENGTHS_DIFFER),
        (None, ([[1.0, 2.0, 3.0]], [[("a", 1)], [("a", 1)]]), ValueError, LENGTHS_DIFFER),
        (["color"], ([[1.0, 2.0, 3.0]], [[("size", None)], []]), ValueError, LENGTHS_DIFFER),
        (None, ([], []), ValueError, NO_SCHEMA),
        (None, ([[1.0, 2.0, 3.0]], [[]]), ValueError, NO_SCHEMA),
        (None, ([[1.0]], [[("color", "x")]]), ValueError, NO_SCHEMA),
        # Rows, in list order, before the index sees anything.
        (["color"], ([[1.0]], [[("size", 1)]]), ValueError, "Missing metadata for attribute 'color'"),
        (["color"], ([[1.0, 2.0, 3.0]] * 3, [[("color", "a")], [("color", "b")], [("colour", "c")]]), ValueError,
         "Missing metadata for attribute 'color'"),
        (["color"], ([[1.0, 2.0, 3.0]] * 2, [[("color", "a")], [("color", None)]]), ValueError,
         "Unsupported metadata type for attribute 'color'"),
        # Then the index: an empty list, then every length.
        (["color"], ([], []), ValueError, "Create error: EmptyVectors"),
        ([], ([], []), ValueError, "Create error: EmptyVectors"),
        (None, ([],), ValueError, "Create error: EmptyVectors"),
        (None, ((), None), ValueError, "Create error: EmptyVectors"),
        (None, ([[1.0, 2.0, 3.0], [1.0, 2.0], [1.0]],), ValueError, "Vector length 2 does not match index dimension 3"),
        (None, ([[1.0, 2.0, 3.0], [1.0, 2.0, 3.0], []],), ValueError,
         "Vector length 0 does not match index dimension 3"),
        (["color"], ([[1.0, 2.0, 3.0], [1.0, 2.0, 3.0, 4.0]], [[("color", "a")], [("color", "b")]]), ValueError,
         "Vector length 4 does not match index dimension 3"),
    ],
)
def test_create_check_order(schema, args, exc_type, message):
    hnsw = index(3, schema=schema)
    hnsw.insert([9.0, 9.0, 9.0], None if schema is None else [(name, 1) for name in schema])
    check(exc_type, message, lambda: hnsw.create(*args))
    assert everything(hnsw) == [[9.0, 9.0, 9.0]]


@pytest.mark.parametrize(
    "vectors, message",
    [
        ("ab", CANT_EXTRACT_STR),
        (["ab"], CANT_EXTRACT_STR),
        ([[1.0, 2.0], "ab"], CANT_EXTRACT_STR),
        ([1.0, 2.0], "'float' object cannot be converted to 'Sequence'"),
        (5, "'int' object cannot be converted to 'Sequence'"),
        ([{1.0, 2.0}], "'set' object cannot be converted to 'Sequence'"),
        ([[1.0, "x"]], "must be real number, not str"),
    ],
)
def test_create_vectors_conversion_failures(vectors, message):
    hnsw = index(2)
    check(TypeError, f"argument 'vectors': {message}", lambda: hnsw.create(vectors))
    assert hnsw.search([0.0, 0.0]) == []


@pytest.mark.parametrize(
    "metadata, exc_type, message",
    [
        ("ab", TypeError, f"argument 'metadata': {CANT_EXTRACT_STR}"),
        (["ab"], TypeError, f"argument 'metadata': {CANT_EXTRACT_STR}"),
        ([("color", 1)], TypeError, "argument 'metadata': 'str' object cannot be converted to 'PyTuple'"),
        ([[1]], TypeError, "argument 'metadata': 'int' object cannot be converted to 'PyTuple'"),
        ([5], TypeError, "argument 'metadata': 'int' object cannot be converted to 'Sequence'"),
        ([[("color",)]], ValueError, "expected tuple of length 2, but got tuple of length 1"),
    ],
)
@pytest.mark.parametrize("schema", [None, ["color"]])
def test_create_metadata_conversion_failures(metadata, exc_type, message, schema):
    hnsw = index(2, schema=schema)
    check(exc_type, message, lambda: hnsw.create([[1.0, 2.0]], metadata))
    assert hnsw.search([0.0, 0.0]) == []


def test_create_appends():
    vectors = [[1.0, 2.0], [3.0, 4.0], [5.0, 6.0], [7.0, 8.0]]
    # With a list of one, a query that is equally far from every node stays
    # at node 0, where every walk starts.
    narrow = PyHNSW(2, ef_search=1, metric="euclidean")
    wide = index(2)
    for hnsw in (narrow, wide):
        hnsw.create(vectors[:2])
        hnsw.create(vectors[2:])
    assert narrow.search([], k=10) == [(0.0, [1.0, 2.0])]
    assert sorted(vector for _, vector in wide.search([], k=10)) == vectors
    assert everything(wide, 2) == vectors


def test_create_with_metadata_matches_rows_to_vectors():
    hnsw = index(2, schema=["color"])
    hnsw.create([[1.0, 0.0], [2.0, 0.0], [3.0, 0.0]], [[("color", "a")], [("color", "b")], [("color", "a")]])
    assert hnsw.search([0.0, 0.0], k=5, filter=("color", "a")) == [(1.0, [1.0, 0.0]), (3.0, [3.0, 0.0])]
    assert hnsw.search([0.0, 0.0], k=5, filter=("color", "b")) == [(2.0, [2.0, 0.0])]


def test_insertion_errors_keep_what_was_stored():
    # With ef_construction 0 only the first node can be linked.
    hnsw = index(2, ef_construction=0)
    check(ValueError, "Create error: InvalidEF", lambda: hnsw.create([[1.0, 0.0], [2.0, 0.0], [3.0, 0.0]]))
    assert hnsw.search([2.0, 0.0], k=5) == [(1.0, [1.0, 0.0])]
    check(ValueError, "Insert error: InvalidEF", lambda: hnsw.insert([0.0, 0.0]))
    assert hnsw.search([0.0, 0.0], k=5) == [(1.0, [1.0, 0.0])]


# --------------------------------------------------------------------------
# Access flag


class Reenter:
    """A number whose conversion runs a call on an index and records what
    that call did."""

    def __init__(self, call, value=1.0):
        self.call = call
        self.value = value
        self.outcome = None

    def run(self):
        try:
            self.outcome = ("returned", self.call())
        except Exception as error:
            self.outcome = (type(error), str(error))

    def __float__(self):
        self.run()
        return float(self.value)

    def __index__(self):
        self.run()
        return int(self.value)


@pytest.fixture
def base():
    hnsw = index(2)
    hnsw.insert([0.0, 0.0])
    return hnsw


@pytest.mark.parametrize(
    "outer, inner, expected",
    [
        ("insert", "search", (RuntimeError, "Already mutably borrowed")),
        ("create", "search", (RuntimeError, "Already mutably borrowed")),
        ("search", "insert", (RuntimeError, "Already borrowed")),
        ("search", "create", (RuntimeError, "Already borrowed")),
        ("insert", "insert", (RuntimeError, "Already borrowed")),
        ("insert", "create", (RuntimeError, "Already borrowed")),
        ("create", "insert", (RuntimeError, "Already borrowed")),
        ("create", "create", (RuntimeError, "Already borrowed")),
        ("search", "search", ("returned", [(0.0, [0.0, 0.0])])),
    ],
)
def test_reentry_through_float(base, outer, inner, expected):
    inner_call = {
        "search": lambda: base.search([0.0, 0.0]),
        "insert": lambda: base.insert([5.0, 5.0]),
        "create": lambda: base.create([[5.0, 5.0]]),
    }[inner]
    number = Reenter(inner_call)
    {
        "search": lambda: base.search([number, 0.0]),
        "insert": lambda: base.insert([number, 1.0]),
        "create": lambda: base.create([[number, 1.0]]),
    }[outer]()
    assert number.outcome == expected
    stored = everything(base, 2)
    assert [5.0, 5.0] not in stored
    assert len(stored) == (1 if outer == "search" else 2)


def test_reentry_through_index_and_iteration(base):
    # k is converted while search holds shared access.
    reading = Reenter(lambda: base.search([0.0, 0.0], k=2), value=3)
    assert base.search([0.0, 0.0], k=reading) == [(0.0, [0.0, 0.0])]
    assert reading.outcome == ("returned", [(0.0, [0.0, 0.0])])
    writing = Reenter(lambda: base.insert([1.0, 1.0]), value=3)
    base.search([0.0, 0.0], k=writing)
    assert writing.outcome == (RuntimeError, "Already borrowed")

    class Items:
        """A sequence whose iteration first makes a call on the index."""

        def __init__(self, call, items):
            self.call = call
            self.items = items

        def __len__(self):
            return len(self.items)

        def __getitem__(self, i):
            return self.items[i]

        def __iter__(self):
            self.call()
            return iter(self.items)

    check(RuntimeError, "Already borrowed", lambda: base.create(Items(lambda: base.create([[3.0, 3.0]]), [[2.0, 2.0]])))
    check(RuntimeError, "Already mutably borrowed",
          lambda: base.insert(Items(lambda: base.search([0.0, 0.0]), [2.0, 2.0])))
    check(RuntimeError, "Already borrowed",
          lambda: base.search(Items(lambda: base.insert([3.0, 3.0]), [2.0, 2.0])))
    assert base.search(Items(lambda: base.search([0.0, 0.0]), [0.0, 1.0])) == [(1.0, [0.0, 0.0])]
    assert everything(base, 2) == [[0.0, 0.0]]


def test_reentry_inside_metadata_value_conversion():
    hnsw = index(2, schema=["size"])
    hnsw.insert([0.0, 0.0], [("size", 1)])
    # Row assembly runs under the insertion's exclusive access.
    size = Reenter(lambda: hnsw.search([0.0, 0.0]), value=4)
    hnsw.insert([1.0, 1.0], [("size", size)])
    assert size.outcome == (RuntimeError, "Already mutably borrowed")
    assert hnsw.search([0.0, 0.0], filter=("size", 4)) == [(math.sqrt(2.0), [1.0, 1.0])]
    # A filter value converts under shared access, so a nested search works.
    value = Reenter(lambda: hnsw.search([0.0, 0.0], k=1), value=1)
    assert hnsw.search([0.0, 0.0], filter=("size", value)) == [(0.0, [0.0, 0.0])]
    assert value.outcome == ("returned", [(0.0, [0.0, 0.0])])


def test_another_thread_meets_the_flag(base):
    import threading

    inside = threading.Event()
    release = threading.Event()

    class Slow:
        def __float__(self):
            inside.set()
            assert release.wait(30)
            return 1.0

    outcomes = {}

    def run(name, call):
        try:
            outcomes[name] = ("returned", call())
        except Exception as error:
            outcomes[name] = (type(error), str(error))

    for holder, holder_call, visitor_call, expected in [
        ("insert", lambda: base.insert([Slow(), 1.0]), lambda: base.search([0.0, 0.0]),
         (RuntimeError, "Already mutably borrowed")),
        ("search", lambda: base.search([Slow(), 1.0]), lambda: base.create([[7.0, 7.0]]),
         (RuntimeError, "Already borrowed")),
        ("search", lambda: base.search([Slow(), 0.0]), lambda: base.search([0.0, 0.0]),
         ("returned", [(0.0, [0.0, 0.0])])),
    ]:
        inside.clear()
        release.clear()
        worker = threading.Thread(target=run, args=(holder, holder_call))
        worker.start()
        assert inside.wait(30)
        # The worker sits in a conversion, holding its access to the index.
        run("visitor", visitor_call)
        release.set()
        worker.join()
        assert outcomes["visitor"] == expected
        assert outcomes[holder][0] == "returned"
    assert everything(base, 2) == [[0.0, 0.0], [1.0, 1.0]]


class Boom(Exception):
    pass


class Exploding:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


@pytest.mark.parametrize(
    "failing_call",
    [
        lambda h: h.insert("abc"),
        lambda h: h.insert([Exploding(Boom("x")), 0.0]),
        lambda h: h.insert([Exploding(TypeError("t")), 0.0]),
        lambda h: h.insert([1.0]),
        lambda h: h.insert([1.0, 1.0], [("size", None)]),
        lambda h: h.insert([1.0, 1.0], [("other", 1)]),
        lambda h: h.insert([Reenter(lambda: h.search([0.0, 0.0])), 0.0], "not metadata"),
        lambda h: h.search([Exploding(Boom("x")), 0.0]),
        lambda h: h.search([0.0, 0.0], k=-1),
        lambda h: h.search([0.0, 0.0], filter=("size", None)),
        lambda h: h.search([0.0, 0.0], filter=("other", 1)),
        lambda h: h.search([Reenter(lambda: h.insert([3.0, 3.0])), 0.0], filter=["size", 1]),
        lambda h: h.create([[Exploding(Boom("x")), 0.0]]),
        lambda h: h.create([]),
        lambda h: h.create([[1.0]]),
        lambda h: h.create([[1.0, 1.0]], []),
        lambda h: h.create([[1.0, 1.0]], [[("size", None)]]),
    ],
)
def test_access_is_given_back_after_failures(failing_call):
    hnsw = index(2, schema=["size"])
    hnsw.insert([0.0, 0.0], [("size", 1)])
    with pytest.raises(Exception):
        failing_call(hnsw)
    # Exclusive access needs the flag entirely free.
    hnsw.insert([2.0, 0.0], [("size", 2)])
    hnsw.create([[4.0, 0.0]], [[("size", 2)]])
    assert hnsw.search([4.0, 0.0], k=2, filter=("size", 2)) == [(0.0, [4.0, 0.0]), (2.0, [2.0, 0.0])]
    assert everything(hnsw, 2) == [[0.0, 0.0], [2.0, 0.0], [4.0, 0.0]]


@pytest.mark.parametrize("error", [Boom("x"), ZeroDivisionError("z"), KeyboardInterrupt()])
def test_exceptions_from_float_pass_unchanged(base, error):
    assert failure(type(error), lambda: base.insert([Exploding(error), 0.0])) is error
    assert failure(type(error), lambda: base.search([0.0, Exploding(error)])) is error
    assert failure(type(error), lambda: base.create([[0.0, 0.0], [Exploding(error), 0.0]])) is error
    assert everything(base, 2) == [[0.0, 0.0]]


def test_type_error_from_float_is_wrapped(base):
    cause = LookupError("why")

    class Refusing:
        def __float__(self):
            raise TypeError("no float") from cause

    error = check(TypeError, "argument 'query': no float", lambda: base.search([Refusing(), 0.0]))
    assert error.__cause__ is cause
    error = check(TypeError, "argument 'vectors': no float", lambda: base.create([[Refusing(), 0.0]]))
    assert error.__cause__ is cause
