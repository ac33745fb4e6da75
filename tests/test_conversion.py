"""Python values to native ones: what each conversion accepts, the exact
failure of what it refuses, and how a failure reaches the caller (a plain
TypeError gets the parameter's name and keeps its cause, anything else
passes untouched). The test hooks' convert(kind, value) runs each
conversion under the parameter name "value"; the classes show the same
rules under their own parameter names."""

import collections
import math

import pytest

import quarix
from number_likes import Index, Real

SURROGATE = "\udc80"


class Float(Real):
    """Named for the messages that quote the type."""


class FloatSubclass(float):
    def __float__(self):
        return 99.0


class IntSubclass(int):
    pass


class Raises:
    """__float__, __index__ and __iter__ all raise the given exception."""

    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error

    def __index__(self):
        raise self.error

    def __iter__(self):
        raise self.error

    def __len__(self):
        return 1

    def __getitem__(self, i):
        raise IndexError(i)


class Items:
    """A sequence that reports length_reply for its length (or raises it when
    it is an exception) and yields items when iterated."""

    def __init__(self, items, length_reply):
        self.items = list(items)
        self.length_reply = length_reply

    def __len__(self):
        if isinstance(self.length_reply, BaseException):
            raise self.length_reply
        return self.length_reply

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        return iter(self.items)


def wrapped(message, name="value"):
    return f"argument '{name}': {message}"


def convert_fails(hooks, kind, value, exc_type, message):
    with pytest.raises(BaseException) as info:
        hooks.convert(kind, value)
    assert type(info.value) is exc_type, repr(info.value)
    assert str(info.value) == message
    return info.value


# --- unsigned machine-word integer -------------------------------------------------

@pytest.mark.parametrize(("value", "expected"), [
    (0, 0), (7, 7), (2**64 - 1, 2**64 - 1), (True, 1), (False, 0), (IntSubclass(5), 5),
    (Index(9), 9), (Index(2**64 - 1), 2**64 - 1),
])
def test_size_accepts(hooks, value, expected):
    assert hooks.convert("size", value) == expected


@pytest.mark.parametrize(("value", "exc_type", "message"), [
    (-1, OverflowError, "can't convert negative int to unsigned"),
    (-(2**70), OverflowError, "can't convert negative int to unsigned"),
    (2**64, OverflowError, "int too big to convert"),
    (Index(-3), OverflowError, "can't convert negative int to unsigned"),
    (Index(2**64), OverflowError, "int too big to convert"),
    (2.0, TypeError, wrapped("'float' object cannot be interpreted as an integer")),
    ("3", TypeError, wrapped("'str' object cannot be interpreted as an integer")),
    (None, TypeError, wrapped("'NoneType' object cannot be interpreted as an integer")),
    (Index(1.5), TypeError, wrapped("__index__ returned non-int (type float)")),
    (Float(1.0), TypeError, wrapped("'Float' object cannot be interpreted as an integer")),
])
def test_size_refuses(hooks, value, exc_type, message):
    convert_fails(hooks, "size", value, exc_type, message)


# --- signed 64-bit integer ------------------------------------------------------

@pytest.mark.parametrize(("value", "expected"), [
    (-1, -1), (0, 0), (2**63 - 1, 2**63 - 1), (-(2**63), -(2**63)), (True, 1), (Index(-5), -5),
])
def test_i64_accepts(hooks, value, expected):
    assert hooks.convert("i64", value) == expected


@pytest.mark.parametrize(("value", "exc_type", "message"), [
    (2**63, OverflowError, "int too big to convert"),
    (-(2**63) - 1, OverflowError, "int too big to convert"),
    (1.0, TypeError, wrapped("'float' object cannot be interpreted as an integer")),
    ("1", TypeError, wrapped("'str' object cannot be interpreted as an integer")),
])
def test_i64_refuses(hooks, value, exc_type, message):
    convert_fails(hooks, "i64", value, exc_type, message)


# --- double --------------------------------------------------------------------

