"""PyHNSW against the plain-Python reference in hnsw_model.py.

With one layer no level draw matters, so the graph and every answer are fully
determined and must agree with the reference bit for bit. With several layers
the levels are random: the test extension's copy of PyHNSW, whose next draws
can be planned, is compared level for level, and quarix's own class is
checked for properties that hold whatever the levels.
"""

from __future__ import annotations

import math
import random
import struct
from collections import Counter
from collections.abc import Callable
from typing import Any

import pytest

import quarix
from hnsw_model import METRICS, ModelHNSW, distance_less, euclidean_distance, order_key

METRIC_NAMES = ("euclidean", "angular", "inner_product")
EF_SEARCHES = (1, 3, 10, 50)
KS = (None, 0, 1, 5, 10**18)
SCHEMA = ["tag", "num", "tag"]  # the repeated name is read at its first position
# Stored values mix kinds that must never match each other: 1, 1.0, True and "1";
# 0.0 and -0.0 must match; NaN matches nothing.
# Integers beyond 64 bits are stored as the nearest double.
STORED_VALUES: list[object] = [
    *["a", "b", "1", "é", "a\x00b"],
    *[1, 1.0, True, False, 0, 0.0, -0.0, math.nan, -7, 2.5, 2**63 - 1, 2**63],
]
FILTER_VALUES: list[object] = [*STORED_VALUES, "c", 3, 2**70, -(2**63), float(2**63)]


def bits(x: float) -> bytes:
    return b"nan" if x != x else struct.pack("<d", x)


def canonical(result: list[tuple[float, list[float]]]) -> list[tuple[object, tuple[object, ...]]]:
    """Distances and vectors bit for bit, every NaN alike."""
    return [(bits(d), tuple(bits(x) for x in vector)) for d, vector in result]


def outcome(call: Callable[[], Any]) -> tuple[str, Any]:
    try:
        result = call()
    except ValueError as error:
        return ("ValueError", str(error))
    return ("ok", canonical(result) if isinstance(result, list) else result)


def agree(real: Any, model: ModelHNSW, method: str, *args: Any, **kwargs: Any) -> tuple[str, Any]:
    got = outcome(lambda: getattr(real, method)(*args, **kwargs))
    want = outcome(lambda: getattr(model, method)(*args, **kwargs))
    assert got == want, f"{method}{args!r} {kwargs!r}"
    return got


def pair(dim: int, **params: Any) -> tuple[quarix.PyHNSW, ModelHNSW]:
    return quarix.PyHNSW(dim, **params), ModelHNSW(dim, **params)


# ---- data ------------------------------------------------------------------


def random_vector(rng: random.Random, dim: int) -> list[float]:
    roll = rng.random()
    if roll < 0.04:  # values that poison distances
        return [rng.choice([math.nan, math.inf, -math.inf, 1.5]) for _ in range(dim)]
    if roll < 0.08:  # zero vectors: cosine 0/0
        return [rng.choice([0.0, -0.0]) for _ in range(dim)]
    if roll < 0.5:  # coarse grid: many exactly equal distances
        return [float(rng.randint(-2, 2)) for _ in range(dim)]
    return [rng.uniform(-1.0, 1.0) for _ in range(dim)]


def random_dataset(rng: random.Random, dim: int, count: int) -> list[list[float]]:
    vectors: list[list[float]] = []
    for _ in range(count):
        if vectors and rng.random() < 0.15:
            vectors.append(list(rng.choice(vectors)))  # exact duplicate
        else:
            vectors.append(random_vector(rng, dim))
    return vectors


def random_pairs(rng: random.Random) -> list[tuple[str, object]]:
    pairs: list[tuple[str, object]] = [("tag", rng.choice(STORED_VALUES)), ("num", rng.choice(STORED_VALUES))]
    if rng.random() < 0.3:  # a name given twice keeps its last value
        pairs.append(("tag", rng.choice(STORED_VALUES)))
    if rng.random() < 0.3:  # undeclared names are ignored, whatever their value
        pairs.append(("extra", None))
    rng.shuffle(pairs)
    return pairs


