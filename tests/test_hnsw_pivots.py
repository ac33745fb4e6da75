"""Pivot pruning: Euclidean walks reject neighbours the triangle inequality
places beyond the farthest kept hit, without measuring them.

Pruning must never change a result, so indexes that prune are compared with
the plain-Python reference (the test extension lets pruning start at a few
nodes instead of about a thousand) and with an index that never prunes, on
data whose distances sit right at the bounds' edges: exact ties, duplicates,
values so large or so small that rounding and underflow matter, NaN and
infinities.
"""

from __future__ import annotations

import math
import random
from collections.abc import Iterator
from typing import Any

import pytest

from hnsw_model import ModelHNSW
from reference_metrics import euclidean_distance
from test_hnsw_differential import FILTER_VALUES, SCHEMA, agree, build, canonical


@pytest.fixture
def pivots_from(hooks: Any) -> Iterator[Any]:
    """Sets the node count at which new indexes choose pivots; restores it after."""
    previous = hooks.pivots_from(0)
    hooks.pivots_from(previous)
    yield hooks.pivots_from
    hooks.pivots_from(previous)


def clustered_dataset(rng: random.Random, dim: int, count: int, scale: float, poison: bool = True) -> list[list[float]]:
    """Tight clusters far apart (so bounds rule much out), salted with values
    that defeat bounds: poison, huge and tiny magnitudes, duplicates, ties."""
    centres = [[rng.uniform(-100, 100) * scale for _ in range(dim)] for _ in range(6)]
    vectors: list[list[float]] = []
    for _ in range(count):
        roll = rng.random()
        if not poison:
            roll = max(roll, 0.18)
        if vectors and roll < 0.12:
            vectors.append(list(rng.choice(vectors)))
        elif roll < 0.15:
            vectors.append([rng.choice([math.nan, math.inf, -math.inf, 1.0]) for _ in range(dim)])
        elif roll < 0.18:
            vectors.append([rng.choice([1e200, -1e155, 3e-320, 0.0]) for _ in range(dim)])
        elif roll < 0.35:  # on a grid around a centre: many exactly equal distances
            c = rng.choice(centres)
            vectors.append([x + rng.randint(-2, 2) * scale for x in c])
        else:
            c = rng.choice(centres)
            vectors.append([x + rng.gauss(0.0, 1.0) * scale for x in c])
    return vectors


def query_for(rng: random.Random, dim: int, stored: list[list[float]], scale: float) -> list[float]:
    roll = rng.random()
    base = rng.choice(stored)
    if roll < 0.3:
        return list(base)
    if roll < 0.4:
        return [x + rng.gauss(0, 1) * scale for x in base] + [rng.uniform(-1, 1)]  # longer: still bounded
    if roll < 0.45:
        return base[:-1]  # shorter: measured on fewer elements, never bounded
    if roll < 0.5:
        return [1e170] * dim
    return [x + rng.gauss(0, 1) * scale if math.isfinite(x) else 0.0 for x in base]


SCALES = [1.0, 1e-140, 1e130, 1e-300]
CASES = [
    # layers, ef_construction, ef_search, build mode
    (1, 8, 3, "insert"),
    (1, 40, 10, "create-meta"),
    (3, 5, 1, "mixed"),
    (5, 20, 5, "create"),
]


