"""The per-instance access flag: Python code that runs while a method
converts its arguments (an element's __float__ or __index__, a sequence's
__iter__) may call the same instance again. Queries share an instance, an
insertion has it to itself, and every call gives its access back however it
ends."""

import sys
import threading

import pytest

import quarix

ALREADY_BORROWED = "Already borrowed"
ALREADY_MUTABLY_BORROWED = "Already mutably borrowed"


class Reenter:
    """Runs a callback whenever the module converts or iterates it, and
    records what the callback returned or raised."""

    def __init__(self, callback, value=0.0):
        self.callback = callback
        self.value = value
        self.outcomes = []

    def _run(self):
        try:
            self.outcomes.append(("ok", self.callback()))
        except Exception as error:  # the flag's RuntimeError and friends
            self.outcomes.append((type(error), str(error)))

    def __float__(self):
        self._run()
        return float(self.value)

    def __index__(self):
        self._run()
        return int(self.value)

    def __len__(self):
        return 1

    def __getitem__(self, i):
        raise IndexError(i)

    def __iter__(self):
        self._run()
        return iter([float(self.value)])


def stored(index):
    return [hit[0] for hit in index.search([0.0], 2**64 - 1)]


@pytest.fixture
def index():
    flat = quarix.PyFlat(1)
    flat.insert([0.0])
    return flat


def insert_call(index):
    return lambda: index.insert([5.0])


def create_call(index):
    return lambda: index.create([[5.0]])


def search_call(index):
    return lambda: index.search([0.0])


# Ways to make the outer method run the callback during its conversions.
OUTER = {
    "insert/__float__": lambda index, r: index.insert([r]),
    "insert/__iter__": lambda index, r: index.insert(r),
    "create/__float__": lambda index, r: index.create([[1.0], [r]]),
    "create/__iter__": lambda index, r: index.create([r]),
    "search/__float__": lambda index, r: index.search([r]),
    "search/__iter__": lambda index, r: index.search(r),
    "search/__index__": lambda index, r: index.search([0.0], r),
}
EXCLUSIVE_OUTER = [name for name in OUTER if not name.startswith("search")]
SHARED_OUTER = [name for name in OUTER if name.startswith("search")]
INNER = {"insert": insert_call, "create": create_call, "search": search_call}


@pytest.mark.parametrize("inner", INNER)
@pytest.mark.parametrize("outer", EXCLUSIVE_OUTER)
def test_every_call_fails_during_an_insertion(index, outer, inner):
    reenter = Reenter(INNER[inner](index), value=1.0)
    OUTER[outer](index, reenter)
    message = ALREADY_MUTABLY_BORROWED if inner == "search" else ALREADY_BORROWED
    assert reenter.outcomes == [(RuntimeError, message)]
    # The outer call went through; the refused one stored nothing.
    assert len(stored(index)) == (3 if outer == "create/__float__" else 2)
    assert index.search([5.0])[0][1] == 4.0


@pytest.mark.parametrize("inner", ["insert", "create"])
@pytest.mark.parametrize("outer", SHARED_OUTER)
def test_insertion_fails_during_a_query(index, outer, inner):
    reenter = Reenter(INNER[inner](index))
    result = OUTER[outer](index, reenter)
    assert result == [(0, 0.0)]
    assert reenter.outcomes == [(RuntimeError, ALREADY_BORROWED)]
    assert stored(index) == [0]


@pytest.mark.parametrize("outer", SHARED_OUTER)
def test_query_succeeds_during_a_query(index, outer):
    reenter = Reenter(search_call(index))
    assert OUTER[outer](index, reenter) == [(0, 0.0)]
    assert reenter.outcomes == [("ok", [(0, 0.0)])]