def random_query(rng: random.Random, dim: int, stored: list[list[float]]) -> list[float]:
    roll = rng.random()
    if roll < 0.3 and stored:
        return list(rng.choice(stored))  # ties with every duplicate
    if roll < 0.4:
        return []
    if roll < 0.5:
        return random_vector(rng, rng.choice([max(dim - 1, 0), dim + 1]))  # other lengths are accepted
    if roll < 0.55:
        return [math.nan] * dim
    return [rng.uniform(-1.5, 1.5) for _ in range(dim)]


# ---- one layer: fully determined, compared with the reference ------------------

BUILD_CASES = [
    ("insert", 1),
    ("create", 2),
    ("insert-meta", 5),
    ("create-meta", 40),
    ("mixed", 200),
    ("insert", 200),
    ("mixed", 1),
    ("create-meta", 2),
    ("insert-meta", 40),
    ("create", 5),
]


def build(rng: random.Random, indexes: list[Any], vectors: list[list[float]], mode: str) -> None:
    """Adds the vectors to every index the same way."""

    def each(method: str, *args: Any) -> None:
        for index in indexes:
            getattr(index, method)(*args)

    if mode == "insert":
        for v in vectors:
            each("insert", v)
    elif mode == "create":
        each("create", vectors)
    elif mode == "insert-meta":
        for v in vectors:
            # Some nodes have no row: they fail every filter.
            each("insert", v, random_pairs(rng) if rng.random() < 0.75 else None)
    elif mode == "create-meta":
        each("create", vectors, [random_pairs(rng) for _ in vectors])
    else:
        rest = list(vectors)
        while rest:
            batch = rest[: rng.randint(1, 20)]
            rest = rest[len(batch) :]
            roll = rng.random()
            if roll < 0.3:
                each("create", batch)
            elif roll < 0.6:
                each("create", batch, [random_pairs(rng) for _ in batch])
            else:
                for v in batch:
                    each("insert", v, random_pairs(rng) if rng.random() < 0.6 else None)


@pytest.mark.parametrize("mode,ef_construction", BUILD_CASES, ids=[f"{m}-efc{e}" for m, e in BUILD_CASES])
@pytest.mark.parametrize("metric", METRIC_NAMES)
def test_one_layer_matches_reference(metric: str, mode: str, ef_construction: int) -> None:
    rng = random.Random(f"{metric}/{mode}/{ef_construction}")
    dim = rng.randint(1, 5)
    count = 300 if ef_construction <= 5 else 200
    vectors = random_dataset(rng, dim, count)
    schema = SCHEMA if mode.endswith("meta") or mode == "mixed" else None
    model = ModelHNSW(dim, layers=1, ef_construction=ef_construction, metric=metric, schema=schema)
    reals = {
        ef: quarix.PyHNSW(dim, layers=1, ef_construction=ef_construction, ef_search=ef, metric=metric, schema=schema)
        for ef in EF_SEARCHES
    }
    build(random.Random(rng.random()), [model, *reals.values()], vectors, mode)

    for _ in range(40):
        query = random_query(rng, dim, vectors)
        k = rng.choice(KS)
        flt = None
        if schema is not None and rng.random() < 0.6:
            flt = (rng.choice(["tag", "num", "num", "missing"]), rng.choice(FILTER_VALUES))
        for ef, real in reals.items():
            model.ef_search = ef
            agree(real, model, "search", query, k, flt)


@pytest.mark.parametrize("metric", METRIC_NAMES)
def test_one_layer_huge_ef_matches_reference(metric: str) -> None:
    # Bounds this large must cost nothing by themselves: the lists grow with
    # what is found, not with the bound.
    rng = random.Random(metric)
    vectors = random_dataset(rng, 3, 60)
    real, model = pair(3, layers=1, ef_construction=10**18, ef_search=10**18, metric=metric)
    for v in vectors:
        real.insert(v)
        model.insert(v)
    for _ in range(20):
        result = agree(real, model, "search", random_query(rng, 3, vectors), 10**18)
    assert result[0] == "ok"
    # Every node links to all earlier ones, so an unbounded search sees them all.
    assert len(agree(real, model, "search", [0.0, 0.0, 0.0], 10**18)[1]) == len(vectors)


