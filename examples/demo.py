"""quarix demo: exact search with PyFlat, approximate and filtered search with PyHNSW.

Builds one PyFlat index per metric over a seeded, clustered set of vectors,
runs the same queries through quarix and through a brute force written in
plain Python, and requires the two to agree on every id and every distance,
bit for bit. Then builds a PyHNSW index over the same data, with a colour per
vector as metadata, and reports its recall@10 against exact search, its build
time and queries per second, and a filtered query. Exits with status 1 if any
exact answer differs, or if a filtered hit does not match its filter.

Each index type gets its own section function; sections share the data set
and the brute-force answers, so another index type only needs a new function
in SECTIONS.
"""

import math
import random
from collections import Counter
import struct
import sys
import time
from functools import reduce
from operator import add, mul, sub

import quarix

SEED = 20240607
N_VECTORS = 3000
DIM = 32
N_CLUSTERS = 24
N_QUERIES = 40
K = 10
# (display name, name passed to PyFlat); None selects the default metric.
FLAT_METRICS = [("euclidean", None), ("inner_product", "inner_product"), ("cosine", "cosine")]


# --- data -------------------------------------------------------------------

def make_dataset(rng):
    """Clustered vectors, the last few added one by one; and the queries.

    The tail of the data holds exact copies of earlier vectors and one zero
    vector, and some queries equal a copied vector: that makes equal distances
    (ties go to the smaller id) and, for the zero query under cosine, NaN
    distances (NaN sorts last) part of what the check covers.
    """
    centres = [[rng.uniform(-1.0, 1.0) for _ in range(DIM)] for _ in range(N_CLUSTERS)]

    def near(centre, spread):
        return [c + rng.gauss(0.0, spread) for c in centre]

    n_copies = 40
    bulk = [near(rng.choice(centres), 0.25) for _ in range(N_VECTORS - n_copies - 1)]
    copied = rng.sample(range(len(bulk)), n_copies)
    tail = [list(bulk[i]) for i in copied] + [[0.0] * DIM]

    queries = [near(rng.choice(centres), 0.35) for _ in range(N_QUERIES - 6)]
    queries += [list(bulk[i]) for i in copied[:5]]
    queries.append([0.0] * DIM)
    return bulk, tail, queries


# --- plain-Python brute force ----------------------------------------------
# Every sum starts at 0.0 and adds its terms in index order, as quarix does.
# sum(), math.fsum(), math.sumprod() and math.dist() round differently and
# would not match bit for bit.

def euclidean(q, v):
    return math.sqrt(reduce(add, [d * d for d in map(sub, q, v)], 0.0))


def inner_product(q, v):
    return reduce(add, map(mul, q, v), 0.0)


def cosine(q, v):
    dot = reduce(add, map(mul, q, v), 0.0)
    norm_q = reduce(add, map(mul, q, q), 0.0)
    norm_v = reduce(add, map(mul, v, v), 0.0)
    denominator = math.sqrt(norm_v) * math.sqrt(norm_q)
    if denominator == 0.0:  # Python raises where IEEE division gives NaN or infinity
        return math.nan if dot == 0.0 or math.isnan(dot) else math.copysign(math.inf, dot)
    return dot / denominator


REFERENCE = {"euclidean": euclidean, "inner_product": inner_product, "cosine": cosine}


def brute_force(vectors, query, k, distance):
    """The k nearest (id, distance) pairs: smaller first, NaN last, ties to the smaller id."""
    def order(hit):
        i, d = hit
        return (1, 0.0, i) if math.isnan(d) else (0, d, i)

    hits = sorted(((i, distance(query, v)) for i, v in enumerate(vectors)), key=order)
    return hits[:max(k, 1)]


_ground_truth = {}


def ground_truth(vectors, queries, metric):
    """Brute-force answers for every query and the seconds they took, computed once per metric."""
    if metric not in _ground_truth:
        start = time.perf_counter()
        answers = [brute_force(vectors, q, K, REFERENCE[metric]) for q in queries]
        _ground_truth[metric] = answers, time.perf_counter() - start
    return _ground_truth[metric]


# --- checking and reporting --------------------------------------------------

def same_float(a, b):
    # NaN payloads may differ between C and Python; every other value must match in all 64 bits.
    return (math.isnan(a) and math.isnan(b)) or struct.pack("<d", a) == struct.pack("<d", b)


def same_answer(got, expected):
    return len(got) == len(expected) and all(
        gi == ei and same_float(gd, ed) for (gi, gd), (ei, ed) in zip(got, expected))


def first_difference(metric, got, expected):
    for n, (g, e) in enumerate(zip(got, expected)):
        if not same_answer(g, e):
            return f"    {metric}, query {n}:\n      quarix: {g}\n      python: {e}"
    return None


def rate(count, seconds):
    return f"{count / seconds:,.0f}" if seconds > 0 else "inf"


# --- sections ------------------------------------------------------------------