@pytest.mark.parametrize("scale", SCALES, ids=[f"scale{s:g}" for s in SCALES])
@pytest.mark.parametrize("layers,ef_construction,ef_search,mode", CASES, ids=[f"L{c[0]}-efc{c[1]}-ef{c[2]}-{c[3]}" for c in CASES])
def test_pruning_walks_match_reference(
    hooks: Any, pivots_from: Any, scale: float, layers: int, ef_construction: int, ef_search: int, mode: str
) -> None:
    pivots_from(8)  # chosen at 8 nodes, chosen again at 16, 32, 64, 128 and 256
    rng = random.Random(f"pivots/{scale}/{layers}/{ef_construction}/{mode}")
    dim = rng.randint(2, 6)
    vectors = clustered_dataset(rng, dim, 300, scale)
    schema = SCHEMA if mode.endswith("meta") or mode == "mixed" else None
    params: dict[str, Any] = dict(
        layers=layers, ef_construction=ef_construction, ef_search=ef_search, metric="euclidean", schema=schema
    )
    real = hooks.PyHNSW(dim, **params)
    model = ModelHNSW(dim, **params)
    model.planned_levels = iter(hooks.plan_levels(layers, len(vectors)))
    build(random.Random(rng.random()), [real, model], vectors, mode)

    for _ in range(60):
        flt = None
        if schema is not None and rng.random() < 0.4:
            flt = (rng.choice(["tag", "num"]), rng.choice(FILTER_VALUES))
        agree(real, model, "search", query_for(rng, dim, vectors, scale), rng.choice([None, 0, 1, 5]), flt)


@pytest.mark.parametrize("scale", SCALES[:3], ids=[f"scale{s:g}" for s in SCALES[:3]])
def test_pruning_happens(hooks: Any, pivots_from: Any, scale: float) -> None:
    # Without poison (a NaN at the end of a full list admits nothing, so
    # nothing needs ruling out) and with distances far from underflow.
    pivots_from(8)
    rng = random.Random(f"happens/{scale}")
    vectors = clustered_dataset(rng, 4, 300, scale, poison=False)
    index = hooks.PyHNSW(4, layers=1, ef_construction=10, metric="euclidean")
    index.create(vectors)
    built = hooks.ruled_out(index)
    assert built > 0
    index.search([x + 0.1 * scale for x in vectors[5]], 5)
    assert hooks.ruled_out(index) > built


@pytest.mark.parametrize("ef_search", [1, 10, 60])
def test_pruning_changes_no_answer_on_a_larger_graph(hooks: Any, pivots_from: Any, ef_search: int) -> None:
    rng = random.Random(f"larger/{ef_search}")
    dim = 12
    vectors = clustered_dataset(rng, dim, 2500, 1.0)
    indexes = []
    for start in (0, 200):  # never, then from 200 nodes: re-chosen at 400, 800 and 1600
        pivots_from(start)
        hooks.fix_generator(2024)  # the same levels for both
        index = hooks.PyHNSW(dim, metric="euclidean", ef_search=ef_search)
        index.create(vectors[:1000])
        for v in vectors[1000:]:
            index.insert(v)
        indexes.append(index)
    plain, pruned = indexes
    assert hooks.ruled_out(plain) == 0
    assert hooks.ruled_out(pruned) > 0
    for _ in range(300):
        query = query_for(rng, dim, vectors, 1.0)
        k = rng.choice([1, 10, 100])
        assert canonical(pruned.search(query, k)) == canonical(plain.search(query, k)), query


def test_overflowed_pivot_distance_rules_nothing_out(hooks: Any, pivots_from: Any) -> None:
    # x's distance to the pivots (all near 0) overflows, the query's does not,
    # yet x is the query's nearest node: an overflowed distance bounds nothing.
    pivots_from(8)
    x, query = 1.35e154, 1.33e154
    vectors = [[i * 0.1] for i in range(20)] + [[x]]
    index = hooks.PyHNSW(1, layers=1, ef_construction=100, ef_search=1, metric="euclidean")
    index.create(vectors)
    assert index.search([query], 1) == [(pytest.approx(x - query), [x])]


CODE_KERNELS = ("avx512vnni", "avx512bw", "avx2", "portable")


def code_variants(hooks: Any) -> list[str]:
    variants = [v for v in CODE_KERNELS if hooks.coarse_rules_out(v, [[0.0]], [0.0], [1.0]) is not None]
    assert "portable" in variants
    return variants