# ---- filters: explicit expectations the reference must meet as well -------------

FILTER_NODES: list[tuple[list[float], list[tuple[str, Any]] | None]] = [
    ([0.0, 0.0], [("tag", "x"), ("num", 0.0)]),
    ([1.0, 0.0], [("tag", "y"), ("num", -0.0)]),
    ([2.0, 0.0], [("tag", "x"), ("num", 1)]),
    ([3.0, 0.0], [("tag", "y"), ("num", 1.0)]),
    ([4.0, 0.0], [("tag", "x"), ("num", True)]),
    ([5.0, 0.0], [("tag", "y"), ("num", "1")]),
    ([6.0, 0.0], [("tag", "x"), ("num", math.nan)]),
    ([7.0, 0.0], None),
    ([8.0, 0.0], [("tag", "y"), ("num", 0)]),
    ([9.0, 0.0], [("num", 2), ("tag", "x"), ("extra", [])]),
]


@pytest.mark.parametrize(
    "flt,expected",
    [
        (("num", 0.0), [0, 1]),
        (("num", -0.0), [0, 1]),
        (("num", 0), [8]),
        (("num", False), [8]),
        (("num", 1), [2, 4]),
        (("num", True), [2, 4]),
        (("num", 1.0), [3]),
        (("num", "1"), [5]),
        (("num", math.nan), []),
        (("num", 2**70), []),
        (("tag", "x"), [0, 2, 4, 6, 9]),
        (("tag", "X"), []),
    ],
)
@pytest.mark.parametrize("via", ["insert", "create"])
def test_filter_returns_exactly_the_matching_nodes(flt: tuple[str, object], expected: list[int], via: str) -> None:
    # ef_construction >= node count links every node with all earlier ones,
    # so every matching node is one step from node 0 and must be found.
    real, model = pair(2, layers=1, ef_construction=64, ef_search=64, metric="euclidean", schema=SCHEMA)
    if via == "insert":
        for vector, metadata in FILTER_NODES:
            real.insert(vector, metadata)
            model.insert(vector, metadata)
    else:
        # Node 7 comes in a batch of its own, without rows.
        for index in (real, model):
            index.create([v for v, _ in FILTER_NODES[:7]], [m for _, m in FILTER_NODES[:7] if m is not None])
            index.create([FILTER_NODES[7][0]])
            index.create([v for v, _ in FILTER_NODES[8:]], [m for _, m in FILTER_NODES[8:] if m is not None])
    query = [0.0, 0.0]
    want = [(float(i), [float(i), 0.0]) for i in expected]
    assert agree(real, model, "search", query, 100, flt) == ("ok", canonical(want))
    # k = 0 still yields the first match; a filter nothing matches yields [].
    assert agree(real, model, "search", query, 0, flt)[1] == canonical(want[:1])


# ---- refused input and degenerate settings ------------------------------------------


def test_wrong_vector_lengths_store_nothing() -> None:
    real, model = pair(3, layers=1, metric="euclidean")
    assert agree(real, model, "insert", [1.0, 2.0]) == ("ValueError", "Expected vector of length 3, got 2")
    assert agree(real, model, "search", [1.0, 2.0, 3.0], 5) == ("ok", [])
    assert agree(real, model, "create", [[1.0, 2.0, 3.0], [1.0] * 4, []]) == (
        "ValueError",
        "Vector length 4 does not match index dimension 3",
    )
    assert agree(real, model, "search", [1.0, 2.0, 3.0], 5) == ("ok", [])
    agree(real, model, "create", [[1.0, 2.0, 3.0], [0.0, 0.0, 0.0]])
    assert agree(real, model, "insert", [1.0] * 4) == ("ValueError", "Expected vector of length 3, got 4")
    agree(real, model, "insert", [5.0, 5.0, 5.0])
    for query in ([], [1.0], [1.0, 2.0, 3.0], [1.0, 2.0, 3.0, 4.0, 5.0]):
        assert len(agree(real, model, "search", query, 10)[1]) == 3