def flat_section(bulk, tail, queries):
    """PyFlat: exact search, so every answer must equal the brute force exactly."""
    vectors = bulk + tail
    print(f"PyFlat, exact search (create {len(bulk)} vectors, then insert {len(tail)})")
    print(f"  {'metric':<14}{'build':>10}{'quarix q/s':>13}{'python q/s':>13}{'speed-up':>10}  check")
    failures = []
    for metric, name in FLAT_METRICS:
        start = time.perf_counter()
        index = quarix.PyFlat(DIM, name)
        index.create(bulk)
        for v in tail:
            index.insert(v)
        build = time.perf_counter() - start

        start = time.perf_counter()
        got = [index.search(q, K) for q in queries]
        quarix_seconds = time.perf_counter() - start

        expected, python_seconds = ground_truth(vectors, queries, metric)
        matches = sum(same_answer(g, e) for g, e in zip(got, expected))
        speed_up = python_seconds / quarix_seconds if quarix_seconds > 0 else math.inf
        print(f"  {metric:<14}{build * 1e3:>8.1f}ms{rate(len(queries), quarix_seconds):>13}"
              f"{rate(len(queries), python_seconds):>13}{speed_up:>9.0f}x"
              f"  {matches}/{len(queries)} identical")
        if matches != len(queries):
            failures.append(first_difference(metric, got, expected))

    sample = quarix.PyFlat(DIM, "inner_product")
    sample.create(vectors)
    nearest_id, nearest = sample.search(queries[0], 1)[0]
    print(f"  inner_product ranks the smallest dot product first (not negated): "
          f"query 0 -> id {nearest_id}, {nearest:.4f}")
    return failures


COLOURS = ["red", "green", "blue", "yellow"]


def colour_of(i):
    return COLOURS[i % len(COLOURS)]


def recall(approximate, exact):
    """Share of the exact hits found, comparing stored vectors (duplicates counted once each)."""
    found = Counter(tuple(v) for _, v in approximate)
    wanted = Counter(tuple(v) for v in exact)
    return sum((found & wanted).values()) / max(1, sum(wanted.values()))


def hnsw_section(bulk, tail, queries):
    """PyHNSW: approximate search, measured against PyFlat's exact answers."""
    vectors = bulk + tail
    print(f"PyHNSW, approximate search with the defaults (layers 5, ef_construction 200, ef_search 50)")
    failures = []

    start = time.perf_counter()
    index = quarix.PyHNSW(DIM, metric="euclidean", schema=["colour", "position"])
    index.create(bulk, [[("colour", colour_of(i)), ("position", i)] for i in range(len(bulk))])
    for i, v in enumerate(tail, start=len(bulk)):
        index.insert(v, [("colour", colour_of(i)), ("position", i)])
    build = time.perf_counter() - start

    exact = quarix.PyFlat(DIM)
    exact.create(vectors)

    start = time.perf_counter()
    got = [index.search(q, K) for q in queries]
    seconds = time.perf_counter() - start
    truth = [[vectors[i] for i, _ in exact.search(q, K)] for q in queries]
    mean_recall = sum(recall(g, t) for g, t in zip(got, truth)) / len(queries)
    print(f"  build {len(vectors)} vectors: {build:.2f}s ({rate(len(vectors), build)} vectors/s)")
    print(f"  {rate(len(queries), seconds)} queries/s, recall@{K} against PyFlat: {mean_recall:.3f}")

    # Filtered: only blue vectors may come back; compare with an exact search
    # restricted to them.
    blue = [i for i in range(len(vectors)) if colour_of(i) == "blue"]
    blue_exact = quarix.PyFlat(DIM)
    blue_exact.create([vectors[i] for i in blue])
    start = time.perf_counter()
    filtered = [index.search(q, K, ("colour", "blue")) for q in queries]
    seconds = time.perf_counter() - start
    blue_truth = [[vectors[blue[i]] for i, _ in blue_exact.search(q, K)] for q in queries]
    filtered_recall = sum(recall(g, t) for g, t in zip(filtered, blue_truth)) / len(queries)
    blue_set = {tuple(vectors[i]) for i in blue}
    strays = sum(tuple(v) not in blue_set for hits in filtered for _, v in hits)
    print(f"  filter ('colour', 'blue') keeps {len(blue)} of {len(vectors)}: "
          f"{rate(len(queries), seconds)} queries/s, recall@{K} {filtered_recall:.3f}, "
          f"{strays} hits outside the filter")
    distance, nearest = filtered[0][0]
    print(f"  query 0, nearest blue vector at distance {distance:.4f}: "
          f"[{', '.join(f'{x:.3f}' for x in nearest[:4])}, ...]")
    if strays:
        failures.append(f"    {strays} filtered hits do not match the filter")
    return failures


SECTIONS = [flat_section, hnsw_section]


def main():
    rng = random.Random(SEED)
    bulk, tail, queries = make_dataset(rng)
    print(f"quarix demo: {len(bulk) + len(tail)} vectors of dimension {DIM} in {N_CLUSTERS} clusters "
          f"(seed {SEED}), {len(queries)} queries, k={K}")
    print()

    started = time.perf_counter()
    failures = []
    for section in SECTIONS:
        failures += section(bulk, tail, queries)
        print()
    elapsed = time.perf_counter() - started

    if failures:
        print("FAILED: quarix and the Python brute force disagree:")
        print("\n".join(failures))
        return 1
    print(f"OK: every exact answer matches the Python brute force, ids and distances bit for bit; "
          f"every filtered hit matches its filter ({elapsed:.1f}s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
