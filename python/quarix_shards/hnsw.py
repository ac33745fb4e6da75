"""Approximate search spread over shards: every shard's graph is asked and the nearest hits kept."""

import operator

from quarix import PyHNSW
from quarix_shards._checks import GraphChecks
from quarix_shards._sharded import Sharded, count_or_default, queries_list, text
from quarix_shards._values import metadata_row, metadata_value, rows_array, vector_array


# What a shard answers exactly by default: see the README's section on filters.
DEFAULT_EXACT_BELOW = 300


def exact_below_count(value):
    if value is None:
        return DEFAULT_EXACT_BELOW
    if isinstance(value, bool) or not hasattr(type(value), "__index__"):
        raise TypeError(f"exact_below must be an int or None, not {type(value).__name__}")
    value = operator.index(value)
    if value < 0:
        raise ValueError(f"exact_below must be at least 0, got {value}")
    return value


def _order(hit):
    # Smaller first, NaN last.
    distance = hit[0]
    nan = distance != distance
    return (nan, 0.0 if nan else distance)


class ShardedHNSW(Sharded):
    """An approximate index over `shards` Ray actors, each holding one PyHNSW graph."""

    def __init__(self, dim, layers=None, m=None, ef_construction=None, ef_search=None, metric=None, schema=None,
                 shards=None, actor_options=None, exact_below=None, start_timeout=None):
        PyHNSW(dim, layers, m, ef_construction, ef_search, metric, schema)  # the single class judges the arguments
        exact_below = exact_below_count(exact_below)
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
        self._exact_below = exact_below
        super().__init__("hnsw", settings, shards, actor_options, start_timeout, exact_below)

    @property
    def dim(self):
        return self._dim

    @property
    def exact_below(self):
        """A shard answers a filter matched by at most this many of its vectors exactly (0: never)."""
        return self._exact_below

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
        # When every shard measured every match, equal distances go to the smaller id (local id i
        # of shard s is id i * S + s); otherwise they keep the order the shards gave them.
        exact = all(exact for _, (exact, _), _ in answers)
        total = self._shard_total
        merged = []
        for i in range(len(queries)):
            keyed = [(_order(hit) + ((hit[2] * total + shard,) if exact else ()), (hit[0], hit[1]))
                     for shard, (_, lists), _ in answers for hit in lists[i]]
            keyed.sort(key=lambda pair: pair[0])
            merged.append([hit for _, hit in keyed[:count]])
        return merged
