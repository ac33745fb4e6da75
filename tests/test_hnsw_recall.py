"""How close PyHNSW's approximate answers come to the exact ones of PyFlat on
a clustered data set, with the default settings."""

import random

import pytest

import quarix

DIM = 16
COUNT = 3000
CLUSTERS = 20
QUERIES = 100
K = 10


@pytest.fixture(scope="module")
def data():
    rng = random.Random(7)
    centers = [[rng.uniform(-10.0, 10.0) for _ in range(DIM)] for _ in range(CLUSTERS)]

    def near(center):
        return [x + rng.gauss(0.0, 1.0) for x in center]

    labels = [rng.randrange(CLUSTERS) for _ in range(COUNT)]
    vectors = [near(centers[label]) for label in labels]
    queries = [near(rng.choice(centers)) for _ in range(QUERIES)]
    return vectors, labels, queries


@pytest.fixture(scope="module")
def exact(data):
    vectors, _, queries = data
    flat = quarix.PyFlat(DIM, "euclidean")
    flat.create(vectors)
    return [[i for i, _ in flat.search(q, COUNT)] for q in queries]


def test_recall_at_10(data, exact):
    vectors, _, queries = data
    hnsw = quarix.PyHNSW(DIM, metric="euclidean")
    hnsw.create(vectors)
    node = {tuple(v): i for i, v in enumerate(vectors)}
    assert len(node) == COUNT

    found = 0
    for query, ranking in zip(queries, exact):
        hits = hnsw.search(query, k=K)
        assert len(hits) == K
        found += len({node[tuple(v)] for _, v in hits} & set(ranking[:K]))
    recall = found / (QUERIES * K)
    # Measured: 1.000 in each of 11 builds (levels differ from build to
    # build; the unpruned graph is dense).
    assert recall >= 0.98, recall


def test_filtered_recall_at_10(data, exact):
    # Half the nodes match: the walk still reaches the nearest of them.
    vectors, _, queries = data
    parity = [i % 2 for i in range(COUNT)]
    hnsw = quarix.PyHNSW(DIM, metric="euclidean", schema=["parity"])
    hnsw.create(vectors, [[("parity", p)] for p in parity])
    node = {tuple(v): i for i, v in enumerate(vectors)}

    found = 0
    for query, ranking in zip(queries, exact):
        hits = hnsw.search(query, k=K, filter=("parity", 1))
        ids = [node[tuple(v)] for _, v in hits]
        assert all(parity[i] == 1 for i in ids)
        found += len(set(ids) & set([i for i in ranking if parity[i] == 1][:K]))
    recall = found / (QUERIES * K)
    # Measured: 1.000 in each of 11 builds.
    assert recall >= 0.97, recall
