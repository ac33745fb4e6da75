"""The graph walk's batch kernels: every variant the CPU runs agrees with the portable one."""
import math
import random
import struct

import pytest

VARIANTS = ["avx512", "avx2"]
SCANS = ["portable", "avx512", "avx2"]


def bits(values):
    return ["nan" if math.isnan(v) else struct.pack("<d", v) for v in values]


def runnable(hooks, names, probe):
    """The names among `names` that this CPU runs."""
    return [name for name in names if probe(name) is not None]


def awkward(rng):
    roll = rng.random()
    if roll < 0.03:
        return rng.choice([math.nan, math.inf, -math.inf, -0.0, 5e-324, 1e200])
    return rng.gauss(0.0, 3.0)


@pytest.mark.parametrize("metric", ["euclidean", "dot"])
@pytest.mark.parametrize("n", [0, 1, 3, 4, 7, 8, 15, 16, 17, 33, 128])
def test_batch_distances_match_portable(hooks, metric, n):
    rng = random.Random(n * 7 + len(metric))
    for variant in runnable(hooks, VARIANTS, lambda v: hooks.batch_distances(v, metric, [1.0], [[1.0]], math.nan)):
        compare_with_portable(hooks, rng, variant, metric, n)


def compare_with_portable(hooks, rng, variant, metric, n):
    for count in (1, 3, 8):
        for _ in range(20):
            query = [awkward(rng) for _ in range(n)]
            rows = [[awkward(rng) for _ in range(n + rng.randrange(3))] for _ in range(count)]
            for abandon_at in (math.nan, 0.0, rng.uniform(0, 50 * max(n, 1)), math.inf):
                expected = hooks.batch_distances("portable", metric, query, rows, abandon_at)
                got = hooks.batch_distances(variant, metric, query, rows, abandon_at)
                assert got[0] == expected[0]
                assert bits(got[1]) == bits(expected[1])


def test_portable_batch_matches_one_pair_formula(hooks):
    rng = random.Random(5)
    query = [rng.gauss(0, 1) for _ in range(20)]
    rows = [[rng.gauss(0, 1) for _ in range(20)] for _ in range(5)]
    complete, got = hooks.batch_distances("portable", "euclidean", query, rows, math.nan)
    assert complete
    for row, distance in zip(rows, got):
        total = 0.0
        for a, b in zip(query, row):
            total += (a - b) * (a - b)
        assert struct.pack("<d", distance) == struct.pack("<d", math.sqrt(total))


def test_abandoned_batch_is_all_infinite(hooks):
    query = [0.0] * 32
    rows = [[10.0] * 32 for _ in range(4)]
    complete, got = hooks.batch_distances("portable", "euclidean", query, rows, 1.0)
    assert not complete and got == [math.inf] * 4
    # One near row keeps the whole batch alive.
    complete, got = hooks.batch_distances("portable", "euclidean", query, rows + [[0.0] * 32], 1.0)
    assert complete and got[-1] == 0.0


def test_visit_scan_takes_each_unvisited_link_once_in_order(hooks):
    variants = runnable(hooks, SCANS, lambda v: hooks.visit_scan(v, [], [0], 1))
    assert "portable" in variants
    for variant in variants:
        check_scan(hooks, variant)


def check_scan(hooks, variant):
    rng = random.Random(11)
    for size in (0, 1, 7, 8, 15, 16, 17, 40, 300):
        stamps = [rng.choice([3, 7]) for _ in range(500)]
        links = rng.sample(range(500), size)
        # As one list, and as two streams (neighbours of level >= 1 apart) merged back in order.
        for high in (None, [rng.random() < 0.3 for _ in links], [True] * size):
            fresh, after = hooks.visit_scan(variant, links, stamps, 7, high)
            assert fresh == [i for i in links if stamps[i] != 7]
            assert after == [7 if i in set(links) else s for i, s in enumerate(stamps)]


def test_graph_links_keep_every_list_in_order_through_moves_and_trims(hooks):
    # Random appends to a few lists, some with two streams, past many block
    # classes and past the size at which the arena is mapped from the
    # system; the lists are checked against plain ones after every trim.
    rng = random.Random(3)
    streams = [rng.random() < 0.6 for _ in range(12)]
    ops = [(0, s) for s in streams]
    model = [[] for _ in streams]
    for step in range(120_000):
        # One list takes most ids, so it crosses every class up to tens of thousands.
        target = 0 if rng.random() < 0.5 else rng.randrange(len(streams))
        if rng.random() < 0.002:
            ops.append((2, target, rng.choice([0, 1, 31, 33, 5000]), rng.random() < 0.5))
        elif rng.random() < 0.0001 * (step > 60_000):
            ops.append((3,))
        high = rng.random() < 0.3
        ops.append((1, target, rng.randrange(2**32), high))
        model[target].append((ops[-1][2], high and streams[target]))
    for tail in ([], [(3,)], [(3,), (1, 5, 9, True), (0, True), (1, 12, 4, True)]):
        got = hooks.graph_links(ops + tail)
        want = [list(m) for m in model] + ([[]] if tail[2:] else [])
        if tail[2:]:
            want[5].append((9, streams[5]))
            want[12].append((4, True))
        assert [g[0] for g in got] == [[i for i, _ in m] for m in want]
        assert [g[1] for g in got] == [[i for i, h in m if h] for m in want]
        assert [g[2] for g in got] == [m[-1][0] if m else None for m in want]
