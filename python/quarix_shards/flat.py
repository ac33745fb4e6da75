"""Exact search spread over shards: the same answers as one PyFlat, bit for bit."""

import operator

import numpy as np

from quarix import PyFlat
from quarix_shards._checks import FlatChecks
from quarix_shards._sharded import Sharded, queries_list, text
from quarix_shards._values import rows_array, vector_array


def merged_hits(answers, shards, count):
    """Every query's `count` best of the shards' hits, in the library's order: smaller first (-0.0
    equal to 0.0), NaN last, ties to the smaller id; the distances keep their bits."""
    ids = np.concatenate([local * shards + shard for shard, (local, _), _ in answers], axis=1)
    distances = np.concatenate([found for _, (_, found), _ in answers], axis=1)
    nan = np.isnan(distances)
    # Adding 0.0 makes -0.0 into 0.0; NaN sorts by the flag alone.
    order = np.lexsort((ids, np.where(nan, 0.0, distances) + 0.0, nan), axis=1)[:, :count]
    ids = np.take_along_axis(ids, order, axis=1).tolist()
    distances = np.take_along_axis(distances, order, axis=1).tolist()
    return [list(zip(row_ids, row_distances)) for row_ids, row_distances in zip(ids, distances)]


class ShardedFlat(Sharded):
    """An exact index over `shards` Ray actors, each holding one PyFlat of its vectors.

    Ids are global insertion positions, as in one PyFlat, and every search
    returns exactly what one PyFlat over the same vectors would.
    """

    def __init__(self, dim, metric=None, shards=None, actor_options=None, start_timeout=None):
        PyFlat(dim, metric)  # the single class judges the arguments
        self._dim = operator.index(dim)
        metric = None if metric is None else text(metric)
        self._checks = FlatChecks(self._dim, metric)
        super().__init__("flat", {"dim": self._dim, "metric": metric}, shards, actor_options, start_timeout)

    @property
    def dim(self):
        return self._dim

    def insert(self, vector):
        self._check_usable()
        self._checks.insert(vector)
        self._add(vector_array(vector))

    def create(self, vectors, progress=None):
        self._check_usable()
        self._checks.create(vectors)
        self._store(rows_array(vectors, self._dim), None, progress)

    def search(self, query, k=None):
        return self._search([query], k)[0]

    def search_many(self, queries, k=None):
        if type(queries) is np.ndarray and queries.ndim == 2 and queries.dtype == np.float64 and len(queries):
            # Rows of one float64 array convert alike, so one row's check is every row's, and the
            # array is the batch: the driver's share of a large batch stays small.
            self._check_usable()
            self._checks.search(queries[0], k, self._count)
            return self._answer(np.ascontiguousarray(queries), k)
        return self._search(queries_list(queries), k)

    def _search(self, queries, k):
        self._check_usable()
        for query in queries:
            self._checks.search(query, k, self._count)
        if not queries:
            return []
        return self._answer(np.stack([vector_array(query) for query in queries]), k)

    def _answer(self, batch, k):
        count = max(1, operator.index(k)) if k is not None else 1
        answers = self._ask(batch, count)
        self._last_index_seconds = max(seconds for _, _, seconds in answers)
        return merged_hits(answers, self._shard_total, count)