def test_dimension_zero_accepts_only_empty_vectors() -> None:
    real, model = pair(0, layers=1, metric="angular", schema=["tag"])
    agree(real, model, "insert", [])
    agree(real, model, "insert", [], [("tag", "a")])
    agree(real, model, "create", [[], []])
    assert agree(real, model, "insert", [0.5]) == ("ValueError", "Expected vector of length 0, got 1")
    refused = ("ValueError", "Vector length 1 does not match index dimension 0")
    assert agree(real, model, "create", [[], [0.5]]) == refused
    for query, k, flt in (([], 5, None), ([1.0], 0, None), ([], 1, ("tag", "a")), ([], 1, ("nope", 1))):
        assert agree(real, model, "search", query, k, flt) == ("ok", [])


@pytest.mark.parametrize("ef_search", [0, 50])
def test_zero_layers_stores_but_cannot_search(ef_search: int) -> None:
    real, model = pair(2, layers=0, ef_search=ef_search, metric="euclidean", schema=[])
    assert agree(real, model, "search", [1.0, 1.0], 3, ("missing", 1)) == ("ok", [])
    agree(real, model, "insert", [1.0, 1.0])
    agree(real, model, "create", [[2.0, 2.0], [3.0, 3.0]], [[], [("x", None)]])
    # The descent's first layer does not exist; that is reported before the
    # filter and before ef_search.
    for flt in (None, ("missing", 1)):
        assert agree(real, model, "search", [1.0, 1.0], 3, flt) == ("ValueError", "Search error: InvalidLayer")


@pytest.mark.parametrize("layers", [1, 3])
def test_zero_ef_construction_keeps_unlinked_nodes(layers: int) -> None:
    real, model = pair(2, layers=layers, ef_construction=0, metric="euclidean")
    agree(real, model, "insert", [5.0, 5.0])
    # Every later node fails at its first wide search but stays stored. The
    # reference needs a level with several layers; any level fails the same way.
    assert outcome(lambda: real.insert([0.0, 0.0])) == ("ValueError", "Insert error: InvalidEF")
    assert outcome(lambda: model.insert([0.0, 0.0], level=0)) == ("ValueError", "Insert error: InvalidEF")
    assert outcome(lambda: real.create([[1.0, 1.0], [2.0, 2.0]])) == ("ValueError", "Create error: InvalidEF")
    assert outcome(lambda: model.create([[1.0, 1.0], [2.0, 2.0]], levels=[0, 0])) == (
        "ValueError",
        "Create error: InvalidEF",
    )
    assert model.node_count == 3
    # No search reaches the unlinked nodes: node 0 answers every query.
    for query, k in (([0.0, 0.0], 5), ([1.0, 1.0], None), ([], 0)):
        node0 = (euclidean_distance(query, [5.0, 5.0]), [5.0, 5.0])
        assert agree(real, model, "search", query, k) == ("ok", canonical([node0]))


def test_zero_ef_search_fails_on_a_non_empty_index() -> None:
    real, model = pair(2, layers=1, ef_search=0, metric="inner_product")
    assert agree(real, model, "search", [1.0, 1.0], 3) == ("ok", [])
    agree(real, model, "create", [[1.0, 0.0], [0.0, 1.0]])
    assert agree(real, model, "search", [1.0, 1.0], 3) == ("ValueError", "Search error: InvalidEF")


CHECK_ORDER = [
    # With one layer the layer-0 call comes first and tests ef_search before
    # the filter; with more, the descent's first call tests the filter while
    # its beam of 1 passes.
    (1, [], "InvalidEF"),
    (1, ["tag"], "InvalidEF"),
    (2, [], "EmptySchema"),
    (2, ["tag"], "AttributeNotFound"),
    (5, [], "EmptySchema"),
    (5, ["tag"], "AttributeNotFound"),
]


@pytest.mark.parametrize("layers,schema,kind", CHECK_ORDER)
def test_search_check_order(layers: int, schema: list[str], kind: str) -> None:
    real, model = pair(2, layers=layers, ef_search=0, metric="euclidean", schema=schema)
    agree(real, model, "insert", [1.0, 2.0])  # node 0 needs no level draw
    assert agree(real, model, "search", [0.0, 0.0], 1, ("missing", "x")) == ("ValueError", f"Search error: {kind}")
    # A filter that passes every check still meets ef_search 0 on layer 0.
    if schema:
        assert agree(real, model, "search", [0.0, 0.0], 1, ("tag", "x")) == ("ValueError", "Search error: InvalidEF")


