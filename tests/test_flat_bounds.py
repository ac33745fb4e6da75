"""Flat scans that skip blocks on their codes give the plain scan's answer, bit for bit, for every metric.

Each case grows one index across several refits of its codes (from 16 vectors
on) by inserts and creates, and after every step compares searches with every
code kernel the CPU runs against the plain-Python brute force.
"""
import math
import random
import struct

import pytest

from reference_metrics import cosine_similarity, euclidean_distance, exact_search, inner_product

KERNELS = ["portable", "avx2", "avx512bw", "avx512vnni"]
METRICS = {"euclidean": euclidean_distance, "inner_product": inner_product, "cosine": cosine_similarity}
# Creates of several vectors and single inserts: 10, 11, 12, 13, 53, 54, 55, 205, 206, 606 stored,
# so the codes are fitted at 53 and refitted at 205 and 606.
STEPS = [10, 1, 1, 1, 40, 1, 1, 150, 1, 400]


def bits(pairs):
    return None if pairs is None else [(i, "nan" if math.isnan(d) else struct.pack("<d", d)) for i, d in pairs]


def clusters(rng, dim):
    # Half the elements whole numbers, and copies: many distances tie, at the k-th place too.
    centres = [[rng.uniform(-20, 20) for _ in range(dim)] for _ in range(4)]
    def draw():
        c = rng.choice(centres)
        return [round(x + rng.gauss(0, 2)) if i % 2 else x + rng.gauss(0, 2) for i, x in enumerate(c)]
    return draw


def copies(rng, dim):
    # Vectors with one element of +-3, each stored several times: from one of them all but two
    # others lie at the same distance, so the k-th place is a tie of many blocks, some decided by
    # the first elements alone and some by the last.
    pool = [[float(s * 3 if i == at else 0) for i in range(dim)] for at in range(dim) for s in (1, -1)]
    return lambda: list(rng.choice(pool))


def one_wide_element(rng, dim):
    return lambda: [rng.uniform(-1e6, 1e6)] + [rng.gauss(0, 1) for _ in range(dim - 1)]


def magnitudes(rng, dim):
    values = [-0.0, 0.0, 5e-324, 1e-300, -1e-300, 1.0, 3e14, -9.9e14, 1e15, 1e300, -1e300]
    return lambda: [rng.choice(values) if rng.random() < 0.5 else rng.gauss(0, 1) for _ in range(dim)]


def non_finite(rng, dim):
    base = clusters(rng, dim)
    def draw():
        v = base()
        if rng.random() < 0.1:
            v[rng.randrange(dim)] = rng.choice([math.nan, math.inf, -math.inf])
        return v
    return draw


CASES = {"clusters": (clusters, 37), "copies": (copies, 140), "one wide element": (one_wide_element, 5), "magnitudes": (magnitudes, 3),
         "non-finite": (non_finite, 6), "dim 1": (clusters, 1), "dim 0": (clusters, 0)}


def queries_for(rng, draw, dim, stored):
    near = [list(v) for v in rng.sample(stored, 3)]
    far = [[x + rng.choice([1e7, -1e7, 1e200]) for x in near[0]]]
    odd = [[rng.choice([math.nan, math.inf, -0.0]) for _ in range(dim)]] if dim else []
    return [draw(), *near, *far, *odd]


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("case", CASES)
def test_bounded_scan_matches_the_brute_force(hooks, case, metric):
    make, dim = CASES[case]
    rng = random.Random(case)
    draw = make(rng, dim)
    data = [draw() for _ in range(sum(STEPS))]
    batches, stored = [], 0
    for step in STEPS:
        batches.append(data[stored:stored + step])
        stored += step
    queries = queries_for(rng, draw, dim, data[:60])
    ks = [0, 1, 10, len(data) + 1]
    asked = [(q, k) for q in queries for k in ks]
    runs = {name: hooks.flat_bounded(name, metric, 16, dim, batches, asked) for name in KERNELS}
    runs = {name: run for name, run in runs.items() if run is not None}
    assert "portable" in runs
    skipped = 0
    stored = 0
    for b, step in enumerate(STEPS):
        stored += step
        for q, query in enumerate(queries):
            ranking = exact_search(data[:stored], query, stored, METRICS[metric]) if dim else None
            for j, k in enumerate(ks):
                want = bits(ranking[:max(k, 1)]) if dim else None
                for name, run in runs.items():
                    hits, blocks = run[b][q * len(ks) + j]
                    assert bits(hits) == want, (name, stored, query, k)
                    skipped += blocks
    # The codes were used, so the comparison tested them (in one dimension every cosine is 1 or -1: no gap to use).
    if case in ("clusters", "non-finite") or (case == "dim 1" and metric != "cosine"):
        assert skipped > 0


@pytest.mark.parametrize("dim", [1, 33, 140, 64_100])
def test_every_code_kernel_sums_the_same(hooks, dim):
    # Past 64,000 elements a lane's sum of squared codes is kept in two parts (each must fit 32 bits);
    # 19 vectors leave the last block's lanes partly empty.
    rng = random.Random(dim)
    rows = [[rng.uniform(-1, 1) for _ in range(dim)] for _ in range(19)]
    query = [rng.uniform(-1.2, 1.2) for _ in range(dim)]
    sums = {name: hooks.code_sums(name, rows, query) for name in KERNELS}
    assert sums["portable"] and all(s == sums["portable"] for s in sums.values() if s is not None)
