"""Repeated calls, on success and on every failure path, must not leave
objects, references or native memory behind.

Three gauges, each read after a warm-up (free lists and caches filled) and a
garbage collection:
- live Python objects: sys.gettotalrefcount() on debug builds, otherwise
  sys.getallocatedblocks();
- references held on the objects a call was given (sys.getrefcount);
- the native heap: glibc's mallinfo2() bytes in use, else the resident size.
Each check runs a call N times and allows a small constant slack, well below
what one leaked object or allocation per call would add.

Under ./run sanitize glibc's counters read 0 and every Python object comes
from malloc, so the objects are counted as the blocks tracemalloc traces and
the heap as the bytes the sanitizer's allocator holds for the program.
"""

import ctypes
import ctypes.util
import gc
import sys
import tracemalloc

import pytest

import quarix
from memory_gauges import native_heap_bytes, rss_bytes
from run_mode import SANITIZED

N = 2000
WARMUP = 300
OBJECT_SLACK = 100  # blocks (or references) per N calls; a leak per call adds >= N
HEAP_SLACK = 16 * 1024  # bytes per N calls; one leaked allocation per call adds >= 32 * N


def live_objects():
    if hasattr(sys, "gettotalrefcount"):
        return sys.gettotalrefcount()
    if tracemalloc.is_tracing():
        return len(tracemalloc.take_snapshot().traces)
    return sys.getallocatedblocks()


def measure(call, watched=(), n=N):
    """Growth of (live objects, references on each watched object, native heap) over n calls."""
    if SANITIZED:
        tracemalloc.start()
    try:
        for _ in range(WARMUP):
            call()
        gc.collect()
        refs = [sys.getrefcount(obj) for obj in watched]
        live = live_objects()
        heap = native_heap_bytes()
        for _ in range(n):
            call()
        gc.collect()
        heap_growth = native_heap_bytes() - heap
        live_growth = live_objects() - live
    finally:
        if SANITIZED:
            tracemalloc.stop()
    after = [sys.getrefcount(obj) for obj in watched]
    ref_growth = [a - b for a, b in zip(after, refs)]
    return live_growth, ref_growth, heap_growth


def assert_flat(call, watched=()):
    live_growth, ref_growth, heap_growth = measure(call, watched)
    assert live_growth < OBJECT_SLACK, f"{live_growth} more live objects after {N} calls"
    assert ref_growth == [0] * len(watched), f"references gained per watched object: {ref_growth}"
    assert heap_growth < HEAP_SLACK, f"native heap grew by {heap_growth} bytes after {N} calls"


def failing(exc_type, fn, *args, **kwargs):
    """A call that must raise exactly exc_type; anything else fails the test."""

    def call():
        try:
            fn(*args, **kwargs)
        except exc_type as error:
            assert type(error) is exc_type, repr(error)
        else:
            raise AssertionError(f"{fn} did not raise {exc_type.__name__}")

    call.expects = exc_type
    return call


# --- the gauges themselves ------------------------------------------------------


def test_gauges_see_one_leak_per_call():
    sink = []
    target = object()
    live_growth, _, _ = measure(lambda: sink.append(object()))
    assert live_growth >= N
    _, ref_growth, _ = measure(lambda: sink.append(target), watched=[target])
    assert ref_growth == [N]
    libc = ctypes.CDLL(ctypes.util.find_library("c") or None)
    libc.malloc.restype = ctypes.c_void_p
    libc.malloc.argtypes = [ctypes.c_size_t]
    _, _, heap_growth = measure(lambda: sink.append(libc.malloc(24)))
    assert heap_growth >= HEAP_SLACK


# --- scenarios -------------------------------------------------------------------


class Number:
    """An element converted through __float__ (the non-float path)."""

    def __float__(self):
        return 1.25


class Boom(Exception):
    pass


class RaisingFloat:
    """Raises a new exception each time (re-raising one instance would grow
    its traceback), optionally with a shared cause."""

    def __init__(self, exc_type, cause=None):
        self.exc_type = exc_type
        self.cause = cause

    def __float__(self):
        raise self.exc_type("bad element") from self.cause