@pytest.mark.parametrize(("value", "expected"), [
    (1.5, 1.5), (-1.0, -1.0), (-1, -1.0), (Float(-1.0), -1.0), (3, 3.0), (True, 1.0),
    (Float(2.5), 2.5), (Index(7), 7.0), (2**53 + 1, float(2**53 + 1)),
    # A float subclass is read as the float it is; its __float__ is not consulted.
    (FloatSubclass(1.25), 1.25),
    (math.inf, math.inf), (-0.0, -0.0),
])
def test_double_accepts(hooks, value, expected):
    got = hooks.convert("double", value)
    assert type(got) is float
    assert got == expected and math.copysign(1.0, got) == math.copysign(1.0, expected)


def test_double_keeps_nan(hooks):
    assert math.isnan(hooks.convert("double", math.nan))
    assert math.isnan(hooks.convert("double", Float(math.nan)))


@pytest.mark.parametrize(("value", "exc_type", "message"), [
    ("1.0", TypeError, wrapped("must be real number, not str")),
    (b"1", TypeError, wrapped("must be real number, not bytes")),
    (None, TypeError, wrapped("must be real number, not NoneType")),
    ([1.0], TypeError, wrapped("must be real number, not list")),
    (1j, TypeError, wrapped("must be real number, not complex")),
    (Float("x"), TypeError, wrapped("Float.__float__ returned non-float (type str)")),
    (2**1024, OverflowError, "int too large to convert to float"),
    (Index(2**1024), OverflowError, "int too large to convert to float"),
])
def test_double_refuses(hooks, value, exc_type, message):
    convert_fails(hooks, "double", value, exc_type, message)


# --- text ---------------------------------------------------------------------

@pytest.mark.parametrize("value", ["", "cosine", "m\u00e9tric \u4e2d\U0001f600", "a\x00b"])
def test_text_accepts(hooks, value):
    assert hooks.convert("text", value) == value


def test_text_accepts_str_subclass(hooks):
    class Name(str):
        def __str__(self):
            return "other"

    assert hooks.convert("text", Name("cosine")) == "cosine"


@pytest.mark.parametrize(("value", "type_name"), [
    (5, "int"), (None, "NoneType"), (b"cosine", "bytes"), (["a"], "list"), (Float(1.0), "Float"),
])
def test_text_refuses_non_str(hooks, value, type_name):
    convert_fails(hooks, "text", value, TypeError, wrapped(f"'{type_name}' object cannot be converted to 'PyString'"))


@pytest.mark.parametrize("kind", ["text", "texts", "pairs"])
def test_text_with_surrogates_raises_unicode_error_unwrapped(hooks, kind):
    value = {"text": "a" + SURROGATE, "texts": ["ok", "a" + SURROGATE], "pairs": [("a" + SURROGATE, 1)]}[kind]
    error = convert_fails(hooks, kind, value, UnicodeEncodeError,
                          "'utf-8' codec can't encode character '\\udc80' in position 1: surrogates not allowed")
    assert error.object == "a" + SURROGATE


# --- lists ----------------------------------------------------------------------

