"""Sharded indexes on a real local Ray: exactly one index's answers and errors, spread over actors."""

import math
import random
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

ray = pytest.importorskip("ray")

from number_likes import Index, Real
from quarix import PyFlat, PyHNSW
from quarix_shards import ShardedFlat, ShardedHNSW, ShardLostError
from reference_metrics import euclidean_distance

INF, NAN = math.inf, math.nan

pytestmark = [pytest.mark.ray, pytest.mark.usefixtures("local_ray")]


def bits(results):
    """Results with every float as its bit pattern, so NaN and -0.0 compare exactly."""
    def one(value):
        return struct.pack("<d", value) if type(value) is float else value
    return [[tuple(one(v) for v in hit) for hit in hits] for hits in results]


def awkward_rows(rng, count, dim):
    """Clustered rows with duplicates, exact ties, -0.0, huge values, infinities and NaN."""
    rows = [[rng.choice([0.0, 1.0, -1.0, 2.0, 0.5]) for _ in range(dim)] for _ in range(count)]
    rows[3] = list(rows[1])
    rows[7] = [-0.0] * dim
    rows[11] = [1e300] + [0.0] * (dim - 1)
    rows[13] = [INF] + [1.0] * (dim - 1)
    rows[17] = [NAN] + [1.0] * (dim - 1)
    rows[19] = [0.0] * dim
    return rows


@pytest.mark.parametrize("metric", [None, "inner_product", "cosine"])
def test_sharded_flat_answers_exactly_as_one_flat(metric):
    rng = random.Random(5)
    dim = 4
    rows = awkward_rows(rng, 90, dim)
    single = PyFlat(dim, metric)
    with ShardedFlat(dim, metric, shards=3, actor_options={"num_cpus": 0}) as flat:
        # Every way in: single inserts, a create of lists on an empty index, a numpy create on a
        # non-empty one whose first id is not a multiple of the shard count, tuples.
        for row in rows[:2]:
            flat.insert(row), single.insert(row)
        flat.create(rows[2:40]), single.create(rows[2:40])
        flat.insert(tuple(rows[40])), single.insert(tuple(rows[40]))
        flat.create(np.array(rows[41:]), progress=False), single.create(np.array(rows[41:]))
        assert len(flat) == 90
        queries = [rows[1], rows[13], rows[17], [-0.0] * dim, [0.0, 1.0, -1.0, 0.5], [3.0, INF, 0.0, 1.0],
                   [NAN] * dim, [Index(1), Real(-0.0), True, 2]]
        for k in (None, 0, 1, 5, 89, 90, 1000):
            want = [single.search(q, k) for q in queries]
            assert bits(flat.search_many(queries, k)) == bits(want), k
            assert bits([flat.search(queries[0], k)]) == bits(want[:1])
        assert bits(flat.search_many(np.array(queries[:7], dtype=float), 3)) == bits(
            [single.search(q, 3) for q in queries[:7]])


def failures(calls):
    """(type, args) of what each call raised, or None where it returned."""
    out = []
    for call in calls:
        try:
            call()
            out.append(None)
        except BaseException as error:
            out.append((type(error), error.args))
    return out


