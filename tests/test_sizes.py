"""Every size an index accepts, up to the largest unsigned word, constructs without reserving memory for it."""

import gc

import pytest

from memory_gauges import native_heap_bytes, rss_bytes
from quarix import PyFlat, PyHNSW
from run_mode import SANITIZED

SIZES = [0, 1, 2**31 - 1, 2**32, 2**63, 2**64 - 1]
LARGEST = 2**64 - 1
GROWTH_LIMIT = 4 << 20
ROWS = [[0.0, 1.0], [2.0, 3.0], [4.0, 5.0]]


def wrong_length(dim):
    return [] if dim else [1.0]


def flat_calls(make, dim):
    index = make(dim)
    vector = wrong_length(dim)
    with pytest.raises(ValueError) as insert:
        index.insert(vector)
    with pytest.raises(ValueError) as search:
        index.search(vector)
    with pytest.raises(ValueError) as create:
        index.create([vector])
    assert str(insert.value) == f"Expected vector of length {dim}, got {len(vector)}"
    assert str(search.value) == f"Expected query of length {dim}, got {len(vector)}"
    assert str(create.value) == f"Vector length {len(vector)} does not match index dimension {dim}"


def graph_calls(make, sizes):
    index = make(sizes)
    dim = sizes.get("dim", 2)
    vector = wrong_length(dim)
    with pytest.raises(ValueError) as insert:
        index.insert(vector)
    with pytest.raises(ValueError) as create:
        index.create([vector])
    assert str(insert.value) == f"Expected vector of length {dim}, got {len(vector)}"
    assert str(create.value) == f"Vector length {len(vector)} does not match index dimension {dim}"
    if dim != 2:
        return
    # The other sizes at any value still store and answer: a size is a bound, never a reservation.
    if sizes.get("ef_construction") == 0:
        with pytest.raises(ValueError, match="^Create error: InvalidEF$"):
            index.create(ROWS)
        return
    index.create(ROWS)
    index.insert([6.0, 7.0])
    if sizes.get("layers") == 0 or sizes.get("ef_search") == 0:
        with pytest.raises(ValueError, match="Search error: Invalid"):
            index.search([0.0, 1.0])
        return
    hits = index.search([0.0, 1.0], k=sizes.get("ef_search", 4))
    assert hits[0] == (0.0, [0.0, 1.0])
    # ef caps the hits, and every linked node is found: a beam of one keeps one.
    assert len(hits) == (1 if sizes.get("ef_search") == 1 else 4)


CASES = (
    [pytest.param("flat", {"dim": size, "metric": metric}, id=f"PyFlat-dim={size}-{metric}")
     for size in SIZES for metric in (None, "cosine", "inner_product")]
    + [pytest.param("graph", {argument: size}, id=f"PyHNSW-{argument}={size}")
       for argument in ("dim", "layers", "m", "ef_construction", "ef_search") for size in SIZES]
    + [pytest.param("sharded flat", {"dim": LARGEST}, marks=pytest.mark.ray, id="ShardedFlat-dim=max"),
       pytest.param("sharded graph", {"dim": LARGEST}, marks=pytest.mark.ray, id="ShardedHNSW-dim=max"),
       pytest.param("sharded graph", {"layers": LARGEST, "m": LARGEST, "ef_construction": LARGEST,
                                      "ef_search": LARGEST}, marks=pytest.mark.ray, id="ShardedHNSW-sizes=max")]
)


@pytest.mark.parametrize("kind, sizes", CASES)
def test_every_size_constructs_and_reports_wrong_lengths_without_reserving(request, kind, sizes):
    made = []

    def kept(index):
        made.append(index)
        return index

    if kind.startswith("sharded"):
        request.getfixturevalue("local_ray")
        from quarix_shards import ShardedFlat, ShardedHNSW
        # A process's first actors grow it by a fixed amount: not the sizes' doing.
        ShardedFlat(2, shards=1).close()
        ShardedHNSW(dim=2, metric="euclidean", shards=1).close()
        flat = lambda dim: kept(ShardedFlat(dim, shards=1))
        graph = lambda given: kept(ShardedHNSW(**{"dim": 2, "metric": "euclidean", **given}, shards=1))
    else:
        flat = lambda dim: PyFlat(dim, sizes.get("metric"))
        graph = lambda given: PyHNSW(**{"dim": 2, "metric": "euclidean", **given})
    # The sanitizer keeps freed memory resident: there, count what the program holds.
    gauge = native_heap_bytes if SANITIZED else rss_bytes
    gc.collect()
    before = gauge()
    try:
        if kind.endswith("flat"):
            flat_calls(flat, sizes["dim"])
        else:
            graph_calls(graph, sizes)
        gc.collect()
        assert gauge() - before < GROWTH_LIMIT
    finally:
        for index in made:
            index.close()