class Seq:
    """A sequence with nothing but __len__ and __getitem__."""

    def __init__(self, *items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


@pytest.mark.parametrize(("value", "expected"), [
    ([], []),
    ([1.0, 2, True], [1.0, 2.0, 1.0]),
    ((1, 2), [1.0, 2.0]),
    (b"ab", [97.0, 98.0]),
    (bytearray(b"\x00\xff"), [0.0, 255.0]),
    (range(3), [0.0, 1.0, 2.0]),
    (memoryview(b"\x05"), [5.0]),
    (collections.deque([1.5]), [1.5]),
    (collections.UserList([2.5]), [2.5]),
    (Seq(1, Float(2.0), Index(3)), [1.0, 2.0, 3.0]),
    ([FloatSubclass(0.5), -0.0], [0.5, -0.0]),
])
def test_vector_accepts(hooks, value, expected):
    got = hooks.convert("vector", value)
    assert got == expected
    assert [math.copysign(1.0, x) for x in got] == [math.copysign(1.0, x) for x in expected]


@pytest.mark.parametrize(("value", "expected"), [
    ([], []),
    ([[]], [[]]),
    ([[1], (2, 3), b"a", range(2)], [[1.0], [2.0, 3.0], [97.0], [0.0, 1.0]]),
    (((1.0,), [2.0]), [[1.0], [2.0]]),
    (Seq(Seq(1.0), []), [[1.0], []]),
])
def test_vectors_accepts(hooks, value, expected):
    assert hooks.convert("vectors", value) == expected


@pytest.mark.parametrize(("value", "expected"), [
    ([], []), (["a", "b"], ["a", "b"]), (("x",), ["x"]), (Seq("c", ""), ["c", ""]),
])
def test_texts_accepts(hooks, value, expected):
    assert hooks.convert("texts", value) == expected


NOT_SEQUENCES = [({1: 2}, "dict"), ({1.0}, "set"), (frozenset(), "frozenset"), ((x for x in [1.0]), "generator"),
                 (iter([1.0]), "list_iterator"), (1.0, "float"), (None, "NoneType"), (Float(1.0), "Float")]


@pytest.mark.parametrize("kind", ["vector", "vectors", "texts", "pairs", "pair_lists"])
@pytest.mark.parametrize(("value", "type_name"), NOT_SEQUENCES, ids=[name for _, name in NOT_SEQUENCES])
def test_lists_refuse_non_sequences(hooks, kind, value, type_name):
    convert_fails(hooks, kind, value, TypeError, wrapped(f"'{type_name}' object cannot be converted to 'Sequence'"))


STR_REFUSED = wrapped("Can't extract `str` to `Vec`")


class Text(str):
    pass


@pytest.mark.parametrize(("kind", "value"), [
    ("vector", "abc"), ("vector", ""), ("vector", Text("ab")),
    ("vectors", "ab"), ("vectors", ["ab"]), ("vectors", [[1.0], Text("")]), ("vectors", ("x",)),
    ("texts", "ab"), ("texts", Text("ab")),
    ("pairs", "ab"),
    ("pair_lists", "ab"), ("pair_lists", ["ab"]), ("pair_lists", [[], ""]),
])
def test_lists_refuse_str_at_every_level(hooks, kind, value):
    convert_fails(hooks, kind, value, TypeError, STR_REFUSED)


@pytest.mark.parametrize(("kind", "value", "message"), [
    ("vector", [1.0, "x"], "must be real number, not str"),
    ("vector", [1.0, None, "x"], "must be real number, not NoneType"),
    ("vectors", [[1.0], [2.0, "x"]], "must be real number, not str"),
    ("vectors", [[1.0], 2.0], "'float' object cannot be converted to 'Sequence'"),
    ("vectors", [[1.0], {2.0}], "'set' object cannot be converted to 'Sequence'"),
    ("texts", ["a", 1], "'int' object cannot be converted to 'PyString'"),
    ("texts", ["a", b"b"], "'bytes' object cannot be converted to 'PyString'"),
    ("pairs", [("a", 1), ["b", 2]], "'list' object cannot be converted to 'PyTuple'"),
    ("pairs", [(1, "a")], "'int' object cannot be converted to 'PyString'"),
    ("pair_lists", [[("a", 1)], [("b", 2), None]], "'NoneType' object cannot be converted to 'PyTuple'"),
    ("pair_lists", [[("a", 1)], ("b", 2)], "'str' object cannot be converted to 'PyTuple'"),
])
def test_first_failing_item_ends_the_list_without_its_position(hooks, kind, value, message):
    convert_fails(hooks, kind, value, TypeError, wrapped(message))


def test_failing_item_stops_the_iteration(hooks):
    seen = []

    def items():
        for item in (1.0, "bad", 3.0):
            seen.append(item)
            yield item

    class Lazy(Seq):
        def __iter__(self):
            return items()

    convert_fails(hooks, "vector", Lazy(), TypeError, wrapped("must be real number, not str"))
    assert seen == [1.0, "bad"]


@pytest.mark.parametrize(("length_reply", "items"), [
    (RuntimeError("no length"), [1.0, 2.0, 3.0]),
    (ValueError("no length"), [1.0]),
    (0, [1.0, 2.0, 3.0]),
    (1, [4.0, 5.0, 6.0, 7.0]),
    (10**15, [1.0, 2.0]),
    (2**62, [3.0]),
    (2**63 - 1, []),
    (-1, [1.0, 2.0]),
])
def test_reported_length_is_only_a_hint(hooks, length_reply, items):
    assert hooks.convert("vector", Items(items, length_reply)) == items
    nested = hooks.convert("vectors", Items([Items(items, length_reply)] * 2, length_reply))
    assert nested == [items, items]
    assert hooks.convert("texts", Items(["t"] * len(items), length_reply)) == ["t"] * len(items)
    pairs = [("n", i) for i in items]
    assert hooks.convert("pairs", Items(pairs, length_reply)) == pairs
    assert hooks.convert("pair_lists", Items([Items(pairs, length_reply)], length_reply)) == [pairs]


def test_list_subclass_with_lying_length(hooks):
    class Lying(list):
        def __len__(self):
            raise RuntimeError("no length")

    assert hooks.convert("vector", Lying([1.0, 2.0, 3.0])) == [1.0, 2.0, 3.0]
    assert hooks.convert("vectors", Lying([[1.0], Lying([2.0])])) == [[1.0], [2.0]]


def test_list_changed_while_converted(hooks):
    # An element's conversion empties the list that holds it: the element
    # stays alive for its own conversion and no later slot is read.
    values = []

    class Clearing:
        def __float__(self):
            values.clear()
            return 1.0

    values.extend([Clearing(), 2.0, 3.0])
    assert hooks.convert("vector", values) == [1.0]

    # The same after a run of plain floats, which are copied without any
    # Python code running: the change is still seen from the element on.
    values.extend([7.0, 8.0, Clearing(), 9.0])
    assert hooks.convert("vector", values) == [7.0, 8.0, 1.0]

    values.extend([Clearing(), 2.0])
    outer = [values, [5.0]]

    class Dropping:
        def __float__(self):
            del outer[1:]
            return 4.0

    outer[1] = [Dropping(), 6.0]
    assert hooks.convert("vectors", outer) == [[1.0], [4.0, 6.0]]


def test_list_growing_while_converted(hooks):
    values = []

    class Growing:
        def __float__(self):
            if len(values) < 5:
                values.append(Growing())
            return float(len(values))

    values.append(Growing())
    assert hooks.convert("vector", values) == [2.0, 3.0, 4.0, 5.0, 5.0]

    values[:] = [0.5, Growing()]
    assert hooks.convert("vector", values) == [0.5, 3.0, 4.0, 5.0, 5.0]


@pytest.mark.parametrize("error", [KeyError("k"), ValueError("v"), RuntimeError("r"), OverflowError("o"),
                                   ZeroDivisionError("z")])
@pytest.mark.parametrize("kind", ["vector", "vectors", "texts", "pairs", "pair_lists"])
def test_iteration_failure_passes_unchanged(hooks, kind, error):
    with pytest.raises(type(error)) as info:
        hooks.convert(kind, Raises(error))
    assert info.value is error


def test_iteration_failure_midway_passes_unchanged(hooks):
    error = LookupError("midway")

    def items():
        yield 1.0
        raise error

    class Lazy(Seq):
        def __iter__(self):
            return items()

    with pytest.raises(LookupError) as info:
        hooks.convert("vector", Lazy())
    assert info.value is error


def test_iteration_type_error_is_wrapped(hooks):
    convert_fails(hooks, "vector", Raises(TypeError("cannot iterate")), TypeError, wrapped("cannot iterate"))

    class BadIterator(Seq):
        def __iter__(self):
            return 5

    convert_fails(hooks, "vector", BadIterator(), TypeError, wrapped("iter() returned non-iterator of type 'int'"))


# --- (text, object) pairs ------------------------------------------------------------

def test_pairs_keep_the_value_object(hooks):
    value = object()
    Pair = collections.namedtuple("Pair", "name value")
    got = hooks.convert("pairs", [("a", value), Pair("b", 2.5), (Text("c"), None)])
    assert got == [("a", value), ("b", 2.5), ("c", None)]
    assert got[0][1] is value
    lists = hooks.convert("pair_lists", [[("a", value)], (), [("b", [1])]])
    assert lists == [[("a", value)], [], [("b", [1])]]
    assert lists[0][0][1] is value


@pytest.mark.parametrize(("pair", "length"), [((), 0), (("a",), 1), (("a", 1, 2), 3), (tuple("abcdefghijk"), 11)])
@pytest.mark.parametrize("kind", ["pairs", "pair_lists"])
def test_pair_of_wrong_length(hooks, kind, pair, length):
    value = [pair] if kind == "pairs" else [[pair]]
    convert_fails(hooks, kind, value, ValueError, f"expected tuple of length 2, but got tuple of length {length}")


def test_pair_length_is_checked_before_its_name(hooks):
    convert_fails(hooks, "pairs", [(1,)], ValueError, "expected tuple of length 2, but got tuple of length 1")


@pytest.mark.parametrize(("item", "type_name"), [(["a", 1], "list"), ("a", "str"), (None, "NoneType"),
                                                 ({"a": 1}, "dict")])
def test_pair_must_be_a_tuple(hooks, item, type_name):
    convert_fails(hooks, "pairs", [item], TypeError, wrapped(f"'{type_name}' object cannot be converted to 'PyTuple'"))


# --- how failures reach the caller ------------------------------------------------------

def test_wrapped_type_error_carries_the_cause_over(hooks):
    cause = ValueError("inner")

    class Chained:
        def __float__(self):
            raise TypeError("outer") from cause

    error = convert_fails(hooks, "double", Chained(), TypeError, wrapped("outer"))
    assert error.__cause__ is cause
    assert error.__suppress_context__ is True
    assert error.args == (wrapped("outer"),)


def test_wrapped_type_error_takes_only_the_cause(hooks):
    # The failed conversion's exception itself is dropped, not chained.
    class Plain:
        def __float__(self):
            try:
                raise KeyError("context")
            except KeyError:
                raise TypeError("plain")

    error = convert_fails(hooks, "vector", [Plain()], TypeError, wrapped("plain"))
    assert error.__cause__ is None
    assert error.__context__ is None
    assert error.__suppress_context__ is True


@pytest.mark.parametrize("kind", ["size", "double", "vector"])
def test_type_error_subclass_passes_unwrapped(hooks, kind):
    class Special(TypeError):
        pass

    error = Special("special")
    value = Raises(error) if kind != "vector" else [Raises(error)]
    with pytest.raises(Special) as info:
        hooks.convert(kind, value)
    assert info.value is error
    assert str(info.value) == "special"


@pytest.mark.parametrize("kind", ["size", "double", "vector", "vectors"])
@pytest.mark.parametrize("error", [ValueError("v"), ArithmeticError("a"), RuntimeError("r"), KeyboardInterrupt()])
def test_other_exceptions_from_user_code_pass_unchanged(hooks, kind, error):
    value = {"size": Raises(error), "double": Raises(error), "vector": [1.0, Raises(error)],
             "vectors": [[1.0], [Raises(error)]]}[kind]
    with pytest.raises(type(error)) as info:
        hooks.convert(kind, value)
    assert info.value is error


def test_unprintable_type_error_is_wrapped_with_a_stand_in(hooks, monkeypatch):
    reports = []
    monkeypatch.setattr("sys.unraisablehook", reports.append)

    class NoText:
        def __str__(self):
            raise ValueError("no text")

    class Failing:
        def __float__(self):
            raise TypeError(NoText())

    convert_fails(hooks, "double", Failing(), TypeError, wrapped("<unprintable TypeError object>"))
    assert len(reports) == 1
    assert reports[0].exc_type is ValueError
    assert type(reports[0].object) is TypeError


# --- the same rules through the classes ------------------------------------------------

@pytest.mark.parametrize(("call", "exc_type", "message"), [
    (lambda: quarix.PyFlat(2.0), TypeError, wrapped("'float' object cannot be interpreted as an integer", "dim")),
    (lambda: quarix.PyFlat("3"), TypeError, wrapped("'str' object cannot be interpreted as an integer", "dim")),
    (lambda: quarix.PyFlat(None), TypeError, wrapped("'NoneType' object cannot be interpreted as an integer", "dim")),
    (lambda: quarix.PyFlat(-1), OverflowError, "can't convert negative int to unsigned"),
    (lambda: quarix.PyFlat(2**64), OverflowError, "int too big to convert"),
    (lambda: quarix.PyFlat(2, 5), TypeError, wrapped("'int' object cannot be converted to 'PyString'", "metric")),
    (lambda: quarix.PyFlat(2, metric=b"cosine"), TypeError,
     wrapped("'bytes' object cannot be converted to 'PyString'", "metric")),
    (lambda: quarix.PyFlat(2, "cos" + SURROGATE), UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\udc80' in position 3: surrogates not allowed"),
    # Parameters are converted in declaration order.
    (lambda: quarix.PyFlat(-1, 5), OverflowError, "can't convert negative int to unsigned"),
    (lambda: quarix.PyFlat(2.0, 5), TypeError, wrapped("'float' object cannot be interpreted as an integer", "dim")),
])
def test_constructor_conversions(call, exc_type, message):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value) is exc_type
    assert str(info.value) == message


@pytest.mark.parametrize(("method", "args", "exc_type", "message"), [
    ("insert", ("abc",), TypeError, wrapped("Can't extract `str` to `Vec`", "vector")),
    ("insert", ({1: 2},), TypeError, wrapped("'dict' object cannot be converted to 'Sequence'", "vector")),
    ("insert", ([1.0, "x"],), TypeError, wrapped("must be real number, not str", "vector")),
    ("insert", (None,), TypeError, wrapped("'NoneType' object cannot be converted to 'Sequence'", "vector")),
    ("insert", ([1.0, 2**1024],), OverflowError, "int too large to convert to float"),
    ("search", ("ab",), TypeError, wrapped("Can't extract `str` to `Vec`", "query")),
    ("search", ([0.0, 0.0], 1.0), TypeError, wrapped("'float' object cannot be interpreted as an integer", "k")),
    ("search", ([0.0, 0.0], -1), OverflowError, "can't convert negative int to unsigned"),
    ("search", ([0.0, "x"], "k"), TypeError, wrapped("must be real number, not str", "query")),
    ("create", ("ab",), TypeError, wrapped("Can't extract `str` to `Vec`", "vectors")),
    ("create", (["ab"],), TypeError, wrapped("Can't extract `str` to `Vec`", "vectors")),
    ("create", ([[0.0, 0.0], (x for x in [1.0])],), TypeError,
     wrapped("'generator' object cannot be converted to 'Sequence'", "vectors")),
])
def test_method_conversions(method, args, exc_type, message):
    index = quarix.PyFlat(2)
    index.insert([0.0, 0.0])
    with pytest.raises(BaseException) as info:
        getattr(index, method)(*args)
    assert type(info.value) is exc_type
    assert str(info.value) == message
    assert index.search([0.0, 0.0], 10) == [(0, 0.0)]


def test_none_is_the_same_as_leaving_out():
    hits = []
    for index in (quarix.PyFlat(2), quarix.PyFlat(2, None), quarix.PyFlat(2, metric=None), quarix.PyFlat(dim=2)):
        index.create([[1.0, 1.0], [3.0, 4.0], [-1.0, 0.0]])
        hits.append([index.search([3.0, 4.0]), index.search([3.0, 4.0], None), index.search([3.0, 4.0], k=None)])
    # Euclidean distance and one hit, every time.
    assert hits == [[[(1, 0.0)]] * 3] * 4
