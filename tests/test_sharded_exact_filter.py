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
    also summed by PyFlat, in the machine's own division (0/0 gives the graph's NaN)."""
    def every(flat_metric, vectors, q):
        if not q:
            return [0.0] * len(vectors)
        flat = PyFlat(len(q), flat_metric)
        flat.create(vectors)
        return [d for _, d in sorted(flat.search(q, len(vectors)))]

    if not rows:
        return []
    used = min(len(query), len(rows[0]))
    heads = [row[:used] for row in rows]
    if metric != "angular" or len(query) == used == len(rows[0]):
        d = every(FLAT_METRIC[metric], heads, query[:used])
    else:
        lengths = np.sqrt([every("inner_product", [row], row)[0] for row in rows])
        with np.errstate(all="ignore"):
            d = list(np.array(every("inner_product", heads, query[:used])) / (lengths * math.sqrt(
                every("inner_product", [query], query)[0] if query else 0.0)))
    order = sorted(range(len(rows)), key=lambda i: (d[i] != d[i], 0.0 if d[i] != d[i] else d[i], i))
    return [(float(d[i]), rows[i]) for i in order[:k]]


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
                ids = [i for i, meta in enumerate(metadata) if meta and matches(dict(meta)[name], value)]
                if max(sum(1 for i in ids if i % 2 == s) for s in (0, 1)) > exact_below:
                    continue
                matched = [rows[i] for i in ids]
                queries = [[rng.choice([0.0, 1.0, -0.5, rng.gauss(0.0, 1.0)]) for _ in range(length)]
                           for length in (dim, dim - 1, dim + 2, 0)]
                for query, k in zip(queries, (1, 10, 100, 0)):
                    assert bits(graph.search(query, k, filter=(name, value))) == bits(
                        brute_force(matched, metric, query, max(k, 1))), (name, value, query)
                    checked += 1
                # A batch takes the same filter.
                got = graph.search_many(queries, 5, filter=(name, value))
                assert [bits(g) for g in got] == [bits(brute_force(matched, metric, q, 5)) for q in queries]
        assert checked > 20
