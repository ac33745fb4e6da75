"""Reference distances in plain Python, computed the way the index defines them.

Every sum starts at 0.0 and adds its terms in index order into one accumulator
(never sum() or math.fsum(), which round differently); element-wise terms stop
at the shorter vector and the cosine's norms cover each vector whole.
"""

import math
from collections.abc import Sequence


def euclidean_distance(a: Sequence[float], b: Sequence[float]) -> float:
    total = 0.0
    for i in range(min(len(a), len(b))):
        d = a[i] - b[i]
        total += d * d
    return math.sqrt(total)


def inner_product(a: Sequence[float], b: Sequence[float]) -> float:
    total = 0.0
    for i in range(min(len(a), len(b))):
        total += a[i] * b[i]
    return total


def ieee_divide(x: float, y: float) -> float:
    # Python raises on division by zero where the hardware gives inf or NaN.
    if y != 0.0:
        return x / y
    if x != x or x == 0.0:
        return math.nan
    return math.copysign(math.inf, x) * math.copysign(1.0, y)


def cosine_similarity(a: Sequence[float], b: Sequence[float]) -> float:
    dot = inner_product(a, b)
    norm_a = 0.0
    for x in a:
        norm_a += x * x
    norm_b = 0.0
    for x in b:
        norm_b += x * x
    return ieee_divide(dot, math.sqrt(norm_b) * math.sqrt(norm_a))


def hit_key(hit):
    """(id, distance) order: distances ascending with NaN last, ties to the smaller id."""
    ident, distance = hit
    nan = math.isnan(distance)
    return (nan, 0.0 if nan else distance, ident)


def exact_search(stored, query, k, distance):
    """The first max(k, 1) hits (id, distance) of every stored vector; k None means 1."""
    query = [float(x) for x in query]
    hits = [(i, distance(query, [float(x) for x in vec])) for i, vec in enumerate(stored)]
    hits.sort(key=hit_key)
    wanted = 1 if k is None else max(k, 1)
    return hits[: min(wanted, len(hits))]
