"""Every distance kernel the CPU runs gives the portable kernel's results, bit for bit."""
import math
import random
import struct

import pytest

KERNELS = ["avx512", "avx2"]
METRICS = ["euclidean", "inner_product", "cosine"]


def bits(pairs):
    return [(i, "nan" if math.isnan(d) else struct.pack("<d", d)) for i, d in pairs]


def awkward_value(rng):
    roll = rng.random()
    if roll < 0.02:
        return rng.choice([math.nan, math.inf, -math.inf, -0.0, 0.0, 5e-324, 1e300])
    return rng.gauss(0.0, 1.0) * rng.choice([1.0, 1e-3, 1e3])


@pytest.mark.parametrize("kernels", KERNELS)
@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("dim", [1, 7, 16, 33, 128])
def test_kernels_match_portable(hooks, kernels, metric, dim):
    if hooks.flat_search(kernels, metric, 1, [[1.0]], [1.0], 1) is None:
        pytest.skip(f"this CPU does not run the {kernels} kernels")
    rng = random.Random(dim * 31 + len(metric))
    # Clustered data with duplicates, so that far blocks are abandoned early
    # and ties are decided by id.
    centres = [[rng.uniform(-10, 10) for _ in range(dim)] for _ in range(6)]
    vectors = [[c + awkward_value(rng) for c in rng.choice(centres)] for _ in range(203)]
    vectors += [list(v) for v in rng.sample(vectors, 20)] + [[0.0] * dim]
    queries = [[c + rng.gauss(0, 1) for c in rng.choice(centres)] for _ in range(8)] + [list(vectors[3])]
    for query in queries:
        for k in (0, 1, 10, 50, len(vectors) + 1):
            expected = hooks.flat_search("portable", metric, dim, vectors, query, k)
            got = hooks.flat_search(kernels, metric, dim, vectors, query, k)
            assert bits(got) == bits(expected)