def test_queries_nest_deeply():
    index = quarix.PyFlat(1)
    index.insert([0.0])

    def nested(depth):
        if depth == 0:
            # Four queries hold the instance: an insertion is still refused.
            with pytest.raises(RuntimeError, match=f"^{ALREADY_BORROWED}$"):
                index.insert([1.0])
            return 0.0
        return index.search([Reenter(lambda: nested(depth - 1))])[0][1]

    assert nested(4) == 0.0
    index.insert([1.0])
    assert stored(index) == [0, 1]


def test_a_refused_insertion_leaves_the_shared_count_alone(index):
    # Inside a query: a refused insertion, then a query, then another refused
    # insertion. A refusal that touched the count would let the last one in
    # or make the query fail.
    outcomes = []

    def inside():
        for call in (insert_call(index), search_call(index), create_call(index), search_call(index)):
            try:
                outcomes.append(call())
            except RuntimeError as error:
                outcomes.append(str(error))

    reenter = Reenter(inside)
    index.search([reenter])
    assert outcomes == [ALREADY_BORROWED, [(0, 0.0)], ALREADY_BORROWED, [(0, 0.0)]]
    index.insert([2.0])
    assert stored(index) == [0, 1]


def test_a_refused_query_leaves_the_exclusive_access_alone(index):
    outcomes = []

    def inside():
        for call in (search_call(index), search_call(index), insert_call(index)):
            try:
                outcomes.append(call())
            except RuntimeError as error:
                outcomes.append(str(error))

    index.insert([Reenter(inside)])
    assert outcomes == [ALREADY_MUTABLY_BORROWED, ALREADY_MUTABLY_BORROWED, ALREADY_BORROWED]
    assert stored(index) == [0, 1]


def test_other_instances_are_free(index):
    other = quarix.PyFlat(1)
    reenter = Reenter(lambda: (other.insert([3.0]), other.search([3.0]))[1])
    index.insert([reenter])
    assert reenter.outcomes == [("ok", [(0, 0.0)])]
    assert stored(other) == [0]


def test_refusal_propagates_as_runtime_error(index):
    # Not caught inside: the RuntimeError of the inner call ends the outer
    # one unchanged (it is not a TypeError, so it gets no argument prefix).
    class Direct:
        def __float__(self):
            index.search([0.0])
            return 1.0

    with pytest.raises(RuntimeError) as info:
        index.insert([Direct()])
    assert str(info.value) == ALREADY_MUTABLY_BORROWED
    assert info.value.__cause__ is None
    assert stored(index) == [0]


def test_parse_comes_before_access(index):
    # A call whose arguments do not even match is refused for that, not for
    # the access; one whose arguments match but do not convert is refused for
    # the access, since access comes before conversion.
    outcomes = []

    def inside():
        for call in (lambda: index.search(), lambda: index.insert([1.0], 2), lambda: index.search("abc"),
                     lambda: index.create(vectors=5)):
            try:
                call()
            except (TypeError, RuntimeError) as error:
                outcomes.append((type(error), str(error)))

    index.insert([Reenter(inside)])
    assert outcomes == [
        (TypeError, "PyFlat.search() missing 1 required positional argument: 'query'"),
        (TypeError, "PyFlat.insert() takes 1 positional arguments but 2 were given"),
        (RuntimeError, ALREADY_MUTABLY_BORROWED),
        (RuntimeError, ALREADY_BORROWED),
    ]


def test_another_thread_meets_the_flag(index):
    outcomes = []

    def other_thread():
        for call in (search_call(index), insert_call(index)):
            try:
                outcomes.append(call())
            except RuntimeError as error:
                outcomes.append(str(error))

    def run_thread():
        thread = threading.Thread(target=other_thread)
        thread.start()
        thread.join()

    index.insert([Reenter(run_thread)])
    assert outcomes == [ALREADY_MUTABLY_BORROWED, ALREADY_BORROWED]
    outcomes.clear()
    index.search([Reenter(run_thread)])
    assert outcomes == [[(0, 0.0)], ALREADY_BORROWED]
    assert stored(index) == [0, 1]


