"""Matching call arguments against each callable's parameter table: the exact
TypeError texts of the two calling forms (constructors get a tuple and a
dictionary, methods the fast-call vector), the order in which failures win,
and the paths that only a signature with positional-only and keyword-only
parameters reaches (the test hooks' probe)."""


import pytest

import quarix

SURROGATE = "\udc80"
# The text form of an unpaired surrogate in a message: three replacement
# characters, one per byte of its surrogate-pass encoding.
SURROGATE_SHOWN = "\ufffd" * 3


def raises_exactly(exc_type, message, call, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        call(*args, **kwargs)
    assert type(info.value) is exc_type, repr(info.value)
    assert str(info.value) == message
    return info.value


def type_error(message, call, *args, **kwargs):
    error = raises_exactly(TypeError, message, call, *args, **kwargs)
    assert error.args == (message,)
    assert error.__cause__ is None and error.__context__ is None
    return error


@pytest.fixture
def flat():
    index = quarix.PyFlat(2)
    index.insert([0.0, 0.0])
    return index


@pytest.fixture
def hnsw():
    """A PyHNSW instance for calling its methods."""
    return quarix.PyHNSW(2, metric="euclidean")


# --- constructors: tuple-and-dictionary form ------------------------------------

CONSTRUCTOR_FAILURES = [
    (quarix.PyFlat, (), {}, "PyFlat.__new__() missing 1 required positional argument: 'dim'"),
    (quarix.PyFlat, (), {"metric": "cosine"}, "PyFlat.__new__() missing 1 required positional argument: 'dim'"),
    (quarix.PyFlat, (1, 2, 3), {}, "PyFlat.__new__() takes from 1 to 2 positional arguments but 3 were given"),
    (quarix.PyFlat, (3,), {"metric": "cosine", "dim": 4}, "PyFlat.__new__() got multiple values for argument 'dim'"),
    (quarix.PyFlat, (3, "cosine"), {"metric": "cosine"},
     "PyFlat.__new__() got multiple values for argument 'metric'"),
    (quarix.PyFlat, (3,), {"foo": 1}, "PyFlat.__new__() got an unexpected keyword argument 'foo'"),
    (quarix.PyFlat, (3,), {"Dim": 1}, "PyFlat.__new__() got an unexpected keyword argument 'Dim'"),
    (quarix.PyFlat, (3,), {"dim ": 1}, "PyFlat.__new__() got an unexpected keyword argument 'dim '"),
    (quarix.PyFlat, (3,), {"self": 1}, "PyFlat.__new__() got an unexpected keyword argument 'self'"),
    (quarix.PyFlat, (3,), {"metric" + SURROGATE: 1},
     f"PyFlat.__new__() got an unexpected keyword argument 'metric{SURROGATE_SHOWN}'"),
    (quarix.PyFlat, (3,), {"m\u00e9tric": 1}, "PyFlat.__new__() got an unexpected keyword argument 'm\u00e9tric'"),
    (quarix.PyHNSW, (), {}, "PyHNSW.__new__() missing 1 required positional argument: 'dim'"),
    (quarix.PyHNSW, (), {"layers": 2, "schema": ["a"]},
     "PyHNSW.__new__() missing 1 required positional argument: 'dim'"),
    (quarix.PyHNSW, tuple(range(1, 9)), {},
     "PyHNSW.__new__() takes from 1 to 7 positional arguments but 8 were given"),
    (quarix.PyHNSW, tuple(range(1, 10)), {"dim": 1},
     "PyHNSW.__new__() takes from 1 to 7 positional arguments but 9 were given"),
    (quarix.PyHNSW, (1, 2, 3, 4, 5, 6), {"ef_search": 1},
     "PyHNSW.__new__() got multiple values for argument 'ef_search'"),
    (quarix.PyHNSW, (1,), {"dim": 1}, "PyHNSW.__new__() got multiple values for argument 'dim'"),
    (quarix.PyHNSW, (1,), {"ef": 1}, "PyHNSW.__new__() got an unexpected keyword argument 'ef'"),
    (quarix.PyHNSW, (1,), {"filter": None}, "PyHNSW.__new__() got an unexpected keyword argument 'filter'"),
    (quarix.PyHNSW, (1,), {SURROGATE: 1}, f"PyHNSW.__new__() got an unexpected keyword argument '{SURROGATE_SHOWN}'"),
]


@pytest.mark.parametrize(("cls", "args", "kwargs", "message"), CONSTRUCTOR_FAILURES)
def test_constructor_parse_failures(cls, args, kwargs, message):
    type_error(message, cls, *args, **kwargs)


@pytest.mark.parametrize("cls", [quarix.PyFlat, quarix.PyHNSW], ids=lambda c: c.__name__)
def test_constructor_parse_failure_through_new(cls):
    # Calling __new__ directly takes the same path as calling the class.
    name = cls.__name__
    type_error(f"{name}.__new__() missing 1 required positional argument: 'dim'", cls.__new__, cls)
    type_error(f"{name}.__new__() got an unexpected keyword argument 'x'", cls.__new__, cls, 1, x=1)


@pytest.mark.parametrize(("kwargs", "message"), [
    # Keywords are examined in the dictionary's order; the first bad one wins.
    ({"dim": 2, "foo": 1}, "PyFlat.__new__() got multiple values for argument 'dim'"),
    ({"foo": 1, "dim": 2}, "PyFlat.__new__() got an unexpected keyword argument 'foo'"),
    ({"foo": 1, "bar": 2}, "PyFlat.__new__() got an unexpected keyword argument 'foo'"),
    ({"bar": 2, "foo": 1}, "PyFlat.__new__() got an unexpected keyword argument 'bar'"),
])
def test_constructor_keywords_are_examined_in_order(kwargs, message):
    type_error(message, quarix.PyFlat, 1, **kwargs)


def test_too_many_positional_wins_over_keywords():
    type_error("PyFlat.__new__() takes from 1 to 2 positional arguments but 3 were given",
               quarix.PyFlat, 1, 2, 3, foo=1, dim=1)


def test_unexpected_keyword_wins_over_missing():
    type_error("PyFlat.__new__() got an unexpected keyword argument 'foo'", quarix.PyFlat, foo=1)
    type_error("PyHNSW.__new__() got an unexpected keyword argument 'foo'", quarix.PyHNSW, m=1, foo=1)


def test_parse_failure_comes_before_any_conversion():
    # The bad dimension is never looked at.
    type_error("PyFlat.__new__() got an unexpected keyword argument 'foo'", quarix.PyFlat, -1, foo=1)
    type_error("PyFlat.__new__() takes from 1 to 2 positional arguments but 3 were given",
               quarix.PyFlat, "x", 5, 6)


def test_keywords_are_matched_by_their_text():
    class Name(str):
        def __eq__(self, other):
            return False

        __hash__ = str.__hash__

    index = quarix.PyFlat(**{Name("dim"): 2, Name("metric"): "inner_product"})
    index.insert([1.0, 1.0])
    assert index.search([2.0, 3.0]) == [(0, 5.0)]


@pytest.mark.parametrize("form", ["constructor", "method"])
def test_unexpected_keyword_is_shown_by_its_text_form(flat, monkeypatch, form):
    # The name is matched by its characters but shown as str() makes it.
    reports = []
    monkeypatch.setattr("sys.unraisablehook", reports.append)

    class Shown(str):
        def __str__(self):
            return "shown"

    class Unprintable(str):
        def __str__(self):
            raise ValueError("no text")

    call, full_name = ((quarix.PyFlat, "PyFlat.__new__()") if form == "constructor"
                       else (flat.insert, "PyFlat.insert()"))
    type_error(f"{full_name} got an unexpected keyword argument 'shown'", call, [0.0, 0.0], **{Shown("foo"): 1})
    assert reports == []
    name = Unprintable("foo")
    type_error(f"{full_name} got an unexpected keyword argument '<unprintable Unprintable object>'",
               call, [0.0, 0.0], **{name: 1})
    assert len(reports) == 1
    assert reports[0].exc_type is ValueError
    assert reports[0].object is name


@pytest.mark.parametrize("call", [
    lambda: quarix.PyFlat(2, "cosine"),
    lambda: quarix.PyFlat(2, metric="cosine"),
    lambda: quarix.PyFlat(dim=2, metric="cosine"),
    lambda: quarix.PyFlat(metric="cosine", dim=2),
    lambda: quarix.PyFlat(*(2, "cosine")),
    lambda: quarix.PyFlat(**{"metric": "cosine", "dim": 2}),
])
def test_constructor_accepts_every_spelling(call):
    index = call()
    index.insert([1.0, 0.0])
    # Cosine, not the Euclidean default.
    assert index.search([0.0, 3.0]) == [(0, 0.0)]


# --- methods: fast-call form -------------------------------------------------------

FLAT_METHOD_FAILURES = [
    ("insert", (), {}, "PyFlat.insert() missing 1 required positional argument: 'vector'"),
    ("insert", ([1.0, 2.0], [3.0, 4.0]), {}, "PyFlat.insert() takes 1 positional arguments but 2 were given"),
    ("insert", ([1.0, 2.0], 1, 2), {}, "PyFlat.insert() takes 1 positional arguments but 3 were given"),
    ("insert", ([1.0, 2.0],), {"vector": [1.0, 2.0]}, "PyFlat.insert() got multiple values for argument 'vector'"),
    ("insert", (), {"vectors": [1.0, 2.0]}, "PyFlat.insert() got an unexpected keyword argument 'vectors'"),
    ("insert", ([1.0, 2.0],), {"k": 1}, "PyFlat.insert() got an unexpected keyword argument 'k'"),
    ("insert", (), {SURROGATE: 1}, f"PyFlat.insert() got an unexpected keyword argument '{SURROGATE_SHOWN}'"),
    ("insert", (), {"a" + SURROGATE + "b": 1},
     f"PyFlat.insert() got an unexpected keyword argument 'a{SURROGATE_SHOWN}b'"),
    ("search", (), {}, "PyFlat.search() missing 1 required positional argument: 'query'"),
    ("search", (), {"k": 1}, "PyFlat.search() missing 1 required positional argument: 'query'"),
    ("search", ([0.0, 0.0], 1, 2), {}, "PyFlat.search() takes from 1 to 2 positional arguments but 3 were given"),
    ("search", ([0.0, 0.0], 1, 2, 3), {}, "PyFlat.search() takes from 1 to 2 positional arguments but 4 were given"),
    ("search", ([0.0, 0.0], 1), {"k": 1}, "PyFlat.search() got multiple values for argument 'k'"),
    ("search", ([0.0, 0.0],), {"query": [0.0, 0.0]}, "PyFlat.search() got multiple values for argument 'query'"),
    ("search", ([0.0, 0.0],), {"filter": None}, "PyFlat.search() got an unexpected keyword argument 'filter'"),
    ("search", (), {"k": 1, "kk": 2}, "PyFlat.search() got an unexpected keyword argument 'kk'"),
    ("create", (), {}, "PyFlat.create() missing 1 required positional argument: 'vectors'"),
    ("create", ([[0.0, 0.0]], None), {}, "PyFlat.create() takes 1 positional arguments but 2 were given"),
    ("create", ([[0.0, 0.0]],), {"vectors": []}, "PyFlat.create() got multiple values for argument 'vectors'"),
    ("create", (), {"metadata": None}, "PyFlat.create() got an unexpected keyword argument 'metadata'"),
]


@pytest.mark.parametrize(("method", "args", "kwargs", "message"), FLAT_METHOD_FAILURES)
def test_flat_method_parse_failures(flat, method, args, kwargs, message):
    type_error(message, getattr(flat, method), *args, **kwargs)
    # Parsing changes nothing and keeps no access.
    assert flat.search([0.0, 0.0], 10) == [(0, 0.0)]


HNSW_METHOD_FAILURES = [
    ("insert", (), {}, "PyHNSW.insert() missing 1 required positional argument: 'vector'"),
    ("insert", (), {"metadata": []}, "PyHNSW.insert() missing 1 required positional argument: 'vector'"),
    ("insert", ([1.0], None, None), {}, "PyHNSW.insert() takes from 1 to 2 positional arguments but 3 were given"),
    ("insert", ([1.0], None), {"metadata": None}, "PyHNSW.insert() got multiple values for argument 'metadata'"),
    ("insert", ([1.0],), {"filter": None}, "PyHNSW.insert() got an unexpected keyword argument 'filter'"),
    ("search", (), {}, "PyHNSW.search() missing 1 required positional argument: 'query'"),
    ("search", ([1.0], 1, None, None), {},
     "PyHNSW.search() takes from 1 to 3 positional arguments but 4 were given"),
    ("search", ([1.0], 1, None), {"filter": None}, "PyHNSW.search() got multiple values for argument 'filter'"),
    ("search", ([1.0],), {"query": None}, "PyHNSW.search() got multiple values for argument 'query'"),
    ("search", ([1.0],), {"metadata": None}, "PyHNSW.search() got an unexpected keyword argument 'metadata'"),
    ("search", ([1.0],), {SURROGATE: None},
     f"PyHNSW.search() got an unexpected keyword argument '{SURROGATE_SHOWN}'"),
    ("create", (), {}, "PyHNSW.create() missing 1 required positional argument: 'vectors'"),
    ("create", ([[1.0]], None, None), {}, "PyHNSW.create() takes from 1 to 2 positional arguments but 3 were given"),
    ("create", ([[1.0]],), {"vectors": None}, "PyHNSW.create() got multiple values for argument 'vectors'"),
    ("create", ([[1.0]],), {"vector": None}, "PyHNSW.create() got an unexpected keyword argument 'vector'"),
]


@pytest.mark.parametrize(("method", "args", "kwargs", "message"), HNSW_METHOD_FAILURES)
def test_hnsw_method_parse_failures(hnsw, method, args, kwargs, message):
    type_error(message, getattr(hnsw, method), *args, **kwargs)


@pytest.mark.parametrize(("method", "args"), [("insert", ([1.0, 2.0],)), ("search", ([1.0, 2.0], 1)),
                                              ("create", ([[1.0, 2.0]],))])
def test_methods_called_through_the_class(flat, method, args):
    function = getattr(quarix.PyFlat, method)
    type_error(f"PyFlat.{method}() got an unexpected keyword argument 'zzz'", function, flat, *args, zzz=1)
    with pytest.raises(TypeError) as info:
        function(None, *args)
    # The interpreter's own check of self comes first.
    assert "doesn't apply to a 'NoneType' object" in str(info.value)


@pytest.mark.parametrize("call", [
    lambda index: index.search([5.0, 7.0], 5),
    lambda index: index.search([5.0, 7.0], k=5),
    lambda index: index.search(query=[5.0, 7.0], k=5),
    lambda index: index.search(k=5, query=[5.0, 7.0]),
    lambda index: quarix.PyFlat.search(index, k=5, query=[5.0, 7.0]),
    lambda index: index.search(*([5.0, 7.0], 5)),
    lambda index: index.search(**{"k": 5, "query": [5.0, 7.0]}),
])
def test_method_accepts_every_spelling(flat, call):
    flat.insert(vector=[3.0, 4.0])
    flat.create(vectors=[[6.0, 8.0]])
    assert [hit[0] for hit in call(flat)] == [2, 1, 0]


# --- the probe: positional-only and keyword-only parameters ----------------------

PROBE_RESULTS = [
    ((1, 2), {"d": 4}, {"a": 1, "b": 2, "d": 4}),
    ((1,), {"b": 2, "d": 4}, {"a": 1, "b": 2, "d": 4}),
    ((1, 2, 3), {"d": 4, "e": 5}, {"a": 1, "b": 2, "c": 3, "d": 4, "e": 5}),
    ((1,), {"e": 5, "d": 4, "c": 3, "b": 2}, {"a": 1, "b": 2, "c": 3, "d": 4, "e": 5}),
    ((1, 2), {"d": None}, {"a": 1, "b": 2, "d": None}),
]


@pytest.mark.parametrize(("args", "kwargs", "slots"), PROBE_RESULTS)
def test_probe_fills_slots(hooks, args, kwargs, slots):
    assert hooks.probe(*args, **kwargs) == slots


PROBE_FAILURES = [
    ((), {}, "probe() missing 2 required positional arguments: 'a' and 'b'"),
    ((), {"d": 1}, "probe() missing 2 required positional arguments: 'a' and 'b'"),
    ((1,), {"d": 1}, "probe() missing 1 required positional argument: 'b'"),
    ((), {"b": 2, "d": 1}, "probe() missing 1 required positional argument: 'a'"),
    ((1, 2), {}, "probe() missing 1 required keyword argument: 'd'"),
    ((1, 2), {"e": 1}, "probe() missing 1 required keyword argument: 'd'"),
    ((1, 2, 3, 4), {}, "probe() takes from 2 to 3 positional arguments but 4 were given"),
    ((1, 2, 3, 4, 5), {"d": 1}, "probe() takes from 2 to 3 positional arguments but 5 were given"),
    ((1, 2), {"a": 1, "d": 4}, "probe() got some positional-only arguments passed as keyword arguments: 'a'"),
    # A positional-only name given by keyword is reported after every keyword
    # was examined, before anything missing.
    ((), {"a": 1}, "probe() got some positional-only arguments passed as keyword arguments: 'a'"),
    ((), {"a": 1, "b": 2, "d": 4}, "probe() got some positional-only arguments passed as keyword arguments: 'a'"),
    ((1,), {"a": 1, "zz": 2}, "probe() got an unexpected keyword argument 'zz'"),
    ((1,), {"a": 1, "b": 2, "c": 3, "d": 4}, "probe() got some positional-only arguments passed as keyword arguments: 'a'"),
    ((1, 2, 3), {"c": 3, "d": 4}, "probe() got multiple values for argument 'c'"),
    ((1, 2), {"b": 3, "d": 4}, "probe() got multiple values for argument 'b'"),
    ((1, 2), {"d": 4, "f": 5}, "probe() got an unexpected keyword argument 'f'"),
    ((1, 2), {"d": 4, SURROGATE * 2: 5}, f"probe() got an unexpected keyword argument '{SURROGATE_SHOWN * 2}'"),
]


@pytest.mark.parametrize(("args", "kwargs", "message"), PROBE_FAILURES)
def test_probe_failures(hooks, args, kwargs, message):
    type_error(message, hooks.probe, *args, **kwargs)
