"""ShardedHNSW answers a selective filter exactly: the nearest matches, with the module's own distances."""

import math
import random
import struct

import numpy as np
import pytest

pytest.importorskip("ray")

from quarix import PyFlat
from quarix_shards import ShardedHNSW

pytestmark = [pytest.mark.ray, pytest.mark.usefixtures("local_ray")]

FLAT_METRIC = {"euclidean": None, "inner_product": "inner_product", "angular": "cosine"}


def bits(hits):
    return [(struct.pack("<d", distance), tuple(struct.pack("<d", x) for x in vector)) for distance, vector in hits]


def matches(stored, value):
    """Equality as the filters define it, written out: kinds agree, True is 1, IEEE for floats."""
    if type(stored) is not type(value) and not {type(stored), type(value)} <= {int, bool}:
        return False
    return stored == value


def brute_force(rows, metric, query, k):
    """The k nearest rows by PyFlat's distances over the elements a graph reads (the first
    min(len(query), dim)); angular divides by the whole vector's and query's lengths, each
    also summed by PyFlat."""
    if not rows:
        return []
    used = min(len(query), len(rows[0]))
    if used == 0 and metric != "angular":
        return [(0.0, row) for row in rows[:k]]
    if metric != "angular" or len(query) == len(rows[0]):
        flat = PyFlat(used, FLAT_METRIC[metric])
        flat.create([row[:used] for row in rows])
        return [(d, rows[i]) for i, d in flat.search(query[:used], k)]

    def products(vectors, q):
        if not q:
            return dict.fromkeys(range(len(vectors)), 0.0)
        flat = PyFlat(len(q), "inner_product")
        flat.create(vectors)
        return dict(flat.search(q, len(vectors)))

    tops = products([row[:used] for row in rows], query[:used])
    lengths = [math.sqrt(products([row], row)[0]) for row in rows]
    query_length = math.sqrt(products([query], query)[0]) if query else 0.0
    distances = []
    with np.errstate(all="ignore"):
        # The machine's own division (0/0 gives its NaN, sign and all, as the graph's does).
        for i, row in enumerate(rows):
            distances.append(float(np.float64(tops[i]) / (np.float64(lengths[i]) * query_length)))
    order = sorted(range(len(rows)), key=lambda i: (distances[i] != distances[i], 0.0 if distances[i] != distances[i]
                                                    else distances[i], i))
    return [(distances[i], rows[i]) for i in order[:k]]


@pytest.mark.parametrize("metric", ["euclidean", "inner_product", "angular"])
def test_selective_filters_are_answered_exactly(metric):
    rng = random.Random(metric)
    # Wide enough that a sum taken in another order would round differently.
    dim = rng.randint(9, 24)
    schema = ["a", "b", "c"][: rng.randint(1, 3)]
    kinds = [[0, 1, 2, True, False], [0.0, -0.0, 1.5, math.nan, math.inf], ["x", "y", "é", ""]]
    pool = [v for kind in kinds for v in kind] + [1, 1.0, "1"]
    rows, metadata = [], []
    for i in range(300):
        # Repeated rows, ties, -0.0, and the odd huge or non-finite element.
        row = [rng.choice([0.0, -0.0, 1.0, -1.0, 0.5, 3.0, rng.gauss(0.0, 1.0)]) for _ in range(dim)]
        if rng.random() < 0.03:
            row[0] = rng.choice([1e300, math.inf, math.nan])
        rows.append(row)
        # Only insert takes a vector without metadata.
        metadata.append(None if i >= 200 and rng.random() < 0.2 else [(name, rng.choice(pool)) for name in schema])
    exact_below = 40
    with ShardedHNSW(dim, ef_search=4, metric=metric, schema=schema, shards=2, exact_below=exact_below,
                     actor_options={"num_cpus": 0}) as graph:
        graph.create(rows[:200], metadata[:200])
        for row, meta in zip(rows[200:], metadata[200:]):
            graph.insert(row, meta)
        checked = 0
        for name in schema:
            for value in pool:
                matched = [r for r, meta in zip(rows, metadata) if meta and matches(dict(meta)[name], value)]
                per_shard = max(sum(1 for i in range(s, 300, 2) if metadata[i] and
                                    matches(dict(metadata[i])[name], value)) for s in range(2))
                if per_shard > exact_below:
                    continue
                queries = [[rng.choice([0.0, 1.0, -0.5, rng.gauss(0.0, 1.0)]) for _ in range(length)]
                           for length in (dim, dim - 1, dim + 2, 0)]
                for query, k in zip(queries, (1, 10, 100, 0)):
                    want = brute_force(matched, metric, query, max(k, 1))
                    assert bits(graph.search(query, k, filter=(name, value))) == bits(want), (name, value, query)
                    checked += 1
                # A batch takes the same filter.
                got = graph.search_many(queries, 5, filter=(name, value))
                assert [bits(g) for g in got] == [bits(brute_force(matched, metric, q, 5)) for q in queries]
        assert checked > 20