def test_sharded_flat_refuses_exactly_as_one_flat_and_stores_nothing():
    empty = PyFlat(3)
    with ShardedFlat(3, shards=2) as flat:
        assert failures([lambda: flat.search([0.0, 0.0, 0.0]), lambda: flat.search([0.0])]) == failures(
            [lambda: empty.search([0.0, 0.0, 0.0]), lambda: empty.search([0.0])])
        single = PyFlat(3)
        for index in (flat, single):
            index.insert([1.0, 2.0, 3.0])
        bad = [
            ("insert", ([1.0, 2.0],)), ("insert", ("abc",)), ("insert", ([1.0, "x", 2.0],)), ("insert", (None,)),
            ("create", ([],)), ("create", ([[1.0, 2.0, 3.0], [1.0, 2.0]],)), ("create", ("abc",)),
            ("create", ([[1.0, 2.0, 3.0], [1.0, 2.0, object()]],)), ("create", (np.zeros((2, 4)),)),
            ("search", ([1.0, 2.0],)), ("search", ([1.0, 2.0, 3.0], -1)), ("search", ([1.0, 2.0, 3.0], 1.5)),
            ("search", ({1: 2},)),
        ]
        got = failures([lambda n=name, a=args: getattr(flat, n)(*a) for name, args in bad])
        want = failures([lambda n=name, a=args: getattr(single, n)(*a) for name, args in bad])
        assert got == want and None not in want
        for rows, k in ((np.zeros((2, 2)), 1), (np.zeros((2, 3)), -1)):  # a batch checked by one row
            assert failures([lambda: flat.search_many(rows, k)]) == failures(
                [lambda: [single.search(q, k) for q in rows]])
        # Nothing was stored: the next vectors take ids 1 and 2 and the shards hold 3 in all.
        flat.create([[0.0, 0.0, 0.0], [9.0, 9.0, 9.0]])
        assert len(flat) == 3
        assert flat.search([0.0, 0.0, 0.0], 5) == [(1, 0.0), (0, math.sqrt(14.0)), (2, math.sqrt(243.0))]
    assert failures([lambda: ShardedFlat(-1), lambda: ShardedFlat("3"), lambda: ShardedFlat(3, 7)]) == failures(
        [lambda: PyFlat(-1), lambda: PyFlat("3"), lambda: PyFlat(3, 7)])


def test_sharded_graph_finds_the_nearest_and_filters_across_shards():
    rng = np.random.default_rng(3)
    vectors = rng.normal(size=(120, 6))
    kinds = [i % 3 for i in range(120)]
    # Metadata in every form a value takes; each is stored as one kind.
    values = {0: [True, 1, np.int64(1), Index(1)], 1: ["b"], 2: [2.5, Real(2.5), np.float32(2.5)]}
    metadata = [[("c", values[k][i % len(values[k])]), ("unused", "x")] for i, k in enumerate(kinds)]
    with ShardedHNSW(6, layers=1, ef_search=200, metric="euclidean", schema=["c"], shards=4) as graph:
        graph.create(vectors[:100], metadata[:100])
        for i in range(100, 120):
            graph.insert(list(vectors[i]), metadata[i])
        assert len(graph) == 120
        queries = rng.normal(size=(10, 6))
        for flt, wanted in ((None, range(3)), (("c", 1), [0]), (("c", "b"), [1]), (("c", 2.5), [2]),
                            (("c", 1.0), [])):
            found = graph.search_many(queries, 7, flt)
            for query, hits in zip(queries, found):
                ids = [i for i in range(120) if kinds[i] in wanted]
                exact = sorted(euclidean_distance(list(query), list(vectors[i])) for i in ids)[:7]
                assert [d for d, _ in hits] == exact
                for distance, vector in hits:
                    stored = [i for i in ids if list(vectors[i]) == vector]
                    assert stored and euclidean_distance(list(query), vector) == distance
        assert len(graph.search(queries[0], 0)) == 1 and len(graph.search(queries[0], 1000)) == 120


