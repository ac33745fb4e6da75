"""Every flat distance kernel the CPU runs gives the plain-Python results, bit for bit."""
import math
import random
import struct

import pytest

from reference_metrics import cosine_similarity, euclidean_distance, exact_search, inner_product

VARIANTS = ["portable", "avx2", "avx512"]
METRICS = {"euclidean": euclidean_distance, "inner_product": inner_product, "cosine": cosine_similarity}


def runnable(hooks):
    """The variants this CPU runs; the portable one always."""
    found = [v for v in VARIANTS if hooks.flat_search(v, "euclidean", 1, [[1.0]], [1.0], 1) is not None]
    assert "portable" in found
    return found


def bits(pairs):
    return [(i, "nan" if math.isnan(d) else struct.pack("<d", d)) for i, d in pairs]


def awkward_value(rng):
    roll = rng.random()
    if roll < 0.02:
        return rng.choice([math.nan, math.inf, -math.inf, -0.0, 0.0, 5e-324, 1e300])
    return rng.gauss(0.0, 1.0) * rng.choice([1.0, 1e-3, 1e3])


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("dim", [1, 7, 16, 33, 128])
def test_kernels_match_plain_python(hooks, metric, dim):
    rng = random.Random(dim * 31 + len(metric))
    # Clustered data with duplicates, so that far blocks are abandoned early
    # and ties are decided by id.
    centres = [[rng.uniform(-10, 10) for _ in range(dim)] for _ in range(6)]
    vectors = [[c + awkward_value(rng) for c in rng.choice(centres)] for _ in range(203)]
    vectors += [list(v) for v in rng.sample(vectors, 20)] + [[0.0] * dim]
    queries = [[c + rng.gauss(0, 1) for c in rng.choice(centres)] for _ in range(4)] + [list(vectors[3])]
    variants = runnable(hooks)
    for query in queries:
        for k in (0, 1, 10, len(vectors) + 1):
            expected = bits(exact_search(vectors, query, k, METRICS[metric]))
            for variant in variants:
                assert bits(hooks.flat_search(variant, metric, dim, vectors, query, k)) == expected, variant