def test_coarse_codes_never_rule_out_a_distance_below_the_limit(hooks: Any) -> None:
    def rules_out(variant: str, vectors: list[list[float]], query: list[float], limits: list[float]) -> list[bool]:
        return hooks.coarse_rules_out(variant, vectors, query, limits)

    variants = code_variants(hooks)
    rng = random.Random(5)
    for variant in variants:
        tight = usable = 0
        for dim in (1, 3, 16, 17, 40, 128):
            for scale in (1.0, 1e-20, 1e10, 9e14):
                vectors = [[rng.gauss(0.0, 1.0) * scale for _ in range(dim)] for _ in range(60)]
                vectors += [list(vectors[0]), [0.0] * dim, [rng.randint(-3, 3) * scale for _ in range(dim)]]
                vectors += [[rng.choice([math.nan, math.inf, 2e15, -1e300]) for _ in range(dim)] for _ in range(3)]
                for query in (list(vectors[0]), [x + rng.gauss(0.0, 0.01) * scale for x in vectors[1]],
                              [rng.gauss(0.0, 2.0) * scale for _ in range(dim)], [0.0] * dim):
                    distances = [euclidean_distance(query, vector) for vector in vectors]
                    # Just above the computed distance the node would be admitted: never ruled out.
                    above = [math.nextafter(d, math.inf) for d in distances]
                    assert not any(rules_out(variant, vectors, query, above)), (variant, dim, scale, query)
                    near = rules_out(variant, vectors, query, [0.9 * d for d in distances])
                    for distance, ruled in zip(distances, near):
                        if math.isfinite(distance) and distance > 0:
                            usable += 1
                            tight += ruled
        # Over the random vectors the bound is close, or pruning would gain nothing.
        assert tight > 0.6 * usable, (variant, tight, usable)


# 66051 is the longest vector whose code squares a split kernel sums in 32 bits.
@pytest.mark.parametrize("dim", [1, 31, 33, 257, 600, 1100, 66051, 66052])
def test_coarse_codes_sum_the_widest_differences_exactly(hooks: Any, dim: int) -> None:
    # Elements from 0 to 255 make the grid step exactly 1, so integer vectors
    # sit on grid points and a query at 500 or -250 (the ends of the query's
    # grid) gives every element its largest difference: long vectors then
    # need every partial sum carried without overflow.
    rng = random.Random(dim)
    vectors = [[0.0] * dim, [255.0] * dim]
    vectors += [[float(rng.randint(0, 255)) for _ in range(dim)] for _ in range(4)]
    vectors += [[rng.uniform(0.0, 255.0) for _ in range(dim)] for _ in range(4)]
    for variant in code_variants(hooks):
        for query in ([500.0] * dim, [-250.0] * dim, [rng.uniform(-250.0, 500.0) for _ in range(dim)]):
            distances = [euclidean_distance(query, vector) for vector in vectors]
            above = [math.nextafter(d, math.inf) for d in distances]
            assert not any(hooks.coarse_rules_out(variant, vectors, query, above)), (variant, query[0])
            near = hooks.coarse_rules_out(variant, vectors, query, [0.99 * d for d in distances])
            # Off the grid a vector's own error may exceed the 1% margin.
            assert all(near[:6]), (variant, query[0], near)


def test_coarse_codes_stay_sound_when_one_element_spans_far_more(hooks: Any) -> None:
    # One step serves every element, so the widest element coarsens the rest;
    # the bound loses precision there but must stay below every distance.
    rng = random.Random(11)
    vectors = [[rng.gauss(0.0, 1.0) for _ in range(15)] + [rng.gauss(0.0, 1e6)] for _ in range(50)]
    for variant in code_variants(hooks):
        for query in (list(vectors[3]), [rng.gauss(0.0, 1.0) for _ in range(15)] + [0.0]):
            distances = [euclidean_distance(query, vector) for vector in vectors]
            above = [math.nextafter(d, math.inf) for d in distances]
            assert not any(hooks.coarse_rules_out(variant, vectors, query, above)), variant
