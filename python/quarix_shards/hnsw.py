"""Approximate search spread over shards: every shard's graph is asked and the nearest hits kept."""

import operator

from quarix import PyHNSW
from quarix_shards._checks import GraphChecks
from quarix_shards._sharded import Sharded, count_or_default, queries_list, text
from quarix_shards._values import metadata_row, metadata_value, rows_array, vector_array


def _order(hit):
    # Smaller first, NaN last; equal distances keep the order the shards gave them.
    distance = hit[0]
    nan = distance != distance
    return (nan, 0.0 if nan else distance)


class ShardedHNSW(Sharded):
    """An approximate index over `shards` Ray actors, each holding one PyHNSW graph."""

    def __init__(self, dim, layers=None, m=None, ef_construction=None, ef_search=None, metric=None, schema=None,
                 shards=None, actor_options=None):
        PyHNSW(dim, layers, m, ef_construction, ef_search, metric, schema)  # the single class judges the arguments
        settings = {
            "dim": operator.index(dim),
            "layers": count_or_default(layers),
            "m": count_or_default(m),
            "ef_construction": count_or_default(ef_construction),
            "ef_search": count_or_default(ef_search),
            "metric": text(metric),
            "schema": None if schema is None else [text(name) for name in schema],
        }
        if settings["ef_construction"] == 0:
            raise ValueError(
                "ef_construction=0 makes a graph refuse every insertion after its first "
                "(Insert error: InvalidEF), so a sharded index cannot hold its vectors: use ef_construction >= 1"
            )
        self._dim = settings["dim"]
        self._schema = settings["schema"]
        self._checks = GraphChecks(settings)
        super().__init__("hnsw", settings, shards, actor_options)

    @property
    def dim(self):
        return self._dim

    def insert(self, vector, metadata=None):
        self._check_usable()
        self._checks.insert(vector, metadata)
        row = None if metadata is None else metadata_row(metadata, self._schema)
        self._add(vector_array(vector), row)

    def create(self, vectors, metadata=None, progress=None):
        self._check_usable()
        self._checks.create(vectors, metadata)
        rows = None if metadata is None else [metadata_row(pairs, self._schema) for pairs in metadata]
        self._store(rows_array(vectors, self._dim), rows, progress)

    def search(self, query, k=None, filter=None):
        return self._search([query], k, filter)[0]

    def search_many(self, queries, k=None, filter=None):
        return self._search(queries_list(queries), k, filter)

    def _search(self, queries, k, filter):
        self._check_usable()
        for query in queries:
            self._checks.search(query, k, filter)
        if not queries or not self._count:
            return [[] for _ in queries]
        count = max(1, operator.index(k)) if k is not None else 1
        if filter is not None:
            filter = (text(filter[0]), metadata_value(filter[1]))
        answers = self._ask([vector_array(query) for query in queries], count, filter)
        self._last_index_seconds = max(seconds for _, _, seconds in answers)
        merged = []
        for i in range(len(queries)):
            hits = [hit for _, lists, _ in answers for hit in lists[i]]
            hits.sort(key=_order)
            merged.append(hits[:count])
        return merged