class LyingLength:
    """A sequence whose __len__ fails: the length is only a hint."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        raise Boom("no length")

    def __getitem__(self, i):
        return self.items[i]


class BrokenIter:
    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items) + 3

    def __getitem__(self, i):
        if i == len(self.items):
            raise Boom("iteration failed")
        return self.items[i]


def scenarios():
    """name -> (call, objects whose reference counts must not change)."""
    index = quarix.PyFlat(3)
    index.create([[float(i), float(i % 7), -float(i)] for i in range(50)])
    empty = quarix.PyFlat(3)
    vector = [1.5, 2.5, 3.5]
    elements = [Number(), 2.75, 10**20]
    mixed = [elements[0], elements[1], elements[2]]
    vectors = [list(vector), tuple(mixed), b"abc"]
    big_k = 10**18
    metric = "cos" + "ine"
    cause = Boom("underlying")
    raising_type = [1.0, RaisingFloat(TypeError, cause), 3.0]
    raising_other = [1.0, RaisingFloat(Boom), 3.0]
    lying = LyingLength([1.0, 2.0, 3.0])
    broken = BrokenIter([1.0, 2.0])
    out = {}

    def add(name, call, *watched):
        out[name] = (call, (index, empty, *watched))

    # successful calls
    add("construct", lambda: (quarix.PyFlat(3), quarix.PyFlat(dim=3, metric=metric), quarix.PyFlat(2, None)), metric)
    add("insert-into-new", lambda: quarix.PyFlat(3).insert(mixed), mixed, *elements)
    add("create-into-new", lambda: quarix.PyFlat(3, metric).create(vectors), vectors, *elements)
    add("search", lambda: index.search(mixed, big_k), mixed, big_k, *elements)
    add("search-keywords", lambda: index.search(k=5, query=vector), vector)
    add("search-tuple-bytes", lambda: (index.search(tuple(vector)), index.search(b"abc", 0)))
    add("length-hint-fails", lambda: index.search(lying, 3), lying)

    # argument parsing
    add("missing", failing(TypeError, index.insert))
    add("too-many", failing(TypeError, index.insert, vector, vector), vector)
    add("unexpected-keyword", failing(TypeError, index.search, vector, kk=1), vector)
    add("surrogate-keyword", failing(TypeError, index.search, vector, **{"\ud800": 1}), vector)
    add("multiple-values", failing(TypeError, index.search, vector, query=vector), vector)
    add("constructor-parse", failing(TypeError, quarix.PyFlat, 3, dim=3))
    add("wrong-self", failing(TypeError, quarix.PyFlat.search, object(), vector), vector)

    # conversions
    add("str-vector", failing(TypeError, index.insert, "abc"))
    add("dict-vector", failing(TypeError, index.insert, {1: 2}))
    add("str-element", failing(TypeError, index.insert, [1.0, "x", 2.0]))
    add("typeerror-with-cause", failing(TypeError, index.insert, raising_type), raising_type, cause)
    add("other-error-element", failing(Boom, index.search, raising_other), raising_other)
    add("iteration-fails", failing(Boom, index.create, [vector, broken]), vector, broken)
    add("str-inside-vectors", failing(TypeError, index.create, [vector, "abc"]), vector)
    add("float-k", failing(TypeError, index.search, vector, 2.5), vector)
    add("negative-k", failing(OverflowError, index.search, vector, -1), vector)
    add("huge-k", failing(OverflowError, index.search, vector, 2**64), vector)
    add("negative-dim", failing(OverflowError, quarix.PyFlat, -1))
    add("float-dim", failing(TypeError, quarix.PyFlat, 2.0))
    add("int-metric", failing(TypeError, quarix.PyFlat, 2, 5))
    add("surrogate-metric", failing(UnicodeEncodeError, quarix.PyFlat, 2, "\ud800"))

    # index errors
    add("insert-length", failing(ValueError, index.insert, [1.0, 2.0]))
    add("query-length", failing(ValueError, index.search, [1.0], big_k), big_k)
    add("empty-index", failing(ValueError, empty.search, vector), vector)
    add("empty-vectors", failing(ValueError, index.create, []))
    add("create-length", failing(ValueError, index.create, [vector, [1.0]]), vector)

    # re-entry from a conversion
    class SearchesSame:
        def __init__(self, target):
            self.target = target

        def __float__(self):
            self.target.search(vector)
            return 0.0

    class InsertsSame(SearchesSame):
        def __float__(self):
            self.target.insert(vector)
            return 0.0

    into_insert = [1.0, SearchesSame(index), 2.0]
    into_search = [1.0, InsertsSame(index), 2.0]
    nested_search = [1.0, SearchesSame(index), 2.0]
    add("search-during-insert", failing(RuntimeError, index.insert, into_insert), into_insert, vector)
    add("insert-during-search", failing(RuntimeError, index.search, into_search), into_search, vector)
    add("search-during-search", lambda: index.search(nested_search, 4), nested_search, vector)
    return out


SCENARIOS = scenarios()


@pytest.mark.parametrize("name", sorted(SCENARIOS))
def test_calls_leave_nothing_behind(name):
    # Fresh objects per test, so one scenario's leak cannot hide in another's.
    call, watched = scenarios()[name]
    call()  # fails here, not in the middle of the measurement, if the scenario is wrong
    assert_flat(call, watched)


def test_failing_scenarios_store_nothing():
    out = scenarios()
    _, (index, empty, *_) = out["search"]
    before = index.search([0.0, 0.0, 0.0], 10**6)
    failures = [call for call, _ in out.values() if hasattr(call, "expects")]
    assert len(failures) > 20
    for call in failures:
        call()
    assert index.search([0.0, 0.0, 0.0], 10**6) == before
    with pytest.raises(ValueError):
        empty.search([0.0, 0.0, 0.0])


# --- native memory of whole indexes ------------------------------------------------

DIM = 256
COUNT = 4096  # 4096 * 256 doubles: 8 MiB per index, the same again while converting
ROUNDS = 25
RSS_MARGIN = 48 * 1024 * 1024  # one leaked index per round would add 25 * 8 MiB


@pytest.fixture(scope="module")
def big_vectors():
    return [[float(i % 97)] * DIM for i in range(COUNT)]


def _rss_growth(call):
    # The sanitizer's quarantine keeps freed memory resident: there, count what the program holds.
    gauge = native_heap_bytes if SANITIZED else rss_bytes
    for _ in range(3):
        call()
    gc.collect()
    before = gauge()
    for _ in range(ROUNDS):
        call()
    gc.collect()
    return gauge() - before


def test_created_and_dropped_indexes_release_their_memory(big_vectors):
    query = [1.0] * DIM

    def call():
        index = quarix.PyFlat(DIM, "cosine")
        index.create(big_vectors)
        index.insert(query)
        assert len(index.search(query, COUNT + 1)) == COUNT + 1
        del index

    assert _rss_growth(call) < RSS_MARGIN


@pytest.mark.parametrize("failure", ["length-at-end", "element-at-end", "big-insert", "big-query"])
def test_failed_big_calls_release_their_buffers(big_vectors, failure):
    index = quarix.PyFlat(DIM)
    index.insert([0.0] * DIM)
    wrong_length_at_end = big_vectors + [[1.0]]
    bad_element_at_end = big_vectors + [[1.0] * (DIM - 1) + ["x"]]
    long_vector = [0.5] * (COUNT * DIM)
    calls = {
        "length-at-end": failing(ValueError, index.create, wrong_length_at_end),
        "element-at-end": failing(TypeError, index.create, bad_element_at_end),
        "big-insert": failing(ValueError, index.insert, long_vector),
        "big-query": failing(ValueError, index.search, long_vector),
    }
    assert _rss_growth(calls[failure]) < RSS_MARGIN
    assert index.search([0.0] * DIM, 10) == [(0, 0.0)]