# --- every way a call ends gives the access back -------------------------------

def failing_calls(index):
    """(description, call, expected exception type) for each way a method can fail."""
    def reentrant_exclusive():
        class Direct:
            def __float__(self):
                index.search([0.0])
                return 0.0
        index.insert([Direct()])

    def reentrant_shared():
        class Direct:
            def __float__(self):
                index.insert([0.0])
                return 0.0
        index.search([Direct()])

    return [
        ("parse/insert", lambda: index.insert(), TypeError),
        ("parse/search", lambda: index.search([0.0], 1, 2), TypeError),
        ("conversion/insert", lambda: index.insert("a"), TypeError),
        ("conversion/create", lambda: index.create([[0.0], ["x"]]), TypeError),
        ("conversion/search-query", lambda: index.search([None]), TypeError),
        ("conversion/search-k", lambda: index.search([0.0], -1), OverflowError),
        ("user-code/insert", lambda: index.insert(RaisingItem(KeyError("x"))), KeyError),
        ("user-code/search", lambda: index.search([RaisingItem(ZeroDivisionError())]), ZeroDivisionError),
        ("value/insert", lambda: index.insert([0.0, 1.0]), ValueError),
        ("value/create-empty", lambda: index.create([]), ValueError),
        ("value/create-length", lambda: index.create([[0.0], []]), ValueError),
        ("value/search-length", lambda: index.search([]), ValueError),
        ("reentrant/exclusive", reentrant_exclusive, RuntimeError),
        ("reentrant/shared", reentrant_shared, RuntimeError),
    ]


class RaisingItem:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error

    def __len__(self):
        return 1

    def __getitem__(self, i):
        raise IndexError(i)

    def __iter__(self):
        raise self.error


FAILURE_NAMES = [name for name, _, _ in failing_calls(None)]


@pytest.mark.parametrize("name", FAILURE_NAMES)
def test_access_is_given_back_after_every_failure(index, name):
    call, exc_type = {n: (c, e) for n, c, e in failing_calls(index)}[name]
    for _ in range(3):
        with pytest.raises(exc_type):
            call()
    # Both kinds of access can be taken again: a stuck exclusive access would
    # refuse the query, a stuck shared count would refuse the insertion.
    assert index.search([0.0]) == [(0, 0.0)]
    index.insert([1.0])
    index.create([[2.0]])
    assert stored(index) == [0, 1, 2]


@pytest.mark.parametrize("name", FAILURE_NAMES)
def test_access_is_given_back_after_a_failure_inside_a_query(index, name):
    # The failing call runs while a query holds shared access: when the query
    # ends, the count must be back to zero.
    call, exc_type = {n: (c, e) for n, c, e in failing_calls(index)}[name]
    raised = []

    def inside():
        try:
            call()
        except BaseException as error:
            raised.append(type(error))

    assert index.search([Reenter(inside)]) == [(0, 0.0)]
    # Past parsing, a call that needs the instance to itself is refused first.
    refused = not name.startswith("parse") and name.split("/")[1].startswith(("insert", "create", "exclusive"))
    assert raised == [RuntimeError if refused else exc_type]
    index.insert([1.0])
    assert stored(index) == [0, 1]


def test_access_is_given_back_after_success(index):
    for _ in range(3):
        index.search([0.0])
        index.insert([1.0])
        index.create([[1.0], [2.0]])
    assert len(stored(index)) == 10


def test_instance_reference_is_released():
    index = quarix.PyFlat(1)
    index.insert([0.0])
    before = sys.getrefcount(index)
    index.search([Reenter(search_call(index))])
    index.insert([Reenter(search_call(index))])
    for call in (lambda: index.insert("x"), lambda: index.search([None]), lambda: index.create([])):
        with pytest.raises((TypeError, ValueError)):
            call()
    assert sys.getrefcount(index) == before