REFUSED = [
    ("insert", ([1.0, 2.0], [("tag", "a")]), "Missing metadata for attribute 'num'"),
    ("insert", ([1.0, 2.0], [("num", 1), ("tag", None)]), "Unsupported metadata type for attribute 'tag'"),
    ("insert", ([1.0], [("num", 1)]), "Missing metadata for attribute 'tag'"),  # metadata is checked first
    ("create", ([[1.0, 2.0]], []), "Length of metadata list must match number of vectors"),
    (
        "create",
        ([[1.0, 2.0], [3.0, 4.0]], [[("tag", 1), ("num", 1)], [("tag", 1)]]),
        "Missing metadata for attribute 'num'",
    ),
    ("create", ([], []), "Create error: EmptyVectors"),
    (
        "create",
        ([[1.0, 2.0], [3.0]], [[("tag", 1), ("num", 1)]] * 2),
        "Vector length 1 does not match index dimension 2",
    ),
    ("search", ([1.0, 2.0], 1, ("num", None)), "Unsupported type for metadata filter"),
    ("search", ([1.0, 2.0], 1, ("num", 10**400)), "Unsupported type for metadata filter"),
]


@pytest.mark.parametrize("method,args,message", REFUSED)
def test_refused_input_changes_nothing(method: str, args: tuple[Any, ...], message: str) -> None:
    real, model = pair(2, layers=1, metric="euclidean", schema=SCHEMA)
    agree(real, model, "insert", [0.5, 0.5], [("tag", "a"), ("num", 1)])
    assert agree(real, model, method, *args) == ("ValueError", message)
    assert agree(real, model, "search", [1.0, 2.0], 10)[1] == canonical([(math.hypot(0.5, 1.5), [0.5, 0.5])])


def test_metadata_needs_a_schema() -> None:
    real, model = pair(2, layers=1, metric="euclidean")
    no_schema = "No schema provided in HNSW instance; cannot use metadata"
    assert agree(real, model, "insert", [1.0, 2.0], []) == ("ValueError", no_schema)
    assert agree(real, model, "create", [[1.0, 2.0]], [[]]) == ("ValueError", no_schema)
    assert agree(real, model, "search", [1.0, 2.0], 1, ("tag", "a")) == ("ValueError", no_schema + " filtering")
    assert agree(real, model, "search", [1.0, 2.0], 10) == ("ok", [])


# ---- several layers, levels known in advance ------------------------------------------

def test_planned_levels_are_the_levels_drawn(hooks: Any) -> None:
    # Five windows of 2048 draws cross at least one re-seed of the generator.
    for _ in range(5):
        planned = hooks.plan_levels(5, 2048)
        assert hooks.draw_levels(5, 2048) == dict(Counter(planned))


LAYER_CASES = [
    # layers, ef_construction, ef_search, build mode
    (2, 1, 1, "insert"),
    (2, 3, 10, "mixed"),
    (3, 2, 3, "create-meta"),
    (3, 40, 50, "insert-meta"),
    (5, 1, 3, "mixed"),
    (5, 5, 1, "insert"),
    (5, 200, 10, "create"),
    (8, 3, 50, "insert-meta"),
    (3, 1, 1, "insert"),
    (3, 2, 5, "insert"),
    (4, 1, 2, "create"),
    (4, 2, 1, "insert"),
    (40, 2, 10, "mixed"),
]


