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