def test_sharded_graph_refuses_exactly_as_one_graph_and_stores_nothing():
    settings = dict(metric="euclidean", schema=["c", "s"])
    single = PyHNSW(2, **settings)
    row = [("c", "a"), ("s", 1)]
    with ShardedHNSW(2, shards=3, **settings) as graph:
        # An empty index answers [] and still judges the filter.
        assert graph.search([0.0, 0.0], 3, ("c", "a")) == []
        for index in (graph, single):
            index.insert([0.0, 0.0], row)
        bad = [
            ("insert", ([1.0], row)), ("insert", ([1.0, 2.0], [("c", "a")])), ("insert", ([1.0, 2.0], [("c", None),
             ("s", 1)])), ("insert", ([1.0, 2.0], [["c", "a"]])), ("insert", ([1.0, 2.0], [("c", "a", 3)])),
            ("create", ([[1.0, 2.0]], [])), ("create", ([[1.0, 2.0], [1.0]], [row, row])),
            ("create", ([[1.0, 2.0], [3.0, 4.0]], [row, [("s", 2)]])), ("create", ([], [])), ("create", ([],)),
            ("search", ([1.0, 2.0], 1, ("c", None))), ("search", ([1.0, 2.0], 1, ["c", "a"])),
            ("search", ([1.0, 2.0], 1, ("nope", 1))), ("search", ([1.0, 2.0], -1)),
        ]
        got = failures([lambda n=name, a=args: getattr(graph, n)(*a) for name, args in bad])
        want = failures([lambda n=name, a=args: getattr(single, n)(*a) for name, args in bad])
        assert got == want and None not in want
        assert len(graph) == 1
    plain = PyHNSW(2, metric="euclidean")
    with ShardedHNSW(2, metric="euclidean", shards=2) as graph:
        calls = [lambda i: i.search([0.0, 0.0], 1, ("c", "a")), lambda i: i.insert([0.0, 0.0], [])]
        assert failures([lambda c=c: c(graph) for c in calls]) == failures([lambda c=c: c(plain) for c in calls])
    assert failures([lambda: ShardedHNSW(2), lambda: ShardedHNSW(2, metric="cosine"),
                     lambda: ShardedHNSW(2, metric="euclidean", schema="ab")]) == failures(
        [lambda: PyHNSW(2), lambda: PyHNSW(2, metric="cosine"), lambda: PyHNSW(2, metric="euclidean", schema="ab")])
    with pytest.raises(ValueError, match="ef_construction=0"):
        ShardedHNSW(2, metric="euclidean", ef_construction=0)


def test_a_lost_shard_fails_every_later_call_and_names_itself():
    flat = ShardedFlat(2, shards=3)
    flat.create([[float(i), 0.0] for i in range(10)])
    ray.kill(flat._actors[1])
    # The kill takes effect a little later: until then the shard still answers.
    with pytest.raises(ray.exceptions.RayActorError):
        for _ in range(200):
            ray.get(flat._actors[1].stored.remote(), timeout=30)
    calls = [lambda: flat.search([0.0, 0.0]), lambda: flat.insert([1.0, 1.0]), lambda: len(flat),
             lambda: flat.search_many([[0.0, 0.0]]), lambda: flat.create([[1.0, 1.0]])]
    for call in calls:
        with pytest.raises(ShardLostError) as raised:
            call()
        assert "shard 1 of 3 is lost" in str(raised.value) and "3 vectors it held are gone" in str(raised.value)
    flat.close()
    with pytest.raises(RuntimeError, match="closed"):
        flat.search([0.0, 0.0])


def test_progress_bar_only_when_asked(capfd):
    rows = np.arange(400.0).reshape(200, 2)
    with ShardedFlat(2, shards=2) as flat, ShardedHNSW(2, metric="euclidean", shards=2) as graph:
        flat.create(rows, progress=False)
        graph.create(rows, progress=False)
        assert capfd.readouterr().err == ""
        flat.create(rows, progress=True)
        graph.create(rows, progress=True)
        err = capfd.readouterr().err
        assert "ShardedFlat.create" in err and "ShardedHNSW.create" in err and "200/200" in err
        assert flat.search([0.0, 1.0], 3) == [(0, 0.0), (200, 0.0), (1, math.sqrt(8.0))]
        assert len(graph) == 400


def test_without_ray_running_the_first_index_starts_a_local_ray():
    script = ("import run_mode; run_mode.hand_sanitizers_to_ray_workers()\n"
              "import ray, quarix_shards as q\n"
              "f = q.ShardedFlat(2)\n"
              "print(ray.is_initialized(), f.shards == int(ray.cluster_resources()['CPU']))\n")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300,
                          cwd=Path(__file__).parent)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["True", "True"]