@pytest.mark.parametrize(
    "layers,ef_construction,ef_search,mode",
    LAYER_CASES,
    ids=[f"L{c[0]}-efc{c[1]}-ef{c[2]}-{c[3]}" for c in LAYER_CASES],
)
@pytest.mark.parametrize("metric", METRIC_NAMES)
def test_several_layers_match_reference(
    hooks: Any, metric: str, layers: int, ef_construction: int, ef_search: int, mode: str
) -> None:
    rng = random.Random(f"{metric}/{layers}/{ef_construction}/{ef_search}/{mode}")
    dim = rng.randint(1, 5)
    vectors = random_dataset(rng, dim, 150 if ef_construction <= 5 else 80)
    schema = SCHEMA if mode.endswith("meta") or mode == "mixed" else None
    params: dict[str, Any] = dict(
        layers=layers, ef_construction=ef_construction, ef_search=ef_search, metric=metric, schema=schema
    )
    real = hooks.PyHNSW(dim, **params)
    model = ModelHNSW(dim, **params)
    levels = hooks.plan_levels(layers, len(vectors))
    assert hooks.plan_levels(layers, len(vectors)) == levels  # planning draws nothing
    assert len(set(levels)) > 1
    model.planned_levels = iter(levels)
    # Each insertion into the extension's index draws the level the reference
    # takes from the plan, in the same order; node 0 draws none.
    build(random.Random(rng.random()), [real, model], vectors, mode)
    assert len(list(model.planned_levels)) == 1

    for _ in range(40):
        query = random_query(rng, dim, vectors)
        flt = None
        if schema is not None and rng.random() < 0.6:
            flt = (rng.choice(["tag", "num"]), rng.choice(FILTER_VALUES))
        agree(real, model, "search", query, rng.choice(KS), flt)


# ---- several layers: random levels, so properties only --------------------------------


def matches(stored: object, wanted: object) -> bool:
    def kind(value: object) -> tuple[str, object]:
        if isinstance(value, str):
            return ("str", value)
        if isinstance(value, int) and -(2**63) <= value < 2**63:
            return ("int", int(value))
        return ("float", float(value))  # type: ignore[arg-type]

    return kind(stored) == kind(wanted)


@pytest.mark.parametrize("layers", [None, 10**12], ids=["default", "huge"])
@pytest.mark.parametrize("metric", METRIC_NAMES)
def test_random_levels_properties(metric: str, layers: int | None) -> None:
    rng = random.Random(f"layers/{metric}/{layers}")
    dim = 4
    vectors = random_dataset(rng, dim, 150)
    rows: list[dict[str, Any]] = [
        {"tag": rng.choice(["a", "b", "c"]), "num": rng.choice([0, 1, 1.0, True, "1"])} for _ in vectors
    ]
    distance = METRICS[metric]
    index = quarix.PyHNSW(dim, layers, ef_construction=10, ef_search=20, metric=metric, schema=["tag", "num"])
    wide = quarix.PyHNSW(dim, layers, ef_construction=4, ef_search=len(vectors), metric=metric)
    index.create(vectors[:50], [list(r.items()) for r in rows[:50]])
    for v, r in zip(vectors[50:], rows[50:]):
        index.insert(v, list(r.items()))
    wide.create(vectors)

    def stored_rows(vector: list[float]) -> list[dict[str, object]]:
        key = [bits(x) for x in vector]
        return [r for v, r in zip(vectors, rows) if [bits(x) for x in v] == key]

    for _ in range(60):
        query = random_query(rng, dim, vectors)
        k = rng.choice(KS)
        flt: tuple[str, Any] | None = None
        if rng.random() < 0.5:
            flt = (rng.choice(["tag", "num"]), rng.choice(["a", "c", 1, 1.0, "1"]))
        hits = index.search(query, k, flt)
        assert canonical(index.search(query, k, flt)) == canonical(hits)
        assert len(hits) <= min(max(1 if k is None else k, 1), 20)
        for d, vector in hits:
            assert bits(d) == bits(distance(query, vector))
            if flt is not None:
                assert any(matches(r[flt[0]], flt[1]) for r in stored_rows(vector))
        keys = [order_key(d) for d, _ in hits]
        assert keys == sorted(keys)

        # With room for every node, layer 0 keeps all it reaches, and every
        # node is linked to an earlier one: the answer is the whole index in
        # distance order.
        everything = wide.search(query, 10**18)
        want = sorted((distance(query, v) for v in vectors), key=order_key)
        assert [bits(d) for d, _ in everything] == [bits(d) for d in want]
        assert sorted(canonical(everything)) == sorted(canonical([(distance(query, v), v) for v in vectors]))
        for (d1, _), (d2, _) in zip(everything, everything[1:]):
            assert not distance_less(d2, d1)
